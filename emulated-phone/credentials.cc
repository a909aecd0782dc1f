#include "credentials.h"

#include <openssl/encoder.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <thread>

#include "plist_util.h"

namespace emulated_phone {

std::string lastOpenSslError() {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown OpenSSL error";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

namespace {

std::string bioText(BIO* bio) {
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

EvpPkeyPtr generateRsaKey() {
  return EvpPkeyPtr(EVP_RSA_gen(2048));
}

bool addExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (!ext) return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

// A certificate for `subject_key`, signed by `issuer_key`; self-signed when
// `issuer` is null.
X509Ptr makeCertificate(EVP_PKEY* subject_key, EVP_PKEY* issuer_key, X509* issuer,
                        const char* common_name, bool ca, long serial) {
  X509Ptr cert(X509_new());
  if (!cert) return nullptr;
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 60L * 60 * 24 * 365 * 10);
  if (X509_set_pubkey(cert.get(), subject_key) != 1) return nullptr;
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(common_name), -1, -1, 0);
  X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
  X509* issuer_cert = issuer ? issuer : cert.get();
  if (!addExtension(cert.get(), issuer_cert, NID_basic_constraints,
                    ca ? "critical,CA:TRUE" : "critical,CA:FALSE"))
    return nullptr;
  if (X509_sign(cert.get(), issuer_key, EVP_sha256()) <= 0) return nullptr;
  return cert;
}

std::string hexBytes(size_t n) {
  unsigned char bytes[32];
  if (n > sizeof bytes) n = sizeof bytes;
  RAND_bytes(bytes, static_cast<int>(n));
  std::string out;
  char two[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(two, sizeof two, "%02X", bytes[i]);
    out += two;
  }
  return out;
}

}  // namespace

std::string randomUuid() {
  std::string hex = hexBytes(16);
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
         hex.substr(16, 4) + "-" + hex.substr(20, 12);
}

std::string certificatePem(X509* cert) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) return {};
  return bioText(bio.get());
}

std::string privateKeyPem(EVP_PKEY* key) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio ||
      PEM_write_bio_PrivateKey_traditional(bio.get(), key, nullptr, nullptr, 0, nullptr,
                                           nullptr) != 1)
    return {};
  return bioText(bio.get());
}

std::string rsaPublicKeyPem(EVP_PKEY* key) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  OSSL_ENCODER_CTX* ctx = OSSL_ENCODER_CTX_new_for_pkey(key, EVP_PKEY_PUBLIC_KEY, "PEM",
                                                        "type-specific", nullptr);
  if (!bio || !ctx) {
    OSSL_ENCODER_CTX_free(ctx);
    return {};
  }
  bool ok = OSSL_ENCODER_to_bio(ctx, bio.get()) == 1;
  OSSL_ENCODER_CTX_free(ctx);
  return ok ? bioText(bio.get()) : std::string();
}

bool generateCredentials(bool paired, Credentials* out, std::string* error) {
  // Two keys, made side by side: one for the phone, one that the paired
  // computer uses as both its root and its host key.
  EvpPkeyPtr device_key, host_key;
  std::thread host_thread;
  if (paired) host_thread = std::thread([&] { host_key = generateRsaKey(); });
  device_key = generateRsaKey();
  if (host_thread.joinable()) host_thread.join();
  if (!device_key || (paired && !host_key)) {
    *error = "RSA key generation failed: " + lastOpenSslError();
    return false;
  }

  Credentials c;
  c.system_buid = randomUuid();
  c.device_public_key_pem = rsaPublicKeyPem(device_key.get());
  if (c.device_public_key_pem.empty()) {
    *error = "cannot encode the device public key: " + lastOpenSslError();
    return false;
  }
  if (paired) {
    X509Ptr root = makeCertificate(host_key.get(), host_key.get(), nullptr, "Root", true, 0);
    X509Ptr host = root ? makeCertificate(host_key.get(), host_key.get(), root.get(), "Host",
                                          false, 1)
                        : nullptr;
    c.device_cert = root ? makeCertificate(device_key.get(), host_key.get(), root.get(),
                                           "Device", false, 2)
                         : nullptr;
    if (!root || !host || !c.device_cert) {
      *error = "certificate generation failed: " + lastOpenSslError();
      return false;
    }
    std::string key_pem = privateKeyPem(host_key.get());
    PlistPtr record = newDict();
    setString(record.get(), "HostID", randomUuid());
    setString(record.get(), "SystemBUID", c.system_buid);
    setData(record.get(), "HostCertificate", certificatePem(host.get()));
    setData(record.get(), "HostPrivateKey", key_pem);
    setData(record.get(), "RootCertificate", certificatePem(root.get()));
    setData(record.get(), "RootPrivateKey", key_pem);
    setData(record.get(), "DeviceCertificate", certificatePem(c.device_cert.get()));
    setString(record.get(), "WiFiMACAddress", "02:00:00:0e:41:50");
    setData(record.get(), "EscrowBag", hexBytes(32));
    c.pair_record = toXml(record.get());
  } else {
    // The phone still needs a certificate of its own for its TLS side; no
    // client checks who signed it.
    c.device_cert = makeCertificate(device_key.get(), device_key.get(), nullptr, "Device",
                                    false, 2);
    if (!c.device_cert) {
      *error = "certificate generation failed: " + lastOpenSslError();
      return false;
    }
  }
  c.device_key = std::move(device_key);
  *out = std::move(c);
  return true;
}

}  // namespace emulated_phone
