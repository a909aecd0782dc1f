#include "temp_file.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr mode_t kNewFileMode = 0666;
constexpr char kHiddenPrefix[] = ".oskavel-";
constexpr char kHiddenPattern[] = ".oskavel-XXXXXX";
constexpr int kLinkAttempts = 100;
constexpr int kNanosecondsPerSecond = 1000000000;
constexpr size_t kPendingPathSize = 4096;

// The hidden temporary a signal handler must remove. Signal handlers reach
// nothing else, so this one name is kept where they can see it.
char pending_path[kPendingPathSize];
volatile sig_atomic_t has_pending = 0;

void set_pending(const std::string& path) {
  has_pending = 0;
  if (path.empty() || path.size() >= sizeof pending_path) return;
  memcpy(pending_path, path.c_str(), path.size() + 1);
  has_pending = 1;
}

void on_signal(int signal_number) {
  if (has_pending) unlink(pending_path);
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

std::string folder_of(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

std::string join(const std::string& folder, const char* name) {
  return folder + (folder.back() == '/' ? "" : "/") + name;
}

int open_unnamed(const std::string& folder) {
#if defined(__linux__) && defined(O_TMPFILE)
  return ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, kNewFileMode);
#else
  (void)folder;
  errno = EOPNOTSUPP;
  return -1;
#endif
}

// The name through which an unnamed file gets its own name at the end.
std::string proc_name(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Without /proc (a chroot, a small container) an unnamed file could never
// be given a name. Asked once: /proc does not come or go during a run.
bool can_be_named(int fd) {
  static const bool named = [fd] {
    struct stat st {};
    return lstat(proc_name(fd).c_str(), &st) == 0;
  }();
  return named;
}

}  // namespace

void TempFile::removeOnSignals() {
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
  }
}

TempFile::~TempFile() { discard(); }

void TempFile::discard() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (!path_.empty()) {
    unlink(path_.c_str());
    set_pending("");
    path_.clear();
  }
}

bool TempFile::create(const std::string& final_path, Kind kind) {
  const std::string folder = folder_of(final_path);
  if (kind == Kind::kUnnamedIfPossible) {
    fd_ = open_unnamed(folder);
    if (fd_ >= 0 && can_be_named(fd_)) return true;
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  // No unnamed files here (another system, a file system without them, or
  // no /proc to name them through).
  std::string pattern = join(folder, kHiddenPattern);
  // Blocked while the name is recorded, so that a signal never finds a
  // file that is not on record yet.
  sigset_t block, old;
  sigemptyset(&block);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&block, signal_number);
  sigprocmask(SIG_BLOCK, &block, &old);
  fd_ = mkstemp(pattern.data());
  if (fd_ >= 0) {
    path_ = pattern;
    set_pending(path_);
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
  if (fd_ < 0) return false;
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd_, kNewFileMode & ~mask);
  return true;
}

bool TempFile::write(const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd_, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Gives the unnamed file a hidden name of its own; rename then puts it in
// place, replacing an earlier copy (a link cannot replace).
bool TempFile::linkUnnamed(const std::string& folder) {
  const std::string self = proc_name(fd_);
  sigset_t block, old;
  sigemptyset(&block);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&block, signal_number);
  for (int attempt = 0; attempt < kLinkAttempts; ++attempt) {
    const std::string name = join(folder, kHiddenPrefix) + std::to_string(getpid()) + "-" +
                             std::to_string(random());
    sigprocmask(SIG_BLOCK, &block, &old);
    const int status =
        linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW);
    if (status == 0) {
      path_ = name;
      set_pending(path_);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (status == 0) return true;
    if (errno != EEXIST) return false;
  }
  return false;
}

TempFile::Commit TempFile::commit(const std::string& final_path, bool has_mtime,
                                  int64_t mtime_ns) {
  if (has_mtime) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(mtime_ns / kNanosecondsPerSecond);
    times[1].tv_nsec = static_cast<long>(mtime_ns % kNanosecondsPerSecond);
    futimens(fd_, times);
  }
  if (path_.empty()) {
    // Where the final name is free, the complete file takes it at once.
    if (linkat(AT_FDCWD, proc_name(fd_).c_str(), AT_FDCWD, final_path.c_str(),
               AT_SYMLINK_FOLLOW) == 0) {
      const int fd = fd_;
      fd_ = -1;
      if (close(fd) == 0) return Commit::kDone;
      unlink(final_path.c_str());
      return Commit::kWriteFailed;
    }
    if (!linkUnnamed(folder_of(final_path))) {
      discard();
      return Commit::kWriteFailed;
    }
  }
  const int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) {
    discard();
    return Commit::kWriteFailed;
  }
  if (rename(path_.c_str(), final_path.c_str()) != 0) {
    discard();
    return Commit::kNameFailed;
  }
  set_pending("");
  path_.clear();
  return Commit::kDone;
}
