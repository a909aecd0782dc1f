// Owning pointers for the OpenSSL objects the emulator holds.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace emulated_phone {

struct OpenSslFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(BIO* p) const { BIO_free_all(p); }
  void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
  void operator()(SSL* p) const { SSL_free(p); }
};
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OpenSslFree>;
using X509Ptr = std::unique_ptr<X509, OpenSslFree>;
using BioPtr = std::unique_ptr<BIO, OpenSslFree>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, OpenSslFree>;
using SslPtr = std::unique_ptr<SSL, OpenSslFree>;

// The text of OpenSSL's most recent error on this thread (and clears the queue).
std::string lastOpenSslError();

}  // namespace emulated_phone
