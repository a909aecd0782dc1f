#include "libusb_transport.h"

#include <libusb-1.0/libusb.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <map>

namespace imagecapture {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint8_t kClassStillImage = 6;
constexpr std::uint8_t kRequestCancel = 0x64;
// Host to device, class request, to an interface.
constexpr std::uint8_t kClassRequestToInterface = 0x21;
constexpr std::uint16_t kCancelCode = 0x4001;
constexpr std::size_t kEventBytes = 64;
constexpr std::chrono::milliseconds kSlice{100};
constexpr std::chrono::milliseconds kClosingPatience{1000};

std::string describe(int code) { return std::string(libusb_error_name(code)); }

UsbResult resultOf(int code) {
  UsbResult result;
  result.status = code == LIBUSB_ERROR_NO_DEVICE ? UsbStatus::kGone
                  : code == LIBUSB_ERROR_TIMEOUT ? UsbStatus::kTimedOut
                                                  : UsbStatus::kFailed;
  result.error = describe(code);
  return result;
}

class LibusbTransport final : public UsbTransport {
 public:
  LibusbTransport(libusb_context* context, libusb_device_handle* handle, StillImageInterface iface,
                  const std::atomic<bool>& stop)
      : context_(context), handle_(handle), iface_(iface), stop_(&stop) {
    interrupt_ = libusb_alloc_transfer(0);
    if (interrupt_) {
      libusb_fill_interrupt_transfer(interrupt_, handle_, iface_.interruptIn, eventBuffer_, sizeof eventBuffer_,
                                     &LibusbTransport::onEvent, this, 0);
      interruptPending_ = libusb_submit_transfer(interrupt_) == 0;
    }
  }

  ~LibusbTransport() override {
    while (!bulk_.empty()) cancelReceive(bulk_.begin()->first);
    if (interruptPending_) {
      libusb_cancel_transfer(interrupt_);
      const auto until = Clock::now() + kClosingPatience;
      while (interruptPending_ && Clock::now() < until) handleEvents(kSlice, nullptr);
    }
    // A transfer the system never gave back cannot be freed.
    if (!interruptPending_) libusb_free_transfer(interrupt_);
    libusb_release_interface(handle_, iface_.number);
    libusb_close(handle_);
  }

  UsbResult send(std::span<const std::uint8_t> bytes) override {
    return finish(start(iface_.bulkOut, const_cast<std::uint8_t*>(bytes.data()), bytes.size()));
  }
  Ticket startReceive(std::span<std::uint8_t> buffer) override {
    return start(iface_.bulkIn, buffer.data(), buffer.size());
  }
  UsbResult finishReceive(Ticket ticket) override { return finish(ticket); }
  void cancelReceive(Ticket ticket) override {
    auto it = bulk_.find(ticket);
    if (it == bulk_.end()) return;
    Bulk& bulk = it->second;
    if (bulk.submitted && !bulk.done) {
      libusb_cancel_transfer(bulk.transfer);
      const auto until = Clock::now() + kClosingPatience;
      while (!bulk.done && Clock::now() < until) handleEvents(kSlice, &bulk.done);
    }
    release(it);
  }
  std::size_t packetSize() const override { return iface_.packetSize; }

  UsbResult nextEvent(std::vector<std::uint8_t>& event, std::chrono::milliseconds timeout) override {
    const auto until = Clock::now() + timeout;
    for (;;) {
      if (!events_.empty()) {
        event = std::move(events_.front());
        events_.pop_front();
        return {};
      }
      if (gone_) return {UsbStatus::kGone, 0, "LIBUSB_ERROR_NO_DEVICE"};
      if (stopped()) return {UsbStatus::kStopped, 0, "stopped"};
      const auto now = Clock::now();
      if (now >= until) return {UsbStatus::kTimedOut, 0, "LIBUSB_ERROR_TIMEOUT"};
      handleEvents(std::min<Clock::duration>(kSlice, until - now), nullptr);
    }
  }

