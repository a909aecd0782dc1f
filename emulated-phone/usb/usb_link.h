// The phone's USB side as usbfs shows it to libusb: URBs submitted on the
// bulk-out, bulk-in, interrupt and control endpoints, completed when the
// phone has something for them, reaped in completion order. Bulk-out
// containers go to the PTP responder; its answers flow back in URB-sized
// pieces, a transfer that fills whole 512-byte packets ends with a
// zero-length packet, and the cable faults (unplug, stall) happen here.
// Pure logic: the umockdev glue (umockdev_phone.h) maps URBs to the
// client's memory.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "ptp_phone.h"

namespace emulated_phone::usb {

constexpr uint8_t kBulkIn = 0x81, kBulkOut = 0x02, kInterruptIn = 0x83;
constexpr uint8_t kUrbTypeInterrupt = 1, kUrbTypeControl = 2, kUrbTypeBulk = 3;

struct Urb {
  uint64_t id = 0;  // the client's URB address
  uint8_t type = kUrbTypeBulk;
  uint8_t endpoint = 0;
  size_t length = 0;
  std::string out;  // what the host sends (bulk out, control setup + data)
};

struct Completion {
  uint64_t id = 0;
  int status = 0;      // 0 or -errno
  size_t at = 0;       // where `data` goes in the URB's buffer
  std::string data;    // what the device sends
  size_t actual = 0;   // the URB's actual_length
};

struct CableFaults {
  int64_t unplug_after_object_bytes = -1;  // -1: never
  int64_t stall_at_object_bytes = -1;
};

class UsbLink {
 public:
  UsbLink(PtpPhone& phone, CableFaults faults) : phone_(phone), faults_(faults) {}

  // 0 or -errno (-ENODEV once unplugged).
  int submit(Urb urb);
  // false with *error = EAGAIN (nothing yet) or ENODEV (unplugged, all reaped).
  bool reap(Completion* out, int* error);
  // The URB is given back as cancelled (-ENOENT); -EINVAL if it is not pending.
  int discard(uint64_t id);
  // Interrupt packets for the host (PTP events).
  void queueEvents(const std::vector<std::string>& events);
  // The cable is pulled: pending URBs end with -ENODEV, later calls fail.
  void unplug();
  // A new attachment (the cable plugged in again): the link starts afresh,
  // its cable faults spent, and the phone closes its session.
  void plugIn();

  PtpPhone& phone() { return phone_; }
  bool reapable() const { return !done_.empty() || unplugged_; }
  bool unplugged() const { return unplugged_; }
  bool stalled() const { return stalled_; }
  uint64_t bytesIn() const { return bytes_in_; }

 private:
  void takeContainers();
  void pump();
  void complete(const Urb& urb, int status, std::string data, size_t at = 0);

  PtpPhone& phone_;
  CableFaults faults_;
  std::deque<Urb> bulk_in_, interrupt_in_;
  std::deque<InMessage> to_host_;
  std::deque<std::string> events_;
  std::deque<Completion> done_;
  std::string from_host_;
  std::string pending_command_;  // a command whose data phase is still coming
  uint64_t sent_ = 0;            // of to_host_.front()
  bool zero_packet_due_ = false;
  bool unplugged_ = false;
  bool stalled_ = false;
  int64_t object_bytes_ = 0;
  uint64_t bytes_in_ = 0;
};

}  // namespace emulated_phone::usb
