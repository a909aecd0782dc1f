#include "libimobiledevice_backend.h"

#include <libimobiledevice/afc.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <plist/plist.h>
#include <usbmuxd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "run_loop.h"

namespace mobiledevice {
namespace {

constexpr const char kLabel[] = "Oskavel";

// Codes of our own, outside the libraries' ranges.
constexpr int kNoSuchDevice = -900;
constexpr int kNotConnected = -901;
constexpr int kNoSuchSocket = -902;
constexpr int kBadHandle = -903;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

struct PlistDeleter {
  void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

struct RealDevice : Device {
  ~RealDevice() override {
    if (client) lockdownd_client_free(client);
    if (idevice) idevice_free(idevice);
  }
  std::string udid;
  idevice_t idevice = nullptr;
  lockdownd_client_t client = nullptr;
};

struct RealService : ServiceConnection {
  ~RealService() override {
    if (descriptor) lockdownd_service_descriptor_free(descriptor);
  }
  RealDevice* device = nullptr;
  lockdownd_service_descriptor_t descriptor = nullptr;
  int socket = 0;
};

// File data is asked of the phone in large requests and handed out in the
// smaller reads the caller makes: every request is a round trip, and the
// caller's 64 KiB reads would otherwise cost sixteen of them per MiB.
constexpr uint32_t kReadAhead = 1 << 20;

struct ReadAhead {
  std::unique_ptr<char[]> data;
  uint32_t length = 0;
  uint32_t position = 0;
};

struct RealAFC : AFCConnection {
  ~RealAFC() override {
    if (client) afc_client_free(client);
  }
  // Records a status; once the connection to the phone is lost, every later
  // call fails at once with the same status instead of waiting for the
  // library's receive timeout again.
  int Check(int status) {
    if (status == AFC_E_MUX_ERROR) broken = true;
    return status;
  }
  afc_client_t client = nullptr;
  bool broken = false;
  std::map<uint64_t, ReadAhead> reads;  // by open file
};

struct RealDirectory : AFCDirectory {
  ~RealDirectory() override {
    if (entries) afc_dictionary_free(entries);
  }
  char** entries = nullptr;
  size_t next = 0;
};

struct Subscription : Notification {};

// Shared with libusbmuxd's event thread: the loop to hand events to.
struct EventSink {
  std::mutex mutex;
  runloop::RunLoop* loop = nullptr;
};

class LibimobiledeviceBackend : public Backend {
 public:
  LibimobiledeviceBackend() = default;
  ~LibimobiledeviceBackend() override {
    if (subscribed_) {
      // Joins libusbmuxd's event thread: no event reaches us after this.
      idevice_event_unsubscribe();
      std::lock_guard<std::mutex> lock(sink_.mutex);
      sink_.loop = nullptr;
    }
    directories_.clear();
    afc_.clear();
    services_.clear();
    devices_.clear();
  }

  int Subscribe(am_device_notification_callback callback, void* context,
                Notification** out) override {
    if (subscribed_) return kBadHandle;
    callback_ = callback;
    context_ = context;
    {
      std::lock_guard<std::mutex> lock(sink_.mutex);
      sink_.loop = &runloop::RunLoop::current();
    }
    int status = idevice_event_subscribe(&LibimobiledeviceBackend::OnEvent, this);
    if (status != IDEVICE_E_SUCCESS) return status;
    subscribed_ = true;
    *out = &subscription_;
    return 0;
  }

  int Connect(Device* device) override {
    RealDevice* d = Find(device);
    if (!d) return kNoSuchDevice;
    if (d->client) return 0;
    return lockdownd_client_new(d->idevice, &d->client, kLabel);
  }

  bool IsPaired(Device* device) override {
    RealDevice* d = Find(device);
    if (!d) return false;
    char* record = nullptr;
    uint32_t size = 0;
    if (usbmuxd_read_pair_record(d->udid.c_str(), &record, &size) == 0 && record) {
      std::free(record);
      return true;
    }
    std::free(record);
    // Asking the phone to pair is what makes it show "Trust this computer?".
    // When the user already tapped Trust, the pairing completes at once and
    // the library saves the record.
    if (!d->client) return false;
    return lockdownd_pair(d->client, nullptr) == LOCKDOWN_E_SUCCESS;
  }

