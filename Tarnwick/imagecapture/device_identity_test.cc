#include "device_identity.h"

#include <gtest/gtest.h>

#include <regex>

namespace imagecapture {
namespace {

TEST(DeviceIdentity, UuidIsAWellFormedVersionFiveUuidAndStable) {
  std::string a = nameBasedUuid("disk:/media/card");
  EXPECT_TRUE(std::regex_match(a, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-5[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
      << a;
  EXPECT_EQ(a, nameBasedUuid("disk:/media/card"));
  EXPECT_NE(a, nameBasedUuid("disk:/media/card2"));
  EXPECT_NE(nameBasedUuid(""), nameBasedUuid(" "));
}

TEST(DeviceIdentity, IphoneIsNamedAndKeyedByItsUsbStringsNotItsPort) {
  UsbStrings strings{"05ac", "12a8", "Apple Inc.", "iPhone", "00008110000A1B2C3D4E5F60"};
  auto first = identifyDevice("USB camera 05ac:12a8", "usb:001,005", strings);
  auto replugged = identifyDevice("USB camera 05ac:12a8", "usb:001,009", strings);
  EXPECT_EQ(first.name, "iPhone");
  EXPECT_EQ(first.productKind, "iPhone");
  EXPECT_EQ(first.transportType, "usb");
  EXPECT_EQ(first.uuid, replugged.uuid);

  strings.serial = "another";
  EXPECT_NE(identifyDevice("USB camera 05ac:12a8", "usb:001,005", strings).uuid, first.uuid);
}

TEST(DeviceIdentity, WithoutUsbStringsTheModelAndPortAreUsed) {
  auto id = identifyDevice("Canon EOS 80D", "usb:002,003", std::nullopt);
  EXPECT_EQ(id.name, "Canon EOS 80D");
  EXPECT_EQ(id.transportType, "usb");
  EXPECT_NE(id.uuid, identifyDevice("Canon EOS 80D", "usb:002,004", std::nullopt).uuid);
}

TEST(UsbPort, ParsesOnlyCompleteBusAndDeviceNumbers) {
  EXPECT_EQ(parseUsbPort("usb:001,005"), (std::pair{1, 5}));
  EXPECT_FALSE(parseUsbPort("usb:"));
  EXPECT_FALSE(parseUsbPort("usb:1"));
  EXPECT_FALSE(parseUsbPort("usb:1,x"));
  EXPECT_FALSE(parseUsbPort("usb:,2"));
  EXPECT_FALSE(parseUsbPort("disk:/a,b"));
}

}  // namespace
}  // namespace imagecapture
