// A scripted USB side for in-process tests of the PTP layers: the transfers
// the phone sends, one by one, and a record of what the host did. For what
// no emulated phone produces (a claimed interface, a cable pulled at a
// chosen transfer, a phone that sends what no phone should).
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "ptp_codec.h"
#include "usb_transport.h"

namespace imagecapture {

class FakeUsbTransport final : public UsbTransport {
 public:
  struct Transfer {
    UsbStatus status = UsbStatus::kOk;
    ptp::Bytes bytes;
  };

  // --- the script: bulk-in transfers and interrupt packets, in order. A
  // transfer longer than the host's buffer fills it and goes on in the next
  // read. With nothing left, reads answer kStopped. ---
  std::deque<Transfer> incoming;
  std::deque<Transfer> events;
  std::size_t packet = 512;

  void queue(ptp::Bytes bytes) { incoming.push_back({UsbStatus::kOk, std::move(bytes)}); }
  void queue(UsbStatus status) { incoming.push_back({status, {}}); }
  // A response container.
  void respond(std::uint16_t code, std::uint32_t transactionId, std::vector<std::uint32_t> params = {});
  // A data container in one transfer (or its header alone first).
  void data(std::uint16_t code, std::uint32_t transactionId, const ptp::Bytes& payload,
            bool splitHeader = false);

  // --- what the host did ---
  std::vector<ptp::Bytes> sent;
  std::vector<std::size_t> reads;  // the buffer size of each read
  int cancelledReads = 0;
  std::vector<std::uint32_t> cancels;
  int pauses = 0;
  bool closed = false;

  UsbResult send(std::span<const std::uint8_t> bytes) override;
  Ticket startReceive(std::span<std::uint8_t> buffer) override;
  UsbResult finishReceive(Ticket ticket) override;
  void cancelReceive(Ticket ticket) override;
  std::size_t packetSize() const override { return packet; }
  UsbResult nextEvent(std::vector<std::uint8_t>& event, std::chrono::milliseconds timeout) override;
  bool pause(std::chrono::milliseconds) override {
    ++pauses;
    return true;
  }
  UsbResult cancel(std::uint32_t transactionId) override {
    cancels.push_back(transactionId);
    return {};
  }
  void closing() override { closed = true; }

 private:
  // Started reads, answered in order when finished.
  std::map<Ticket, std::span<std::uint8_t>> started_;
  Ticket nextTicket_ = 1;
};

// A bus of scripted cameras: each key opens its transport once, or fails.
class FakeUsbBus final : public UsbBus {
 public:
  std::vector<UsbCamera> present;
  std::map<std::string, std::unique_ptr<FakeUsbTransport>> transports;  // taken by open
  std::map<std::string, UsbResult> failures;                             // open fails with it

  std::optional<std::vector<UsbCamera>> cameras() override { return present; }
  std::unique_ptr<UsbTransport> open(const UsbCamera& camera, UsbResult& failure) override;
};

}  // namespace imagecapture