  int ValidatePairing(Device* device) override {
    RealDevice* d = Find(device);
    if (!d) return kNoSuchDevice;
    if (!d->client) return kNotConnected;
    return lockdownd_validate_pair(d->client, nullptr);
  }

  int StartSession(Device* device) override {
    RealDevice* d = Find(device);
    if (!d) return kNoSuchDevice;
    if (!d->client) return kNotConnected;
    // The handshake learns the phone's version, which decides the TLS the
    // session and every service use; a plain client would offer TLS 1.0
    // only, which current phones refuse. It starts the session with the
    // HostID of the pair record.
    lockdownd_client_free(d->client);
    d->client = nullptr;
    lockdownd_client_t session = nullptr;
    lockdownd_error_t status =
        lockdownd_client_new_with_handshake(d->idevice, &session, kLabel);
    if (status != LOCKDOWN_E_SUCCESS) return status;
    d->client = session;
    return 0;
  }

  int StopSession(Device* device) override {
    RealDevice* d = Find(device);
    if (!d) return kNoSuchDevice;
    if (!d->client) return kNotConnected;
    // Freeing the client stops its session and says goodbye.
    lockdownd_error_t status = lockdownd_client_free(d->client);
    d->client = nullptr;
    return status;
  }

  int Disconnect(Device* device) override {
    RealDevice* d = Find(device);
    if (!d) return kNoSuchDevice;
    if (d->client) {
      lockdownd_client_free(d->client);
      d->client = nullptr;
    }
    return 0;
  }

  CFTypeRef CopyValue(Device* device, const char* domain, const char* key) override {
    RealDevice* d = Find(device);
    if (!d || !d->client) return nullptr;
    plist_t raw = nullptr;
    if (lockdownd_get_value(d->client, domain, key, &raw) != LOCKDOWN_E_SUCCESS) {
      plist_free(raw);
      return nullptr;
    }
    PlistPtr value(raw);
    if (!value) return nullptr;
    if (plist_get_node_type(value.get()) != PLIST_STRING) return CreateOpaqueValue();
    char* text = nullptr;
    plist_get_string_val(value.get(), &text);
    std::unique_ptr<char, FreeDeleter> owned(text);
    if (!text) return nullptr;
    return CFStringCreateWithCString(kCFAllocatorDefault, text, kCFStringEncodingUTF8);
  }

  int SecureStartService(Device* device, const char* name, ServiceConnection** out) override {
    RealService* service = nullptr;
    int status = Start(device, name, &service);
    if (status == 0) *out = service;
    return status;
  }

  int ServiceSocket(ServiceConnection* service) override {
    auto* s = FindService(service);
    return s ? s->socket : 0;
  }

  void* ServiceSecureContext(ServiceConnection* service) override {
    // The descriptor says whether the phone wants TLS on the service; the
    // AFC client then sets it up itself when it connects.
    auto* s = FindService(service);
    return s && s->descriptor && s->descriptor->ssl_enabled ? s : nullptr;
  }

  int StartService(Device* device, const char* name, int* socket,
                   uint32_t* unknown) override {
    RealService* service = nullptr;
    int status = Start(device, name, &service);
    if (status == 0) *socket = service->socket;
    *unknown = 0;
    return status;
  }

  int AFCOpen(int socket, unsigned int /*io_timeout*/, AFCConnection** out) override {
    auto it = sockets_.find(socket);
    if (it == sockets_.end()) return kNoSuchSocket;
    RealService* service = it->second;
    auto afc = std::make_unique<RealAFC>();
    afc_error_t status =
        afc_client_new(service->device->idevice, service->descriptor, &afc->client);
    if (status != AFC_E_SUCCESS) return status;
    *out = afc.get();
    afc_.emplace(afc.get(), std::move(afc));
    return 0;
  }

  int AFCSetSecureContext(AFCConnection* connection, void* /*context*/) override {
    return FindAFC(connection) ? 0 : kBadHandle;
  }

