#include "mobile_device.h"

#include <cstddef>
#include <string>
#include <utility>

namespace mobiledevice {
namespace {

std::unique_ptr<Backend>& InstalledBackend() {
  static std::unique_ptr<Backend> backend;
  return backend;
}

// The text of a string value, whatever its length, or false when there is
// none.
bool TextOf(CFStringRef string, std::string* out) {
  if (string == nullptr || CFGetTypeID(string) != CFStringGetTypeID()) return false;
  std::string buffer(1024, '\0');
  while (!CFStringGetCString(string, buffer.data(), static_cast<CFIndex>(buffer.size()),
                             kCFStringEncodingUTF8)) {
    if (buffer.size() >= (size_t{1} << 30)) return false;
    buffer.resize(buffer.size() * 2);
  }
  *out = buffer.c_str();
  return true;
}

}  // namespace

void SetBackend(std::unique_ptr<Backend> backend) {
  // Destroy the old backend before the new one starts.
  InstalledBackend().reset();
  InstalledBackend() = std::move(backend);
}

Backend* CurrentBackend() { return InstalledBackend().get(); }

}  // namespace mobiledevice

using mobiledevice::CurrentBackend;
using mobiledevice::TextOf;

struct AFCKeyValues {
  mobiledevice::KeyValues pairs;
  size_t next = 0;
};

int AMDeviceNotificationSubscribe(am_device_notification_callback callback,
                                  uint32_t /*unused0*/, uint32_t /*unused1*/, void* context,
                                  AMDeviceNotificationRef* notification) {
  if (notification) *notification = nullptr;
  auto* backend = CurrentBackend();
  if (!backend) return kAMDNoBackendError;
  mobiledevice::Notification* handle = nullptr;
  int status = backend->Subscribe(callback, context, &handle);
  if (notification) *notification = handle;
  return status;
}

int AMDeviceConnect(AMDeviceRef device) {
  auto* backend = CurrentBackend();
  return backend ? backend->Connect(device) : kAMDNoBackendError;
}

int AMDeviceIsPaired(AMDeviceRef device) {
  auto* backend = CurrentBackend();
  return backend && backend->IsPaired(device) ? 1 : 0;
}

int AMDeviceValidatePairing(AMDeviceRef device) {
  auto* backend = CurrentBackend();
  return backend ? backend->ValidatePairing(device) : kAMDNoBackendError;
}

int AMDeviceStartSession(AMDeviceRef device) {
  auto* backend = CurrentBackend();
  return backend ? backend->StartSession(device) : kAMDNoBackendError;
}

int AMDeviceStopSession(AMDeviceRef device) {
  auto* backend = CurrentBackend();
  return backend ? backend->StopSession(device) : kAMDNoBackendError;
}

int AMDeviceDisconnect(AMDeviceRef device) {
  auto* backend = CurrentBackend();
  return backend ? backend->Disconnect(device) : kAMDNoBackendError;
}

CFTypeRef AMDeviceCopyValue(AMDeviceRef device, CFStringRef domain, CFStringRef key) {
  auto* backend = CurrentBackend();
  std::string domain_text, key_text;
  if (!backend || !TextOf(key, &key_text)) return nullptr;
  const bool has_domain = TextOf(domain, &domain_text);
  return backend->CopyValue(device, has_domain ? domain_text.c_str() : nullptr,
                            key_text.c_str());
}

int AMDeviceSecureStartService(AMDeviceRef device, CFStringRef service_name,
                               CFTypeRef /*options*/, AMDServiceConnectionRef* service) {
  if (service) *service = nullptr;
  auto* backend = CurrentBackend();
  if (!backend) return kAMDNoBackendError;
  std::string name;
  if (!TextOf(service_name, &name)) return kAMDNoBackendError + 1;
  mobiledevice::ServiceConnection* handle = nullptr;
  int status = backend->SecureStartService(device, name.c_str(), &handle);
  if (service) *service = handle;
  return status;
}

int AMDServiceConnectionGetSocket(AMDServiceConnectionRef service) {
  auto* backend = CurrentBackend();
  return backend && service ? backend->ServiceSocket(service) : -1;
}

void* AMDServiceConnectionGetSecureIOContext(AMDServiceConnectionRef service) {
  auto* backend = CurrentBackend();
  return backend && service ? backend->ServiceSecureContext(service) : nullptr;
}

