// Run as emulated-phone-usb's command: reads bytes [OFFSET, OFFSET + LENGTH)
// of the phone's file NAME as Tarnwick reads an original of 4 GiB or more
// (in ranges of RANGE bytes, over libusb), and tells how many came and how
// many are not the emulator's --large pattern (each aligned 8-byte word
// holds its own offset).   object_range_probe NAME OFFSET LENGTH RANGE
#include <cstdio>
#include <cstdlib>
#include <string>

#include "libusb_transport.h"
#include "object_reader.h"

using namespace imagecapture;

int main(int argc, char** argv) {
  if (argc != 5) return 64;
  std::atomic<bool> stop{false};
  std::string error;
  auto bus = LibusbBus::create(stop, error);
  auto cameras = bus ? bus->cameras() : std::nullopt;
  UsbResult failure;
  auto usb = cameras && !cameras->empty() ? bus->open(cameras->front(), failure) : nullptr;
  if (!usb) return 1;
  PtpTransactions ptp(*usb);
  const std::uint32_t session[] = {1}, store[] = {0x00010001, 0, 0};
  ptp.transact(ptp::Operation::kOpenSession, session);
  std::optional<std::vector<ptp::ObjectRecord>> records;
  for (int i = 0; i < 50 && !records && usb->pause(std::chrono::milliseconds(100)); ++i) {  // until trusted
    BufferSink all;
    if (ptp.transact(ptp::Operation::kGetObjectInfos64, store, &all).ok()) records = ptp::parseObjectInfoRecords(all.bytes());
  }
  for (const auto& [handle, info] : records.value_or(std::vector<ptp::ObjectRecord>{})) {
    if (info.filename != argv[1]) continue;
    const unsigned long long offset = std::strtoull(argv[2], nullptr, 10), length = std::strtoull(argv[3], nullptr, 10);
    BufferSink sink;
    PtpOutcome outcome = readObjectRange(ptp, handle, offset, length, sink, std::strtoull(argv[4], nullptr, 10));
    unsigned long long wrong = 0;
    for (std::uint64_t i = 0, at = offset; i < sink.bytes().size(); ++i, ++at)
      wrong += sink.bytes()[i] != static_cast<std::uint8_t>((at - at % 8) >> (8 * (at % 8)));
    std::printf("0x%04X: %llu of %llu bytes, %llu out of place\n", outcome.response.code,
                static_cast<unsigned long long>(outcome.received), length, wrong);
    return 0;
  }
  return 1;
}
