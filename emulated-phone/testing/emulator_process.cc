#include "testing/emulator_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace emulated_phone {

namespace {

using Clock = std::chrono::steady_clock;

// Waits for the child until the deadline; true when it was reaped.
bool reapBefore(pid_t pid, Clock::time_point deadline, int* status) {
  for (;;) {
    pid_t r = ::waitpid(pid, status, WNOHANG);
    if (r == pid) return true;
    if (r < 0 && errno != EINTR) return true;  // not ours any more
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

EmulatorProcess::EmulatorProcess(std::string binary, std::string root,
                                 std::vector<std::string> extra_args) {
  char dir_template[] = "/tmp/emulated-phone-XXXXXX";
  if (!::mkdtemp(dir_template)) {
    error_ = std::string("mkdtemp: ") + std::strerror(errno);
    return;
  }
  temp_dir_ = dir_template;
  socket_path_ = temp_dir_ + "/usbmuxd.sock";

  std::vector<std::string> args = {binary, "--root", root, "--socket", socket_path_};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    return;
  }
  pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ < 0) {
    error_ = std::string("fork: ") + std::strerror(errno);
    ::close(out[0]);
    ::close(out[1]);
    return;
  }
  if (pid_ == 0) {
#ifdef __linux__
    // A test that crashes must not leave its phone running.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) _exit(127);
#endif
    ::dup2(out[1], STDOUT_FILENO);
#ifdef __linux__
    // Nothing else of the test's (pipes to ctest, sockets) stays open in it.
    ::close_range(3, ~0u, 0);
#endif
    ::execv(argv[0], argv.data());
    _exit(127);
  }
  ::close(out[1]);

  // The ready line is the socket path and a newline.
  std::string line;
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (line.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      error_ = "no ready line within 10 s";
      break;
    }
    pollfd p{out[0], POLLIN, 0};
    int rc = ::poll(&p, 1, static_cast<int>(left.count()));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) continue;
    char buf[512];
    ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int status = 0;
      if (reapBefore(pid_, Clock::now() + std::chrono::seconds(2), &status)) {
        exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pid_ = -1;
      }
      error_ = "emulator ended before it was ready (exit status " +
               std::to_string(exit_status_) + ")";
      break;
    }
    line.append(buf, static_cast<size_t>(n));
  }
  ::close(out[0]);
  if (error_.empty()) {
    std::string ready = line.substr(0, line.find('\n'));
    if (ready == socket_path_) {
      ok_ = true;
    } else {
      error_ = "unexpected ready line: " + ready;
    }
  }
}

int EmulatorProcess::stop() {
  if (pid_ > 0) {
    int status = 0;
    ::kill(pid_, SIGTERM);
    if (reapBefore(pid_, Clock::now() + std::chrono::seconds(5), &status)) {
      exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    } else {
      ::kill(pid_, SIGKILL);
      reapBefore(pid_, Clock::now() + std::chrono::seconds(5), &status);
      exit_status_ = -1;
    }
    pid_ = -1;
  }
  if (!temp_dir_.empty()) {
    ::unlink(socket_path_.c_str());
    ::rmdir(temp_dir_.c_str());
    temp_dir_.clear();
  }
  return exit_status_;
}

EmulatorProcess::~EmulatorProcess() { stop(); }

}  // namespace emulated_phone
