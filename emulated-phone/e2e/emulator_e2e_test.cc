// The emulated phone through the real libimobiledevice and its tools.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "e2e/emulator_test_base.h"

namespace emulated_phone::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr char kUdid[] = "00008110-000A1B2C3D4E5F60";

class PhoneTest : public EmulatorTest {
 protected:
  void SetUp() override {
    tree_.write("DCIM/100APPLE/IMG_0001.JPG", patternBytes(200000));
    tree_.write("DCIM/100APPLE/IMG_0002.HEIC", patternBytes(65536));
    tree_.write("DCIM/100APPLE/EMPTY.MOV", "");
    tree_.write("DCIM/101APPLE/IMG_0100.PNG", "png");
  }
};

TEST_F(PhoneTest, HappyPathFromAttachToStopSession) {
  auto emulator = start({"--name", "Kitchen phone"});
  DeviceEvents events;
  ASSERT_EQ(events.status(), IDEVICE_E_SUCCESS);
  std::string udid;
  ASSERT_TRUE(events.waitFor(IDEVICE_DEVICE_ADD, seconds(5), &udid));
  EXPECT_EQ(udid, kUdid);

  std::string host_id;
  ASSERT_EQ(readPairRecordHostId(kUdid, &host_id), 0);
  EXPECT_EQ(host_id.size(), 36u);

  PhoneClient client(kUdid);
  ASSERT_EQ(client.open(), IDEVICE_E_SUCCESS);
  ASSERT_EQ(client.connectLockdown(), LOCKDOWN_E_SUCCESS);
  ASSERT_EQ(client.validatePairing(), LOCKDOWN_E_SUCCESS);
  ASSERT_EQ(client.startSession(), LOCKDOWN_E_SUCCESS);
  std::string name;
  ASSERT_EQ(client.deviceName(&name), LOCKDOWN_E_SUCCESS);
  EXPECT_EQ(name, "Kitchen phone");
  uint16_t port = 0;
  ASSERT_EQ(client.startService("com.apple.afc", &port), LOCKDOWN_E_SUCCESS);
  EXPECT_NE(port, 0);
  ASSERT_EQ(client.openAfc(), AFC_E_SUCCESS);

  std::vector<std::string> names;
  ASSERT_EQ(client.listFolder("/DCIM", &names), AFC_E_SUCCESS);
  EXPECT_EQ(names, (std::vector<std::string>{".", "..", "100APPLE", "101APPLE"}));
  ASSERT_EQ(client.listFolder("/DCIM/100APPLE", &names), AFC_E_SUCCESS);
  EXPECT_EQ(names, (std::vector<std::string>{".", "..", "EMPTY.MOV", "IMG_0001.JPG",
                                             "IMG_0002.HEIC"}));

  std::string content;
  ASSERT_EQ(client.readFile("/DCIM/100APPLE/IMG_0001.JPG", 65536, &content), AFC_E_SUCCESS);
  EXPECT_TRUE(content == patternBytes(200000)) << "size " << content.size();
  // Exactly one chunk, then an empty read.
  int reads = 0;
  ASSERT_EQ(client.readFile("/DCIM/100APPLE/IMG_0002.HEIC", 65536,
                            [&](const char*, uint32_t size) {
                              ++reads;
                              EXPECT_EQ(size, 65536u);
                            }),
            AFC_E_SUCCESS);
  EXPECT_EQ(reads, 1);
  ASSERT_EQ(client.readFile("/DCIM/100APPLE/EMPTY.MOV", 65536, &content), AFC_E_SUCCESS);
  EXPECT_EQ(content, "");

  EXPECT_EQ(client.stopSession(), LOCKDOWN_E_SUCCESS);
  // A clean stop after real sessions (under the sanitizers: nothing leaked).
  EXPECT_EQ(emulator->stop(), 0);
}

