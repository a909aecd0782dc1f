// The keys and certificates of one emulated phone and, unless it plays an
// unpaired phone, of the computer it is paired with. Generated fresh at every
// start; nothing is stored.
#pragma once

#include <string>

#include "openssl_ptr.h"

namespace emulated_phone {

struct Credentials {
  EvpPkeyPtr device_key;
  X509Ptr device_cert;
  std::string device_public_key_pem;  // PKCS#1, as lockdown's DevicePublicKey
  std::string system_buid;
  // The pair record as usbmuxd keeps it (XML); empty when not paired.
  std::string pair_record;
};

// Generates RSA-2048 keys; with `paired`, also the host's pair record.
bool generateCredentials(bool paired, Credentials* out, std::string* error);

// A fresh upper-case UUID, as lockdown uses for host and session ids.
std::string randomUuid();

// Pieces, exposed for tests.
std::string certificatePem(X509* cert);
std::string privateKeyPem(EVP_PKEY* key);   // PKCS#1 "RSA PRIVATE KEY"
std::string rsaPublicKeyPem(EVP_PKEY* key); // PKCS#1 "RSA PUBLIC KEY"

}  // namespace emulated_phone