  bool pause(std::chrono::milliseconds duration) override {
    const auto until = Clock::now() + duration;
    for (auto now = Clock::now(); now < until; now = Clock::now()) {
      if (stopped()) return false;
      handleEvents(std::min<Clock::duration>(kSlice, until - now), nullptr);
    }
    return !stopped();
  }

  UsbResult cancel(std::uint32_t transactionId) override {
    unsigned char data[6] = {static_cast<unsigned char>(kCancelCode & 0xFF),
                             static_cast<unsigned char>(kCancelCode >> 8),
                             static_cast<unsigned char>(transactionId),
                             static_cast<unsigned char>(transactionId >> 8),
                             static_cast<unsigned char>(transactionId >> 16),
                             static_cast<unsigned char>(transactionId >> 24)};
    const int rc = libusb_control_transfer(handle_, kClassRequestToInterface, kRequestCancel, 0,
                                           static_cast<std::uint16_t>(iface_.number), data, sizeof data,
                                           static_cast<unsigned>(kClosingPatience.count()));
    if (rc < 0) return resultOf(rc);
    return {UsbStatus::kOk, static_cast<std::size_t>(rc), ""};
  }

  void closing() override {
    stop_ = nullptr;
    patience_ = kClosingPatience;
  }

 private:
  struct Bulk {
    libusb_transfer* transfer = nullptr;
    int done = 0;
    bool submitted = false;
    UsbResult failure;  // when it could not be submitted
  };

  bool stopped() const { return stop_ && stop_->load(); }

  void handleEvents(Clock::duration wait, int* completed) {
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(wait).count();
    timeval tv{static_cast<time_t>(micros / 1000000), static_cast<suseconds_t>(micros % 1000000)};
    libusb_handle_events_timeout_completed(context_, &tv, completed);
  }

  static void LIBUSB_CALL onBulk(libusb_transfer* transfer) { *static_cast<int*>(transfer->user_data) = 1; }

  static void LIBUSB_CALL onEvent(libusb_transfer* transfer) {
    auto* self = static_cast<LibusbTransport*>(transfer->user_data);
    self->interruptPending_ = false;
    switch (transfer->status) {
      case LIBUSB_TRANSFER_COMPLETED:
        if (transfer->actual_length > 0)
          self->events_.emplace_back(transfer->buffer, transfer->buffer + transfer->actual_length);
        break;
      case LIBUSB_TRANSFER_NO_DEVICE:
        self->gone_ = true;
        return;
      case LIBUSB_TRANSFER_CANCELLED:
        return;
      default:
        if (++self->interruptErrors_ > 100) return;  // a broken pipe is not read for ever
        break;
    }
    const int rc = libusb_submit_transfer(transfer);
    if (rc == LIBUSB_ERROR_NO_DEVICE) self->gone_ = true;
    self->interruptPending_ = rc == 0;
  }

  void release(std::map<Ticket, Bulk>::iterator it) {
    Bulk& bulk = it->second;
    if (bulk.submitted && !bulk.done) {
      // The system never gave it back: it stays, and its flag with it.
      abandoned_.insert(bulk_.extract(it));
      return;
    }
    if (bulk.transfer) libusb_free_transfer(bulk.transfer);
    bulk_.erase(it);
  }

  Ticket start(std::uint8_t endpoint, std::uint8_t* data, std::size_t length) {
    const Ticket ticket = nextTicket_++;
    Bulk& bulk = bulk_[ticket];
    if (stopped()) {
      bulk.failure = {UsbStatus::kStopped, 0, "stopped"};
      return ticket;
    }
    bulk.transfer = libusb_alloc_transfer(0);
    if (!bulk.transfer) {
      bulk.failure = {UsbStatus::kFailed, 0, "LIBUSB_ERROR_NO_MEM"};
      return ticket;
    }
    libusb_fill_bulk_transfer(bulk.transfer, handle_, endpoint, data, static_cast<int>(length),
                              &LibusbTransport::onBulk, &bulk.done, static_cast<unsigned>(patience_.count()));
    if (int rc = libusb_submit_transfer(bulk.transfer); rc != 0) {
      bulk.failure = resultOf(rc);
      return ticket;
    }
    bulk.submitted = true;
    return ticket;
  }

