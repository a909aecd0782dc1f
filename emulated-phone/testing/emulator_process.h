// Runs the emulated-phone program as a child process for a test, and always
// stops it again.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace emulated_phone {

class EmulatorProcess {
 public:
  // Starts the binary with --root root --socket <fresh temp path> and the
  // extra arguments, and waits (up to 10 s) for its ready line; on failure,
  // ok() is false and error() says why. On Linux the emulator also gets
  // SIGTERM when the thread that started it ends (so a crashed test leaves
  // no phone running): start it from the thread that outlives its use.
  EmulatorProcess(std::string binary, std::string root, std::vector<std::string> extra_args = {});
  // SIGTERM, wait; SIGKILL after 5 s; removes temp files.
  ~EmulatorProcess();
  EmulatorProcess(const EmulatorProcess&) = delete;
  EmulatorProcess& operator=(const EmulatorProcess&) = delete;

  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  const std::string& socket_path() const { return socket_path_; }
  std::string usbmuxd_address() const { return "UNIX:" + socket_path_; }
  pid_t pid() const { return pid_; }

  // Stops the emulator now (as the destructor would); returns its exit
  // status, or -1 when it had to be killed or was not running.
  int stop();

 private:
  bool ok_ = false;
  std::string error_;
  std::string temp_dir_;
  std::string socket_path_;
  pid_t pid_ = -1;
  int exit_status_ = -1;
};

}  // namespace emulated_phone