TEST_F(PhoneTest, FileInfoFoldersAndMissingPaths) {
  auto emulator = start();
  PhoneClient client(kUdid);
  openAfc(client);
  std::vector<std::string> info;
  ASSERT_EQ(client.fileInfo("/DCIM/100APPLE/IMG_0001.JPG", &info), AFC_E_SUCCESS);
  ASSERT_GE(info.size(), 8u);
  EXPECT_EQ(info[0], "st_size");
  EXPECT_EQ(info[1], "200000");
  ASSERT_EQ(client.fileInfo("/DCIM", &info), AFC_E_SUCCESS);
  EXPECT_NE(std::find(info.begin(), info.end(), "S_IFDIR"), info.end());
  EXPECT_EQ(client.fileInfo("/DCIM/nope", &info), AFC_E_OBJECT_NOT_FOUND);

  std::vector<std::string> names;
  EXPECT_EQ(client.listFolder("/nope", &names), AFC_E_OBJECT_NOT_FOUND);
  EXPECT_EQ(client.listFolder("/DCIM/100APPLE/IMG_0001.JPG", &names), AFC_E_READ_ERROR);
  uint64_t handle = 0;
  EXPECT_EQ(afc_file_open(client.afc(), "/DCIM/missing.JPG", AFC_FOPEN_RDONLY, &handle),
            AFC_E_OBJECT_NOT_FOUND);
  EXPECT_EQ(afc_file_open(client.afc(), "/DCIM/new.JPG", AFC_FOPEN_WRONLY, &handle),
            AFC_E_PERM_DENIED);
  char** devinfo = nullptr;
  ASSERT_EQ(afc_get_device_info(client.afc(), &devinfo), AFC_E_SUCCESS);
  ASSERT_NE(devinfo, nullptr);
  EXPECT_STREQ(devinfo[0], "Model");
  afc_dictionary_free(devinfo);
}

TEST_F(PhoneTest, ParentPartsNeverLeaveTheServedFolder) {
  TempTree outside;
  outside.write("secret.JPG", "secret");
  auto emulator = start();
  PhoneClient client(kUdid);
  openAfc(client);
  std::string relative = "/../../../../../.." + outside.path() + "/secret.JPG";
  uint64_t handle = 0;
  EXPECT_EQ(afc_file_open(client.afc(), relative.c_str(), AFC_FOPEN_RDONLY, &handle),
            AFC_E_OBJECT_NOT_FOUND);
  std::vector<std::string> names;
  ASSERT_EQ(client.listFolder("/../..", &names), AFC_E_SUCCESS);
  EXPECT_NE(std::find(names.begin(), names.end(), "DCIM"), names.end());
}

TEST_F(PhoneTest, PeerToolsSeeThePhone) {
  auto emulator = start({"--name", "Телефон Ани"});
  ToolResult ids = runTool("idevice_id -l", emulator->usbmuxd_address());
  EXPECT_EQ(ids.status, 0);
  EXPECT_EQ(ids.output, std::string(kUdid) + "\n");
  ToolResult name = runTool("ideviceinfo -k DeviceName", emulator->usbmuxd_address());
  EXPECT_EQ(name.status, 0) << name.output;
  EXPECT_EQ(name.output, "Телефон Ани\n");
  ToolResult version = runTool("ideviceinfo -k ProductVersion", emulator->usbmuxd_address());
  EXPECT_EQ(version.output, "17.5\n");
  ToolResult validate = runTool("idevicepair validate", emulator->usbmuxd_address());
  EXPECT_EQ(validate.status, 0) << validate.output;
  EXPECT_NE(validate.output.find("SUCCESS"), std::string::npos) << validate.output;
}

TEST_F(PhoneTest, DeviceNameKeepsEveryByte) {
  std::string odd = "ctl\x01\x1f \xff\xfe " + std::string(600, 'n');
  auto emulator = start({"--name", odd});
  PhoneClient client(kUdid);
  ASSERT_EQ(client.open(), IDEVICE_E_SUCCESS);
  ASSERT_EQ(client.connectLockdown(), LOCKDOWN_E_SUCCESS);
  std::string name;
  ASSERT_EQ(client.deviceName(&name), LOCKDOWN_E_SUCCESS);
  EXPECT_TRUE(name == odd) << name;
  ASSERT_EQ(client.startSession(), LOCKDOWN_E_SUCCESS);
  ASSERT_EQ(client.deviceName(&name), LOCKDOWN_E_SUCCESS);  // inside TLS
  EXPECT_TRUE(name == odd) << name;
}

TEST_F(PhoneTest, OptionsChangeIdentity) {
  auto emulator = start({"--udid", "0000AAAA-0000BBBB", "--product-version", "16.1.2"});
  ToolResult ids = runTool("idevice_id -l", emulator->usbmuxd_address());
  EXPECT_EQ(ids.output, "0000AAAA-0000BBBB\n");
  ToolResult version = runTool("ideviceinfo -k ProductVersion", emulator->usbmuxd_address());
  EXPECT_EQ(version.output, "16.1.2\n");
}

