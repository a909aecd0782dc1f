// The USB side of a PTP camera as the PTP layer needs it: the still-image
// interface's bulk pipes, its interrupt pipe (read without pause, so no
// event is ever missed), and the class Cancel request. One real
// implementation over libusb (libusb_transport.h) and a scripted fake.
//
// Every wait ends early when the owner stops the transport (the run is
// over): the call then answers kStopped.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace imagecapture {

enum class UsbStatus {
  kOk,
  kGone,     // the device is not there any more (a pulled cable)
  kStopped,  // the owner stopped the transport
  kTimedOut,
  kFailed,   // any other failure; `error` says which
};

struct UsbResult {
  UsbStatus status = UsbStatus::kOk;
  std::size_t length = 0;  // bytes moved
  std::string error;
  bool ok() const { return status == UsbStatus::kOk; }
};

class UsbTransport {
 public:
  virtual ~UsbTransport() = default;
  // Sends all of `bytes` on the bulk-out pipe as one transfer.
  virtual UsbResult send(std::span<const std::uint8_t> bytes) = 0;
  // Starts receiving one bulk-in transfer into `buffer`, which stays
  // untouched by the caller until the transfer is finished or cancelled.
  // A transfer ends when the buffer is full or with a short (or zero-length)
  // packet. Several may be started: they take the phone's transfers in the
  // order they were started, so a request and the reads of its answer go
  // out together.
  using Ticket = std::uint64_t;
  virtual Ticket startReceive(std::span<std::uint8_t> buffer) = 0;
  // Waits for a started transfer.
  virtual UsbResult finishReceive(Ticket ticket) = 0;
  // Gives up a started transfer that is no longer wanted.
  virtual void cancelReceive(Ticket ticket) = 0;
  // One transfer, started and waited for.
  UsbResult receive(std::span<std::uint8_t> buffer) { return finishReceive(startReceive(buffer)); }
  // The bulk-in pipe's packet size.
  virtual std::size_t packetSize() const = 0;
  // The next packet from the interrupt pipe, waiting at most `timeout`
  // (kTimedOut when none came).
  virtual UsbResult nextEvent(std::vector<std::uint8_t>& event, std::chrono::milliseconds timeout) = 0;
  // Waits `duration` (false when stopped meanwhile); events keep being read.
  virtual bool pause(std::chrono::milliseconds duration) = 0;
  // The class Cancel request for the transaction in progress.
  virtual UsbResult cancel(std::uint32_t transactionId) = 0;
  // The run is over: from now on stopping no longer cuts waits short, and
  // each wait lasts at most about a second (to say goodbye to the phone).
  virtual void closing() {}
};

// A camera on the bus: a device whose active configuration holds a
// still-image interface.
struct UsbCamera {
  std::string key;  // stays while the device stays attached
  int bus = 0;
  int address = 0;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
};

// The bus: which cameras are there, and a transport to one of them.
class UsbBus {
 public:
  virtual ~UsbBus() = default;
  // Nothing when the bus could not be read.
  virtual std::optional<std::vector<UsbCamera>> cameras() = 0;
  // Claims the camera's still-image interface; on failure nothing, with
  // `failure` telling why (kGone: the device is not there any more).
  virtual std::unique_ptr<UsbTransport> open(const UsbCamera& camera, UsbResult& failure) = 0;
};

}  // namespace imagecapture