  UsbResult finish(Ticket ticket) {
    auto it = bulk_.find(ticket);
    if (it == bulk_.end()) return {UsbStatus::kFailed, 0, "LIBUSB_ERROR_NOT_FOUND"};
    Bulk& bulk = it->second;
    if (!bulk.submitted) {
      UsbResult failure = bulk.failure;
      release(it);
      return failure;
    }
    bool cancelled = false;
    while (!bulk.done) {
      if (stopped() && !cancelled) {
        libusb_cancel_transfer(bulk.transfer);
        cancelled = true;
      }
      handleEvents(kSlice, &bulk.done);
    }
    libusb_transfer* transfer = bulk.transfer;
    UsbResult result;
    result.length = static_cast<std::size_t>(transfer->actual_length);
    switch (transfer->status) {
      case LIBUSB_TRANSFER_COMPLETED: break;
      case LIBUSB_TRANSFER_NO_DEVICE: result.status = UsbStatus::kGone; result.error = "LIBUSB_ERROR_NO_DEVICE"; break;
      case LIBUSB_TRANSFER_CANCELLED: result.status = UsbStatus::kStopped; result.error = "stopped"; break;
      case LIBUSB_TRANSFER_TIMED_OUT: result.status = UsbStatus::kTimedOut; result.error = "LIBUSB_ERROR_TIMEOUT"; break;
      case LIBUSB_TRANSFER_STALL:
        result.status = UsbStatus::kFailed;
        result.error = "LIBUSB_ERROR_PIPE";
        libusb_clear_halt(handle_, transfer->endpoint);
        break;
      case LIBUSB_TRANSFER_OVERFLOW: result.status = UsbStatus::kFailed; result.error = "LIBUSB_ERROR_OVERFLOW"; break;
      default: result.status = UsbStatus::kFailed; result.error = "LIBUSB_ERROR_IO"; break;
    }
    if (cancelled && result.status != UsbStatus::kGone) result.status = UsbStatus::kStopped;
    release(it);
    return result;
  }

  libusb_context* context_;
  libusb_device_handle* handle_;
  StillImageInterface iface_;
  const std::atomic<bool>* stop_;
  std::chrono::milliseconds patience_{0};  // 0: transfers wait as long as it takes
  libusb_transfer* interrupt_ = nullptr;
  unsigned char eventBuffer_[kEventBytes] = {};
  bool interruptPending_ = false;
  int interruptErrors_ = 0;
  bool gone_ = false;
  std::deque<std::vector<std::uint8_t>> events_;
  std::map<Ticket, Bulk> bulk_;  // started bulk transfers (std::map: their addresses stay)
  std::map<Ticket, Bulk> abandoned_;
  Ticket nextTicket_ = 1;
};

std::vector<UsbInterfaceDescriptor> interfacesOf(const libusb_config_descriptor& config) {
  std::vector<UsbInterfaceDescriptor> all;
  for (int i = 0; i < config.bNumInterfaces; ++i) {
    const libusb_interface& interface = config.interface[i];
    for (int a = 0; a < interface.num_altsetting; ++a) {
      const libusb_interface_descriptor& setting = interface.altsetting[a];
      UsbInterfaceDescriptor descriptor;
      descriptor.number = setting.bInterfaceNumber;
      descriptor.altSetting = setting.bAlternateSetting;
      descriptor.interfaceClass = setting.bInterfaceClass;
      descriptor.subclass = setting.bInterfaceSubClass;
      descriptor.protocol = setting.bInterfaceProtocol;
      for (int e = 0; e < setting.bNumEndpoints; ++e)
        descriptor.endpoints.push_back({setting.endpoint[e].bEndpointAddress, setting.endpoint[e].bmAttributes,
                                        setting.endpoint[e].wMaxPacketSize});
      all.push_back(std::move(descriptor));
    }
  }
  return all;
}

// The still-image interface of the device's active configuration.
std::optional<StillImageInterface> stillImageInterfaceOf(libusb_device* device) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != 0 || config == nullptr) return std::nullopt;
  auto found = findStillImageInterface(interfacesOf(*config));
  libusb_free_config_descriptor(config);
  return found;
}

