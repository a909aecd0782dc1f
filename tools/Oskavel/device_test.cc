#include <gtest/gtest.h>

#include <string>

#include "run_loop.h"
#include "test_support.h"

namespace {

using mobiledevice::FakeBackend;
using oskavel_testing::Capture;

class DeviceTest : public oskavel_testing::OskavelTest {
 protected:
  // Runs one callback from inside the run loop; tells how the pass ended.
  runloop::RunLoop::Result Deliver(am_device_notification_callback_info* info) {
    auto& loop = runloop::RunLoop::current();
    loop.post([info] { device_callback(info, nullptr); });
    return loop.runUntil(runloop::Clock::now() + std::chrono::milliseconds(30), false);
  }

  std::string Printed(CFTypeRef value) {
    return Capture([value] { print_cf_string(value); }).out;
  }
};

TEST_F(DeviceTest, OnlyAnAttachedMessageWithADeviceIsRecorded) {
  mobiledevice::Device other;
  am_device_notification_callback_info detach{phone().device(), ADNCI_MSG_DISCONNECTED};
  am_device_notification_callback_info no_device{nullptr, ADNCI_MSG_CONNECTED};
  EXPECT_EQ(Deliver(nullptr), runloop::RunLoop::Result::kTimedOut);
  EXPECT_EQ(Deliver(&detach), runloop::RunLoop::Result::kTimedOut);
  EXPECT_EQ(Deliver(&no_device), runloop::RunLoop::Result::kTimedOut);
  EXPECT_EQ(g_device, nullptr);
  EXPECT_EQ(g_discovered, 0);

  am_device_notification_callback_info attach{phone().device(), ADNCI_MSG_CONNECTED};
  EXPECT_EQ(Deliver(&attach), runloop::RunLoop::Result::kStopped);
  EXPECT_EQ(g_device, phone().device());
  EXPECT_EQ(g_discovered, 1);

  // A later attached message replaces the device; a detach does not clear it.
  am_device_notification_callback_info second{&other, ADNCI_MSG_CONNECTED};
  EXPECT_EQ(Deliver(&second), runloop::RunLoop::Result::kStopped);
  EXPECT_EQ(Deliver(&detach), runloop::RunLoop::Result::kTimedOut);
  EXPECT_EQ(g_device, &other);
}

TEST_F(DeviceTest, PrintCfStringFallsBackToUnknown) {
  EXPECT_EQ(Printed(nullptr), "unknown");
  CFTypeRef number = mobiledevice::CreateOpaqueValue();
  EXPECT_EQ(Printed(number), "unknown");
  CFRelease(number);

  const std::string fits(511, 'n');
  CFStringRef value = cf_string_from_c(fits.c_str());
  EXPECT_EQ(Printed(value), fits);
  CFRelease(value);

  // 512 bytes of UTF-8 (256 two-byte letters) no longer fit with the NUL.
  std::string too_long;
  for (int i = 0; i < 256; ++i) too_long += "Ж";
  value = cf_string_from_c(too_long.c_str());
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(Printed(value), "unknown");
  CFRelease(value);
}

TEST_F(DeviceTest, PrintCfStringKeepsUtf8AndEscapesControlBytes) {
  CFStringRef value = cf_string_from_c("Телефон\nDONE: media=9\t");
  EXPECT_EQ(Printed(value), "Телефон\\x0ADONE: media=9\\x09");
  CFRelease(value);
}

TEST_F(DeviceTest, CfStringFromCRejectsTextThatIsNotUtf8) {
  EXPECT_EQ(cf_string_from_c("\xff\xfe"), nullptr);
  EXPECT_EQ(cf_string_from_c("caf\xc3"), nullptr);  // cut in the middle of a letter
  CFStringRef empty = cf_string_from_c("");
  ASSERT_NE(empty, nullptr);
  CFRelease(empty);
}

TEST_F(DeviceTest, SecureStartWithContextOpensAfcAndAttachesIt) {
  phone().script().service.secure_context = true;
  AFCConnectionRef connection = nullptr;
  EXPECT_EQ(open_afc_service(phone().device(), "com.apple.afc", &connection), 0);
  EXPECT_NE(connection, nullptr);
  EXPECT_EQ(phone().Count("AFCConnectionSetSecureContext"), 1u);
  EXPECT_EQ(phone().Count("AMDeviceStartService"), 0u);
  AFCConnectionClose(connection);
}

TEST_F(DeviceTest, SecureStartWithoutContextAttachesNothing) {
  AFCConnectionRef connection = nullptr;
  EXPECT_EQ(open_afc_service(phone().device(), "com.apple.afc", &connection), 0);
  EXPECT_EQ(phone().Count("AFCConnectionSetSecureContext"), 0u);
  AFCConnectionClose(connection);
}

TEST_F(DeviceTest, FailingAfcOpenAfterSecureStartIsReturnedWithoutPlainAttempt) {
  phone().script().service.afc_open_status = 30;
  AFCConnectionRef connection = reinterpret_cast<AFCConnectionRef>(0x1);
  EXPECT_EQ(open_afc_service(phone().device(), "com.apple.afc", &connection), 30);
  EXPECT_EQ(connection, nullptr);
  EXPECT_EQ(phone().Count("AMDeviceStartService"), 0u);
}

TEST_F(DeviceTest, PlainStartRunsWhenSecureStartFailsOrGivesNoConnection) {
  for (bool gives_nothing : {false, true}) {
    SCOPED_TRACE(gives_nothing);
    auto& service = phone().script().service;
    service.secure_status = gives_nothing ? 0 : -402653150;
    service.secure_gives_connection = !gives_nothing;
    AFCConnectionRef connection = nullptr;
    EXPECT_EQ(open_afc_service(phone().device(), "com.apple.afc", &connection), 0);
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(phone().calls().back(), "AFCConnectionOpen 41");
    AFCConnectionClose(connection);
  }
}

TEST_F(DeviceTest, PlainStartWithSocketZeroGivesMinus101) {
  auto& service = phone().script().service;
  service.secure_status = 5;
  service.plain_socket = 0;
  AFCConnectionRef connection = nullptr;
  EXPECT_EQ(open_afc_service(phone().device(), "com.apple.afc", &connection), -101);
  EXPECT_EQ(phone().Count("AFCConnectionOpen"), 0u);
}

TEST_F(DeviceTest, FailingPlainStartPassesItsStatusThrough) {
  auto& service = phone().script().service;
  service.secure_status = 5;
  service.plain_status = -402653158;
  AFCConnectionRef connection = nullptr;
  EXPECT_EQ(open_afc_service(phone().device(), "com.apple.afc", &connection), -402653158);
}

TEST_F(DeviceTest, ServiceNameThatIsNotUtf8GivesMinus100BeforeAnyDeviceCall) {
  AFCConnectionRef connection = nullptr;
  EXPECT_EQ(open_afc_service(phone().device(), "com.apple.\xff", &connection), -100);
  EXPECT_TRUE(phone().calls().empty());
}

TEST_F(DeviceTest, SuccessWithoutConnectionIsPossible) {
  phone().script().service.afc_gives_connection = false;
  AFCConnectionRef connection = nullptr;
  EXPECT_EQ(open_afc_service(phone().device(), "com.apple.afc", &connection), 0);
  EXPECT_EQ(connection, nullptr);
}

}  // namespace
