#include "mobile_device.h"

#include <gtest/gtest.h>

#include <string>

#include "fake_backend.h"

namespace {

TEST(MobileDeviceTest, WithoutABackendEverythingFailsCleanly) {
  mobiledevice::SetBackend(nullptr);
  AMDeviceNotificationRef notification = reinterpret_cast<AMDeviceNotificationRef>(0x1);
  EXPECT_NE(AMDeviceNotificationSubscribe(nullptr, 0, 0, nullptr, &notification), 0);
  EXPECT_EQ(notification, nullptr);
  EXPECT_NE(AMDeviceConnect(nullptr), 0);
  EXPECT_EQ(AMDeviceIsPaired(nullptr), 0);
  AFCConnectionRef connection = reinterpret_cast<AFCConnectionRef>(0x1);
  EXPECT_NE(AFCConnectionOpen(3, 0, &connection), 0);
  EXPECT_EQ(connection, nullptr);
  uint32_t count = 7;
  char buffer[4];
  EXPECT_NE(AFCFileRefRead(nullptr, 1, buffer, sizeof buffer, &count), 0);
  EXPECT_EQ(count, 0u);
}

class FakePhoneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto phone = std::make_unique<mobiledevice::FakeBackend>();
    phone_ = phone.get();
    mobiledevice::SetBackend(std::move(phone));
    CFStringRef name =
        CFStringCreateWithCString(kCFAllocatorDefault, "com.apple.afc", kCFStringEncodingUTF8);
    AMDServiceConnectionRef service = nullptr;
    EXPECT_EQ(AMDeviceSecureStartService(phone_->device(), name, nullptr, &service), 0);
    CFRelease(name);
    EXPECT_EQ(AFCConnectionOpen(AMDServiceConnectionGetSocket(service), 0, &connection_), 0);
  }
  void TearDown() override { mobiledevice::SetBackend(nullptr); }

  mobiledevice::FakeBackend* phone_ = nullptr;
  AFCConnectionRef connection_ = nullptr;
};

TEST_F(FakePhoneTest, ServiceNamesOfAnyLengthReachThePhoneWhole) {
  const std::string long_name(3000, 's');
  phone_->script().services[long_name].secure_status = 42;
  phone_->script().services[long_name].plain_status = 43;
  CFStringRef name =
      CFStringCreateWithCString(kCFAllocatorDefault, long_name.c_str(), kCFStringEncodingUTF8);
  AMDServiceConnectionRef service = nullptr;
  EXPECT_EQ(AMDeviceSecureStartService(phone_->device(), name, nullptr, &service), 42);
  int socket = 0;
  uint32_t unknown = 0;
  EXPECT_EQ(AMDeviceStartService(phone_->device(), name, &socket, &unknown), 43);
  CFRelease(name);
}

TEST_F(FakePhoneTest, FileInfoComesAsKeyValuePairs) {
  phone_->AddFile("/DCIM/a.JPG", "12345");
  AFCDictionaryRef info = nullptr;
  ASSERT_EQ(AFCFileInfoOpen(connection_, "/DCIM/a.JPG", &info), 0);
  const char* key = nullptr;
  const char* value = nullptr;
  std::string size;
  int pairs = 0;
  while (AFCKeyValueRead(info, &key, &value) == 0 && key) {
    ++pairs;
    if (std::string(key) == "st_size") size = value;
  }
  EXPECT_EQ(size, "5");
  EXPECT_EQ(pairs, 3);
  AFCKeyValueClose(info);
  EXPECT_EQ(AFCFileInfoOpen(connection_, "/missing", &info), 8);
  EXPECT_EQ(info, nullptr);
}

TEST_F(FakePhoneTest, FolderNamesStayValidUntilTheNextRead) {
  phone_->AddFile("/DCIM/a", "");
  phone_->AddFile("/DCIM/b", "");
  AFCDirectoryRef directory = nullptr;
  ASSERT_EQ(AFCDirectoryOpen(connection_, "/DCIM", &directory), 0);
  char* name = nullptr;
  ASSERT_EQ(AFCDirectoryRead(connection_, directory, &name), 0);
  EXPECT_STREQ(name, "a");
  ASSERT_EQ(AFCDirectoryRead(connection_, directory, &name), 0);
  EXPECT_STREQ(name, "b");
  ASSERT_EQ(AFCDirectoryRead(connection_, directory, &name), 0);
  EXPECT_EQ(name, nullptr);
  EXPECT_EQ(AFCDirectoryClose(connection_, directory), 0);
  // A file is not a folder.
  EXPECT_NE(AFCDirectoryOpen(connection_, "/DCIM/a", &directory), 0);
  EXPECT_EQ(directory, nullptr);
}

}  // namespace
