#include "object_reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "fake_usb.h"

namespace imagecapture {
namespace {

using ::testing::ElementsAreArray;

// An object of 5 GiB whose data phase brings 10 bytes: the catalogue's size
// tells it is cut short where the container cannot, ranges or not.
TEST(ObjectReader, WithoutRangesTheCataloguesSizeJudgesAContainerWithoutLength) {
  constexpr std::uint64_t kSize = 5ull << 30;
  const auto cut = [](FakeUsbTransport& u, std::uint32_t id) {
    ptp::Bytes data = ptp::dataHeader(0x1009, id, kSize);  // 0xFFFFFFFE: up to the short packet
    data.insert(data.end(), 10, 'm');
    u.queue(data);
    u.respond(0x2001, id);
  };
  struct Case {
    const char* what;
    bool ranges;
    std::function<void(FakeUsbTransport&)> phone;
    std::vector<std::uint16_t> operations;
  };
  const Case cases[] = {
      {"GetObject", false, [&](FakeUsbTransport& u) { cut(u, 1); }, {0x1009}},
      {"ranges refused", true, [&](FakeUsbTransport& u) { u.respond(0x2005, 1); cut(u, 2); }, {0x9007, 0x1009}},
  };
  for (const auto& c : cases) {
    FakeUsbTransport usb;
    c.phone(usb);
    PtpTransactions ptp(usb);
    ptp.setNextTransactionId(1);
    BufferSink sink;
    PtpOutcome outcome = readObject(ptp, 7, kSize, c.ranges, sink);
    EXPECT_TRUE(outcome.ok()) << c.what;
    EXPECT_EQ(outcome.announced, kSize) << c.what;
    EXPECT_EQ(outcome.received, 10u) << c.what;
    std::vector<std::uint16_t> operations;
    for (const auto& sent : usb.sent) operations.push_back(ptp::parseHeader(sent)->code);
    EXPECT_THAT(operations, ElementsAreArray(c.operations)) << c.what;
  }
}

}  // namespace
}  // namespace imagecapture
