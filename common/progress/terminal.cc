#include "terminal.h"

#include <errno.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace progress {
namespace {

constexpr size_t kDefaultColumns = 80;

// What a signal handler erases: where, and how wide.
volatile sig_atomic_t g_erase_fd = -1;
volatile sig_atomic_t g_erase_columns = 0;

void write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

class FdTerminal : public Terminal {
 public:
  explicit FdTerminal(int fd) : fd_(fd) {}
  ~FdTerminal() override {
    if (g_erase_fd == fd_) g_erase_fd = -1;
  }

  size_t columns() override {
    struct winsize size {};
    if (ioctl(fd_, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return kDefaultColumns;
    return size.ws_col;
  }

  bool inForeground() override {
    // A terminal that is not this process's controlling one has no
    // foreground to be out of.
    const pid_t foreground = tcgetpgrp(fd_);
    return foreground < 0 || foreground == getpgrp();
  }

  void write(std::string_view bytes) override { write_all(fd_, bytes.data(), bytes.size()); }

  void covers(size_t columns) override {
    g_erase_columns = 0;
    g_erase_fd = fd_;
    g_erase_columns = static_cast<sig_atomic_t>(columns);
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<Terminal> terminalOn(int fd) {
  if (fd < 0 || !isatty(fd)) return nullptr;
  return std::make_unique<FdTerminal>(fd);
}

bool isSameTerminal(int fd, int other_fd) {
  struct stat a {}, b {};
  if (fd < 0 || other_fd < 0 || !isatty(fd) || !isatty(other_fd)) return false;
  if (fstat(fd, &a) != 0 || fstat(other_fd, &b) != 0) return false;
  return S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode) && a.st_rdev == b.st_rdev;
}

void eraseFromSignalHandler() {
  const int fd = g_erase_fd;
  size_t columns = static_cast<size_t>(g_erase_columns);
  if (fd < 0 || columns == 0) return;
  const int saved_errno = errno;
  static const char kBlanks[] = "                                                                ";
  write_all(fd, "\r", 1);
  while (columns > 0) {
    const size_t part = columns < sizeof kBlanks - 1 ? columns : sizeof kBlanks - 1;
    write_all(fd, kBlanks, part);
    columns -= part;
  }
  write_all(fd, "\r", 1);
  g_erase_columns = 0;
  errno = saved_errno;
}

}  // namespace progress
