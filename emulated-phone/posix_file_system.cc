#include "posix_file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "unique_fd.h"

namespace emulated_phone {

namespace {

FsStatus fromErrno(int error) {
  switch (error) {
    case ENOENT:
      return FsStatus::kNotFound;
    case ENOTDIR:
      return FsStatus::kNotFolder;
    case EISDIR:
      return FsStatus::kIsFolder;
    case EACCES:
    case EPERM:
      return FsStatus::kDenied;
    default:
      return FsStatus::kIoError;
  }
}

uint64_t nanoseconds(const timespec& t) {
  return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

class PosixFile : public OpenFile {
 public:
  PosixFile(UniqueFd fd, uint64_t size) : fd_(std::move(fd)), size_(size) {}
  int64_t readAt(void* data, size_t size, uint64_t offset) override {
    auto* p = static_cast<char*>(data);
    size_t done = 0;
    while (done < size) {
      ssize_t n = ::pread(fd_.get(), p + done, size - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return -1;
      if (n == 0) break;
      done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
  }
  uint64_t size() const override { return size_; }

 private:
  UniqueFd fd_;
  uint64_t size_;
};

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};

}  // namespace

std::string PosixFileSystem::local(const std::string& path) const {
  return path == "/" ? root_ : root_ + path;
}

FsStatus PosixFileSystem::facts(const std::string& path, FileFacts* out) {
  // One look at the path itself; a link is looked through as well.
  struct stat st {};
  if (::lstat(local(path).c_str(), &st) != 0) return fromErrno(errno);
  out->is_link = S_ISLNK(st.st_mode);
  out->link_target.clear();
  if (out->is_link) {
    char target[4096];
    const ssize_t n = ::readlink(local(path).c_str(), target, sizeof target);
    if (n > 0) out->link_target.assign(target, static_cast<size_t>(n));
    if (::stat(local(path).c_str(), &st) != 0) return fromErrno(errno);
  }
  out->is_folder = S_ISDIR(st.st_mode);
  out->size = static_cast<uint64_t>(st.st_size);
  out->links = st.st_nlink;
  out->blocks = static_cast<uint64_t>(st.st_blocks);
  out->modified_ns = nanoseconds(st.st_mtim);
  out->born_ns = nanoseconds(st.st_ctim);
  return FsStatus::kOk;
}

FsStatus PosixFileSystem::list(const std::string& path, std::vector<std::string>* names) {
  std::unique_ptr<DIR, DirCloser> dir(::opendir(local(path).c_str()));
  if (!dir) return fromErrno(errno);
  names->clear();
  errno = 0;
  while (dirent* entry = ::readdir(dir.get())) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(std::move(name));
  }
  if (errno != 0) return fromErrno(errno);
  std::sort(names->begin(), names->end());
  return FsStatus::kOk;
}

FsStatus PosixFileSystem::open(const std::string& path, std::unique_ptr<OpenFile>* out) {
  UniqueFd fd(::open(local(path).c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return fromErrno(errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return fromErrno(errno);
  if (S_ISDIR(st.st_mode)) return FsStatus::kIsFolder;
  *out = std::make_unique<PosixFile>(std::move(fd), static_cast<uint64_t>(st.st_size));
  return FsStatus::kOk;
}

}  // namespace emulated_phone
