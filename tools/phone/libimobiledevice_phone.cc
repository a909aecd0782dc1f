#include "libimobiledevice_phone.h"

#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <plist/plist.h>
#include <usbmuxd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "afc_requests.h"
#include "run_loop.h"

namespace phone {
namespace {

constexpr const char kLabel[] = "Oskavel";
constexpr const char kDeviceNameKey[] = "DeviceName";

// File data is asked of the phone in large requests and handed out in the
// program's smaller reads: every request is a round trip.
constexpr uint32_t kReadAhead = 1u << 20;
// How long one part of an answer may keep the program waiting.
constexpr unsigned kReceiveWaitMs = 30000;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// Shared with libusbmuxd's event thread until the subscription ends.
// How to reach each phone reported, by identifier.
using Lookups = std::map<std::string, idevice_options>;

// Shared with libusbmuxd's event thread and the tasks it posts.
struct EventSink {
  runloop::RunLoop* loop = nullptr;
  NotificationCallback callback;
  std::shared_ptr<Lookups> lookups;
  bool active = true;  // false once the subscription ended
  std::weak_ptr<EventSink> self;
};

class RealSubscription : public Subscription {
 public:
  explicit RealSubscription(std::shared_ptr<EventSink> sink) : sink_(std::move(sink)) {}
  ~RealSubscription() override {
    // Joins libusbmuxd's event thread: no event reaches the sink after
    // this, and one already posted is dropped.
    idevice_event_unsubscribe();
    sink_->active = false;
  }

 private:
  std::shared_ptr<EventSink> sink_;
};

// The service connection, as the file-service requests see it. Each part
// of an answer must arrive within the wait, as libimobiledevice's own
// clients wait; a phone that stops answering is a lost connection.
//
// Without TLS a receive hands back what has arrived, so small answers are
// taken in one receive, header and data together, into a buffer of our
// own. With TLS the library waits until all that was asked for arrived: then
// exactly what is needed is asked for.
class ServiceStream : public AfcStream {
 public:
  ServiceStream(idevice_connection_t connection, bool tls)
      : connection_(connection), tls_(tls) {}
  ~ServiceStream() override { idevice_disconnect(connection_); }

  bool send(const char* data, size_t size) override {
    while (size > 0) {
      const uint32_t part = static_cast<uint32_t>(std::min<size_t>(size, kMaxPart));
      uint32_t sent = 0;
      if (idevice_connection_send(connection_, data, part, &sent) != IDEVICE_E_SUCCESS ||
          sent == 0 || sent > part) {
        return false;
      }
      data += sent;
      size -= sent;
    }
    return true;
  }

  bool receive(char* data, size_t size) override {
    while (size > 0) {
      if (start_ < end_) {
        const size_t n = std::min(size, end_ - start_);
        std::memcpy(data, buffer_.data() + start_, n);
        start_ += n;
        data += n;
        size -= n;
        continue;
      }
      if (tls_ || size >= kBufferSize) {
        // Large data goes straight to its place.
        uint32_t got = 0;
        if (!receivePart(data, size, &got)) return false;
        data += got;
        size -= got;
        continue;
      }
      if (buffer_.empty()) buffer_.resize(kBufferSize);
      uint32_t got = 0;
      if (!receivePart(buffer_.data(), buffer_.size(), &got)) return false;
      start_ = 0;
      end_ = got;
    }
    return true;
  }

 private:
  static constexpr size_t kMaxPart = 1u << 30;
  static constexpr size_t kBufferSize = 64u << 10;

  bool receivePart(char* data, size_t size, uint32_t* got) {
    const uint32_t part = static_cast<uint32_t>(std::min<size_t>(size, kMaxPart));
    *got = 0;
    return idevice_connection_receive_timeout(connection_, data, part, got, kReceiveWaitMs) ==
               IDEVICE_E_SUCCESS &&
           *got > 0 && *got <= part;
  }

  idevice_connection_t connection_;
  bool tls_;
  std::vector<char> buffer_;
  size_t start_ = 0;
  size_t end_ = 0;
};

class RealAfcFolder : public AfcFolder {
 public:
  explicit RealAfcFolder(std::vector<std::string> entries) : entries_(std::move(entries)) {}
  int read(std::optional<std::string>* name) override {
    name->reset();
    if (next_ < entries_.size()) *name = std::move(entries_[next_++]);
    return 0;
  }

 private:
  std::vector<std::string> entries_;
  size_t next_ = 0;
};

class RealAfcClient : public AfcClient {
 public:
  RealAfcClient(idevice_connection_t connection, bool tls)
      : requests_(std::make_unique<ServiceStream>(connection, tls)) {}

  // The listing is known whole (or not at all) before its first entry is
  // handed out.
  int openFolder(const std::string& path, std::unique_ptr<AfcFolder>* out) override {
    std::vector<std::string> entries;
    const int status = requests_.readFolder(path, &entries);
    if (status != 0) return status;
    *out = std::make_unique<RealAfcFolder>(std::move(entries));
    return 0;
  }

