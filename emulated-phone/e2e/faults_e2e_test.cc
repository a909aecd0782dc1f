// Every fault the emulator can inject, as libimobiledevice reports it.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <thread>

#include "e2e/emulator_test_base.h"

namespace emulated_phone::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

constexpr char kUdid[] = "00008110-000A1B2C3D4E5F60";
constexpr char kPhoto[] = "/DCIM/100APPLE/IMG_0001.JPG";
constexpr size_t kPhotoSize = 300000;

class FaultTest : public EmulatorTest {
 protected:
  void SetUp() override {
    // A phone that goes away mid-write must be an error, not the end of the test.
    signal(SIGPIPE, SIG_IGN);
    tree_.write("DCIM/100APPLE/IMG_0001.JPG", patternBytes(kPhotoSize));
    tree_.write("DCIM/100APPLE/IMG_0002.JPG", "second");
  }
};

// --- pairing ---------------------------------------------------------------

TEST_F(FaultTest, NotPairedPhoneAcceptsPairingAndKeepsTheSavedRecord) {
  auto emulator = start({"--not-paired"});
  std::string host_id;
  EXPECT_LT(readPairRecordHostId(kUdid, &host_id), 0);

  PhoneClient client(kUdid);
  ASSERT_EQ(client.open(), IDEVICE_E_SUCCESS);
  ASSERT_EQ(client.connectLockdown(), LOCKDOWN_E_SUCCESS);
  // Nothing to validate with yet.
  EXPECT_NE(client.validatePairing(), LOCKDOWN_E_SUCCESS);
  EXPECT_LT(readPairRecordHostId(kUdid, &host_id), 0);
  // The library makes the computer's keys from the phone's public key and
  // saves the record through usbmuxd.
  ASSERT_EQ(client.pair(), LOCKDOWN_E_SUCCESS);
  ASSERT_EQ(readPairRecordHostId(kUdid, &host_id), 0);
  EXPECT_EQ(client.validatePairing(), LOCKDOWN_E_SUCCESS);
  // The TLS session runs on the certificates the client made.
  ASSERT_EQ(client.startSession(), LOCKDOWN_E_SUCCESS);
  std::string name;
  EXPECT_EQ(client.deviceName(&name), LOCKDOWN_E_SUCCESS);
  EXPECT_EQ(name, "Emulated iPhone");
  EXPECT_EQ(client.stopSession(), LOCKDOWN_E_SUCCESS);
  EXPECT_EQ(emulator->stop(), 0);
}

TEST_F(FaultTest, PeerToolPairsANotPairedPhone) {
  // idevicepair's handshake pairs when there is no record; the saved record
  // is what later clients read.
  auto emulator = start({"--not-paired"});
  ToolResult validate = runTool("idevicepair validate", emulator->usbmuxd_address());
  EXPECT_EQ(validate.status, 0) << validate.output;
  std::string host_id;
  EXPECT_EQ(readPairRecordHostId(kUdid, &host_id), 0);
  ToolResult info = runTool("ideviceinfo -k DeviceName", emulator->usbmuxd_address());
  EXPECT_EQ(info.output, "Emulated iPhone\n");
}

TEST_F(FaultTest, PairingRefusedOrPendingLeavesThePhoneUnpaired) {
  struct Case {
    const char* option;
    lockdownd_error_t expected;
  };
  for (Case c : {Case{"--pair=refuse", LOCKDOWN_E_USER_DENIED_PAIRING},
                 Case{"--pair=pending", LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING}}) {
    SCOPED_TRACE(c.option);
    auto emulator = start({"--not-paired", c.option});
    PhoneClient client(kUdid);
    ASSERT_EQ(client.open(), IDEVICE_E_SUCCESS);
    ASSERT_EQ(client.connectLockdown(), LOCKDOWN_E_SUCCESS);
    EXPECT_EQ(client.pair(), c.expected);
    std::string host_id;
    EXPECT_LT(readPairRecordHostId(kUdid, &host_id), 0);
    EXPECT_NE(client.validatePairing(), LOCKDOWN_E_SUCCESS);
    ToolResult validate = runTool("idevicepair validate", emulator->usbmuxd_address());
    EXPECT_NE(validate.status, 0) << validate.output;
  }
}

