#include "tls_server.h"

#include <openssl/err.h>

namespace emulated_phone {

bool TlsStream::readFull(void* data, size_t size) {
  auto* p = static_cast<char*>(data);
  while (size > 0) {
    size_t got = 0;
    if (SSL_read_ex(ssl_.get(), p, size, &got) != 1) {
      ERR_clear_error();
      return false;
    }
    p += got;
    size -= got;
  }
  return true;
}

bool TlsStream::writeAll(std::initializer_list<ConstBuffer> pieces) {
  for (const ConstBuffer& piece : pieces) {
    if (piece.size == 0) continue;
    size_t written = 0;
    if (SSL_write_ex(ssl_.get(), piece.data, piece.size, &written) != 1 ||
        written != piece.size) {
      ERR_clear_error();
      return false;
    }
  }
  return true;
}

void TlsStream::close() {
  int rc = SSL_shutdown(ssl_.get());
  if (rc == 0) SSL_shutdown(ssl_.get());
  ERR_clear_error();
}

std::unique_ptr<TlsServer> TlsServer::create(EVP_PKEY* key, X509* cert, std::string* error) {
  SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
  if (!ctx) {
    *error = lastOpenSslError();
    return nullptr;
  }
  SSL_CTX_set_security_level(ctx.get(), 0);
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_VERSION);
  SSL_CTX_set_max_proto_version(ctx.get(), TLS1_3_VERSION);
  // Plain traffic may follow the TLS session on the same socket: never read
  // beyond the record at hand.
  SSL_CTX_set_read_ahead(ctx.get(), 0);
  SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
  if (SSL_CTX_set_cipher_list(ctx.get(), "DEFAULT:@SECLEVEL=0") != 1 ||
      SSL_CTX_use_certificate(ctx.get(), cert) != 1 ||
      SSL_CTX_use_PrivateKey(ctx.get(), key) != 1) {
    *error = lastOpenSslError();
    return nullptr;
  }
  return std::unique_ptr<TlsServer>(new TlsServer(std::move(ctx)));
}

std::unique_ptr<TlsStream> TlsServer::accept(int fd, std::string* error) {
  SslPtr ssl(SSL_new(ctx_.get()));
  if (!ssl || SSL_set_fd(ssl.get(), fd) != 1) {
    *error = lastOpenSslError();
    return nullptr;
  }
  if (SSL_accept(ssl.get()) != 1) {
    *error = "TLS handshake failed: " + lastOpenSslError();
    return nullptr;
  }
  return std::make_unique<TlsStream>(std::move(ssl));
}

}  // namespace emulated_phone
