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

int command_services(phone::Session& session) {
  for (const char* const* name = services; *name != nullptr; ++name) {
    std::unique_ptr<phone::AfcClient> connection;
    const int status = open_afc_service(session, *name, &connection);
    fprintf(stdout, "SERVICE: %s status=%d", *name, status);
    if (status == 0 && connection) {
      std::unique_ptr<phone::AfcFolder> directory;
      const int root_status = connection->openFolder("/", &directory);
      fprintf(stdout, " root_status=%d", root_status);
    }
    fputc('\n', stdout);
  }
  return 0;
}