TEST_F(FaultTest, ValidateErrorReachesClientAndTool) {
  {
    auto emulator = start({"--validate-error"});
    PhoneClient client(kUdid);
    ASSERT_EQ(client.open(), IDEVICE_E_SUCCESS);
    ASSERT_EQ(client.connectLockdown(), LOCKDOWN_E_SUCCESS);
    EXPECT_EQ(client.validatePairing(), LOCKDOWN_E_INVALID_HOST_ID);
  }
  {
    // The library's handshake, which idevicepair uses, skips ValidatePair for
    // phones of version 7 and later; an older phone gets it.
    auto emulator = start({"--validate-error", "--product-version", "6.1.6"});
    ToolResult validate = runTool("idevicepair validate", emulator->usbmuxd_address());
    EXPECT_NE(validate.status, 0) << validate.output;
  }
  {
    auto emulator = start({"--validate-error=PasswordProtected"});
    PhoneClient client(kUdid);
    ASSERT_EQ(client.open(), IDEVICE_E_SUCCESS);
    ASSERT_EQ(client.connectLockdown(), LOCKDOWN_E_SUCCESS);
    EXPECT_EQ(client.validatePairing(), LOCKDOWN_E_PASSWORD_PROTECTED);
  }
}

TEST_F(FaultTest, SessionErrorStopsTheSessionBeforeTls) {
  auto emulator = start({"--session-error"});
  PhoneClient client(kUdid);
  ASSERT_EQ(client.open(), IDEVICE_E_SUCCESS);
  ASSERT_EQ(client.connectLockdown(), LOCKDOWN_E_SUCCESS);
  ASSERT_EQ(client.validatePairing(), LOCKDOWN_E_SUCCESS);
  EXPECT_EQ(client.startSession(), LOCKDOWN_E_INVALID_HOST_ID);
  // The plain connection still answers.
  std::string name;
  EXPECT_EQ(client.deviceName(&name), LOCKDOWN_E_SUCCESS);
  ToolResult info = runTool("ideviceinfo -k DeviceName", emulator->usbmuxd_address());
  EXPECT_NE(info.status, 0) << info.output;
}

// --- services ----------------------------------------------------------------

TEST_F(FaultTest, RefusedServiceOnlyThatOne) {
  auto emulator = start({"--refuse-service", "com.apple.afc", "--refuse-service",
                         "com.apple.mobile.house_arrest"});
  PhoneClient client(kUdid);
  ASSERT_EQ(client.open(), IDEVICE_E_SUCCESS);
  ASSERT_EQ(client.connectLockdown(), LOCKDOWN_E_SUCCESS);
  ASSERT_EQ(client.startSession(), LOCKDOWN_E_SUCCESS);
  EXPECT_EQ(client.startService("com.apple.afc", nullptr), LOCKDOWN_E_INVALID_SERVICE);
  EXPECT_EQ(client.startService("com.apple.mobile.house_arrest", nullptr),
            LOCKDOWN_E_INVALID_SERVICE);
  EXPECT_EQ(client.startService("com.apple.crashreportcopymobile", nullptr), LOCKDOWN_E_SUCCESS);
  EXPECT_EQ(client.startService("com.example.nothing", nullptr), LOCKDOWN_E_INVALID_SERVICE);
}

TEST_F(FaultTest, AfcServiceWithoutConnection) {
  {
    auto emulator = start({"--afc-no-connection"});
    PhoneClient client(kUdid);
    ASSERT_EQ(client.open(), IDEVICE_E_SUCCESS);
    ASSERT_EQ(client.connectLockdown(), LOCKDOWN_E_SUCCESS);
    ASSERT_EQ(client.startSession(), LOCKDOWN_E_SUCCESS);
    uint16_t port = 0;
    ASSERT_EQ(client.startService("com.apple.afc", &port), LOCKDOWN_E_SUCCESS);
    EXPECT_NE(port, 0);
    EXPECT_NE(client.openAfc(), AFC_E_SUCCESS);
  }
  {
    auto emulator = start({"--afc-no-connection=close"});
    PhoneClient client(kUdid);
    ASSERT_EQ(client.open(), IDEVICE_E_SUCCESS);
    ASSERT_EQ(client.connectLockdown(), LOCKDOWN_E_SUCCESS);
    ASSERT_EQ(client.startSession(), LOCKDOWN_E_SUCCESS);
    ASSERT_EQ(client.startService("com.apple.afc", nullptr), LOCKDOWN_E_SUCCESS);
    ASSERT_EQ(client.openAfc(), AFC_E_SUCCESS);
    std::vector<std::string> names;
    EXPECT_NE(client.listFolder("/", &names), AFC_E_SUCCESS);
  }
}

