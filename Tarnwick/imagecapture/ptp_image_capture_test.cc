// The layer over a scripted bus: what no emulated phone shows.
#include "ptp_image_capture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_usb.h"

namespace imagecapture {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

const UsbCamera kPhone{"usb:001,002", 1, 2, 0x05ac, 0x12a8};

// Records what the layer tells, as lines, and opens a session with the
// first camera.
struct Recorder final : DeviceBrowserDelegate, CameraDeviceDelegate {
  std::vector<std::string> lines;
  std::shared_ptr<Device> camera;
  bool done = false;
  void deviceBrowserDidAddDevice(DeviceBrowser&, const std::shared_ptr<Device>& device, bool) override {
    camera = device;
    device->asCamera()->setDelegate(this);
    device->asCamera()->requestOpenSession();
  }
  void deviceBrowserDidRemoveDevice(DeviceBrowser&, const std::shared_ptr<Device>&, bool) override {}
  void deviceDidOpenSession(Device&, const Error* error) override {
    lines.push_back(error ? "open failed: " + error->localizedDescription() : "open");
    done = done || error;
  }
  void deviceDidCloseSession(Device&, const Error* error) override {
    lines.push_back(error ? "closed: " + error->localizedDescription() : "closed");
    done = true;
  }
  void didRemoveDevice(Device&) override {
    lines.push_back("removed");
    done = true;
  }
  void cameraDeviceDidEnableAccessRestriction(CameraDevice&) override {
    lines.push_back("locked");
    done = true;
  }
  void deviceDidBecomeReadyWithCompleteContentCatalog(CameraDevice& device) override {
    for (const auto& item : device.mediaFiles().value_or(std::vector<CameraItemPtr>{})) {
      const CameraFile* file = item->asFile();
      lines.push_back((file ? "file " : "folder ") + item->name().value_or("?"));
    }
    done = true;
  }
};

// Runs the layer over `bus` until the recorder has its answer.
std::vector<std::string> session(std::unique_ptr<FakeUsbBus> bus, PtpCaptureOptions options = {}) {
  runloop::RunLoop loop;
  options.watchUsbDevices = false;
  options.pollPeriod = 10ms;
  auto shared = std::make_shared<std::unique_ptr<FakeUsbBus>>(std::move(bus));
  PtpImageCapture layer(loop, [shared](const std::atomic<bool>&) -> std::unique_ptr<UsbBus> {
    return std::move(*shared);
  }, options);
  Recorder recorder;
  {
    auto browser = layer.makeDeviceBrowser();
    browser->setDelegate(&recorder);
    browser->setBrowsedDeviceTypeMask(kDeviceTypeMaskCamera | kDeviceLocationMaskLocal);
    browser->start();
    const auto guard = std::chrono::steady_clock::now() + 20s;  // only against a hang
    while (!recorder.done && std::chrono::steady_clock::now() < guard)
      loop.runUntil(std::chrono::steady_clock::now() + 50ms, true);
  }
  layer.stop(1s);
  return recorder.lines;
}

std::unique_ptr<FakeUsbBus> busWith(std::unique_ptr<FakeUsbTransport> phone) {
  auto bus = std::make_unique<FakeUsbBus>();
  bus->present.push_back(kPhone);
  bus->transports[kPhone.key] = std::move(phone);
  return bus;
}

ptp::Bytes u32s(std::vector<std::uint32_t> values) {
  ptp::Bytes bytes;
  values.insert(values.begin(), static_cast<std::uint32_t>(values.size()));  // the count first
  for (std::uint32_t v : values)
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  return bytes;
}

ptp::Bytes event(std::uint16_t code, std::uint32_t parameter) {
  ptp::Bytes bytes = ptp::commandContainer(code, 0xFFFFFFFF, std::vector<std::uint32_t>{parameter});
  bytes[4] = static_cast<std::uint8_t>(ptp::ContainerType::kEvent);
  return bytes;
}

ptp::Bytes objectInfo(const std::string& asciiName, std::uint16_t format) {
  ptp::Bytes bytes(52, 0);
  bytes[4] = static_cast<std::uint8_t>(format);
  bytes[5] = static_cast<std::uint8_t>(format >> 8);
  bytes.push_back(static_cast<std::uint8_t>(asciiName.size() + 1));
  for (char c : asciiName) {
    bytes.push_back(static_cast<std::uint8_t>(c));
    bytes.push_back(0);
  }
  bytes.insert(bytes.end(), {0, 0, 0, 0, 0});  // NUL, then empty dates and keywords
  return bytes;
}

TEST(PtpImageCapture, AnInterfaceAnotherProgramHoldsRefusesTheSessionAndSaysSo) {
  auto bus = std::make_unique<FakeUsbBus>();
  bus->present.push_back(kPhone);
  bus->failures[kPhone.key] = {UsbStatus::kFailed, 0, "LIBUSB_ERROR_BUSY"};
  auto lines = session(std::move(bus));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_THAT(lines[0], HasSubstr("open failed: интерфейс камеры занят другой программой (LIBUSB_ERROR_BUSY)"));
}

TEST(PtpImageCapture, PulledWhileDeviceInfoIsReadIsAPhoneGoneNotARefusal) {
  auto phone = std::make_unique<FakeUsbTransport>();
  phone->queue(UsbStatus::kGone);
  EXPECT_THAT(session(busWith(std::move(phone))), ElementsAre("removed"));
}

// The session's start as a phone answers it: DeviceInfo, the formats this
// computer takes, OpenSession, keep awake.
void opened(FakeUsbTransport& phone) {
  phone.data(0x1001, 0, ptp::Bytes(64, 0));  // what DeviceInfo holds is not needed
  phone.respond(0x2001, 0);
  phone.respond(0x2001, 0);  // the formats
  phone.respond(0x2001, 0);  // OpenSession
  phone.respond(0x2001, 1);  // keep awake
}

TEST(PtpImageCapture, PlaceholderStoreThenTrustThenTheCatalogueWithoutFolders) {
  auto phone = std::make_unique<FakeUsbTransport>();
  opened(*phone);
  phone->data(0x1004, 2, u32s({ptp::kPlaceholderStorage}));
  phone->respond(0x2001, 2);
  phone->events.push_back({UsbStatus::kOk, event(0x4005, ptp::kPlaceholderStorage)});
  phone->events.push_back({UsbStatus::kOk, event(0x4004, 0x00010001)});
  phone->data(0x1004, 3, u32s({}));            // still enumerating: the event's store is taken
  phone->respond(0x2001, 3);
  phone->data(0x9005, 4, {1, 2, 3});           // a bulk catalogue that does not read: one by one
  phone->respond(0x2001, 4);
  phone->data(0x1007, 5, u32s({0x20, 0x21, 0x22}));
  phone->respond(0x2001, 5);
  phone->data(0x1008, 6, objectInfo("202110__", 0x3001));
  phone->respond(0x2001, 6);
  phone->respond(0x2009, 7);                   // deleted meanwhile
  phone->data(0x1008, 8, objectInfo("IMG_0001.HEIC", 0x3801));
  phone->respond(0x2001, 8);
  EXPECT_THAT(session(busWith(std::move(phone))),
              ElementsAre("open", "folder 202110__", "file IMG_0001.HEIC"));
}

}  // namespace
}  // namespace imagecapture
