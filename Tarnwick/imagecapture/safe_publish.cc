#include "safe_publish.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <random>

namespace imagecapture {

namespace {

// Temporaries that an interrupting signal must remove. Fixed storage, so the
// signal handler reads it without locks or allocation.
struct Slot {
  std::atomic<bool> taken{false};
  std::atomic<bool> filled{false};
  char path[4096];
};
std::array<Slot, 16> g_slots;

Slot* registerTemporary(const std::string& path) {
  if (path.size() >= sizeof(Slot::path)) return nullptr;
  for (Slot& slot : g_slots) {
    bool expected = false;
    if (slot.taken.compare_exchange_strong(expected, true)) {
      std::memcpy(slot.path, path.c_str(), path.size() + 1);
      slot.filled.store(true);
      return &slot;
    }
  }
  return nullptr;  // more than 16 at once: only the signal cleanup misses it
}

void unregisterTemporary(const std::string& path) {
  for (Slot& slot : g_slots)
    if (slot.filled.load() && path == slot.path) {
      slot.filled.store(false);
      slot.taken.store(false);
      return;
    }
}

void unlinkRegistered() {
  for (Slot& slot : g_slots)
    if (slot.filled.load()) ::unlink(slot.path);
}

std::atomic<void (*)()> g_alsoOnInterrupt{nullptr};
// Holds in force, and the signal that came meanwhile (0: none).
std::atomic<int> g_holds{0};
std::atomic<int> g_heldSignal{0};

// Safe in a signal handler, and outside one.
void removeTemporariesAndDie(int signal) {
  unlinkRegistered();
  if (auto step = g_alsoOnInterrupt.load()) step();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

// The signal is noted first and the holds read after, while a hold that
// goes takes the noted signal after it is gone: whichever comes second
// finds the other's doing, so the signal is never lost.
extern "C" void onInterrupt(int signal) {
  g_heldSignal.store(signal);
  if (g_holds.load() != 0) return;
  if (int noted = g_heldSignal.exchange(0)) removeTemporariesAndDie(noted);
}

std::string describeErrno(const std::string& what, const std::string& path, int error) {
  return what + " " + path + ": " + std::strerror(error);
}

// --- what only some systems offer ---

int renameNoReplace(const char* from, const char* to) {
#if defined(__linux__)
  return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
#else
  (void)from;
  (void)to;
  errno = ENOTSUP;
  return -1;
#endif
}

// An unnamed file in `folder`, or -1.
int openUnnamed(const std::string& folder) {
#if defined(__linux__) && defined(O_TMPFILE)
  // Publishing goes through /proc/self/fd; without it the file could not be
  // given a name by an ordinary user.
  static const bool haveProc = ::access("/proc/self/fd", X_OK) == 0;
  if (!haveProc) return -1;
  return ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
#else
  (void)folder;
  return -1;
#endif
}

// Gives the unnamed file `fd` the name `to`; fails with EEXIST when taken.
int linkUnnamed(int fd, const char* to) {
  std::string self = "/proc/self/fd/" + std::to_string(fd);
  return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, to, AT_SYMLINK_FOLLOW);
}

// Errors of link() that mean "this file system has no hard links", and of
// the no-replace rename that mean "not offered here".
bool linksUnsupported(int error) {
  return error == EPERM || error == EOPNOTSUPP || error == ENOSYS || error == EMLINK;
}
bool renameUnsupported(int error) { return error == EINVAL || error == ENOSYS || error == ENOTSUP; }

std::string joinPath(const std::string& folder, std::string_view name) {
  std::string path = folder;
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
  return path;
}

// A hidden name for a temporary of `name` in `folder`: short enough for any
// name the phone gives, and never cut inside a UTF-8 character (some file
// systems refuse broken ones).
std::string temporaryName(const std::string& folder, std::string_view name) {
  static std::atomic<unsigned> counter{0};
  thread_local std::mt19937 random{std::random_device{}()};
  std::size_t keep = std::min<std::size_t>(name.size(), 64);
  while (keep > 0 && keep < name.size() && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80)
    --keep;
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".part-%x%x", static_cast<unsigned>(random()),
                counter.fetch_add(1));
  std::string hidden(".");
  hidden.append(name.substr(0, keep));
  hidden.append(suffix);
  return joinPath(folder, hidden);
}

}  // namespace

