#include "object_reader.h"

#include <gtest/gtest.h>

#include "fake_usb.h"

namespace imagecapture {
namespace {

// 5 GiB, of which a GetObject brings 10 bytes: its container cannot say it
// is cut short, the catalogue's size does. Also when the phone refuses ranges.
TEST(ObjectReader, AContainerWithoutLengthIsJudgedByTheCataloguesSize) {
  constexpr std::uint64_t kSize = 5ull << 30;
  for (bool ranges : {false, true}) {
    FakeUsbTransport usb;
    if (ranges) usb.respond(0x2005, 1);
    const std::uint32_t id = ranges ? 2 : 1;
    ptp::Bytes data = ptp::dataHeader(0x1009, id, kSize);  // 0xFFFFFFFE: up to the short packet
    data.insert(data.end(), 10, 'm');
    usb.queue(data);
    usb.respond(0x2001, id);
    PtpTransactions ptp(usb);
    ptp.setNextTransactionId(1);
    BufferSink sink;
    PtpOutcome outcome = readObject(ptp, 7, kSize, ranges, sink);
    EXPECT_TRUE(outcome.ok()) << ranges;
    EXPECT_EQ(outcome.announced, kSize) << ranges;
    EXPECT_EQ(outcome.received, 10u) << ranges;
    EXPECT_EQ(usb.sent.size(), id) << ranges;
  }
}

}  // namespace
}  // namespace imagecapture
