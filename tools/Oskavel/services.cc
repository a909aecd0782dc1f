#include "oskavel.h"

namespace {
const char* const services[] = {
    "com.apple.afc",
    "com.apple.crashreportcopymobile",
    "com.apple.mobile.house_arrest",
    "com.apple.mobile_image_mounter",
    "com.apple.mobile.file_relay",
    "com.apple.mobile.notification_proxy",
    nullptr,
};
}  // namespace

int command_services(AMDeviceRef device) {
  for (const char* const* name = services; *name != nullptr; ++name) {
    AFCConnectionRef connection = nullptr;
    const int status = open_afc_service(device, *name, &connection);
    fprintf(stdout, "SERVICE: %s status=%d", *name, status);
    if (status == 0 && connection != nullptr) {
      AFCDirectoryRef directory = nullptr;
      const int root_status = AFCDirectoryOpen(connection, "/", &directory);
      fprintf(stdout, " root_status=%d", root_status);
      if (root_status == 0 && directory != nullptr) AFCDirectoryClose(connection, directory);
      AFCConnectionClose(connection);
    }
    fputc('\n', stdout);
  }
  return 0;
}