std::string numberedName(std::string_view name, int number) {
  if (number == 0) return std::string(name);
  auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) dot = name.size();
  return std::string(name.substr(0, dot)) + " (" + std::to_string(number) + ")" +
         std::string(name.substr(dot));
}

std::optional<PartialFile> PartialFile::create(const std::string& folder, std::string_view name,
                                               std::string& error, Kind kind) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos) {
    error = "недопустимое имя файла: " + std::string(name);
    return std::nullopt;
  }
  if (kind == Kind::kUnnamedIfPossible) {
    int fd = openUnnamed(folder);
    if (fd >= 0) return PartialFile(folder, "", fd);
    // Not offered by this system or file system (FAT, exFAT): a named one.
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string path = temporaryName(folder, name);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      registerTemporary(path);
      return PartialFile(folder, std::move(path), fd);
    }
    if (errno != EEXIST) {
      error = describeErrno("не удалось создать файл в папке", folder, errno);
      return std::nullopt;
    }
  }
  error = describeErrno("не удалось создать файл в папке", folder, EEXIST);
  return std::nullopt;
}

PartialFile::PartialFile(PartialFile&& other) noexcept
    : folder_(std::move(other.folder_)),
      path_(std::move(other.path_)),
      fd_(other.fd_),
      published_(other.published_),
      writtenBack_(other.writtenBack_) {
  other.fd_ = -1;
  other.published_ = true;  // nothing left for the moved-from one to remove
  other.path_.clear();
}

PartialFile::~PartialFile() { discard(); }

void PartialFile::discard() {
  if (fd_ >= 0) ::close(fd_);  // an unnamed file vanishes with its last descriptor
  fd_ = -1;
  if (!published_ && !path_.empty()) {
    ::unlink(path_.c_str());
    unregisterTemporary(path_);
  }
  published_ = true;
}

void PartialFile::startWriteback() {
#if defined(__linux__)
  constexpr long long kStep = 8 << 20;
  if (fd_ < 0) return;
  off_t written = ::lseek(fd_, 0, SEEK_CUR);  // shared with the library's copy of the descriptor
  if (written < 0 || written - writtenBack_ < kStep) return;
  ::sync_file_range(fd_, writtenBack_, written - writtenBack_, SYNC_FILE_RANGE_WRITE);
  writtenBack_ = written;
#endif
}

bool PartialFile::finish(std::optional<std::time_t> modified, std::string& error) {
  const std::string& where = path_.empty() ? folder_ : path_;
  if (fd_ < 0) {
    error = "файл уже закрыт: " + where;
    return false;
  }
  if (modified) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = *modified;
    times[1].tv_nsec = 0;
    ::futimens(fd_, times);  // a date that cannot be set is not worth failing for
  }
  // The data and its length must be on disk before the file gets a real
  // name; the modification time may follow with the next commit.
  if (::fdatasync(fd_) != 0 && errno != EINVAL) {
    error = describeErrno("не удалось записать файл в папку", where, errno);
    return false;
  }
  if (path_.empty()) return true;  // the descriptor gives it its name later
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) {
    error = describeErrno("не удалось записать файл", path_, errno);
    return false;
  }
  return true;
}

