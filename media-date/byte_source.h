// Random access to the bytes of a file or of a buffer. The box reader sees
// only this, so it can be run over files, test buffers and fuzzer input alike.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace media {

using Bytes = std::vector<std::uint8_t>;

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t size() const = 0;
  // Fills `out` from `offset`; false unless every byte could be read.
  virtual bool readAt(std::uint64_t offset, std::span<std::uint8_t> out) = 0;
};

// Reads [begin, end) into memory, or nothing when the range is not inside the
// source, is larger than `cap`, or cannot be read.
std::optional<Bytes> readRange(ByteSource& source, std::uint64_t begin, std::uint64_t end,
                               std::uint64_t cap);

// A view of bytes owned by someone else.
class SpanByteSource final : public ByteSource {
 public:
  explicit SpanByteSource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint64_t size() const override { return bytes_.size(); }
  bool readAt(std::uint64_t offset, std::span<std::uint8_t> out) override;

 private:
  std::span<const std::uint8_t> bytes_;
};

// An open file descriptor, closed on destruction.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd();
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// A regular file read with pread; nothing is loaded up front.
class FileByteSource final : public ByteSource {
 public:
  // Nothing when the path cannot be opened for reading or is not a regular file.
  static std::unique_ptr<FileByteSource> open(const std::string& path);
  std::uint64_t size() const override { return size_; }
  bool readAt(std::uint64_t offset, std::span<std::uint8_t> out) override;

 private:
  FileByteSource(UniqueFd fd, std::uint64_t size) : fd_(std::move(fd)), size_(size) {}
  UniqueFd fd_;
  std::uint64_t size_;
};

}  // namespace media
