#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

using oskavel_testing::Output;
using oskavel_testing::ReadFile;

class DriverTest : public oskavel_testing::OskavelTest {
 protected:
  // The calls after the name was read.
  std::vector<std::string> Teardown() const {
    const auto& calls = phone_calls();
    std::vector<std::string> tail;
    for (const auto& call : calls) {
      if (call == "closeAfc" || call == "stopSession" ||
          call == "disconnect") {
        tail.push_back(call);
      }
    }
    return tail;
  }
  const std::vector<std::string>& phone_calls() const {
    return const_cast<DriverTest*>(this)->phone().calls();
  }
};

const char kNoDevice[] =
    "ERROR: MobileDevice не увидел iPhone. Finder может видеть устройство, но AFC-доступ пока не "
    "открыт.\n";

TEST_F(DriverTest, UnusableCommandLineShowsUsageAndTouchesNoDevice) {
  Output output;
  EXPECT_EQ(Run({"download"}, &output), 64);
  EXPECT_EQ(output.out, "");
  EXPECT_EQ(output.err.rfind("Usage:\n", 0), 0u);
  EXPECT_TRUE(phone().calls().empty());
}

TEST_F(DriverTest, FailedSubscriptionEndsWithTwo) {
  phone().script().subscribe_status = -402653183;
  Output output;
  EXPECT_EQ(Run({"list"}, &output), 2);
  EXPECT_EQ(output.err, "ERROR: AMDeviceNotificationSubscribe status=-402653183\n");
}

TEST_F(DriverTest, NoUsableAttachedMessageBeforeTheDeadlineEndsWithThree) {
  phone().script().events = {{true, true, phone::kDetached},
                             {true, false, phone::kAttached},
                             {false, true, phone::kAttached}};
  Output output;
  EXPECT_EQ(Run({"list", "--timeout", "1"}, &output), 3);
  EXPECT_EQ(output.out, "");
  EXPECT_EQ(output.err, kNoDevice);
}

// The later steps' statuses come from the emulated phone (end-to-end tests);
// a refused connection is what no emulation gives.
TEST_F(DriverTest, RefusedConnectionEndsWithFourAndUndoesNothing) {
  phone().script().connect_status = -402653169;
  Output output;
  EXPECT_EQ(Run({"list"}, &output), 4);
  EXPECT_EQ(output.out, "");
  EXPECT_EQ(output.err, "ERROR: AMDeviceConnect status=-402653169\n");
  EXPECT_EQ(Teardown(), std::vector<std::string>{});
}

TEST_F(DriverTest, ListPrintsNameFilesAndCountsThenTearsDownInOrder) {
  phone().addFile("/DCIM/100APPLE/IMG_0001.JPG", "1");
  phone().addFile("/DCIM/100APPLE/IMG_0002.AAE", "2");
  Output output;
  EXPECT_EQ(Run({"list", "--output", "/ignored"}, &output), 0);
  EXPECT_EQ(output.out,
            "DEVICE: Fake iPhone\n"
            "FILE: /DCIM/100APPLE/IMG_0001.JPG\n"
            "DONE: media=1 downloaded=0 failed=0\n");
  EXPECT_EQ(output.err, "");
  EXPECT_EQ(Teardown(),
            (std::vector<std::string>{"closeAfc", "stopSession",
                                      "disconnect"}));
  EXPECT_EQ(phone().count("deviceName"), 1u);
}

TEST_F(DriverTest, UnreadableNameIsUnknownAndAMissingStartPathIsNoError) {
  phone().script().device_name.reset();
  Output output;
  EXPECT_EQ(Run({"list", "--path", "/Nowhere"}, &output), 0);
  EXPECT_EQ(output.out, "DEVICE: unknown\nDONE: media=0 downloaded=0 failed=0\n");
  EXPECT_EQ(output.err, "");
}

TEST_F(DriverTest, DownloadWithAFailedFileEndsWithTen) {
  const std::string out = ScratchDir();
  phone().addFile("/DCIM/a.JPG", "aaaa");
  phone().addFile("/DCIM/b.JPG", "bbbb");
  phone().node("/DCIM/b.JPG").read_error_at = 2;
  Output output;
  EXPECT_EQ(Run({"download", "--output", out}, &output), 10);
  EXPECT_EQ(output.out,
            "DEVICE: Fake iPhone\nDOWNLOADED: /DCIM/a.JPG\nDONE: media=2 downloaded=1 failed=1\n");
  EXPECT_EQ(output.err, "ERROR: ошибка чтения с iPhone status=4 path=/DCIM/b.JPG\n");
  EXPECT_EQ(ReadFile(out + "/DCIM/a.JPG"), "aaaa");
}

TEST_F(DriverTest, ServiceThatDoesNotOpenEndsWithEight) {
  phone().script().services["com.example.files"].afc_open_status = 30;
  Output output;
  EXPECT_EQ(Run({"download", "--output", "/x", "--service", "com.example.files"}, &output), 8);
  EXPECT_EQ(output.out, "DEVICE: Fake iPhone\n");
  EXPECT_EQ(output.err, "ERROR: не удалось открыть AFC-сервис com.example.files status=30\n");
  EXPECT_EQ(Teardown(), (std::vector<std::string>{"stopSession", "disconnect"}));

  TearDown();
  SetUp();
  phone().script().service.afc_gives_connection = false;
  EXPECT_EQ(Run({"ls"}, &output), 8);
  EXPECT_EQ(output.err, "ERROR: не удалось открыть AFC-сервис com.apple.afc status=0\n");

  // A name that is not UTF-8 never reaches the phone; it is shown as given.
  EXPECT_EQ(Run({"list", "--service", "bad\tname\xff"}, &output), 8);
  EXPECT_EQ(output.err, "ERROR: не удалось открыть AFC-сервис bad\tname\xff status=-100\n");
}

TEST_F(DriverTest, LsListsTheStartPathAndFailsWithEleven) {
  phone().addFile("/DCIM/a.JPG", "");
  phone().addFile("/b", "");
  Output output;
  EXPECT_EQ(Run({"ls"}, &output), 0);
  EXPECT_EQ(output.out, "DEVICE: Fake iPhone\nLS: /DCIM\nENTRY: a.JPG\n");
  EXPECT_EQ(Run({"ls", "--path", "/"}, &output), 0);
  EXPECT_EQ(output.out, "DEVICE: Fake iPhone\nLS: /\nENTRY: DCIM\nENTRY: b\n");
  EXPECT_EQ(Run({"ls", "--path", "/b"}, &output), 11);
  EXPECT_EQ(output.err, "ERROR: не удалось открыть папку /b status=4\n");
}

}  // namespace
