#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using oskavel_testing::Capture;

class ServicesTest : public oskavel_testing::OskavelTest {};

TEST_F(ServicesTest, ProbesSixServicesInOrderWhateverTheirResults) {
  auto& script = phone().script();
  script.root_status["com.apple.crashreportcopymobile"] = 10;
  script.services["com.apple.mobile.house_arrest"].secure_status = 1;
  script.services["com.apple.mobile.house_arrest"].plain_status = -402653158;
  script.services["com.apple.mobile_image_mounter"].afc_gives_connection = false;
  script.services["com.apple.mobile.file_relay"].secure_status = 1;
  script.services["com.apple.mobile.file_relay"].plain_socket = 0;
  script.services["com.apple.mobile.notification_proxy"].afc_open_status = 30;

  int status = -1;
  const auto output = Capture([&] { status = command_services(phone().device()); });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(output.out,
            "SERVICE: com.apple.afc status=0 root_status=0\n"
            "SERVICE: com.apple.crashreportcopymobile status=0 root_status=10\n"
            "SERVICE: com.apple.mobile.house_arrest status=-402653158\n"
            "SERVICE: com.apple.mobile_image_mounter status=0\n"
            "SERVICE: com.apple.mobile.file_relay status=-101\n"
            "SERVICE: com.apple.mobile.notification_proxy status=30\n");
  EXPECT_EQ(output.err, "");
  // Each probe closes what it opened before the next one starts.
  EXPECT_EQ(phone().open_connections(), 0);
  EXPECT_EQ(phone().open_directories(), 0);
}

TEST_F(ServicesTest, EveryServiceFailingStillEndsWithZero) {
  phone().script().service.secure_status = 7;
  phone().script().service.plain_status = 7;
  int status = -1;
  const auto output = Capture([&] { status = command_services(phone().device()); });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(std::count(output.out.begin(), output.out.end(), '\n'), 6);
  EXPECT_EQ(output.out.find("root_status"), std::string::npos);
}

}  // namespace