  int openFile(const std::string& path, std::unique_ptr<AfcFile>* out) override;

  int fileInfo(const std::string& path, FileInfo* out) override {
    return requests_.fileInfo(path, out);
  }

  int lostStatus() const override { return requests_.lost(); }

  bool notAFolder(int status) const override {
    // A path that is a file answers a folder read with a read error; one
    // that does not exist, with "not found".
    return status == kAfcReadError || status == kAfcNotFound;
  }

  AfcRequests& requests() { return requests_; }

 private:
  static constexpr int kAfcReadError = 4;
  static constexpr int kAfcNotFound = 8;
  AfcRequests requests_;
};

// File data is asked of the phone in large requests and handed out in the
// program's smaller reads. Once the size of the file is known, the last
// request asks for one byte more than remains: an answer without it tells
// that the end is reached, which saves the round trip that would find it;
// an answer with it tells that the file holds more than the phone said.
class RealAfcFile : public AfcFile {
 public:
  RealAfcFile(RealAfcClient& client, uint64_t handle) : client_(client), handle_(handle) {}
  ~RealAfcFile() override {
    if (open_) close();
  }

  void expectSize(uint64_t size) override { remaining_ = size; }

  int read(char* buffer, uint32_t capacity, uint32_t* count) override {
    *count = 0;
    if (position_ == length_) {
      const int status = fill();
      if (status != 0) return status;
      if (length_ == 0) return 0;  // end of file
    }
    const uint32_t n = std::min(capacity, length_ - position_);
    std::memcpy(buffer, data_.get() + position_, n);
    position_ += n;
    *count = n;
    return 0;
  }

  int close() override {
    open_ = false;
    return client_.requests().closeFile(handle_);
  }

 private:
  int fill() {
    position_ = length_ = 0;
    if (at_end_) return 0;
    const bool last = remaining_ && *remaining_ < kReadAhead;
    const uint32_t request = last ? static_cast<uint32_t>(*remaining_ + 1) : kReadAhead;
    if (!data_ || size_ < request) {
      data_ = std::make_unique_for_overwrite<char[]>(request);
      size_ = request;
    }
    uint32_t got = 0;
    const int status = client_.requests().readFile(handle_, data_.get(), request, &got);
    if (status != 0) return status;
    if (last && got == *remaining_) at_end_ = true;
    if (remaining_) *remaining_ -= std::min<uint64_t>(*remaining_, got);
    length_ = got;
    return 0;
  }

  RealAfcClient& client_;
  uint64_t handle_;
  bool open_ = true;
  std::optional<uint64_t> remaining_;
  bool at_end_ = false;  // the phone has nothing after what was received
  std::unique_ptr<char[]> data_;
  uint32_t size_ = 0;
  uint32_t length_ = 0;
  uint32_t position_ = 0;
};

int RealAfcClient::openFile(const std::string& path, std::unique_ptr<AfcFile>* out) {
  uint64_t handle = 0;
  const int status = requests_.openFile(path, &handle);
  if (status == 0) *out = std::make_unique<RealAfcFile>(*this, handle);
  return status;
}

class RealService : public Service {
 public:
  RealService(idevice_t device, lockdownd_service_descriptor_t descriptor)
      : device_(device), descriptor_(descriptor) {}
  ~RealService() override { lockdownd_service_descriptor_free(descriptor_); }

  // The library connects to the service's port and, when the phone asks for
  // it, sets up TLS with the pair record's keys; the file service itself is
  // spoken by AfcRequests.
  int openAfc(std::unique_ptr<AfcClient>* out) override {
    idevice_connection_t connection = nullptr;
    idevice_error_t status = idevice_connect(device_, descriptor_->port, &connection);
    if (status != IDEVICE_E_SUCCESS) return status;
    if (descriptor_->ssl_enabled) {
      status = idevice_connection_enable_ssl(connection);
      if (status != IDEVICE_E_SUCCESS) {
        idevice_disconnect(connection);
        return status;
      }
    }
    *out = std::make_unique<RealAfcClient>(connection, descriptor_->ssl_enabled != 0);
    return 0;
  }

 private:
  idevice_t device_;
  lockdownd_service_descriptor_t descriptor_;
};

class RealSession : public Session {
 public:
  RealSession(idevice_t device, lockdownd_client_t client) : device_(device), client_(client) {}
  // Freeing the client stops its session and says goodbye.
  ~RealSession() override { lockdownd_client_free(client_); }

  std::optional<std::string> deviceName() override {
    plist_t value = nullptr;
    if (lockdownd_get_value(client_, nullptr, kDeviceNameKey, &value) != LOCKDOWN_E_SUCCESS ||
        value == nullptr) {
      plist_free(value);
      return std::nullopt;
    }
    std::optional<std::string> name;
    if (plist_get_node_type(value) == PLIST_STRING) {
      char* text = nullptr;
      plist_get_string_val(value, &text);
      std::unique_ptr<char, FreeDeleter> owned(text);
      if (text) name = std::string(text);
    }
    plist_free(value);
    return name;
  }

