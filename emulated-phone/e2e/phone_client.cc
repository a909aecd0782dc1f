#include "e2e/phone_client.h"

#include <plist/plist.h>
#include <stdlib.h>
#include <usbmuxd.h>

#include <memory>

namespace emulated_phone::testing {

void useUsbmuxdAddress(const std::string& address) {
  ::setenv("USBMUXD_SOCKET_ADDRESS", address.c_str(), 1);
}

DeviceEvents::DeviceEvents() { status_ = idevice_event_subscribe(&DeviceEvents::onEvent, this); }

DeviceEvents::~DeviceEvents() {
  if (status_ == IDEVICE_E_SUCCESS) idevice_event_unsubscribe();
}

void DeviceEvents::onEvent(const idevice_event_t* event, void* self) {
  auto* events = static_cast<DeviceEvents*>(self);
  std::lock_guard<std::mutex> lock(events->mutex_);
  events->events_.emplace_back(event->event, event->udid ? event->udid : "");
  events->changed_.notify_all();
}

bool DeviceEvents::waitFor(idevice_event_type type, std::chrono::milliseconds timeout,
                           std::string* udid) {
  std::unique_lock<std::mutex> lock(mutex_);
  bool found = changed_.wait_for(lock, timeout, [&] {
    for (const auto& e : events_)
      if (e.first == type) return true;
    return false;
  });
  if (found && udid) {
    for (const auto& e : events_)
      if (e.first == type) *udid = e.second;
  }
  return found;
}

int readPairRecordHostId(const std::string& udid, std::string* host_id) {
  char* data = nullptr;
  uint32_t size = 0;
  int rc = usbmuxd_read_pair_record(udid.c_str(), &data, &size);
  if (rc != 0) return rc;
  plist_t record = nullptr;
  plist_from_memory(data, size, &record);
  free(data);
  if (!record) return -1;
  plist_t node = plist_dict_get_item(record, "HostID");
  char* id = nullptr;
  if (node && plist_get_node_type(node) == PLIST_STRING) plist_get_string_val(node, &id);
  if (id) *host_id = id;
  free(id);
  plist_free(record);
  return host_id->empty() ? -1 : 0;
}

PhoneClient::~PhoneClient() {
  if (afc_) afc_client_free(afc_);
  if (service_) lockdownd_service_descriptor_free(service_);
  if (lockdown_) lockdownd_client_free(lockdown_);
  if (device_) idevice_free(device_);
}

idevice_error_t PhoneClient::open() { return idevice_new(&device_, udid_.c_str()); }

lockdownd_error_t PhoneClient::connectLockdown() {
  return lockdownd_client_new(device_, &lockdown_, "phone-client");
}

lockdownd_error_t PhoneClient::validatePairing() {
  return lockdownd_validate_pair(lockdown_, nullptr);
}

lockdownd_error_t PhoneClient::pair() { return lockdownd_pair(lockdown_, nullptr); }

lockdownd_error_t PhoneClient::startSession() {
  std::string host_id;
  if (readPairRecordHostId(udid_, &host_id) != 0) return LOCKDOWN_E_INVALID_CONF;
  int ssl = 0;
  char* id = nullptr;
  lockdownd_error_t rc = lockdownd_start_session(lockdown_, host_id.c_str(), &id, &ssl);
  if (id) session_id_ = id;
  free(id);
  return rc;
}

lockdownd_error_t PhoneClient::deviceName(std::string* name) {
  char* value = nullptr;
  lockdownd_error_t rc = lockdownd_get_device_name(lockdown_, &value);
  if (value) *name = value;
  free(value);
  return rc;
}

lockdownd_error_t PhoneClient::startService(const char* service, uint16_t* port) {
  if (service_) lockdownd_service_descriptor_free(service_);
  service_ = nullptr;
  lockdownd_error_t rc = lockdownd_start_service(lockdown_, service, &service_);
  if (rc == LOCKDOWN_E_SUCCESS && port) *port = service_->port;
  return rc;
}

afc_error_t PhoneClient::openAfc() {
  if (!service_) return AFC_E_INVALID_ARG;
  return afc_client_new(device_, service_, &afc_);
}

lockdownd_error_t PhoneClient::stopSession() {
  return lockdownd_stop_session(lockdown_, session_id_.c_str());
}

afc_error_t PhoneClient::listFolder(const std::string& path, std::vector<std::string>* names) {
  char** list = nullptr;
  afc_error_t rc = afc_read_directory(afc_, path.c_str(), &list);
  names->clear();
  for (char** p = list; p && *p; ++p) names->push_back(*p);
  if (list) afc_dictionary_free(list);
  return rc;
}

afc_error_t PhoneClient::fileInfo(const std::string& path, std::vector<std::string>* pairs) {
  char** list = nullptr;
  afc_error_t rc = afc_get_file_info(afc_, path.c_str(), &list);
  pairs->clear();
  for (char** p = list; p && *p; ++p) pairs->push_back(*p);
  if (list) afc_dictionary_free(list);
  return rc;
}

afc_error_t PhoneClient::readFile(const std::string& path, uint32_t chunk,
                                  const std::function<void(const char*, uint32_t)>& sink) {
  uint64_t handle = 0;
  afc_error_t rc = afc_file_open(afc_, path.c_str(), AFC_FOPEN_RDONLY, &handle);
  if (rc != AFC_E_SUCCESS) return rc;
  if (buffer_.size() < chunk) buffer_.resize(chunk);
  for (;;) {
    uint32_t got = 0;
    rc = afc_file_read(afc_, handle, buffer_.data(), chunk, &got);
    if (rc != AFC_E_SUCCESS || got == 0) break;
    sink(buffer_.data(), got);
  }
  afc_file_close(afc_, handle);
  return rc;
}

afc_error_t PhoneClient::readFile(const std::string& path, uint32_t chunk, std::string* content) {
  content->clear();
  return readFile(path, chunk, [&](const char* data, uint32_t size) { content->append(data, size); });
}

}  // namespace emulated_phone::testing
