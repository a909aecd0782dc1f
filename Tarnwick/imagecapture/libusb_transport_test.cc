#include "libusb_transport.h"

#include <gtest/gtest.h>

namespace imagecapture {
namespace {

UsbInterfaceDescriptor setting(int number, std::uint8_t cls, std::uint8_t sub, std::uint8_t protocol,
                               std::vector<UsbEndpointDescriptor> endpoints, int alt = 0) {
  return {number, alt, cls, sub, protocol, std::move(endpoints)};
}

const std::vector<UsbEndpointDescriptor> kPtpEndpoints = {{0x81, 2, 512}, {0x02, 2, 512}, {0x83, 3, 64}};

TEST(StillImageInterface, FoundByClassWhereverItStands) {
  // A phone's active configuration: the usbmux interface first.
  auto found = findStillImageInterface({setting(0, 255, 254, 2, {{0x84, 2, 512}, {0x05, 2, 512}}),
                                        setting(1, 6, 1, 1, kPtpEndpoints)});
  ASSERT_TRUE(found);
  EXPECT_EQ(found->number, 1);
  EXPECT_EQ(found->bulkIn, 0x81);
  EXPECT_EQ(found->bulkOut, 0x02);
  EXPECT_EQ(found->interruptIn, 0x83);
  EXPECT_EQ(found->packetSize, 512u);
  // An alternate setting that has the endpoints counts.
  found = findStillImageInterface({setting(0, 6, 1, 1, {}), setting(0, 6, 1, 1, kPtpEndpoints, 1)});
  ASSERT_TRUE(found);
  EXPECT_EQ(found->altSetting, 1);
  // Not a camera: another class, or a still-image interface without its three pipes.
  EXPECT_FALSE(findStillImageInterface({setting(0, 8, 6, 80, kPtpEndpoints)}));
  EXPECT_FALSE(findStillImageInterface({setting(0, 6, 1, 1, {{0x81, 2, 512}, {0x02, 2, 512}})}));
  EXPECT_FALSE(findStillImageInterface({}));
}

}  // namespace
}  // namespace imagecapture
