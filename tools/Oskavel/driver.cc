#include <cstring>

#include "oskavel.h"

namespace {
void stop_and_disconnect(AMDeviceRef device) {
  AMDeviceStopSession(device);
  AMDeviceDisconnect(device);
}
}  // namespace

int oskavel_main(int argc, char** argv) {
  int32_t timeout = 10;
  if (parse_args(argc, argv, timeout) != 0) {
    usage();
    return 64;
  }

  AMDeviceNotificationRef notification = nullptr;
  int status = AMDeviceNotificationSubscribe(device_callback, 0, 0, nullptr, &notification);
  if (status != 0) {
    fprintf(stderr, "ERROR: AMDeviceNotificationSubscribe status=%d\n", status);
    return 2;
  }

  const CFAbsoluteTime deadline = CFAbsoluteTimeGetCurrent() + static_cast<double>(timeout);
  while (!g_discovered && CFAbsoluteTimeGetCurrent() < deadline) {
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.2, false);
  }

  if (g_device == nullptr) {
    fputs("ERROR: MobileDevice не увидел iPhone. Finder может видеть устройство, но AFC-доступ "
          "пока не открыт.\n",
          stderr);
    return 3;
  }
  AMDeviceRef device = g_device;

  status = AMDeviceConnect(device);
  if (status != 0) {
    fprintf(stderr, "ERROR: AMDeviceConnect status=%d\n", status);
    return 4;
  }
  if (!AMDeviceIsPaired(device)) {
    fputs("ERROR: iPhone не спарен с этим Mac. Разблокируйте iPhone и нажмите 'Доверять'.\n",
          stderr);
    AMDeviceDisconnect(device);
    return 5;
  }
  status = AMDeviceValidatePairing(device);
  if (status != 0) {
    fprintf(stderr, "ERROR: AMDeviceValidatePairing status=%d\n", status);
    AMDeviceDisconnect(device);
    return 6;
  }
  status = AMDeviceStartSession(device);
  if (status != 0) {
    fprintf(stderr, "ERROR: AMDeviceStartSession status=%d\n", status);
    AMDeviceDisconnect(device);
    return 7;
  }

  fputs("DEVICE: ", stdout);
  CFStringRef key = cf_string_from_c("DeviceName");
  CFTypeRef name = AMDeviceCopyValue(device, nullptr, key);
  print_cf_string(name);
  if (name != nullptr) CFRelease(name);
  if (key != nullptr) CFRelease(key);
  fputs("\n", stdout);

  if (strcmp(g_command, "services") == 0) {
    status = command_services(device);
    stop_and_disconnect(device);
    return status;
  }

  const char* service_name = g_service_name ? g_service_name : "com.apple.afc";
  AFCConnectionRef connection = nullptr;
  status = open_afc_service(device, service_name, &connection);
  if (status != 0 || connection == nullptr) {
    fprintf(stderr, "ERROR: не удалось открыть AFC-сервис %s status=%d\n", service_name, status);
    stop_and_disconnect(device);
    return 8;
  }

  if (strcmp(g_command, "ls") == 0) {
    status = list_directory(connection, g_start_path);
    AFCConnectionClose(connection);
    stop_and_disconnect(device);
    return status == 0 ? 0 : 11;
  }

  traverse(connection, g_start_path);
  fprintf(stdout, "DONE: media=%d downloaded=%d failed=%d\n", g_seen, g_downloaded, g_failed);
  AFCConnectionClose(connection);
  stop_and_disconnect(device);
  return g_failed != 0 ? 10 : 0;
}
