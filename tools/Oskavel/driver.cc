#include <chrono>
#include <cstring>

#include "oskavel.h"
#include "run_loop.h"

namespace {

// Turns the run loop in slices until the device callback recorded a phone
// or the deadline passed. The first slice always runs, so that even a
// timeout of 0 or less sees a phone that is already attached.
void wait_for_device(const ProgramState& state, int32_t timeout) {
  using Seconds = std::chrono::duration<double>;
  const auto deadline =
      runloop::Clock::now() +
      std::chrono::duration_cast<runloop::Clock::duration>(Seconds(static_cast<double>(timeout)));
  const auto slice =
      std::chrono::duration_cast<runloop::Clock::duration>(Seconds(kWaitSliceSeconds));
  auto& loop = runloop::RunLoop::current();
  do {
    loop.runUntil(runloop::Clock::now() + slice, false);
  } while (!state.discovered && runloop::Clock::now() < deadline);
}

// The command once the session stands. Every handle closes itself on the
// way out, the file service first, then the session, then the connection.
int run_command(ProgramState& state, phone::Session& session) {
  if (strcmp(state.command, "services") == 0) return command_services(session);

  const char* service_name = state.service_name ? state.service_name : kDefaultService;
  std::unique_ptr<phone::AfcClient> connection;
  const int status = open_afc_service(session, service_name, &connection);
  if (status != 0 || !connection) {
    report_no_file_service(service_name, status);
    return kExitNoFileService;
  }

  if (strcmp(state.command, "ls") == 0) {
    return list_directory(*connection, state.start_path) == 0 ? kExitOk : kExitListingFailed;
  }

  traverse(state, *connection, state.start_path);
  report_done(state.seen, state.downloaded, state.failed);
  return state.failed != 0 || state.walk_incomplete ? kExitFilesFailed : kExitOk;
}

}  // namespace

int oskavel_main(phone::Phone& phone, int argc, char** argv) {
  ProgramState state;
  int32_t timeout = kDefaultTimeoutSeconds;
  if (parse_args(state, argc, argv, timeout) != 0) {
    usage();
    return kExitUsage;
  }

  std::unique_ptr<phone::Subscription> notification;
  int status = phone.subscribe(
      [&state](const phone::Notification* info) { device_callback(state, info); },
      &notification);
  if (status != 0) {
    report_call_failed("AMDeviceNotificationSubscribe", status);
    return kExitSubscribeFailed;
  }

  wait_for_device(state, timeout);
  // No notification reaches the program after the wait.
  notification.reset();

  if (state.device.empty()) {
    report_no_device();
    return kExitNoDevice;
  }

  std::unique_ptr<phone::Connection> device;
  status = phone.connect(state.device, &device);
  if (status != 0 || !device) {
    report_call_failed("AMDeviceConnect", status);
    return kExitConnectFailed;
  }
  if (!device->isPaired()) {
    report_not_paired();
    return kExitNotPaired;
  }
  status = device->validatePairing();
  if (status != 0) {
    report_call_failed("AMDeviceValidatePairing", status);
    return kExitValidateFailed;
  }
  std::unique_ptr<phone::Session> session;
  status = device->startSession(&session);
  if (status != 0 || !session) {
    report_call_failed("AMDeviceStartSession", status);
    return kExitSessionFailed;
  }

  report_device(session->deviceName());

  return run_command(state, *session);
}