// --- folders -----------------------------------------------------------------

TEST_F(FaultTest, ReaddirStatusForOnePath) {
  auto emulator = start({"--readdir-status", "/DCIM/100APPLE=10", "--readdir-status",
                         "/DCIM/gone=8"});
  PhoneClient client(kUdid);
  openAfc(client);
  std::vector<std::string> names;
  EXPECT_EQ(client.listFolder("/DCIM/100APPLE", &names), AFC_E_PERM_DENIED);
  // Also when asked with a trailing slash.
  EXPECT_EQ(client.listFolder("/DCIM/100APPLE/", &names), AFC_E_PERM_DENIED);
  EXPECT_EQ(client.listFolder("/DCIM/gone", &names), AFC_E_OBJECT_NOT_FOUND);
  EXPECT_EQ(client.listFolder("/DCIM", &names), AFC_E_SUCCESS);
  std::string content;
  EXPECT_EQ(client.readFile("/DCIM/100APPLE/IMG_0002.JPG", 65536, &content), AFC_E_SUCCESS);
  EXPECT_EQ(content, "second");
}

TEST_F(FaultTest, HostileNamesAreListedButCannotBeOpened) {
  tree_.write("x", "outside the folder");  // what "/DCIM/../x" would reach
  auto emulator = start({"--hostile-names", "/DCIM"});
  PhoneClient client(kUdid);
  openAfc(client);
  std::vector<std::string> names;
  ASSERT_EQ(client.listFolder("/DCIM", &names), AFC_E_SUCCESS);
  std::string long_name = std::string(296, 'N') + ".JPG";
  EXPECT_EQ(names, (std::vector<std::string>{".", "..", "100APPLE", "", "..", "a/b", "../x",
                                             "\xff\xfe.JPG", "ctl\x01\x1f.JPG", long_name}));
  EXPECT_EQ(long_name.size(), 300u);
  for (const std::string& name : {std::string(""), std::string("a/b"), std::string("../x"),
                                  std::string("\xff\xfe.JPG"), std::string("ctl\x01\x1f.JPG"),
                                  long_name}) {
    SCOPED_TRACE(name);
    uint64_t handle = 0;
    EXPECT_EQ(afc_file_open(client.afc(), ("/DCIM/" + name).c_str(), AFC_FOPEN_RDONLY, &handle),
              AFC_E_OBJECT_NOT_FOUND);
  }
  // Other folders are not touched.
  ASSERT_EQ(client.listFolder("/DCIM/100APPLE", &names), AFC_E_SUCCESS);
  EXPECT_EQ(names.size(), 4u);
}

// --- file reads --------------------------------------------------------------

TEST_F(FaultTest, ReadErrorAtOffset) {
  auto emulator = start({"--read-error", std::string(kPhoto) + "@100000"});
  PhoneClient client(kUdid);
  openAfc(client);
  std::string content;
  EXPECT_EQ(client.readFile(kPhoto, 65536, &content), AFC_E_READ_ERROR);
  EXPECT_EQ(content, patternBytes(kPhotoSize).substr(0, 100000));
  // The connection survives; other files read normally.
  EXPECT_EQ(client.readFile("/DCIM/100APPLE/IMG_0002.JPG", 65536, &content), AFC_E_SUCCESS);
  EXPECT_EQ(content, "second");
}

TEST_F(FaultTest, ReadErrorAtOffsetZero) {
  auto emulator = start({"--read-error", std::string(kPhoto) + "@0"});
  PhoneClient client(kUdid);
  openAfc(client);
  std::string content;
  EXPECT_EQ(client.readFile(kPhoto, 65536, &content), AFC_E_READ_ERROR);
  EXPECT_EQ(content, "");
}

