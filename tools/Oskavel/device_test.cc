#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace {

class DeviceTest : public oskavel_testing::OskavelTest {
 protected:
  void SetUp() override {
    OskavelTest::SetUp();
    ASSERT_EQ(phone().connect(phone::FakePhone::kDevice, &connection_), 0);
    ASSERT_EQ(connection_->startSession(&session_), 0);
  }
  void TearDown() override {
    session_.reset();
    connection_.reset();
    OskavelTest::TearDown();
  }
  int Open(const char* name = "com.apple.afc") {
    client_.reset();
    return open_afc_service(*session_, name, &client_);
  }

  std::unique_ptr<phone::Connection> connection_;
  std::unique_ptr<phone::Session> session_;
  std::unique_ptr<phone::AfcClient> client_;
};

TEST_F(DeviceTest, SecureStartComesFirstAndItsFailingAfcOpenIsFinal) {
  EXPECT_EQ(Open(), 0);
  EXPECT_NE(client_, nullptr);
  EXPECT_EQ(phone().count("startService"), 0u);

  phone().script().service.afc_open_status = 30;
  EXPECT_EQ(Open(), 30);
  EXPECT_EQ(client_, nullptr);
  EXPECT_EQ(phone().count("startService"), 0u);
}

TEST_F(DeviceTest, PlainStartRunsWhenSecureStartFailsOrGivesNoService) {
  for (bool gives_nothing : {false, true}) {
    SCOPED_TRACE(gives_nothing);
    auto& service = phone().script().service;
    service.secure_status = gives_nothing ? 0 : -402653150;
    service.secure_gives_service = !gives_nothing;
    EXPECT_EQ(Open(), 0);
    EXPECT_NE(client_, nullptr);
    EXPECT_EQ(phone().calls().back(), "openAfc com.apple.afc");
  }
}

TEST_F(DeviceTest, PlainStartStatusesPassThroughAndNoServiceIsMinus101) {
  auto& service = phone().script().service;
  service.secure_status = 5;
  service.plain_status = -402653158;
  EXPECT_EQ(Open(), -402653158);
  service.plain_status = 0;
  service.plain_gives_service = false;
  EXPECT_EQ(Open(), -101);
  EXPECT_EQ(phone().count("openAfc"), 0u);
}

TEST_F(DeviceTest, ServiceNameThatIsNotUtf8GivesMinus100BeforeAnyPhoneCall) {
  const size_t calls = phone().calls().size();
  EXPECT_EQ(Open("bad\xff"), -100);
  EXPECT_EQ(phone().calls().size(), calls);
  // Any length of well-formed text reaches the phone whole.
  const std::string long_name(3000, 's');
  EXPECT_EQ(Open(long_name.c_str()), 0);
  EXPECT_EQ(phone().count("startSecureService " + long_name), 1u);
}

TEST_F(DeviceTest, SuccessWithoutConnectionIsPossible) {
  phone().script().service.afc_gives_connection = false;
  EXPECT_EQ(Open(), 0);
  EXPECT_EQ(client_, nullptr);
}

}  // namespace
