// A small client of the emulated phone written against libimobiledevice,
// the way an importer uses it: events, pair record, validation, session with
// TLS, device name, AFC service, folder listing and chunked file reads. Every
// call hands back the library's own status, so tests see faults exactly as
// the library reports them.
#pragma once

#include <libimobiledevice/afc.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace emulated_phone::testing {

// Points libusbmuxd at the emulator (USBMUXD_SOCKET_ADDRESS).
void useUsbmuxdAddress(const std::string& address);

// Subscribes to device events for its lifetime.
class DeviceEvents {
 public:
  DeviceEvents();
  ~DeviceEvents();
  DeviceEvents(const DeviceEvents&) = delete;
  DeviceEvents& operator=(const DeviceEvents&) = delete;
  idevice_error_t status() const { return status_; }
  // Waits for an event of `type`; true and its UDID when one came in time.
  bool waitFor(idevice_event_type type, std::chrono::milliseconds timeout, std::string* udid);

 private:
  static void onEvent(const idevice_event_t* event, void* self);
  idevice_error_t status_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::pair<idevice_event_type, std::string>> events_;
};

// The pair record usbmuxd holds for `udid`: 0 and its HostID, or the
// library's (negative) status.
int readPairRecordHostId(const std::string& udid, std::string* host_id);

class PhoneClient {
 public:
  explicit PhoneClient(std::string udid) : udid_(std::move(udid)) {}
  ~PhoneClient();
  PhoneClient(const PhoneClient&) = delete;
  PhoneClient& operator=(const PhoneClient&) = delete;

  idevice_error_t open();
  lockdownd_error_t connectLockdown();  // plain client, no handshake
  lockdownd_error_t validatePairing();
  lockdownd_error_t pair();
  lockdownd_error_t startSession();     // with the pair record's HostID
  lockdownd_error_t deviceName(std::string* name);
  lockdownd_error_t startService(const char* service, uint16_t* port);
  afc_error_t openAfc();  // connects to the service last started
  lockdownd_error_t stopSession();

  afc_error_t listFolder(const std::string& path, std::vector<std::string>* names);
  afc_error_t fileInfo(const std::string& path, std::vector<std::string>* pairs);
  // Reads a whole file with reads of `chunk` bytes; `sink` gets every piece.
  afc_error_t readFile(const std::string& path, uint32_t chunk,
                       const std::function<void(const char*, uint32_t)>& sink);
  afc_error_t readFile(const std::string& path, uint32_t chunk, std::string* content);

  afc_client_t afc() const { return afc_; }

 private:
  std::string udid_;
  idevice_t device_ = nullptr;
  lockdownd_client_t lockdown_ = nullptr;
  lockdownd_service_descriptor_t service_ = nullptr;
  afc_client_t afc_ = nullptr;
  std::string session_id_;
  std::vector<char> buffer_;
};

}  // namespace emulated_phone::testing