int AMDeviceStartService(AMDeviceRef device, CFStringRef service_name, int* socket,
                         uint32_t* unknown) {
  auto* backend = CurrentBackend();
  if (!backend) return kAMDNoBackendError;
  std::string name;
  if (!TextOf(service_name, &name)) return kAMDNoBackendError + 1;
  int socket_value = 0;
  uint32_t unknown_value = 0;
  int status = backend->StartService(device, name.c_str(), &socket_value, &unknown_value);
  if (socket) *socket = socket_value;
  if (unknown) *unknown = unknown_value;
  return status;
}

int AFCConnectionOpen(int socket, unsigned int io_timeout, AFCConnectionRef* connection) {
  if (connection) *connection = nullptr;
  auto* backend = CurrentBackend();
  if (!backend) return kAMDNoBackendError;
  mobiledevice::AFCConnection* handle = nullptr;
  int status = backend->AFCOpen(socket, io_timeout, &handle);
  if (connection) *connection = handle;
  return status;
}

int AFCConnectionSetSecureContext(AFCConnectionRef connection, void* context) {
  auto* backend = CurrentBackend();
  return backend ? backend->AFCSetSecureContext(connection, context) : kAMDNoBackendError;
}

int AFCConnectionClose(AFCConnectionRef connection) {
  auto* backend = CurrentBackend();
  return backend ? backend->AFCClose(connection) : kAMDNoBackendError;
}

int AFCDirectoryOpen(AFCConnectionRef connection, const char* path,
                     AFCDirectoryRef* directory) {
  if (directory) *directory = nullptr;
  auto* backend = CurrentBackend();
  if (!backend) return kAMDNoBackendError;
  mobiledevice::AFCDirectory* handle = nullptr;
  int status = backend->DirectoryOpen(connection, path, &handle);
  if (directory) *directory = handle;
  return status;
}

int AFCDirectoryRead(AFCConnectionRef connection, AFCDirectoryRef directory, char** name) {
  if (name) *name = nullptr;
  auto* backend = CurrentBackend();
  if (!backend) return kAMDNoBackendError;
  char* entry = nullptr;
  int status = backend->DirectoryRead(connection, directory, &entry);
  if (name) *name = entry;
  return status;
}

int AFCDirectoryClose(AFCConnectionRef connection, AFCDirectoryRef directory) {
  auto* backend = CurrentBackend();
  return backend ? backend->DirectoryClose(connection, directory) : kAMDNoBackendError;
}

int AFCFileInfoOpen(AFCConnectionRef connection, const char* path, AFCDictionaryRef* info) {
  if (info) *info = nullptr;
  auto* backend = CurrentBackend();
  if (!backend) return kAMDNoBackendError;
  auto values = std::make_unique<AFCKeyValues>();
  int status = backend->FileInfo(connection, path, &values->pairs);
  if (status == 0 && info) *info = values.release();
  return status;
}

int AFCKeyValueRead(AFCDictionaryRef info, const char** key, const char** value) {
  if (key) *key = nullptr;
  if (value) *value = nullptr;
  if (!info) return kAMDNoBackendError + 2;
  if (info->next < info->pairs.size()) {
    const auto& pair = info->pairs[info->next++];
    if (key) *key = pair.first.c_str();
    if (value) *value = pair.second.c_str();
  }
  return 0;
}

int AFCKeyValueClose(AFCDictionaryRef info) {
  delete info;
  return 0;
}

int AFCFileRefOpen(AFCConnectionRef connection, const char* path, uint64_t mode,
                   AFCFileRef* file) {
  if (file) *file = 0;
  auto* backend = CurrentBackend();
  if (!backend) return kAMDNoBackendError;
  AFCFileRef handle = 0;
  int status = backend->FileOpen(connection, path, mode, &handle);
  if (file) *file = handle;
  return status;
}

int AFCFileRefRead(AFCConnectionRef connection, AFCFileRef file, void* buffer,
                   uint32_t capacity, uint32_t* count) {
  if (count) *count = 0;
  auto* backend = CurrentBackend();
  if (!backend) return kAMDNoBackendError;
  uint32_t placed = 0;
  int status = backend->FileRead(connection, file, buffer, capacity, &placed);
  if (placed > capacity) placed = capacity;  // never trust a count past the buffer
  if (count) *count = placed;
  return status;
}

int AFCFileRefClose(AFCConnectionRef connection, AFCFileRef file) {
  auto* backend = CurrentBackend();
  return backend ? backend->FileClose(connection, file) : kAMDNoBackendError;
}
