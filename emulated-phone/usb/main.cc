// emulated-phone-usb: serves a folder as an iPhone attached by USB (PTP),
// through umockdev, to one command run under umockdev's preload.
#include <dlfcn.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "exif_date.h"
#include "phone_options.h"
#include "posix_file_system.h"
#include "umockdev_phone.h"

extern char** environ;

namespace {

using namespace emulated_phone::usb;

constexpr const char* kSecondSerial = "00008110000A1B2C3D4E5F61";

// The emulator must itself run under umockdev's preload (or its uevents never
// reach the client); the sanitizer runtime then cannot come first.
void reexecUnderPreload(char** argv) {
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr) return;
  std::string value = "libumockdev-preload.so.0";
  if (preload != nullptr && *preload != '\0') value += std::string(":") + preload;
  ::setenv("LD_PRELOAD", value.c_str(), 1);
  std::string asan = "verify_asan_link_order=0";
  if (const char* old = std::getenv("ASAN_OPTIONS")) asan = std::string(old) + ":" + asan;
  ::setenv("ASAN_OPTIONS", asan.c_str(), 1);
  ::execv("/proc/self/exe", argv);
  std::perror("emulated-phone-usb: cannot run itself under umockdev's preload");
  std::exit(1);
}

std::atomic<pid_t> child_pid{-1};

void forwardSignal(int signal) {
  pid_t pid = child_pid.load();
  if (pid > 0) ::kill(pid, signal);
}

}  // namespace

int main(int argc, char** argv) {
  PhoneOptions options;
  std::string problem;
  if (!parsePhoneOptions(std::vector<std::string>(argv + 1, argv + argc), &options, &problem)) {
    std::cerr << "emulated-phone-usb: " << problem << "\n" << kPhoneUsage;
    return 64;
  }
  options.phone.exif_date = exifDateTimeOriginal;
  for (const std::string* folder : {&options.root, &options.second_root}) {
    struct stat root {};
    if (folder->empty() && folder == &options.second_root) continue;
    if (::stat(folder->c_str(), &root) != 0 || !S_ISDIR(root.st_mode)) {
      std::cerr << "emulated-phone-usb: " << *folder << " is not a folder\n";
      return 1;
    }
  }
  reexecUnderPreload(argv);
  // Without umockdev's preload library (package umockdev) the loader only
  // warns; the command would then see the real USB bus.
  if (::dlopen("libumockdev-preload.so.0", RTLD_NOW | RTLD_NOLOAD) == nullptr) {
    std::cerr << "emulated-phone-usb: umockdev's preload library libumockdev-preload.so.0 is "
                 "missing (install the package umockdev)\n";
    return 1;
  }

  // The phone writes its dates in its own zone; the command keeps the
  // computer's.
  const char* computer_zone = std::getenv("TZ");
  std::string saved_zone = computer_zone ? computer_zone : "";
  if (!options.time_zone.empty()) {
    ::setenv("TZ", options.time_zone.c_str(), 1);
    ::tzset();
  }

  UmockdevBus bus;
  PtpPhone phone(std::make_shared<emulated_phone::PosixFileSystem>(options.root), options.phone);
  UsbLink link(phone, options.cable);
  UmockdevPhone device(bus, link, options.usb);
  std::string error;
  if (!device.start(&error)) {
    std::cerr << "emulated-phone-usb: " << error << "\n";
    return 1;
  }
  int next_device_number = options.usb.device_number + 1;

  // The second phone: another serial, the next port and device number, no faults.
  std::unique_ptr<PtpPhone> second_phone;
  std::unique_ptr<UsbLink> second_link;
  std::unique_ptr<UmockdevPhone> second_device;
  if (!options.second_root.empty()) {
    PhoneSetup setup;
    setup.serial = kSecondSerial;
    setup.trace = options.phone.trace;
    setup.exif_date = exifDateTimeOriginal;
    UsbSetup usb = options.usb;
    usb.serial = kSecondSerial;
    usb.port = options.usb.port + 1;
    usb.device_number = next_device_number++;
    second_phone = std::make_unique<PtpPhone>(
        std::make_shared<emulated_phone::PosixFileSystem>(options.second_root), setup);
    second_link = std::make_unique<UsbLink>(*second_phone, CableFaults{});
    second_device = std::make_unique<UmockdevPhone>(bus, *second_link, usb);
    if (!second_device->start(&error)) {
      std::cerr << "emulated-phone-usb: " << error << "\n";
      return 1;
    }
  }

  // Replug: out after the given time (at 0, before the command starts), back
  // after the gap under the next device number (with no gap either, before
  // the command starts).
  if (options.replug_after == 0 && options.replug_gap_ms == 0) {
    if (!device.plugIn(next_device_number++, &error)) {
      std::cerr << "emulated-phone-usb: " << error << "\n";
      return 1;
    }
  } else if (options.replug_after >= 0) {
    if (options.replug_after == 0) device.unplug();
    std::thread([&device, after = options.replug_after, gap = options.replug_gap_ms,
                 number = next_device_number++] {
      if (after > 0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(after));
        device.unplug();
      }
      std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(gap));
      std::string error;
      if (!device.plugIn(number, &error)) std::cerr << "emulated-phone-usb: " << error << "\n";
    }).detach();
  }

  std::vector<std::string> child_env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (!options.time_zone.empty() && std::strncmp(*e, "TZ=", 3) == 0) continue;
    child_env.push_back(*e);
  }
  if (!options.time_zone.empty() && computer_zone != nullptr) child_env.push_back("TZ=" + saved_zone);
  std::vector<char*> child_envp;
  for (auto& e : child_env) child_envp.push_back(e.data());
  child_envp.push_back(nullptr);
  struct sigaction action {};
  action.sa_handler = forwardSignal;
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
  std::vector<char*> child_argv;
  for (auto& a : options.command) child_argv.push_back(a.data());
  child_argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, child_argv[0], nullptr, nullptr, child_argv.data(), child_envp.data()) != 0) {
    std::cerr << "emulated-phone-usb: cannot run " << options.command[0] << "\n";
    return 127;
  }
  child_pid = pid;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  // _exit: the command's status is the answer; nothing of this test peer runs at exit.
  std::fflush(nullptr);
  ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}
