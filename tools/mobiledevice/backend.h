// The one interface between the device-service operations (mobile_device.h)
// and whatever really talks to a phone. Abstract so it can be mocked out for
// tests: the program sees only the operations, never the backend below them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core_foundation.h"

namespace mobiledevice {

// Handles. Each backend derives its own objects from these and owns them.
struct Device {
  virtual ~Device() = default;
};
struct Notification {
  virtual ~Notification() = default;
};
struct ServiceConnection {
  virtual ~ServiceConnection() = default;
};
struct AFCConnection {
  virtual ~AFCConnection() = default;
};
struct AFCDirectory {
  virtual ~AFCDirectory() = default;
};

}  // namespace mobiledevice

using AMDeviceRef = mobiledevice::Device*;
using AMDeviceNotificationRef = mobiledevice::Notification*;
using AMDServiceConnectionRef = mobiledevice::ServiceConnection*;
using AFCConnectionRef = mobiledevice::AFCConnection*;
using AFCDirectoryRef = mobiledevice::AFCDirectory*;
using AFCFileRef = uint64_t;

// Message kinds of a device notification.
enum : uint32_t {
  ADNCI_MSG_CONNECTED = 1,
  ADNCI_MSG_DISCONNECTED = 2,
  ADNCI_MSG_PAIRED = 3,
};

// What a device-notification callback receives.
struct am_device_notification_callback_info {
  AMDeviceRef dev;
  uint32_t msg;
};

using am_device_notification_callback =
    void (*)(am_device_notification_callback_info* info, void* context);

namespace mobiledevice {

using KeyValues = std::vector<std::pair<std::string, std::string>>;

class Backend {
 public:
  virtual ~Backend() = default;

  // Notifications must reach the callback on the thread that subscribed,
  // from inside that thread's run loop (CFRunLoopRunInMode).
  virtual int Subscribe(am_device_notification_callback callback, void* context,
                        Notification** out) = 0;

  virtual int Connect(Device* device) = 0;
  virtual bool IsPaired(Device* device) = 0;
  virtual int ValidatePairing(Device* device) = 0;
  virtual int StartSession(Device* device) = 0;
  virtual int StopSession(Device* device) = 0;
  virtual int Disconnect(Device* device) = 0;
  // A new value (the caller releases it) or none.
  virtual CFTypeRef CopyValue(Device* device, const char* domain, const char* key) = 0;

  virtual int SecureStartService(Device* device, const char* name,
                                 ServiceConnection** out) = 0;
  virtual int ServiceSocket(ServiceConnection* service) = 0;
  virtual void* ServiceSecureContext(ServiceConnection* service) = 0;
  virtual int StartService(Device* device, const char* name, int* socket,
                           uint32_t* unknown) = 0;

  virtual int AFCOpen(int socket, unsigned int io_timeout, AFCConnection** out) = 0;
  virtual int AFCSetSecureContext(AFCConnection* connection, void* context) = 0;
  virtual int AFCClose(AFCConnection* connection) = 0;

  virtual int DirectoryOpen(AFCConnection* connection, const char* path,
                            AFCDirectory** out) = 0;
  // Sets *name to the next entry (valid until the next read or the close),
  // or to none at the end.
  virtual int DirectoryRead(AFCConnection* connection, AFCDirectory* directory,
                            char** name) = 0;
  virtual int DirectoryClose(AFCConnection* connection, AFCDirectory* directory) = 0;

  virtual int FileInfo(AFCConnection* connection, const char* path, KeyValues* out) = 0;
  virtual int FileOpen(AFCConnection* connection, const char* path, uint64_t mode,
                       AFCFileRef* out) = 0;
  virtual int FileRead(AFCConnection* connection, AFCFileRef file, void* buffer,
                       uint32_t capacity, uint32_t* count) = 0;
  virtual int FileClose(AFCConnection* connection, AFCFileRef file) = 0;
};

// Installs the backend that the operations dispatch to, replacing (and
// destroying) the one installed before; none uninstalls. Call from the main
// thread while no operation runs.
void SetBackend(std::unique_ptr<Backend> backend);
Backend* CurrentBackend();

}  // namespace mobiledevice
