#include "oskavel.h"
#include "run_loop.h"

void device_callback(ProgramState& state, const phone::Notification* info) {
  if (info == nullptr) return;
  if (info->kind != phone::kAttached) return;
  if (info->device.empty()) return;
  state.device = info->device;
  state.discovered = 1;
  runloop::RunLoop::current().stop();
}

int open_afc_service(phone::Session& session, const char* service_name,
                     std::unique_ptr<phone::AfcClient>* connection) {
  connection->reset();
  const std::string name = service_name;
  if (!is_utf8(name)) return kServiceNameNotText;

  std::unique_ptr<phone::Service> secure_service;
  int status = session.startSecureService(name, &secure_service);
  if (status == 0 && secure_service) return secure_service->openAfc(connection);

  std::unique_ptr<phone::Service> service;
  status = session.startService(name, &service);
  if (status == 0 && service) return service->openAfc(connection);
  return status != 0 ? status : kServiceWithoutSocket;
}
