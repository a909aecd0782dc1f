// Run as emulated-phone-usb's command: reads bytes [OFFSET, OFFSET + LENGTH)
// of the phone's file NAME as Tarnwick reads an original of 4 GiB or more
// (in ranges of RANGE bytes, through libusb), and says how many came and
// whether each is the emulator's --large pattern: every aligned 8-byte word
// holds its own offset.
//   object_range_probe NAME OFFSET LENGTH RANGE
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "libusb_transport.h"
#include "object_reader.h"

using namespace imagecapture;

int main(int argc, char** argv) {
  if (argc != 5) return 64;
  const std::uint64_t offset = std::strtoull(argv[2], nullptr, 10), length = std::strtoull(argv[3], nullptr, 10);
  std::atomic<bool> stop{false};
  std::string error;
  auto bus = LibusbBus::create(stop, error);
  auto cameras = bus ? bus->cameras() : std::nullopt;
  UsbResult failure;
  auto usb = cameras && !cameras->empty() ? bus->open(cameras->front(), failure) : nullptr;
  if (!usb) return std::puts("no phone"), 1;
  PtpTransactions ptp(*usb);
  const std::uint32_t session[] = {1}, store[] = {0x00010001, 0, 0};
  ptp.transact(ptp::Operation::kOpenSession, session);
  std::optional<std::vector<ptp::ObjectRecord>> records;
  for (int i = 0; i < 50 && !records; ++i) {  // the store comes once the phone trusts the computer
    BufferSink all;
    if (ptp.transact(ptp::Operation::kGetObjectInfos64, store, &all).ok()) records = ptp::parseObjectInfoRecords(all.bytes());
    if (!records) usb->pause(std::chrono::milliseconds(100));
  }
  for (const auto& [handle, info] : records.value_or(std::vector<ptp::ObjectRecord>{})) {
    if (info.filename != argv[1]) continue;
    BufferSink sink;
    PtpOutcome outcome = readObjectRange(ptp, handle, offset, length, sink, std::strtoull(argv[4], nullptr, 10));
    std::uint64_t wrong = 0;
    for (std::uint64_t i = 0; i < sink.bytes().size(); ++i) {
      const std::uint64_t at = offset + i;
      wrong += sink.bytes()[i] != static_cast<std::uint8_t>((at - at % 8) >> (8 * (at % 8)));
    }
    std::printf("0x%04X: %llu of %llu bytes, %llu out of place\n", outcome.response.code,
                static_cast<unsigned long long>(outcome.received), static_cast<unsigned long long>(length),
                static_cast<unsigned long long>(wrong));
    return 0;
  }
  return std::puts("no such file"), 1;
}