std::optional<std::string> publishGroup(const std::string& folder, std::vector<PublishEntry>& entries,
                                        std::string& error, int preferred, int* chosen) {
  if (entries.empty()) {
    error = "нечего сохранять";
    return std::nullopt;
  }
  // An unnamed file gets its name with a link. A named one is renamed with a
  // rename that refuses to replace where the system has it, else linked (and
  // its temporary name removed); file systems without hard links (FAT,
  // exFAT) have the rename. Either way an existing name is never replaced.
  enum class Mode { kRename, kLink, kRenameOnly } mode = Mode::kRename;
  auto place = [&](PartialFile& file, const std::string& target) {
    if (file.unnamed()) return linkUnnamed(file.fd_, target.c_str());
    if (mode == Mode::kLink) return ::link(file.path_.c_str(), target.c_str());
    return renameNoReplace(file.path_.c_str(), target.c_str());
  };
  auto unplace = [&](PartialFile& file, const std::string& target) {
    if (file.unnamed() || mode == Mode::kLink)
      ::unlink(target.c_str());  // the name is ours: we just made it
    else
      renameNoReplace(target.c_str(), file.path_.c_str());
  };

  if (entries.size() > 1) {
    // An unnamed file can be linked only once, but a group may have to give
    // back the names it took: such files first get a hidden name.
    for (auto& entry : entries) {
      PartialFile& file = *entry.file;
      if (!file.unnamed()) continue;
      std::string hidden;
      int result = -1;
      for (int attempt = 0; attempt < 100 && result != 0; ++attempt) {
        hidden = temporaryName(folder, entry.name);
        result = linkUnnamed(file.fd_, hidden.c_str());
        if (result != 0 && errno != EEXIST) break;
      }
      if (result != 0) {
        error = describeErrno("не удалось сохранить файл в папку", folder, errno);
        return std::nullopt;
      }
      file.path_ = hidden;
      registerTemporary(hidden);
    }
  }
  constexpr int kNumbers = 100000;
  if (preferred < 0 || preferred >= kNumbers) preferred = 0;
  // The preferred number first, then 0, 1, 2, ... without it.
  for (int attempt = 0; attempt < kNumbers; ++attempt) {
    const int number = attempt == 0 ? preferred : (attempt - 1 < preferred ? attempt - 1 : attempt);
    std::vector<std::string> placed;  // names that this attempt has taken
    bool clash = false;
    bool failed = false;
    for (auto& entry : entries) {
      std::string target = joinPath(folder, numberedName(entry.name, number));
      if (place(*entry.file, target) == 0) {
        placed.push_back(target);
        continue;
      }
      int cause = errno;
      const bool named = !entry.file->unnamed();
      if (cause == EEXIST) {
        clash = true;
      } else if (named && mode == Mode::kRename && renameUnsupported(cause) && placed.empty()) {
        mode = Mode::kLink;  // retry this number with links
        clash = true;
        --attempt;
      } else if (named && mode == Mode::kLink && linksUnsupported(cause) && placed.empty()) {
        mode = Mode::kRenameOnly;  // the last resort reports its own error
        clash = true;
        --attempt;
      } else {
        failed = true;
        error = describeErrno("не удалось сохранить файл", target, cause);
      }
      break;
    }
    if (clash || failed) {
      for (std::size_t i = 0; i < placed.size(); ++i) unplace(*entries[i].file, placed[i]);
      if (failed) return std::nullopt;
      continue;
    }
    for (auto& entry : entries) {
      PartialFile& file = *entry.file;
      if (!file.unnamed()) {
        if (mode == Mode::kLink) ::unlink(file.path_.c_str());
        unregisterTemporary(file.path_);
      }
      file.published_ = true;
      file.discard();  // closes the descriptor
    }
    if (chosen) *chosen = number;
    return numberedName(entries.front().name, number);
  }
  error = "нет свободного имени для " + entries.front().name + " в папке " + folder;
  return std::nullopt;
}

void removeNamedTemporaries() { unlinkRegistered(); }

void installInterruptCleanup() {
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
    struct sigaction current {};
    if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
  }
}

void alsoOnInterrupt(void (*step)()) { g_alsoOnInterrupt.store(step); }

InterruptsHeld::InterruptsHeld() { g_holds.fetch_add(1); }

InterruptsHeld::~InterruptsHeld() {
  if (g_holds.fetch_sub(1) != 1) return;
  if (int noted = g_heldSignal.exchange(0)) removeTemporariesAndDie(noted);
}

}  // namespace imagecapture
