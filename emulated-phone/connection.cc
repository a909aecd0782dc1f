#include "connection.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>

#include "afc_server.h"
#include "byte_order.h"
#include "fd_stream.h"
#include "lockdown.h"
#include "usbmux_handler.h"
#include "usbmux_protocol.h"

namespace emulated_phone {

namespace {

using Clock = Device::Clock;
constexpr uint32_t kMaxLockdownMessage = 1 << 20;

// Waits until the peer closes the connection, the emulator stops or, when
// given, `close_ms` have passed; data the peer sends meanwhile is read and
// dropped.
void holdOpen(int fd, const StopSignal& stop, std::optional<unsigned> close_ms) {
  const auto until = Clock::now() + std::chrono::milliseconds(close_ms.value_or(0));
  char sink[4096];
  while (!stop.raised() && (!close_ms || Clock::now() < until)) {
    pollfd p{fd, POLLIN, 0};
    int rc = ::poll(&p, 1, 100);
    if (rc > 0) {
      ssize_t n = ::recv(fd, sink, sizeof sink, 0);
      if (n <= 0) return;
    }
  }
}

void serveListen(int fd, FdStream& stream, const Services& s) {
  bool announced = false;
  if (s.device.attached(Clock::now())) {
    if (!writeUsbmuxPlist(stream, 0, attachedMessage(s.device).get())) return;
    announced = true;
  }
  char sink[4096];
  while (!s.stop.raised()) {
    int timeout_ms = 100;
    if (announced && s.device.detachTime()) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*s.device.detachTime() -
                                                                        Clock::now());
      if (left.count() <= 0) {
        if (!writeUsbmuxPlist(stream, 0, detachedMessage().get())) return;
        announced = false;
        continue;
      }
      timeout_ms = static_cast<int>(std::min<long long>(timeout_ms, left.count()));
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) > 0) {
      ssize_t n = ::recv(fd, sink, sizeof sink, 0);
      if (n <= 0) return;
    }
  }
}

bool readLockdownMessage(Stream& stream, std::string* payload) {
  unsigned char length[4];
  if (!stream.readFull(length, sizeof length)) return false;
  uint32_t size = loadBe32(length);
  if (size == 0 || size > kMaxLockdownMessage) return false;
  payload->resize(size);
  return stream.readFull(payload->data(), size);
}

bool writeLockdownMessage(Stream& stream, plist_t message) {
  std::string xml = toXml(message);
  unsigned char length[4];
  storeBe32(length, static_cast<uint32_t>(xml.size()));
  return stream.writeAll({{length, sizeof length}, {xml.data(), xml.size()}});
}

void serveLockdown(int fd, const Services& s) {
  Lockdown lockdown(s.device);
  FdStream plain(fd);
  std::unique_ptr<TlsStream> tls;
  std::string payload;
  for (;;) {
    Stream& stream = tls ? static_cast<Stream&>(*tls) : plain;
    if (!readLockdownMessage(stream, &payload)) return;
    PlistPtr request = parsePlist(payload);
    if (!request || plist_get_node_type(request.get()) != PLIST_DICT) return;
    Lockdown::Reply reply = lockdown.handle(request.get());
    if (!writeLockdownMessage(stream, reply.answer.get())) return;
    switch (reply.then) {
      case Lockdown::Reply::Then::kContinue:
        break;
      case Lockdown::Reply::Then::kClose:
        return;
      case Lockdown::Reply::Then::kStartTls: {
        std::string error;
        tls = s.tls.accept(fd, &error);
        if (!tls) {
          std::fprintf(stderr, "emulated-phone: lockdown: %s\n", error.c_str());
          return;
        }
        break;
      }
      case Lockdown::Reply::Then::kStopTls:
        if (tls) tls->close();
        tls.reset();
        break;
    }
  }
}

void serveService(int fd, const std::string& service, const Services& s) {
  if (!isAfcService(service)) {
    // The other services speak their own protocols; this phone only
    // accepts the connection and closes it.
    return;
  }
  FdStream plain(fd);
  std::unique_ptr<TlsStream> tls;
  if (s.device.faults().service_tls) {
    // The service asked for TLS when it started: the client begins it.
    std::string error;
    tls = s.tls.accept(fd, &error);
    if (!tls) {
      std::fprintf(stderr, "emulated-phone: %s: %s\n", service.c_str(), error.c_str());
      return;
    }
  }
  Stream& stream = tls ? static_cast<Stream&>(*tls) : plain;
  AfcServer afc(stream, s.files, s.device.faults(), s.stop);
  if (afc.run() == AfcServer::End::kStalled) holdOpen(fd, s.stop, s.device.faults().stall_close_ms);
}

}  // namespace

void serveConnection(int fd, const Services& s) {
  FdStream stream(fd);
  UsbmuxMessage message;
  while (readUsbmuxMessage(stream, &message)) {
    if (message.type != kUsbmuxPlistMessage) {
      // Only the property-list protocol (version 1) is spoken here.
      writeUsbmuxPlist(stream, message.tag, resultMessage(kResultBadCommand).get());
      continue;
    }
    PlistPtr request = parsePlist(message.payload);
    if (!request || plist_get_node_type(request.get()) != PLIST_DICT) return;
    UsbmuxReply reply = handleUsbmuxRequest(s.device, request.get(), Clock::now());
    if (!writeUsbmuxPlist(stream, message.tag, reply.answer.get())) return;
    switch (reply.then) {
      case UsbmuxReply::Then::kContinue:
        break;
      case UsbmuxReply::Then::kListen:
        serveListen(fd, stream, s);
        return;
      case UsbmuxReply::Then::kLockdown:
        serveLockdown(fd, s);
        return;
      case UsbmuxReply::Then::kService:
        serveService(fd, reply.service, s);
        return;
      case UsbmuxReply::Then::kCloseAtOnce:
        return;
    }
  }
}

}  // namespace emulated_phone
