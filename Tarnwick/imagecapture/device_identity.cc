#include "device_identity.h"

#include <openssl/evp.h>

#include <array>
#include <cstdio>
#include <memory>

namespace imagecapture {

namespace {

// The namespace of these UUIDs (itself a fixed random UUID).
constexpr std::array<unsigned char, 16> kNamespace = {0x6f, 0x1d, 0x3a, 0x52, 0x8e, 0x47, 0x4b, 0x0c,
                                                      0x9a, 0x61, 0x2d, 0xc4, 0x70, 0x13, 0xb5, 0xe8};

struct DigestDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

std::string nameBasedUuid(std::string_view key) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  std::unique_ptr<EVP_MD_CTX, DigestDeleter> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha1(), nullptr) != 1 ||
      EVP_DigestUpdate(context.get(), kNamespace.data(), kNamespace.size()) != 1 ||
      EVP_DigestUpdate(context.get(), key.data(), key.size()) != 1 ||
      EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length < 16)
    return "00000000-0000-0000-0000-000000000000";
  digest[6] = static_cast<unsigned char>((digest[6] & 0x0f) | 0x50);
  digest[8] = static_cast<unsigned char>((digest[8] & 0x3f) | 0x80);
  char text[37];
  std::snprintf(text, sizeof text,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", digest[0],
                digest[1], digest[2], digest[3], digest[4], digest[5], digest[6], digest[7],
                digest[8], digest[9], digest[10], digest[11], digest[12], digest[13], digest[14],
                digest[15]);
  return text;
}

DeviceIdentity identifyDevice(std::string_view model, std::string_view port,
                              const std::optional<UsbStrings>& usb) {
  DeviceIdentity identity;
  auto colon = port.find(':');
  identity.transportType = std::string(colon == std::string_view::npos ? port : port.substr(0, colon));
  identity.name = std::string(model);
  identity.productKind = std::string(model);
  std::string key = std::string(model) + "|" + std::string(port);

  if (usb) {
    // Every iPhone has the same USB product id; the USB strings tell
    // "iPhone" from "iPad" and the serial number tells phones apart.
    if (!usb->product.empty()) {
      identity.name = usb->product;
      identity.productKind = usb->product;
    }
    if (!usb->serial.empty())
      key = "usb:" + usb->vendorId + ":" + usb->productId + ":" + usb->serial;
  }
  identity.uuid = nameBasedUuid(key);
  return identity;
}

}  // namespace imagecapture
