#include "oskavel.h"

AMDeviceRef g_device = nullptr;
int g_discovered = 0;

void device_callback(am_device_notification_callback_info* info, void* /*context*/) {
  if (info == nullptr) return;
  if (info->msg != ADNCI_MSG_CONNECTED) return;
  if (info->dev == nullptr) return;
  g_device = info->dev;
  g_discovered = 1;
  CFRunLoopStop(CFRunLoopGetCurrent());
}

void print_cf_string(CFTypeRef value) {
  if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID()) {
    fputs("unknown", stdout);
    return;
  }
  char buffer[512];
  if (!CFStringGetCString(value, buffer, sizeof buffer, kCFStringEncodingUTF8)) {
    fputs("unknown", stdout);
    return;
  }
  print_report_text(stdout, buffer);
}

CFStringRef cf_string_from_c(const char* text) {
  return CFStringCreateWithCString(kCFAllocatorDefault, text, kCFStringEncodingUTF8);
}

int open_afc_service(AMDeviceRef device, const char* service_name,
                     AFCConnectionRef* connection) {
  *connection = nullptr;
  CFStringRef name = cf_string_from_c(service_name);
  if (name == nullptr) return -100;

  AMDServiceConnectionRef secure_service = nullptr;
  int status = AMDeviceSecureStartService(device, name, nullptr, &secure_service);
  if (status == 0 && secure_service != nullptr) {
    const int socket = AMDServiceConnectionGetSocket(secure_service);
    status = AFCConnectionOpen(socket, 0, connection);
    if (status == 0 && *connection != nullptr) {
      void* context = AMDServiceConnectionGetSecureIOContext(secure_service);
      if (context != nullptr) AFCConnectionSetSecureContext(*connection, context);
    }
    CFRelease(name);
    return status;
  }

  int service = 0;
  uint32_t unknown = 0;
  status = AMDeviceStartService(device, name, &service, &unknown);
  if (status == 0 && service != 0) {
    status = AFCConnectionOpen(service, 0, connection);
    CFRelease(name);
    return status;
  }
  CFRelease(name);
  return status != 0 ? status : -101;
}