TEST_F(PhoneTest, ManyClientsAtOnce) {
  auto emulator = start();
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      PhoneClient client(kUdid);
      if (client.open() != IDEVICE_E_SUCCESS || client.connectLockdown() != LOCKDOWN_E_SUCCESS ||
          client.startSession() != LOCKDOWN_E_SUCCESS ||
          client.startService("com.apple.afc", nullptr) != LOCKDOWN_E_SUCCESS ||
          client.openAfc() != AFC_E_SUCCESS)
        return;
      std::string content;
      if (client.readFile("/DCIM/100APPLE/IMG_0001.JPG", 65536, &content) == AFC_E_SUCCESS &&
          content == patternBytes(200000))
        ++good;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(good, 4);
}

TEST(EmulatorProcessTest, StartsFastAndStopsCleanlyOnSigterm) {
  TempTree tree;
  auto began = std::chrono::steady_clock::now();
  EmulatorProcess emulator(EMULATED_PHONE_BIN, tree.path());
  ASSERT_TRUE(emulator.ok()) << emulator.error();
  auto ready = std::chrono::steady_clock::now() - began;
  // Not a timing assertion: just a sanity bound far above the expected time.
  EXPECT_LT(ready, seconds(8));
  std::string socket = emulator.socket_path();
  EXPECT_EQ(access(socket.c_str(), F_OK), 0);
  EXPECT_EQ(emulator.stop(), 0);
  EXPECT_NE(access(socket.c_str(), F_OK), 0);
}

TEST(EmulatorProcessTest, SigintStopsItToo) {
  TempTree tree;
  EmulatorProcess emulator(EMULATED_PHONE_BIN, tree.path());
  ASSERT_TRUE(emulator.ok()) << emulator.error();
  // A listening client must not keep it from stopping.
  useUsbmuxdAddress(emulator.usbmuxd_address());
  DeviceEvents events;
  ASSERT_TRUE(events.waitFor(IDEVICE_DEVICE_ADD, seconds(5), nullptr));
  ASSERT_EQ(kill(emulator.pid(), SIGINT), 0);
  auto deadline = std::chrono::steady_clock::now() + seconds(5);
  while (access(emulator.socket_path().c_str(), F_OK) == 0 &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(milliseconds(10));
  EXPECT_NE(access(emulator.socket_path().c_str(), F_OK), 0);
  EXPECT_EQ(emulator.stop(), 0);
}

TEST(EmulatorProcessTest, ATestThatDiesTakesItsPhoneAlong) {
  TempTree tree;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t test = fork();
  ASSERT_GE(test, 0);
  if (test == 0) {
    // A test process that crashes: no destructor runs.
    auto* emulator = new EmulatorProcess(EMULATED_PHONE_BIN, tree.path());
    std::string socket = emulator->ok() ? emulator->socket_path() : "";
    (void)!write(fds[1], socket.c_str(), socket.size());
    _exit(0);
  }
  close(fds[1]);
  char buf[256] = {};
  ssize_t n = read(fds[0], buf, sizeof buf - 1);
  close(fds[0]);
  waitpid(test, nullptr, 0);
  ASSERT_GT(n, 0);
  std::string socket(buf, static_cast<size_t>(n));
  auto deadline = std::chrono::steady_clock::now() + seconds(5);
  while (access(socket.c_str(), F_OK) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(milliseconds(10));
  EXPECT_NE(access(socket.c_str(), F_OK), 0) << "the emulator outlived its test";
  rmdir(socket.substr(0, socket.rfind('/')).c_str());
}

TEST(EmulatorProcessTest, ReportsABadCommandLine) {
  TempTree tree;
  EmulatorProcess missing_root(EMULATED_PHONE_BIN, tree.path() + "/nothing-here");
  EXPECT_FALSE(missing_root.ok());
  EXPECT_NE(missing_root.error().find("exit status 1"), std::string::npos) << missing_root.error();
  EmulatorProcess bad_option(EMULATED_PHONE_BIN, tree.path(), {"--frobnicate"});
  EXPECT_FALSE(bad_option.ok());
  EXPECT_NE(bad_option.error().find("exit status 64"), std::string::npos) << bad_option.error();
}

}  // namespace
}  // namespace emulated_phone::testing
