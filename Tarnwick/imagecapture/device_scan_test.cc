#include "device_scan.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace imagecapture {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(DeviceScan, OnlyASuccessfulLookThatMissesADeviceRemovesIt) {
  const std::set<std::string> known{"usb:001,005|Apple iPhone", "disk:/mnt|Mass Storage Camera"};
  ScanChanges failed = compareScan(known, std::nullopt);
  EXPECT_THAT(failed.gone, IsEmpty());
  EXPECT_THAT(failed.added, IsEmpty());

  ScanChanges empty = compareScan(known, ScanResult{});
  EXPECT_THAT(empty.gone, ElementsAre("disk:/mnt|Mass Storage Camera", "usb:001,005|Apple iPhone"));

  ScanChanges moved = compareScan(
      known, ScanResult{{"usb:001,006|Apple iPhone", {"Apple iPhone", "usb:001,006"}},
                        {"disk:/mnt|Mass Storage Camera", {"Mass Storage Camera", "disk:/mnt"}}});
  EXPECT_THAT(moved.gone, ElementsAre("usb:001,005|Apple iPhone"));
  EXPECT_THAT(moved.added, ElementsAre("usb:001,006|Apple iPhone"));
}

}  // namespace
}  // namespace imagecapture
