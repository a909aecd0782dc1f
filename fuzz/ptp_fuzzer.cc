// libFuzzer target: everything Tarnwick reads of what a phone sends, over
// arbitrary bytes: DeviceInfo, ObjectInfo (with its strings and dates), the
// bulk catalogue's records, responses, events, handle lists, and the answer
// to a transaction as the transfers of the bulk-in pipe (data phases of any
// shape, then a response). A hostile phone can neither crash the program nor
// make it read out of bounds.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "fake_usb.h"
#include "ptp_codec.h"
#include "ptp_transactions.h"
#include "wall_clock.h"

using namespace imagecapture;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  if (auto info = ptp::parseDeviceInfo(bytes))
    if (info->operations.size() > size / 2) __builtin_trap();
  if (auto object = ptp::parseObjectInfo(bytes)) {
    creationDateOf(object->captureDate, object->modificationDate);
    // A string holds at most 255 UTF-16 units, each at most 3 UTF-8 bytes.
    if (object->filename.size() > 255 * 3) __builtin_trap();
  }
  if (auto records = ptp::parseObjectInfoRecords(bytes))
    if (records->size() > size / 8) __builtin_trap();
  ptp::parseObjectInfo(bytes, true);
  ptp::parseEvent(bytes);
  ptp::parseResponse(bytes);
  ptp::parseU32Array(bytes);
  if (auto time = ptp::parseDate(std::string_view(reinterpret_cast<const char*>(data), size))) instantOf(*time);

  // The bytes as bulk-in transfers: each starts with its length (two bytes).
  FakeUsbTransport usb;
  usb.packet = 64;
  std::size_t at = 0;
  while (at + 2 <= size) {
    std::size_t length = static_cast<std::size_t>(data[at] | data[at + 1] << 8);
    at += 2;
    if (length > size - at) length = size - at;
    usb.queue(ptp::Bytes(data + at, data + at + length));
    at += length;
  }
  PtpTransactions ptp(usb);
  ptp.setNextTransactionId(1);
  BufferSink sink(1 << 16);
  const std::uint32_t handle[] = {1};
  PtpOutcome outcome = ptp.transact(ptp::Operation::kGetObject, handle, &sink);
  if (outcome.announced && outcome.received > *outcome.announced) __builtin_trap();
  if (!outcome.sinkFailed && sink.bytes().size() != outcome.received &&
      outcome.kind == PtpOutcome::Kind::kAnswered)
    __builtin_trap();
  return 0;
}