  int AFCClose(AFCConnection* connection) override {
    auto it = afc_.find(connection);
    if (it == afc_.end()) return kBadHandle;
    afc_.erase(it);
    return 0;
  }

  int DirectoryOpen(AFCConnection* connection, const char* path,
                    AFCDirectory** out) override {
    RealAFC* afc = FindAFC(connection);
    if (!afc || !path) return kBadHandle;
    if (afc->broken) return AFC_E_MUX_ERROR;
    auto directory = std::make_unique<RealDirectory>();
    const int status = afc->Check(afc_read_directory(afc->client, path, &directory->entries));
    if (status != AFC_E_SUCCESS) return status;
    *out = directory.get();
    directories_.emplace(directory.get(), std::move(directory));
    return 0;
  }

  int DirectoryRead(AFCConnection* /*connection*/, AFCDirectory* directory,
                    char** name) override {
    auto it = directories_.find(directory);
    if (it == directories_.end()) return kBadHandle;
    RealDirectory* d = it->second.get();
    if (d->entries && d->entries[d->next]) *name = d->entries[d->next++];
    return 0;
  }

  int DirectoryClose(AFCConnection* /*connection*/, AFCDirectory* directory) override {
    return directories_.erase(directory) ? 0 : kBadHandle;
  }

  int FileInfo(AFCConnection* connection, const char* path, KeyValues* out) override {
    RealAFC* afc = FindAFC(connection);
    if (!afc || !path) return kBadHandle;
    if (afc->broken) return AFC_E_MUX_ERROR;
    char** info = nullptr;
    const int status = afc->Check(afc_get_file_info(afc->client, path, &info));
    if (status != AFC_E_SUCCESS) {
      if (info) afc_dictionary_free(info);
      return status;
    }
    for (size_t i = 0; info && info[i] && info[i + 1]; i += 2) {
      out->emplace_back(info[i], info[i + 1]);
    }
    if (info) afc_dictionary_free(info);
    return 0;
  }

  int FileOpen(AFCConnection* connection, const char* path, uint64_t mode,
               AFCFileRef* out) override {
    RealAFC* afc = FindAFC(connection);
    if (!afc || !path) return kBadHandle;
    if (afc->broken) return AFC_E_MUX_ERROR;
    uint64_t handle = 0;
    const int status = afc->Check(
        afc_file_open(afc->client, path, static_cast<afc_file_mode_t>(mode), &handle));
    if (status == AFC_E_SUCCESS) *out = handle;
    return status;
  }

  int FileRead(AFCConnection* connection, AFCFileRef file, void* buffer, uint32_t capacity,
               uint32_t* count) override {
    RealAFC* afc = FindAFC(connection);
    if (!afc) return kBadHandle;
    *count = 0;
    if (afc->broken) return AFC_E_MUX_ERROR;
    if (capacity >= kReadAhead) {
      return afc->Check(
          afc_file_read(afc->client, file, static_cast<char*>(buffer), capacity, count));
    }
    ReadAhead& ahead = afc->reads[file];
    if (ahead.position == ahead.length) {
      if (!ahead.data) ahead.data = std::make_unique<char[]>(kReadAhead);
      uint32_t got = 0;
      const int status =
          afc->Check(afc_file_read(afc->client, file, ahead.data.get(), kReadAhead, &got));
      ahead.position = ahead.length = 0;
      if (status != AFC_E_SUCCESS) return status;
      if (got > kReadAhead) return AFC_E_TOO_MUCH_DATA;
      ahead.length = got;
      if (got == 0) return 0;  // end of file
    }
    const uint32_t n = std::min(capacity, ahead.length - ahead.position);
    std::memcpy(buffer, ahead.data.get() + ahead.position, n);
    ahead.position += n;
    *count = n;
    return 0;
  }

  int FileClose(AFCConnection* connection, AFCFileRef file) override {
    RealAFC* afc = FindAFC(connection);
    if (!afc) return kBadHandle;
    afc->reads.erase(file);
    if (afc->broken) return AFC_E_MUX_ERROR;
    return afc->Check(afc_file_close(afc->client, file));
  }

