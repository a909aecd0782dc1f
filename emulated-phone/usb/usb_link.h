// The phone's USB side as usbfs shows it to libusb: URBs submitted on the
// bulk-out, bulk-in, interrupt and control endpoints, completed when the
// phone has something for them, reaped in completion order. Bulk-out
// containers (a command and the data phase it takes) go to the PTP
// responder; its answers flow back in URB-sized pieces: a transfer that
// fills whole 512-byte packets ends with a zero-length packet, a split
// header is a transfer of its own, a converted movie waits before its first
// byte. Events go out on the interrupt endpoint, the class requests (Cancel,
// GetDeviceStatus) come on endpoint 0, and the cable faults (unplug, stall)
// happen here. Pure logic over a clock: the umockdev glue
// (umockdev_phone.h) maps URBs to the client's memory and calls tick() when
// nextWake() comes.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "ptp_phone.h"

namespace emulated_phone::usb {

constexpr uint8_t kBulkIn = 0x81, kBulkOut = 0x02, kInterruptIn = 0x83;
constexpr uint8_t kUrbTypeInterrupt = 1, kUrbTypeControl = 2, kUrbTypeBulk = 3;

// The phone as a USB device on the bus.
struct UsbSetup {
  std::string serial = "00008110000A1B2C3D4E5F60";
  int port = 1;           // on the root hub of bus 1: sysfs device "1-PORT"
  int device_number = 2;  // DEVNUM: /dev/bus/usb/001/NNN
  int speed_mbps = 480;   // the sysfs "speed" attribute
  double link_bytes_per_second = 0;  // 0: as fast as umockdev goes
  bool usbmux = true;  // usbmuxd holds the phone: configuration 4 is active
};

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
  UsbLink(PtpPhone& phone, CableFaults faults, Clock clock = steadySeconds)
      : phone_(phone), faults_(faults), clock_(std::move(clock)) {}

  // 0 or -errno (-ENODEV once unplugged).
  int submit(Urb urb);
  // false with *error = EAGAIN (nothing yet) or ENODEV (unplugged, all reaped).
  bool reap(Completion* out, int* error);
  // The URB is given back as cancelled (-ENOENT); -EINVAL if it is not pending.
  int discard(uint64_t id);
  // The program that submitted the URB has gone (it ended, or was killed):
  // the URB is dropped without a completion, as the kernel drops the URBs
  // of a closed device file, and takes no more of the phone's bytes.
  void forget(uint64_t id);
  // Time has passed: events that fell due and data no longer held go out.
  void tick();
  // When tick() has something to do; < 0 when nothing is planned.
  double nextWake() const;
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
  void control(const Urb& urb);
  void cancel(std::deque<InMessage>::iterator data);
  void takeContainers();
  void answer(Command command);
  void queueEvents();
  bool held();
  void pump();
  void complete(const Urb& urb, int status, std::string data, size_t at = 0);

  PtpPhone& phone_;
  CableFaults faults_;
  Clock clock_;
  std::deque<Urb> bulk_in_, interrupt_in_;
  std::deque<InMessage> to_host_;
  std::deque<std::string> events_;
  std::deque<Completion> done_;
  std::string from_host_;
  std::string pending_command_;  // a command whose data phase is still coming
  uint64_t sent_ = 0;            // of to_host_.front()
  double hold_until_ = -1;       // to_host_.front() waits until then
  bool zero_packet_due_ = false;
  bool cancel_next_ = false;     // a Cancel came while nothing was being sent
  bool unplugged_ = false;
  bool stalled_ = false;
  int64_t object_bytes_ = 0;
  uint64_t bytes_in_ = 0;
};

}  // namespace emulated_phone::usb
