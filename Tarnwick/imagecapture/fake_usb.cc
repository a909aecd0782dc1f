#include "fake_usb.h"

#include <algorithm>
#include <cstring>

namespace imagecapture {

void FakeUsbTransport::respond(std::uint16_t code, std::uint32_t transactionId,
                               std::vector<std::uint32_t> params) {
  ptp::Bytes bytes = ptp::commandContainer(code, transactionId, params);
  bytes[4] = static_cast<std::uint8_t>(ptp::ContainerType::kResponse);
  queue(std::move(bytes));
}

void FakeUsbTransport::data(std::uint16_t code, std::uint32_t transactionId, const ptp::Bytes& payload,
                            bool splitHeader) {
  ptp::Bytes header = ptp::dataHeader(code, transactionId, payload.size());
  if (splitHeader) {
    queue(header);
    queue(payload);
    return;
  }
  header.insert(header.end(), payload.begin(), payload.end());
  queue(std::move(header));
}

UsbResult FakeUsbTransport::send(std::span<const std::uint8_t> bytes) {
  sent.emplace_back(bytes.begin(), bytes.end());
  return {UsbStatus::kOk, bytes.size(), ""};
}

UsbTransport::Ticket FakeUsbTransport::startReceive(std::span<std::uint8_t> buffer) {
  reads.push_back(buffer.size());
  started_[nextTicket_] = buffer;
  return nextTicket_++;
}

void FakeUsbTransport::cancelReceive(Ticket ticket) {
  if (started_.erase(ticket)) ++cancelledReads;
}

UsbResult FakeUsbTransport::finishReceive(Ticket ticket) {
  auto it = started_.find(ticket);
  if (it == started_.end()) return {UsbStatus::kFailed, 0, "no such read"};
  std::span<std::uint8_t> buffer = it->second;
  started_.erase(it);
  if (incoming.empty()) return {UsbStatus::kStopped, 0, "stopped"};
  Transfer& next = incoming.front();
  if (next.status != UsbStatus::kOk) {
    UsbResult result{next.status, 0, "scripted"};
    incoming.pop_front();
    return result;
  }
  const std::size_t n = std::min(buffer.size(), next.bytes.size());
  if (n > 0) std::memcpy(buffer.data(), next.bytes.data(), n);
  if (n < next.bytes.size() && n == buffer.size()) {
    next.bytes.erase(next.bytes.begin(), next.bytes.begin() + static_cast<std::ptrdiff_t>(n));
  } else {
    incoming.pop_front();
  }
  return {UsbStatus::kOk, n, ""};
}

UsbResult FakeUsbTransport::nextEvent(std::vector<std::uint8_t>& event, std::chrono::milliseconds) {
  if (events.empty()) return {UsbStatus::kTimedOut, 0, "scripted"};
  Transfer next = std::move(events.front());
  events.pop_front();
  if (next.status == UsbStatus::kOk) event = std::move(next.bytes);
  return {next.status, event.size(), ""};
}

std::unique_ptr<UsbTransport> FakeUsbBus::open(const UsbCamera& camera, UsbResult& failure) {
  if (auto it = failures.find(camera.key); it != failures.end()) {
    failure = it->second;
    return nullptr;
  }
  auto it = transports.find(camera.key);
  if (it == transports.end() || !it->second) {
    failure = {UsbStatus::kGone, 0, "LIBUSB_ERROR_NO_DEVICE"};
    return nullptr;
  }
  failure = {};
  return std::move(it->second);
}

}  // namespace imagecapture