 private:
  // libusbmuxd's event thread: hand the event to the subscriber's run loop.
  static void OnEvent(const idevice_event_t* event, void* user_data) {
    if (!event || !event->udid) return;
    auto* self = static_cast<LibimobiledeviceBackend*>(user_data);
    std::string udid = event->udid;
    const int kind = event->event;
    const int conn_type = event->conn_type;
    std::lock_guard<std::mutex> lock(self->sink_.mutex);
    if (!self->sink_.loop) return;
    self->sink_.loop->post([self, udid, kind, conn_type] {
      self->Deliver(udid, kind, conn_type);
    });
  }

  // On the subscriber's thread, inside its run loop.
  void Deliver(const std::string& udid, int kind, int conn_type) {
    am_device_notification_callback_info info{};
    switch (kind) {
      case IDEVICE_DEVICE_ADD:
        info.msg = ADNCI_MSG_CONNECTED;
        info.dev = FindOrCreate(udid, conn_type);
        break;
      case IDEVICE_DEVICE_REMOVE:
        info.msg = ADNCI_MSG_DISCONNECTED;
        info.dev = FindByUdid(udid);
        break;
      default:
        info.msg = ADNCI_MSG_PAIRED;
        info.dev = FindByUdid(udid);
        break;
    }
    if (callback_) callback_(&info, context_);
  }

  RealDevice* FindByUdid(const std::string& udid) {
    for (auto& d : devices_) {
      if (d->udid == udid) return d.get();
    }
    return nullptr;
  }

  RealDevice* FindOrCreate(const std::string& udid, int conn_type) {
    if (RealDevice* d = FindByUdid(udid)) return d;
    auto d = std::make_unique<RealDevice>();
    d->udid = udid;
    const auto lookup = conn_type == CONNECTION_NETWORK ? IDEVICE_LOOKUP_NETWORK
                                                        : IDEVICE_LOOKUP_USBMUX;
    if (idevice_new_with_options(&d->idevice, udid.c_str(), lookup) != IDEVICE_E_SUCCESS) {
      return nullptr;
    }
    devices_.push_back(std::move(d));
    return devices_.back().get();
  }

  RealDevice* Find(Device* device) {
    for (auto& d : devices_) {
      if (d.get() == device) return d.get();
    }
    return nullptr;
  }

  RealService* FindService(ServiceConnection* service) {
    for (auto& s : services_) {
      if (s.get() == service) return s.get();
    }
    return nullptr;
  }

  RealAFC* FindAFC(AFCConnection* connection) {
    auto it = afc_.find(connection);
    return it == afc_.end() ? nullptr : it->second.get();
  }

  int Start(Device* device, const char* name, RealService** out) {
    RealDevice* d = Find(device);
    if (!d) return kNoSuchDevice;
    if (!d->client) return kNotConnected;
    auto service = std::make_unique<RealService>();
    lockdownd_error_t status = lockdownd_start_service(d->client, name, &service->descriptor);
    if (status != LOCKDOWN_E_SUCCESS) return status;
    service->device = d;
    service->socket = next_socket_++;
    sockets_[service->socket] = service.get();
    *out = service.get();
    services_.push_back(std::move(service));
    return 0;
  }

  EventSink sink_;
  bool subscribed_ = false;
  am_device_notification_callback callback_ = nullptr;
  void* context_ = nullptr;
  Subscription subscription_;
  // Owned handles; the program never frees a service connection, so they
  // live as long as the backend does.
  std::vector<std::unique_ptr<RealDevice>> devices_;
  std::vector<std::unique_ptr<RealService>> services_;
  std::map<int, RealService*> sockets_;
  int next_socket_ = 3;
  std::map<AFCConnection*, std::unique_ptr<RealAFC>> afc_;
  std::map<AFCDirectory*, std::unique_ptr<RealDirectory>> directories_;
};

}  // namespace

std::unique_ptr<Backend> NewLibimobiledeviceBackend() {
  return std::make_unique<LibimobiledeviceBackend>();
}

}  // namespace mobiledevice
