// The device-service operations the importer calls, named after the
// framework operations they stand for. Status 0 is success; any other status
// is the backend's own code, to be passed on unchanged. With no backend
// installed every operation fails with kAMDNoBackendError (or gives none).
#pragma once

#include <cstdint>

#include "backend.h"
#include "core_foundation.h"

inline constexpr int kAMDNoBackendError = -402653183;

// AFC open modes.
inline constexpr uint64_t kAFCFileModeRead = 1;

int AMDeviceNotificationSubscribe(am_device_notification_callback callback,
                                  uint32_t unused0, uint32_t unused1, void* context,
                                  AMDeviceNotificationRef* notification);
int AMDeviceConnect(AMDeviceRef device);
int AMDeviceIsPaired(AMDeviceRef device);
int AMDeviceValidatePairing(AMDeviceRef device);
int AMDeviceStartSession(AMDeviceRef device);
int AMDeviceStopSession(AMDeviceRef device);
int AMDeviceDisconnect(AMDeviceRef device);
CFTypeRef AMDeviceCopyValue(AMDeviceRef device, CFStringRef domain, CFStringRef key);

int AMDeviceSecureStartService(AMDeviceRef device, CFStringRef service_name,
                               CFTypeRef options, AMDServiceConnectionRef* service);
int AMDServiceConnectionGetSocket(AMDServiceConnectionRef service);
void* AMDServiceConnectionGetSecureIOContext(AMDServiceConnectionRef service);
int AMDeviceStartService(AMDeviceRef device, CFStringRef service_name, int* socket,
                         uint32_t* unknown);

int AFCConnectionOpen(int socket, unsigned int io_timeout, AFCConnectionRef* connection);
int AFCConnectionSetSecureContext(AFCConnectionRef connection, void* context);
int AFCConnectionClose(AFCConnectionRef connection);

int AFCDirectoryOpen(AFCConnectionRef connection, const char* path,
                     AFCDirectoryRef* directory);
int AFCDirectoryRead(AFCConnectionRef connection, AFCDirectoryRef directory, char** name);
int AFCDirectoryClose(AFCConnectionRef connection, AFCDirectoryRef directory);

// File information as key/value pairs ("st_size" in bytes, "st_mtime" in
// nanoseconds since the Unix epoch, "st_ifmt" ...).
struct AFCKeyValues;
using AFCDictionaryRef = AFCKeyValues*;
int AFCFileInfoOpen(AFCConnectionRef connection, const char* path, AFCDictionaryRef* info);
// Sets *key and *value to the next pair, or both to none at the end.
int AFCKeyValueRead(AFCDictionaryRef info, const char** key, const char** value);
int AFCKeyValueClose(AFCDictionaryRef info);

int AFCFileRefOpen(AFCConnectionRef connection, const char* path, uint64_t mode,
                   AFCFileRef* file);
// Reads up to capacity bytes; *count is the number placed, 0 at the end of
// the file.
int AFCFileRefRead(AFCConnectionRef connection, AFCFileRef file, void* buffer,
                   uint32_t capacity, uint32_t* count);
int AFCFileRefClose(AFCConnectionRef connection, AFCFileRef file);