  int startSecureService(const std::string& name, std::unique_ptr<Service>* out) override {
    return start(name, out);
  }
  // The library decides TLS from the phone's answer either way.
  int startService(const std::string& name, std::unique_ptr<Service>* out) override {
    return start(name, out);
  }

 private:
  int start(const std::string& name, std::unique_ptr<Service>* out) {
    lockdownd_service_descriptor_t descriptor = nullptr;
    const lockdownd_error_t status = lockdownd_start_service(client_, name.c_str(), &descriptor);
    if (status != LOCKDOWN_E_SUCCESS) return status;
    *out = std::make_unique<RealService>(device_, descriptor);
    return 0;
  }

  idevice_t device_;
  lockdownd_client_t client_;
};

class RealConnection : public Connection {
 public:
  RealConnection(std::string udid, idevice_t device, lockdownd_client_t client)
      : udid_(std::move(udid)), device_(device), client_(client) {}
  ~RealConnection() override {
    if (client_) lockdownd_client_free(client_);
    idevice_free(device_);
  }

  bool isPaired() override {
    char* record = nullptr;
    uint32_t size = 0;
    const bool found = usbmuxd_read_pair_record(udid_.c_str(), &record, &size) == 0 && record;
    std::free(record);
    if (found) return true;
    // Asking the phone to pair is what makes it show "Trust this computer?".
    // When the user already tapped Trust, the pairing completes at once and
    // the library saves the record.
    return client_ && lockdownd_pair(client_, nullptr) == LOCKDOWN_E_SUCCESS;
  }

  int validatePairing() override { return lockdownd_validate_pair(client_, nullptr); }

  int startSession(std::unique_ptr<Session>* out) override {
    // The handshake learns the phone's version, which decides the TLS the
    // session and every service use; a plain client would offer TLS 1.0
    // only, which current phones refuse. It starts the session with the
    // HostID of the pair record.
    lockdownd_client_free(client_);
    client_ = nullptr;
    lockdownd_client_t session = nullptr;
    const lockdownd_error_t status =
        lockdownd_client_new_with_handshake(device_, &session, kLabel);
    if (status != LOCKDOWN_E_SUCCESS) return status;
    *out = std::make_unique<RealSession>(device_, session);
    return 0;
  }

 private:
  std::string udid_;
  idevice_t device_;
  lockdownd_client_t client_;
};

class LibimobiledevicePhone : public Phone {
 public:
  int subscribe(NotificationCallback callback, std::unique_ptr<Subscription>* out) override {
    auto sink = std::make_shared<EventSink>();
    sink->loop = &runloop::RunLoop::current();
    sink->callback = std::move(callback);
    sink->lookups = lookups_;
    sink->self = sink;
    const idevice_error_t status = idevice_event_subscribe(&onEvent, sink.get());
    if (status != IDEVICE_E_SUCCESS) return status;
    *out = std::make_unique<RealSubscription>(std::move(sink));
    return 0;
  }

  int connect(const std::string& udid, std::unique_ptr<Connection>* out) override {
    auto it = lookups_->find(udid);
    const idevice_options lookup = it == lookups_->end() ? IDEVICE_LOOKUP_USBMUX : it->second;
    idevice_t device = nullptr;
    idevice_error_t status = idevice_new_with_options(&device, udid.c_str(), lookup);
    if (status != IDEVICE_E_SUCCESS) return status;
    lockdownd_client_t client = nullptr;
    const lockdownd_error_t lockdown = lockdownd_client_new(device, &client, kLabel);
    if (lockdown != LOCKDOWN_E_SUCCESS) {
      idevice_free(device);
      return lockdown;
    }
    *out = std::make_unique<RealConnection>(udid, device, client);
    return 0;
  }

 private:
  // libusbmuxd's event thread: hand the event to the subscriber's run loop.
  static void onEvent(const idevice_event_t* event, void* user_data) {
    if (!event || !event->udid) return;
    // The subscription keeps the sink alive while this thread runs.
    std::shared_ptr<EventSink> sink = static_cast<EventSink*>(user_data)->self.lock();
    if (!sink) return;
    Notification notification;
    notification.device = event->udid;
    switch (event->event) {
      case IDEVICE_DEVICE_ADD:
        notification.kind = kAttached;
        break;
      case IDEVICE_DEVICE_REMOVE:
        notification.kind = kDetached;
        break;
      default:
        notification.kind = kPaired;
        break;
    }
    const idevice_options lookup =
        event->conn_type == CONNECTION_NETWORK ? IDEVICE_LOOKUP_NETWORK : IDEVICE_LOOKUP_USBMUX;
    sink->loop->post([sink, notification, lookup] {
      if (!sink->active) return;
      (*sink->lookups)[notification.device] = lookup;
      sink->callback(&notification);
    });
  }

  std::shared_ptr<Lookups> lookups_ = std::make_shared<Lookups>();
};

}  // namespace

std::unique_ptr<Phone> newLibimobiledevicePhone() {
  return std::make_unique<LibimobiledevicePhone>();
}

}  // namespace phone
