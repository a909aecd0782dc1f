#include "fd_stream.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>

namespace emulated_phone {

bool FdStream::readFull(void* data, size_t size) {
  auto* p = static_cast<char*>(data);
  while (size > 0) {
    ssize_t n = ::recv(fd_, p, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool FdStream::writeAll(std::initializer_list<ConstBuffer> pieces) {
  constexpr size_t kMaxPieces = 8;
  iovec iov[kMaxPieces];
  size_t count = 0;
  for (const ConstBuffer& piece : pieces) {
    if (piece.size == 0) continue;
    if (count == kMaxPieces) return false;
    iov[count++] = iovec{const_cast<void*>(piece.data), piece.size};
  }
  size_t first = 0;
  while (first < count) {
    msghdr msg{};
    msg.msg_iov = iov + first;
    msg.msg_iovlen = count - first;
    // MSG_NOSIGNAL: a peer that went away is an error, not a SIGPIPE.
    ssize_t n = ::sendmsg(fd_, &msg, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    auto sent = static_cast<size_t>(n);
    while (first < count && sent >= iov[first].iov_len) {
      sent -= iov[first].iov_len;
      ++first;
    }
    if (first < count) {
      iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + sent;
      iov[first].iov_len -= sent;
    }
  }
  return true;
}

}  // namespace emulated_phone
