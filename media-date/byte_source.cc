#include "byte_source.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace media {

std::optional<Bytes> readRange(ByteSource& source, std::uint64_t begin, std::uint64_t end,
                               std::uint64_t cap) {
  if (begin > end || end > source.size() || end - begin > cap) return std::nullopt;
  Bytes out(static_cast<std::size_t>(end - begin));
  if (!source.readAt(begin, out)) return std::nullopt;
  return out;
}

bool SpanByteSource::readAt(std::uint64_t offset, std::span<std::uint8_t> out) {
  if (offset > bytes_.size() || out.size() > bytes_.size() - offset) return false;
  if (!out.empty()) std::memcpy(out.data(), bytes_.data() + offset, out.size());
  return true;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

std::unique_ptr<FileByteSource> FileByteSource::open(const std::string& path) {
  // Non-blocking open: a FIFO or device under a media name must not hang us.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return nullptr;
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return nullptr;
  return std::unique_ptr<FileByteSource>(
      new FileByteSource(std::move(fd), static_cast<std::uint64_t>(st.st_size)));
}

bool FileByteSource::readAt(std::uint64_t offset, std::span<std::uint8_t> out) {
  if (offset > size_ || out.size() > size_ - offset) return false;
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::pread(fd_.get(), out.data() + done, out.size() - done,
                              static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace media
