// The phone's side of TLS: lockdown turns its plain socket into a TLS session
// where the phone is the server, and back again when the session stops.
#pragma once

#include <memory>
#include <string>

#include "openssl_ptr.h"
#include "stream.h"

namespace emulated_phone {

class TlsStream : public Stream {
 public:
  explicit TlsStream(SslPtr ssl) : ssl_(std::move(ssl)) {}
  bool readFull(void* data, size_t size) override;
  bool writeAll(std::initializer_list<ConstBuffer> pieces) override;
  // Sends close_notify and waits for the peer's, so that plain traffic can
  // follow on the same socket. A peer that already left is not an error.
  void close();

 private:
  SslPtr ssl_;
};

class TlsServer {
 public:
  // Serves with the given key and certificate; accepts TLS 1.0 to 1.3, as
  // older clients offer only TLS 1.0 at security level 0.
  static std::unique_ptr<TlsServer> create(EVP_PKEY* key, X509* cert, std::string* error);
  // Runs the server handshake on a connected socket (not owned).
  std::unique_ptr<TlsStream> accept(int fd, std::string* error);

 private:
  explicit TlsServer(SslCtxPtr ctx) : ctx_(std::move(ctx)) {}
  SslCtxPtr ctx_;
};

}  // namespace emulated_phone
