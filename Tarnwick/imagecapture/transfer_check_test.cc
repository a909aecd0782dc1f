#include "transfer_check.h"

#include <gtest/gtest.h>

namespace imagecapture {
namespace {

TEST(TransferShortfall, OnlyAKnownSizeThatDiffersIsAShortfall) {
  EXPECT_FALSE(transferShortfall(1000, 1000));
  EXPECT_FALSE(transferShortfall(0, 0));
  EXPECT_FALSE(transferShortfall(std::nullopt, 0));           // no size announced
  EXPECT_FALSE(transferShortfall(kUnknownPtpSize, 5000000000));  // a video past 4 GiB over PTP
  EXPECT_EQ(transferShortfall(300000, 0), "устройство отдало 0 байт из 300000");
  EXPECT_EQ(transferShortfall(300000, 65536), "устройство отдало 65536 байт из 300000");
  EXPECT_EQ(transferShortfall(10, 11), "устройство отдало 11 байт из 10");
}

}  // namespace
}  // namespace imagecapture
