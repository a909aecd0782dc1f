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
    std::optional<int> root_status;
    if (status == 0 && connection) {
      std::unique_ptr<phone::AfcFolder> directory;
      root_status = connection->openFolder("/", &directory);
    }
    report_service(*name, status, root_status);
  }
  return 0;
}