std::string keyOf(int bus, int address) {
  char key[32];
  std::snprintf(key, sizeof key, "usb:%03d,%03d", bus, address);
  return key;
}

}  // namespace

std::optional<StillImageInterface> findStillImageInterface(
    const std::vector<UsbInterfaceDescriptor>& configuration) {
  for (const auto& setting : configuration) {
    if (setting.interfaceClass != kClassStillImage || setting.subclass != 1 || setting.protocol != 1) continue;
    StillImageInterface found;
    found.number = setting.number;
    found.altSetting = setting.altSetting;
    for (const auto& endpoint : setting.endpoints) {
      const int type = endpoint.attributes & 0x3;
      const bool in = (endpoint.address & 0x80) != 0;
      if (type == LIBUSB_TRANSFER_TYPE_BULK && in && !found.bulkIn) {
        found.bulkIn = endpoint.address;
        if (endpoint.maxPacketSize > 0) found.packetSize = endpoint.maxPacketSize;
      } else if (type == LIBUSB_TRANSFER_TYPE_BULK && !in && !found.bulkOut) {
        found.bulkOut = endpoint.address;
      } else if (type == LIBUSB_TRANSFER_TYPE_INTERRUPT && in && !found.interruptIn) {
        found.interruptIn = endpoint.address;
      }
    }
    if (found.bulkIn && found.bulkOut && found.interruptIn) return found;
  }
  return std::nullopt;
}

std::unique_ptr<LibusbBus> LibusbBus::create(const std::atomic<bool>& stop, std::string& error) {
  libusb_context* context = nullptr;
  if (int rc = libusb_init(&context); rc != 0) {
    error = "libusb: " + describe(rc);
    return nullptr;
  }
  return std::unique_ptr<LibusbBus>(new LibusbBus(context, stop));
}

LibusbBus::~LibusbBus() { libusb_exit(context_); }

std::optional<std::vector<UsbCamera>> LibusbBus::cameras() {
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(context_, &list);
  if (count < 0) return std::nullopt;
  std::vector<UsbCamera> found;
  for (ssize_t i = 0; i < count; ++i) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(list[i], &descriptor) != 0 || !stillImageInterfaceOf(list[i])) continue;
    UsbCamera camera;
    camera.bus = libusb_get_bus_number(list[i]);
    camera.address = libusb_get_device_address(list[i]);
    camera.key = keyOf(camera.bus, camera.address);
    camera.vendorId = descriptor.idVendor;
    camera.productId = descriptor.idProduct;
    found.push_back(camera);
  }
  libusb_free_device_list(list, 1);
  return found;
}

std::unique_ptr<UsbTransport> LibusbBus::open(const UsbCamera& camera, UsbResult& failure) {
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(context_, &list);
  if (count < 0) {
    failure = resultOf(static_cast<int>(count));
    return nullptr;
  }
  failure = {UsbStatus::kGone, 0, "LIBUSB_ERROR_NO_DEVICE"};
  std::unique_ptr<UsbTransport> transport;
  for (ssize_t i = 0; i < count; ++i) {
    if (libusb_get_bus_number(list[i]) != camera.bus || libusb_get_device_address(list[i]) != camera.address)
      continue;
    auto iface = stillImageInterfaceOf(list[i]);
    if (!iface) break;
    libusb_device_handle* handle = nullptr;
    if (int rc = libusb_open(list[i], &handle); rc != 0) {
      failure = resultOf(rc);
      break;
    }
    if (int rc = libusb_claim_interface(handle, iface->number); rc != 0) {
      failure = resultOf(rc);
      libusb_close(handle);
      break;
    }
    if (iface->altSetting != 0)
      if (int rc = libusb_set_interface_alt_setting(handle, iface->number, iface->altSetting); rc != 0) {
        failure = resultOf(rc);
        libusb_release_interface(handle, iface->number);
        libusb_close(handle);
        break;
      }
    failure = {};
    transport = std::make_unique<LibusbTransport>(context_, handle, *iface, stop_);
    break;
  }
  libusb_free_device_list(list, 1);
  return transport;
}

}  // namespace imagecapture