TEST_F(FaultTest, DropAtOffsetClosesTheConnection) {
  auto emulator = start({"--drop-at", std::string(kPhoto) + "@70000"});
  PhoneClient client(kUdid);
  openAfc(client);
  std::string content;
  afc_error_t rc = client.readFile(kPhoto, 65536, &content);
  EXPECT_NE(rc, AFC_E_SUCCESS);
  EXPECT_EQ(content, patternBytes(kPhotoSize).substr(0, 70000));
  std::vector<std::string> names;
  EXPECT_NE(client.listFolder("/DCIM", &names), AFC_E_SUCCESS);
}

TEST_F(FaultTest, StallKeepsTheConnectionOpenUntilTheEmulatorStops) {
  auto emulator = start({"--stall", std::string(kPhoto) + "@65536"});
  PhoneClient client(kUdid);
  openAfc(client);
  std::atomic<size_t> received{0};
  std::atomic<bool> finished{false};
  afc_error_t rc = AFC_E_SUCCESS;
  std::thread reader([&] {
    rc = client.readFile(kPhoto, 65536, [&](const char*, uint32_t size) { received += size; });
    finished = true;
  });
  auto deadline = Clock::now() + seconds(10);
  while (received < 65536 && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(10));
  EXPECT_EQ(received, 65536u);
  std::this_thread::sleep_for(milliseconds(500));
  EXPECT_FALSE(finished);  // still waiting for an answer that does not come
  // Stopping the emulator ends the stall; it still stops cleanly.
  EXPECT_EQ(emulator->stop(), 0);
  reader.join();
  EXPECT_NE(rc, AFC_E_SUCCESS);
  EXPECT_EQ(received, 65536u);
}

// --- attachment and timing ---------------------------------------------------

TEST_F(FaultTest, DetachAfterSecondsReportsRemoval) {
  auto emulator = start({"--detach-after", "1.5"});
  DeviceEvents events;
  ASSERT_EQ(events.status(), IDEVICE_E_SUCCESS);
  std::string udid;
  // Whether the attach message still comes depends on how fast this test
  // subscribed; the removal always does.
  ASSERT_TRUE(events.waitFor(IDEVICE_DEVICE_REMOVE, seconds(10), &udid));
  EXPECT_EQ(udid, kUdid);
  ToolResult ids = runTool("idevice_id -l", emulator->usbmuxd_address());
  EXPECT_EQ(ids.output, "");
  PhoneClient client(kUdid);
  EXPECT_NE(client.open(), IDEVICE_E_SUCCESS);
}

TEST_F(FaultTest, DetachAfterZeroIsNeverAttached) {
  auto emulator = start({"--detach-after", "0"});
  ToolResult ids = runTool("idevice_id -l", emulator->usbmuxd_address());
  EXPECT_EQ(ids.output, "");
}

TEST_F(FaultTest, LatencyDelaysEveryAfcAnswer) {
  auto emulator = start({"--latency-ms", "100"});
  PhoneClient client(kUdid);
  openAfc(client);
  std::vector<std::string> names;
  auto began = Clock::now();
  for (int i = 0; i < 5; ++i) ASSERT_EQ(client.listFolder("/DCIM", &names), AFC_E_SUCCESS);
  // A lower bound only: each answer waits at least the latency.
  EXPECT_GE(Clock::now() - began, milliseconds(500));
}

TEST_F(FaultTest, FaultsCombine) {
  auto emulator = start({"--latency-ms", "1", "--hostile-names", "/DCIM/100APPLE",
                         "--read-error", std::string(kPhoto) + "@10", "--readdir-status",
                         "/DCIM=4"});
  PhoneClient client(kUdid);
  openAfc(client);
  std::vector<std::string> names;
  EXPECT_EQ(client.listFolder("/DCIM", &names), AFC_E_READ_ERROR);
  ASSERT_EQ(client.listFolder("/DCIM/100APPLE", &names), AFC_E_SUCCESS);
  EXPECT_EQ(names.size(), 4u + 7u);
  std::string content;
  EXPECT_EQ(client.readFile(kPhoto, 65536, &content), AFC_E_READ_ERROR);
  EXPECT_EQ(content.size(), 10u);
  EXPECT_EQ(emulator->stop(), 0);
}

}  // namespace
}  // namespace emulated_phone::testing
