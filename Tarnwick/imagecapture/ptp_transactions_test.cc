#include "ptp_transactions.h"

#include <gtest/gtest.h>

#include <functional>

#include "fake_usb.h"

namespace imagecapture {
namespace {

using ptp::Bytes;

constexpr std::uint16_t kOk = 0x2001, kIncomplete = 0x2007;
constexpr std::uint16_t kGetObject = 0x1009;

Bytes pattern(std::size_t n) {
  Bytes bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return bytes;
}

// A sink that takes `room` bytes, then fails (a full disk).
class LimitedSink final : public DataSink {
 public:
  explicit LimitedSink(std::size_t room) : room_(room) {}
  bool write(std::span<const std::uint8_t> bytes) override {
    if (bytes.size() > room_ - std::min(room_, bytes_.size())) return false;
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return true;
  }
  Bytes bytes_;

 private:
  std::size_t room_;
};

// What no emulated phone sends (its split headers, pieces, failed
// conversions, pulled cables and busy answers are the end-to-end tests').
TEST(PtpTransactions, DataPhasesOfEveryShapeArriveWholeAndNonsenseIsBroken) {
  const Bytes small = pattern(300);
  const Bytes packets = pattern(1024 - 12);  // header and payload fill two packets exactly
  const Bytes big = pattern(3 * PtpTransactions::kChunk + 5);
  using Kind = PtpOutcome::Kind;
  struct Case {
    const char* what;
    std::function<void(FakeUsbTransport&)> phone;
    Bytes expected;
    std::uint16_t code;
    bool shortData;
    Kind kind = Kind::kAnswered;
  };
  const Case cases[] = {
      {"whole packets, then a zero-length packet", [&](FakeUsbTransport& u) {
         u.data(kGetObject, 1, packets); u.queue(Bytes{}); u.respond(kOk, 1); }, packets, kOk, false},
      {"more than 4 GiB: to the short packet", [&](FakeUsbTransport& u) {
         Bytes header = ptp::dataHeader(kGetObject, 1, 5ull << 30);
         header.insert(header.end(), big.begin(), big.end());
         u.queue(header); u.respond(kOk, 1); }, big, kOk, false},
      {"a data phase that ends short", [&](FakeUsbTransport& u) {
         Bytes container = ptp::dataHeader(kGetObject, 1, 1000);
         container.insert(container.end(), small.begin(), small.end());
         u.queue(container); u.respond(kIncomplete, 1); }, small, kIncomplete, true},
      {"bytes past the announced length are not the file's", [&](FakeUsbTransport& u) {
         Bytes container = ptp::dataHeader(kGetObject, 1, 100);
         container.insert(container.end(), small.begin(), small.end());
         u.queue(container); u.respond(kOk, 1); }, Bytes(small.begin(), small.begin() + 100), kOk, false},
      {"stopped while waiting", [](FakeUsbTransport&) {}, {}, 0, false, Kind::kStopped},
      {"an answer to another transaction", [](FakeUsbTransport& u) { u.respond(kOk, 9); }, {}, 0, false, Kind::kBroken},
      {"shorter than a header", [](FakeUsbTransport& u) { u.queue(Bytes{1, 2, 3}); }, {}, 0, false, Kind::kBroken},
      {"an event on the bulk pipe", [](FakeUsbTransport& u) {
         Bytes event = ptp::commandContainer(0x4004, 1, {});
         event[4] = 4;
         u.queue(event); }, {}, 0, false, Kind::kBroken},
      {"a data length below the header's", [](FakeUsbTransport& u) {
         u.queue(Bytes{4, 0, 0, 0, 2, 0, 9, 0x10, 1, 0, 0, 0}); }, {}, 0, false, Kind::kBroken},
  };
  for (const auto& c : cases) {
    FakeUsbTransport usb;
    c.phone(usb);
    PtpTransactions ptp(usb);
    ptp.setNextTransactionId(1);
    BufferSink sink;
    const std::uint32_t handle[] = {0x21};
    PtpOutcome outcome = ptp.transact(ptp::Operation::kGetObject, handle, &sink);
    ASSERT_EQ(outcome.kind, c.kind) << c.what << ": " << outcome.error;
    if (!outcome.answered()) continue;
    EXPECT_EQ(outcome.response.code, c.code) << c.what;
    EXPECT_TRUE(sink.bytes() == c.expected) << c.what << ": " << sink.bytes().size() << " bytes";
    EXPECT_EQ(outcome.shortData(), c.shortData) << c.what;
    EXPECT_TRUE(usb.incoming.empty()) << c.what;
    // Every read is a whole number of packets.
    for (std::size_t read : usb.reads) EXPECT_EQ(read % usb.packet, 0u) << c.what;
  }
}

TEST(PtpTransactions, AFailingSinkStillReadsTheDataPhaseSoTheSessionGoesOn) {
  FakeUsbTransport usb;
  const Bytes file = pattern(2 * PtpTransactions::kChunk);
  usb.data(kGetObject, 1, file);
  usb.respond(kOk, 1);
  usb.data(kGetObject, 2, pattern(10));
  usb.respond(kOk, 2);
  PtpTransactions ptp(usb);
  ptp.setNextTransactionId(1);
  LimitedSink full(100000);
  const std::uint32_t handle[] = {0x21};
  PtpOutcome outcome = ptp.transact(ptp::Operation::kGetObject, handle, &full);
  EXPECT_TRUE(outcome.ok());
  EXPECT_TRUE(outcome.sinkFailed);
  EXPECT_EQ(outcome.received, file.size());
  BufferSink next;
  EXPECT_TRUE(ptp.transact(ptp::Operation::kGetObject, handle, &next).ok());
  EXPECT_TRUE(next.bytes() == pattern(10));
}

TEST(PtpTransactions, WhatAKilledRunLeftUnreadIsDroppedBeforeTheFirstAnswer) {
  struct Case {
    const char* what;
    std::function<void(FakeUsbTransport&)> leftovers;
    std::size_t cancels;  // a Cancel only while the phone still sends
  };
  const Case cases[] = {
      {"the middle of a file, then its response", [](FakeUsbTransport& u) {
         u.queue(pattern(5000)); u.queue(Bytes{}); u.respond(kIncomplete, 57); }, 1},
      {"only a response", [](FakeUsbTransport& u) { u.respond(kOk, 57); }, 0},
  };
  for (const auto& c : cases) {
    FakeUsbTransport usb;
    c.leftovers(usb);
    usb.respond(0x2004, 0);  // the stale DeviceInfo that closed the left session
    PtpTransactions ptp(usb);
    ptp.expectLeftovers();
    BufferSink info;
    PtpOutcome outcome = ptp.transact(ptp::Operation::kGetDeviceInfo, {}, &info);
    EXPECT_TRUE(outcome.answered() && outcome.leftoversDropped) << c.what;
    EXPECT_EQ(outcome.response.code, 0x2004) << c.what;
    EXPECT_EQ(usb.cancels.size(), c.cancels) << c.what;
    EXPECT_TRUE(usb.incoming.empty()) << c.what;
  }
}

}  // namespace
}  // namespace imagecapture
