// End-to-end tests: the real Oskavel binary, through the real
// libimobiledevice, against the emulated phone.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "pseudo_terminal.h"
#include "testing/emulator_process.h"

namespace {

namespace fs = std::filesystem;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& data) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

std::string Pattern(size_t size, int seed) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + seed + i / 509) & 0xFF);
  return data;
}

// Every regular file below root, as paths relative to it, sorted.
std::vector<std::string> FilesBelow(const std::string& root) {
  std::vector<std::string> files;
  std::error_code error;
  if (!fs::exists(root, error)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(root, error)) {
    if (!entry.is_directory()) files.push_back(fs::relative(entry.path(), root).string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Where the program's standard output goes.
enum class Stdout { kCaptured, kFullDevice, kClosed };

// Exit status of a child that could not hide /proc from itself.
constexpr int kNoNamespace = 200;

// Hides /proc from this process and what it runs, in a mount namespace of
// its own. A sanitizer runtime needs /proc itself: there only the folder of
// open files goes, the one way to name an unnamed file.
bool HideProc() {
  if (unshare(CLONE_NEWNS) != 0) {
    const std::string uid = std::to_string(getuid()), gid = std::to_string(getgid());
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
    std::ofstream("/proc/self/setgroups") << "deny";
    std::ofstream("/proc/self/uid_map") << uid << " " << uid << " 1";
    std::ofstream("/proc/self/gid_map") << gid << " " << gid << " 1";
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
#if defined(__SANITIZE_ADDRESS__)
  const std::string hidden = "/proc/" + std::to_string(getpid()) + "/fd";
#else
  const std::string hidden = "/proc";
#endif
  return mount("none", hidden.c_str(), "tmpfs", 0, nullptr) == 0;
}

// A run of the program in the background.
struct Child {
  pid_t pid = -1;
  std::string out_path, err_path;
};

// Starts the program with USBMUXD_SOCKET_ADDRESS set; file_size_limit > 0
// limits the size of any file it writes (a full disk, as the program sees it).
Child SpawnOskavel(const std::string& usbmuxd_address, const std::vector<std::string>& args,
                   long file_size_limit = 0, Stdout stdout_to = Stdout::kCaptured,
                   bool without_proc = false) {
  char out_path[] = "/tmp/oskavel-e2e-out-XXXXXX";
  char err_path[] = "/tmp/oskavel-e2e-err-XXXXXX";
  const int out_fd = mkstemp(out_path);
  const int err_fd = mkstemp(err_path);
  Child child;
  if (out_fd < 0 || err_fd < 0) {
    ADD_FAILURE() << "mkstemp failed";
    return child;
  }
  std::vector<std::string> words = {OSKAVEL_BIN};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  child.pid = fork();
  if (child.pid == 0) {
    if (stdout_to == Stdout::kCaptured) {
      dup2(out_fd, 1);
    } else if (stdout_to == Stdout::kFullDevice) {
      const int full = open("/dev/full", O_WRONLY);
      dup2(full, 1);
    } else {
      close(1);
    }
    dup2(err_fd, 2);
    if (usbmuxd_address.empty()) {
      unsetenv("USBMUXD_SOCKET_ADDRESS");
    } else {
      setenv("USBMUXD_SOCKET_ADDRESS", usbmuxd_address.c_str(), 1);
    }
    if (file_size_limit > 0) {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit {};
      limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(file_size_limit);
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (without_proc && !HideProc()) _exit(kNoNamespace);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out_fd);
  close(err_fd);
  child.out_path = out_path;
  child.err_path = err_path;
  return child;
}

// Waits for the run; a status of 128 + N means it ended by signal N.
Result WaitOskavel(const Child& child) {
  Result result;
  int wait_status = 0;
  waitpid(child.pid, &wait_status, 0);
  result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  result.out = ReadFile(child.out_path);
  result.err = ReadFile(child.err_path);
  unlink(child.out_path.c_str());
  unlink(child.err_path.c_str());
  return result;
}

Result RunOskavel(const std::string& usbmuxd_address, const std::vector<std::string>& args,
                  long file_size_limit = 0, Stdout stdout_to = Stdout::kCaptured) {
  return WaitOskavel(SpawnOskavel(usbmuxd_address, args, file_size_limit, stdout_to));
}

// Oskavel with standard error on a terminal and standard output on it too,
// or in `out_path` when one is given; `meanwhile` runs while it does.
progress_testing::TerminalRun RunOnTerminal(const std::string& usbmuxd_address,
                                            std::vector<std::string> args,
                                            const std::string& out_path = "",
                                            const std::function<void(pid_t)>& meanwhile = {}) {
  args.insert(args.begin(), OSKAVEL_BIN);
  std::vector<char*> argv;
  for (auto& word : args) argv.push_back(word.data());
  argv.push_back(nullptr);
  return progress_testing::onTerminal(
      [&] {
        if (!out_path.empty()) dup2(open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        setenv("USBMUXD_SOCKET_ADDRESS", usbmuxd_address.c_str(), 1);
        execv(argv[0], argv.data());
      },
      meanwhile);
}

class OskavelE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "oskavel-e2e-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    scratch_ = pattern;
    root_ = scratch_ + "/phone";
    out_ = scratch_ + "/out";
    fs::create_directories(root_);
  }
  void TearDown() override {
    phone_.reset();
    std::error_code error;
    fs::remove_all(scratch_, error);
  }

  // A small camera roll on the phone.
  void AddCameraRoll() {
    WriteFile(root_ + "/DCIM/100APPLE/IMG_0001.JPG", Pattern(70000, 1));
    WriteFile(root_ + "/DCIM/100APPLE/IMG_0001.AAE", "<plist/>");
    WriteFile(root_ + "/DCIM/100APPLE/IMG_0002.HEIC", Pattern(65536, 2));
    WriteFile(root_ + "/DCIM/100APPLE/IMG_0003.MOV", "");
    WriteFile(root_ + "/DCIM/101APPLE/IMG_0004.png", Pattern(300000, 4));
    WriteFile(root_ + "/DCIM/101APPLE/notes.txt", "n");
    WriteFile(root_ + "/Other/elsewhere.JPG", "x");
  }

  // Starts the phone; false (with a failure) when it did not come up.
  bool Start(std::vector<std::string> options = {}) {
    phone_ = std::make_unique<emulated_phone::EmulatorProcess>(EMULATED_PHONE_BIN, root_,
                                                                std::move(options));
    EXPECT_TRUE(phone_->ok()) << phone_->error();
    return phone_->ok();
  }

  Result Run(const std::vector<std::string>& args, long file_size_limit = 0) {
    return RunOskavel(phone_->usbmuxd_address(), args, file_size_limit);
  }

  void ExpectSameFile(const std::string& remote) {
    EXPECT_EQ(ReadFile(out_ + remote), ReadFile(root_ + remote)) << remote;
  }

  std::string scratch_, root_, out_;
  std::unique_ptr<emulated_phone::EmulatorProcess> phone_;
};

const char kDevice[] = "DEVICE: Emulated iPhone\n";

TEST_F(OskavelE2ETest, ListPrintsEveryMediaFileUnderDcim) {
  AddCameraRoll();
  ASSERT_TRUE(Start());
  const Result r = Run({"list"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, std::string(kDevice) +
                       "FILE: /DCIM/100APPLE/IMG_0001.JPG\n"
                       "FILE: /DCIM/100APPLE/IMG_0002.HEIC\n"
                       "FILE: /DCIM/100APPLE/IMG_0003.MOV\n"
                       "FILE: /DCIM/101APPLE/IMG_0004.png\n"
                       "DONE: media=4 downloaded=0 failed=0\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(OskavelE2ETest, DownloadCopiesEveryByteAndAgainReplacesExistingFiles) {
  AddCameraRoll();
  ASSERT_TRUE(Start());
  Result r = Run({"download", "--output", out_});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, std::string(kDevice) +
                       "DOWNLOADED: /DCIM/100APPLE/IMG_0001.JPG\n"
                       "DOWNLOADED: /DCIM/100APPLE/IMG_0002.HEIC\n"
                       "DOWNLOADED: /DCIM/100APPLE/IMG_0003.MOV\n"
                       "DOWNLOADED: /DCIM/101APPLE/IMG_0004.png\n"
                       "DONE: media=4 downloaded=4 failed=0\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(FilesBelow(out_),
            (std::vector<std::string>{"DCIM/100APPLE/IMG_0001.JPG", "DCIM/100APPLE/IMG_0002.HEIC",
                                      "DCIM/100APPLE/IMG_0003.MOV",
                                      "DCIM/101APPLE/IMG_0004.png"}));
  for (const char* remote : {"/DCIM/100APPLE/IMG_0001.JPG", "/DCIM/100APPLE/IMG_0002.HEIC",
                             "/DCIM/100APPLE/IMG_0003.MOV", "/DCIM/101APPLE/IMG_0004.png"}) {
    ExpectSameFile(remote);
  }
  struct stat local {}, remote {};
  ASSERT_EQ(stat((out_ + "/DCIM/101APPLE/IMG_0004.png").c_str(), &local), 0);
  ASSERT_EQ(stat((root_ + "/DCIM/101APPLE/IMG_0004.png").c_str(), &remote), 0);
  EXPECT_EQ(local.st_mtim.tv_sec, remote.st_mtim.tv_sec);

  WriteFile(out_ + "/DCIM/100APPLE/IMG_0001.JPG", "edited locally, to be replaced");
  WriteFile(root_ + "/DCIM/100APPLE/IMG_0002.HEIC", "changed on the phone");
  r = Run({"download", "--output", out_ + "/"});
  EXPECT_EQ(r.status, 0) << r.err;
  ExpectSameFile("/DCIM/100APPLE/IMG_0001.JPG");
  ExpectSameFile("/DCIM/100APPLE/IMG_0002.HEIC");
  EXPECT_EQ(FilesBelow(out_).size(), 4u);
}

ino_t InodeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st.st_ino;
}

void SetModified(const std::string& path, time_t seconds) {
  const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// With --skip-existing a file is copied only when its local copy does not
// have the phone's size and modification time (to the second).
TEST_F(OskavelE2ETest, SkipExistingCopiesOnlyWhatIsNewOrChanged) {
  AddCameraRoll();
  // A folder with a media file's name is still walked as a folder.
  WriteFile(root_ + "/DCIM/102APPLE/odd.JPG/IMG_0005.JPG", Pattern(5000, 5));
  ASSERT_TRUE(Start());
  Result r = Run({"download", "--output", out_});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> first = FilesBelow(out_);
  ASSERT_EQ(first.size(), 5u);
  std::vector<ino_t> inodes;
  for (const auto& file : first) inodes.push_back(InodeOf(out_ + "/" + file));
  const char kSkippedAll[] =
      "SKIPPED: /DCIM/100APPLE/IMG_0001.JPG\n"
      "SKIPPED: /DCIM/100APPLE/IMG_0002.HEIC\n"
      "SKIPPED: /DCIM/100APPLE/IMG_0003.MOV\n"
      "SKIPPED: /DCIM/101APPLE/IMG_0004.png\n"
      "SKIPPED: /DCIM/102APPLE/odd.JPG/IMG_0005.JPG\n";

  r = Run({"download", "--output", out_, "--skip-existing"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, std::string(kDevice) + kSkippedAll + "DONE: media=5 downloaded=0 failed=0\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(FilesBelow(out_), first);
  for (size_t i = 0; i < first.size(); ++i) {
    EXPECT_EQ(InodeOf(out_ + "/" + first[i]), inodes[i]) << first[i] << " was written again";
  }

  // Three new photos, one photo with another size at the same time, one
  // with the same size a second later: those five are copied, nothing else.
  for (int n = 6; n <= 8; ++n) {
    WriteFile(root_ + "/DCIM/103APPLE/IMG_000" + std::to_string(n) + ".JPG", Pattern(900, n));
  }
  struct stat heic {}, jpg {};
  ASSERT_EQ(stat((root_ + "/DCIM/100APPLE/IMG_0002.HEIC").c_str(), &heic), 0);
  ASSERT_EQ(stat((root_ + "/DCIM/100APPLE/IMG_0001.JPG").c_str(), &jpg), 0);
  WriteFile(root_ + "/DCIM/100APPLE/IMG_0002.HEIC", Pattern(65537, 22));
  SetModified(root_ + "/DCIM/100APPLE/IMG_0002.HEIC", heic.st_mtim.tv_sec);
  SetModified(root_ + "/DCIM/100APPLE/IMG_0001.JPG", jpg.st_mtim.tv_sec + 1);
  r = Run({"download", "--skip-existing", "--output", out_});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, std::string(kDevice) +
                       "DOWNLOADED: /DCIM/100APPLE/IMG_0001.JPG\n"
                       "DOWNLOADED: /DCIM/100APPLE/IMG_0002.HEIC\n"
                       "SKIPPED: /DCIM/100APPLE/IMG_0003.MOV\n"
                       "SKIPPED: /DCIM/101APPLE/IMG_0004.png\n"
                       "SKIPPED: /DCIM/102APPLE/odd.JPG/IMG_0005.JPG\n"
                       "DOWNLOADED: /DCIM/103APPLE/IMG_0006.JPG\n"
                       "DOWNLOADED: /DCIM/103APPLE/IMG_0007.JPG\n"
                       "DOWNLOADED: /DCIM/103APPLE/IMG_0008.JPG\n"
                       "DONE: media=8 downloaded=5 failed=0\n");
  const std::vector<std::string> now = FilesBelow(out_);
  EXPECT_EQ(now.size(), 8u);
  for (const auto& file : now) ExpectSameFile("/" + file);
}

// After a run that was killed, the next one with --skip-existing copies
// what the killed run did not finish, and nothing twice.
TEST_F(OskavelE2ETest, SkipExistingFinishesAKilledImport) {
  AddCameraRoll();
  ASSERT_TRUE(Start({"--stall", "/DCIM/100APPLE/IMG_0002.HEIC@1000"}));
  const Child child = SpawnOskavel(phone_->usbmuxd_address(), {"download", "--output", out_});
  const std::string firstCopy = out_ + "/DCIM/100APPLE/IMG_0001.JPG";
  for (int i = 0; i < 100 && !fs::exists(firstCopy); ++i) usleep(50 * 1000);
  usleep(300 * 1000);
  kill(child.pid, SIGKILL);
  EXPECT_EQ(WaitOskavel(child).status, 128 + SIGKILL);
  ASSERT_EQ(FilesBelow(out_), std::vector<std::string>{"DCIM/100APPLE/IMG_0001.JPG"});

  ASSERT_TRUE(Start());
  const Result r = Run({"download", "--output", out_, "--skip-existing"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, std::string(kDevice) +
                       "SKIPPED: /DCIM/100APPLE/IMG_0001.JPG\n"
                       "DOWNLOADED: /DCIM/100APPLE/IMG_0002.HEIC\n"
                       "DOWNLOADED: /DCIM/100APPLE/IMG_0003.MOV\n"
                       "DOWNLOADED: /DCIM/101APPLE/IMG_0004.png\n"
                       "DONE: media=4 downloaded=3 failed=0\n");
  for (const char* remote : {"/DCIM/100APPLE/IMG_0001.JPG", "/DCIM/100APPLE/IMG_0002.HEIC",
                             "/DCIM/100APPLE/IMG_0003.MOV", "/DCIM/101APPLE/IMG_0004.png"}) {
    ExpectSameFile(remote);
  }
  EXPECT_EQ(FilesBelow(out_).size(), 4u);
}

TEST_F(OskavelE2ETest, DownloadHonoursLimitPathAndService) {
  AddCameraRoll();
  ASSERT_TRUE(Start());
  Result r = Run({"download", "--output", out_, "--limit", "2"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(FilesBelow(out_), (std::vector<std::string>{"DCIM/100APPLE/IMG_0001.JPG",
                                                        "DCIM/100APPLE/IMG_0002.HEIC"}));
  EXPECT_NE(r.out.find("DONE: media=2 downloaded=2 failed=0\n"), std::string::npos);

  fs::remove_all(out_);
  r = Run({"download", "--path", "/DCIM/101APPLE", "--output", out_, "--service",
           "com.apple.afc", "--timeout", "5"});
  EXPECT_EQ(r.status, 0) << r.err;
  // The phone's structure is kept from its root, whatever the start path.
  EXPECT_EQ(FilesBelow(out_), std::vector<std::string>{"DCIM/101APPLE/IMG_0004.png"});

  r = Run({"list", "--path", "/Other/elsewhere.JPG"});
  EXPECT_EQ(r.out, std::string(kDevice) +
                       "FILE: /Other/elsewhere.JPG\nDONE: media=1 downloaded=0 failed=0\n");
  r = Run({"list", "--path", "/Nowhere"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string(kDevice) + "DONE: media=0 downloaded=0 failed=0\n");
}

TEST_F(OskavelE2ETest, LsListsOneFolderAndFailsWithEleven) {
  AddCameraRoll();
  ASSERT_TRUE(Start({"--readdir-status", "/DCIM/101APPLE=10"}));
  Result r = Run({"ls"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind(std::string(kDevice) + "LS: /DCIM\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("ENTRY: 100APPLE\n"), std::string::npos);
  EXPECT_NE(r.out.find("ENTRY: 101APPLE\n"), std::string::npos);

  r = Run({"ls", "--path", "/"});
  EXPECT_NE(r.out.find("LS: /\n"), std::string::npos);
  EXPECT_NE(r.out.find("ENTRY: Other\n"), std::string::npos);

  r = Run({"ls", "--path", "/Nowhere"});
  EXPECT_EQ(r.status, 11);
  EXPECT_EQ(r.out, kDevice);
  EXPECT_EQ(r.err, "ERROR: не удалось открыть папку /Nowhere status=8\n");

  r = Run({"ls", "--path", "/DCIM/101APPLE"});
  EXPECT_EQ(r.status, 11);
  EXPECT_EQ(r.err, "ERROR: не удалось открыть папку /DCIM/101APPLE status=10\n");
}

TEST_F(OskavelE2ETest, ServicesProbesSixServices) {
  ASSERT_TRUE(Start({"--refuse-service", "com.apple.mobile.file_relay"}));
  const Result r = Run({"services", "--service", "com.example.ignored"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = r.out.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(r.out.substr(start, end - start));
  }
  ASSERT_EQ(lines.size(), 7u) << r.out;
  EXPECT_EQ(lines[0], "DEVICE: Emulated iPhone");
  EXPECT_EQ(lines[1], "SERVICE: com.apple.afc status=0 root_status=0");
  const char* names[] = {"com.apple.crashreportcopymobile", "com.apple.mobile.house_arrest",
                         "com.apple.mobile_image_mounter", "com.apple.mobile.file_relay",
                         "com.apple.mobile.notification_proxy"};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(lines[i + 2].rfind(std::string("SERVICE: ") + names[i] + " status=", 0), 0u)
        << lines[i + 2];
  }
  EXPECT_EQ(lines[5].find("status=0"), std::string::npos) << lines[5];
  EXPECT_EQ(lines[5].find("root_status"), std::string::npos) << lines[5];
}

TEST_F(OskavelE2ETest, NoPhoneEndsWithThreeAndAZeroTimeoutSeesAPhoneThatIsThere) {
  const char kNoDevice[] =
      "ERROR: MobileDevice не увидел iPhone. Finder может видеть устройство, но AFC-доступ пока "
      "не открыт.\n";
  Result r = RunOskavel("UNIX:" + scratch_ + "/no-such-socket", {"list", "--timeout", "1"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, kNoDevice);

  // A timeout of 0 (or below) does not wait, but a phone that is there is seen.
  ASSERT_TRUE(Start());
  for (const char* timeout : {"0", "-4"}) {
    r = Run({"list", "--timeout", timeout});
    EXPECT_EQ(r.status, 0) << timeout << ": " << r.err;
    EXPECT_EQ(r.out, std::string(kDevice) + "DONE: media=0 downloaded=0 failed=0\n") << timeout;
  }
}

TEST_F(OskavelE2ETest, UnusableCommandLineEndsWith64) {
  // An empty output folder (an unset shell variable) is no folder at all.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"download", "--limit", "1"},
        std::vector<std::string>{"download", "--output", ""},
        std::vector<std::string>{"list", "--skip-existing"},
        std::vector<std::string>{"ls", "--skip-existing"},
        std::vector<std::string>{"services", "--skip-existing"}}) {
    const Result r = RunOskavel("UNIX:" + scratch_ + "/unused", args);
    EXPECT_EQ(r.status, 64);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("Usage:\n  Oskavel list", 0), 0u);
  }
}

TEST_F(OskavelE2ETest, PairingThatIsPendingOrRefusedEndsWithFive) {
  const char kNotPaired[] =
      "ERROR: iPhone не спарен с этим Mac. Разблокируйте iPhone и нажмите 'Доверять'.\n";
  for (const char* answer : {"--pair=pending", "--pair=refuse"}) {
    SCOPED_TRACE(answer);
    ASSERT_TRUE(Start({"--not-paired", answer}));
    const Result r = Run({"list"});
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kNotPaired);
  }
}

TEST_F(OskavelE2ETest, PairingThatCompletesAtOnceGoesOn) {
  AddCameraRoll();
  ASSERT_TRUE(Start({"--not-paired"}));
  Result r = Run({"list", "--limit", "1"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, std::string(kDevice) +
                       "FILE: /DCIM/100APPLE/IMG_0001.JPG\nDONE: media=1 downloaded=0 failed=0\n");
  // The record saved by the first run serves the second.
  r = Run({"list", "--limit", "1"});
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(OskavelE2ETest, EachRefusedStepEndsWithItsStatus) {
  struct Case {
    std::vector<std::string> options;
    int status;
    std::string error_prefix;
  };
  const std::vector<Case> cases = {
      {{"--validate-error"}, 6, "ERROR: AMDeviceValidatePairing status=-"},
      {{"--session-error"}, 7, "ERROR: AMDeviceStartSession status=-"},
      {{"--refuse-service", "com.apple.afc"}, 8,
       "ERROR: не удалось открыть AFC-сервис com.apple.afc status="},
      {{"--afc-no-connection"}, 8, "ERROR: не удалось открыть AFC-сервис com.apple.afc status="},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options[0]);
    ASSERT_TRUE(Start(c.options));
    const Result r = Run({"list"});
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err.rfind(c.error_prefix, 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out, c.status == 8 ? kDevice : "");
  }
}

TEST_F(OskavelE2ETest, HostileNamesNeverReachOutsideTheOutputFolder) {
  AddCameraRoll();
  ASSERT_TRUE(Start({"--hostile-names", "/DCIM/100APPLE"}));
  const Result r = Run({"download", "--output", out_});
  EXPECT_EQ(r.status, 10);
  // Nothing beside the output folder, nothing in it but the real files.
  EXPECT_EQ(FilesBelow(scratch_ + "/out"),
            (std::vector<std::string>{"DCIM/100APPLE/IMG_0001.JPG", "DCIM/100APPLE/IMG_0002.HEIC",
                                      "DCIM/100APPLE/IMG_0003.MOV",
                                      "DCIM/101APPLE/IMG_0004.png"}));
  std::vector<std::string> beside;
  for (const auto& entry : fs::directory_iterator(scratch_)) {
    beside.push_back(entry.path().filename().string());
  }
  std::sort(beside.begin(), beside.end());
  EXPECT_EQ(beside, (std::vector<std::string>{"out", "phone"}));
  EXPECT_NE(r.err.find("ERROR: пропущено небезопасное имя в папке path=/DCIM/100APPLE name=\n"),
            std::string::npos) << r.err;
  EXPECT_NE(r.err.find("path=/DCIM/100APPLE name=a/b\n"), std::string::npos);
  EXPECT_NE(r.err.find("path=/DCIM/100APPLE name=../x\n"), std::string::npos);
  EXPECT_NE(r.err.find("path=/DCIM/100APPLE/\\xFF\\xFE.JPG\n"), std::string::npos);
  EXPECT_NE(r.err.find("path=/DCIM/100APPLE/ctl\\x01\\x1F.JPG\n"), std::string::npos);
  // Three unsafe names, three unopenable media names, four good files.
  EXPECT_NE(r.out.find("DONE: media=10 downloaded=4 failed=6\n"), std::string::npos) << r.out;

  const Result list = Run({"list"});
  EXPECT_EQ(list.status, 0);
  EXPECT_NE(list.out.find("FILE: /DCIM/100APPLE/ctl\\x01\\x1F.JPG\n"), std::string::npos);
  EXPECT_NE(list.out.find("FILE: /DCIM/100APPLE/\xff\xfe.JPG\n"), std::string::npos);
}

TEST_F(OskavelE2ETest, DotDotStartPathNeverBecomesALocalPath) {
  AddCameraRoll();
  ASSERT_TRUE(Start());
  const Result r = Run({"download", "--output", out_, "--path", "/DCIM/../Other"});
  EXPECT_EQ(FilesBelow(scratch_ + "/out"), std::vector<std::string>{});
  EXPECT_EQ(fs::exists(scratch_ + "/Other"), false);
  if (r.out.find("media=0") == std::string::npos) {
    EXPECT_EQ(r.status, 10);
    EXPECT_NE(r.err.find("path=/DCIM/../Other/elsewhere.JPG"), std::string::npos) << r.err;
  }
}

TEST_F(OskavelE2ETest, ReadErrorOrDroppedConnectionKeepsTheEarlierCompleteCopy) {
  AddCameraRoll();
  const std::string file = "/DCIM/101APPLE/IMG_0004.png";
  ASSERT_TRUE(Start());
  Result first = Run({"download", "--output", out_});
  ASSERT_EQ(first.status, 0) << first.err;
  const std::string complete = ReadFile(out_ + file);
  WriteFile(root_ + file, Pattern(300000, 9));  // a new version on the phone
  for (const std::string fault : {"--read-error", "--drop-at", "--cut-packet"}) {
    for (const char* offset : {"0", "100000", "131072", "299999"}) {
      SCOPED_TRACE(fault + "@" + offset);
      ASSERT_TRUE(Start({fault, file + "@" + offset}));
      const Result r = Run({"download", "--output", out_});
      EXPECT_EQ(r.status, 10);
      EXPECT_NE(r.err.find("path=" + file + "\n"), std::string::npos) << r.err;
      // A lost connection is said to be one, never a byte count made up.
      if (fault != "--read-error") {
        EXPECT_EQ(r.err, "ERROR: ошибка чтения с iPhone status=30 path=" + file + "\n");
      }
      EXPECT_EQ(r.out.find("DOWNLOADED: " + file), std::string::npos);
      EXPECT_EQ(ReadFile(out_ + file), complete);  // untouched, not part of the new one
      EXPECT_EQ(FilesBelow(out_ + "/DCIM/101APPLE"), std::vector<std::string>{"IMG_0004.png"});
    }
  }
}

// The library gives up on a phone that stops answering after its receive
// timeout (30 s); the lost connection then ends the walk at once, and the
// run says it missed files.
TEST_F(OskavelE2ETest, APhoneThatStopsAnsweringEndsTheWalk) {
  WriteFile(root_ + "/DCIM/100APPLE/IMG_0001.JPG", Pattern(300000, 1));
  WriteFile(root_ + "/DCIM/100APPLE/IMG_0002.JPG", Pattern(1000, 2));
  WriteFile(root_ + "/DCIM/101APPLE/IMG_0003.JPG", Pattern(1000, 3));
  ASSERT_TRUE(Start({"--stall", "/DCIM/100APPLE/IMG_0001.JPG@100000"}));
  const auto start = std::chrono::steady_clock::now();
  const Result r = Run({"download", "--output", out_});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(90));
  EXPECT_EQ(r.status, 10);
  EXPECT_EQ(r.out, std::string(kDevice) + "DONE: media=1 downloaded=0 failed=1\n");
  EXPECT_EQ(r.err, "ERROR: ошибка чтения с iPhone status=30 path=/DCIM/100APPLE/IMG_0001.JPG\n");
  EXPECT_EQ(FilesBelow(out_), std::vector<std::string>{});
}

// The phone goes away while the run talks to it: every line produced so
// far is written, and the run ends with the status of what happened.
TEST_F(OskavelE2ETest, APhoneThatGoesAwayMidRunKeepsTheReport) {
  for (int i = 1; i <= 30; ++i) {
    WriteFile(root_ + "/DCIM/100APPLE/IMG_" + std::to_string(1000 + i) + ".JPG",
              Pattern(5000, i));
  }
  for (const char* command : {"download", "list"}) {
    SCOPED_TRACE(command);
    ASSERT_TRUE(Start({"--latency-ms", "100"}));
    const Child child = SpawnOskavel(phone_->usbmuxd_address(), {command, "--output", out_});
    usleep(1300 * 1000);
    kill(phone_->pid(), SIGKILL);
    phone_->stop();
    const Result r = WaitOskavel(child);
    EXPECT_EQ(r.status, 10) << r.err;
    EXPECT_EQ(r.out.rfind(kDevice, 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\nDONE: media="), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(" status=30 path=/DCIM"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

// A folder that cannot be read is never passed over in silence.
TEST_F(OskavelE2ETest, AFolderThatCannotBeReadFailsTheRun) {
  AddCameraRoll();
  ASSERT_TRUE(Start({"--readdir-status", "/DCIM/101APPLE=10"}));
  const char kError[] = "ERROR: не удалось открыть папку на iPhone status=10 path=/DCIM/101APPLE\n";
  Result r = Run({"download", "--output", out_});
  EXPECT_EQ(r.status, 10);
  EXPECT_EQ(r.err, kError);
  EXPECT_NE(r.out.find("DONE: media=4 downloaded=3 failed=1\n"), std::string::npos) << r.out;
  r = Run({"list"});
  EXPECT_EQ(r.status, 10);
  EXPECT_EQ(r.err, kError);
  EXPECT_NE(r.out.find("DONE: media=3 downloaded=0 failed=0\n"), std::string::npos) << r.out;

  // The file service's connection closed before the first answer.
  ASSERT_TRUE(Start({"--afc-no-connection=close"}));
  r = Run({"download", "--output", out_});
  EXPECT_EQ(r.status, 10);
  EXPECT_EQ(r.err, "ERROR: не удалось открыть папку на iPhone status=30 path=/DCIM\n");
  EXPECT_EQ(r.out, std::string(kDevice) + "DONE: media=1 downloaded=0 failed=1\n");
}

// Interrupted or killed during a copy, the run leaves nothing half-written
// behind, and every line already due: standard output goes out line by
// line, so a file on disk always has its DOWNLOADED: line.
TEST_F(OskavelE2ETest, AnInterruptedCopyKeepsItsLinesAndLeavesNoTemporary) {
  WriteFile(root_ + "/DCIM/100APPLE/IMG_0001.JPG", Pattern(70000, 1));
  WriteFile(root_ + "/DCIM/100APPLE/IMG_0002.JPG", Pattern(300000, 2));
  ASSERT_TRUE(Start({"--stall", "/DCIM/100APPLE/IMG_0002.JPG@100000"}));
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP, SIGKILL}) {
    SCOPED_TRACE(signal_number);
    fs::remove_all(out_);
    const Child child = SpawnOskavel(phone_->usbmuxd_address(), {"download", "--output", out_});
    // Wait until the second copy is under way: the first is in place and
    // the read of the second is stalled.
    for (int i = 0; i < 100 && !fs::exists(out_ + "/DCIM/100APPLE/IMG_0001.JPG"); ++i) {
      usleep(50 * 1000);
    }
    usleep(300 * 1000);
    kill(child.pid, signal_number);
    const Result r = WaitOskavel(child);
    EXPECT_EQ(r.status, 128 + signal_number);
    EXPECT_EQ(r.out, std::string(kDevice) + "DOWNLOADED: /DCIM/100APPLE/IMG_0001.JPG\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(FilesBelow(out_), std::vector<std::string>{"DCIM/100APPLE/IMG_0001.JPG"});
  }
}

// The report must reach its reader: a run whose output is lost fails.
TEST_F(OskavelE2ETest, AReportThatCannotBeWrittenEndsWithOne) {
  AddCameraRoll();
  ASSERT_TRUE(Start());
  for (Stdout where : {Stdout::kFullDevice, Stdout::kClosed}) {
    Result r = RunOskavel(phone_->usbmuxd_address(), {"list"}, 0, where);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    // A status that already says failure stays.
    r = RunOskavel(phone_->usbmuxd_address(), {"ls", "--path", "/Nowhere"}, 0, where);
    EXPECT_EQ(r.status, 11);
  }
}

TEST_F(OskavelE2ETest, FullDiskLeavesNoPartialFile) {
  AddCameraRoll();
  ASSERT_TRUE(Start());
  const Result r = Run({"download", "--output", out_}, 100000);
  EXPECT_EQ(r.status, 10);
  EXPECT_NE(r.err.find("ERROR: ошибка записи файла: " + out_ + "/DCIM/101APPLE/IMG_0004.png\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.out.find("DONE: media=4 downloaded=3 failed=1\n"), std::string::npos) << r.out;
  EXPECT_EQ(FilesBelow(out_ + "/DCIM/101APPLE"), std::vector<std::string>{});
}

TEST_F(OskavelE2ETest, ControlBytesInTheDeviceNameAndFileNamesAreEscaped) {
  WriteFile(root_ + "/DCIM/100APPLE/tab\there.JPG", "t");
  WriteFile(root_ + "/DCIM/100APPLE/Фото.JPG", "f");
  ASSERT_TRUE(Start({"--name", "Evil\nDONE: media=99\x7f"}));
  Result r = Run({"download", "--output", out_});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "DEVICE: Evil\\x0ADONE: media=99\\x7F\n"
            "DOWNLOADED: /DCIM/100APPLE/tab\\x09here.JPG\n"
            "DOWNLOADED: /DCIM/100APPLE/Фото.JPG\n"
            "DONE: media=2 downloaded=2 failed=0\n");
  EXPECT_EQ(ReadFile(out_ + "/DCIM/100APPLE/tab\there.JPG"), "t");
  r = Run({"ls", "--path", "/DCIM/100APPLE"});
  EXPECT_NE(r.out.find("ENTRY: tab\\x09here.JPG\n"), std::string::npos) << r.out;

  // A name that is not UTF-8 cannot be shown as text.
  ASSERT_TRUE(Start({"--name", "Bad\xff\xfeName"}));
  r = Run({"ls", "--path", "/DCIM"});
  EXPECT_EQ(r.out.rfind("DEVICE: unknown\nLS: /DCIM\n", 0), 0u) << r.out;
}

// Slow answers, and a file service that speaks TLS, change nothing.
TEST_F(OskavelE2ETest, SlowAnswersOrTlsDoNotDisturbARun) {
  AddCameraRoll();
  for (const char* option : {"--latency-ms=2", "--service-tls"}) {
    SCOPED_TRACE(option);
    const std::string word = option;
    const auto equals = word.find('=');
    ASSERT_TRUE(Start(equals == std::string::npos
                          ? std::vector<std::string>{word}
                          : std::vector<std::string>{word.substr(0, equals), word.substr(equals + 1)}));
    const Result r = Run({"download", "--output", out_});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("DONE: media=4 downloaded=4 failed=0\n"), std::string::npos) << r.out;
    ExpectSameFile("/DCIM/101APPLE/IMG_0004.png");
  }
}

// A listing is used only when it came whole. Cut in its header or its data,
// stalled until the phone gave up, or out of step, it is a lost connection:
// one line names the folder, nothing of it is reported, the walk stops, and
// the run fails.
TEST_F(OskavelE2ETest, AListingThatIsNotWholeIsALostConnection) {
  struct Row {
    std::string name;
    std::vector<std::string> fault;  // the option and its value, PATH@ to be filled in
    int entries = 2;
  };
  // The listing of a folder of two photos and a note is 68 bytes long.
  const std::vector<Row> rows = {
      {"header0", {"--cut-listing", "@0"}},     {"header5", {"--cut-listing", "@5"}},
      {"header39", {"--cut-listing", "@39"}},   {"data0", {"--cut-listing", "@40"}},
      {"data5", {"--cut-listing", "@45"}},      {"last", {"--cut-listing", "@67"}},
      {"stall", {"--stall-listing", "@45"}},    {"step", {"--out-of-step", ""}},
      {"big5", {"--cut-listing", "@5"}, 3000},  {"big", {"--cut-listing", "@20000"}, 3000},
  };
  std::vector<std::string> options = {"--stall-then-close", "300"};
  for (const Row& row : rows) {
    const std::string base = "/" + row.name + "/DCIM";
    WriteFile(root_ + base + "/100APPLE/IMG_0001.JPG", Pattern(1000, 1));
    WriteFile(root_ + base + "/100APPLE/IMG_0002.JPG", Pattern(2000, 2));
    WriteFile(root_ + base + "/101APPLE/notes.txt", "n");
    for (int i = 0; i < row.entries; ++i) {
      WriteFile(root_ + base + "/101APPLE/IMG_" + std::to_string(3000 + i) + ".JPG", "p");
    }
    options.push_back(row.fault[0]);
    options.push_back(base + "/101APPLE" + row.fault[1]);
    if (row.fault[1].empty()) options.pop_back(), options.push_back(base + "/101APPLE");
  }
  ASSERT_TRUE(Start(options));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string base = "/" + row.name + "/DCIM";
    const std::string error =
        "ERROR: не удалось открыть папку на iPhone status=30 path=" + base + "/101APPLE\n";
    Result r = Run({"list", "--path", base});
    EXPECT_EQ(r.status, 10);
    EXPECT_EQ(r.out, std::string(kDevice) + "FILE: " + base + "/100APPLE/IMG_0001.JPG\nFILE: " +
                         base + "/100APPLE/IMG_0002.JPG\nDONE: media=2 downloaded=0 failed=0\n");
    EXPECT_EQ(r.err, error);

    fs::remove_all(out_);
    r = Run({"download", "--path", base, "--output", out_});
    EXPECT_EQ(r.status, 10);
    EXPECT_EQ(r.out, std::string(kDevice) + "DOWNLOADED: " + base +
                         "/100APPLE/IMG_0001.JPG\nDOWNLOADED: " + base +
                         "/100APPLE/IMG_0002.JPG\nDONE: media=3 downloaded=2 failed=1\n");
    EXPECT_EQ(r.err, error);
    EXPECT_EQ(FilesBelow(out_ + base).size(), 2u);

    if (row.name != "data5") continue;
    r = Run({"ls", "--path", base + "/101APPLE"});
    EXPECT_EQ(r.status, 11);
    EXPECT_EQ(r.out, kDevice);
    EXPECT_EQ(r.err, "ERROR: не удалось открыть папку " + base + "/101APPLE status=30\n");
  }
}

// A link on the phone is neither listed nor walked: one to a parent folder
// would list its photos again, two that point at each other never end.
TEST_F(OskavelE2ETest, LinksAreNeitherListedNorWalked) {
  WriteFile(root_ + "/DCIM/100APPLE/IMG_0001.JPG", Pattern(1000, 1));
  WriteFile(root_ + "/DCIM/a/IMG_0002.JPG", Pattern(2000, 2));
  fs::create_directories(root_ + "/DCIM/b");
  fs::create_directory_symlink("..", root_ + "/DCIM/100APPLE/up");
  fs::create_symlink("IMG_0001.JPG", root_ + "/DCIM/100APPLE/alias.JPG");
  fs::create_directory_symlink("../b", root_ + "/DCIM/a/loop");
  fs::create_directory_symlink("../a", root_ + "/DCIM/b/loop.JPG");
  ASSERT_TRUE(Start());
  Result r = Run({"list"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, std::string(kDevice) +
                       "FILE: /DCIM/100APPLE/IMG_0001.JPG\nFILE: /DCIM/a/IMG_0002.JPG\n"
                       "DONE: media=2 downloaded=0 failed=0\n");
  EXPECT_EQ(r.err, "");
  r = Run({"download", "--output", out_});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(FilesBelow(out_),
            (std::vector<std::string>{"DCIM/100APPLE/IMG_0001.JPG", "DCIM/a/IMG_0002.JPG"}));
}

// Without /proc the copy takes the hidden named temporary, and leaves
// nothing else behind.
TEST_F(OskavelE2ETest, DownloadWorksWithoutProc) {
  AddCameraRoll();
  ASSERT_TRUE(Start());
  const Result r = WaitOskavel(SpawnOskavel(phone_->usbmuxd_address(),
                                            {"download", "--output", out_}, 0,
                                            Stdout::kCaptured, true));
  if (r.status == kNoNamespace) GTEST_SKIP() << "no mount namespace to hide /proc in";
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(FilesBelow(out_).size(), 4u);
  for (const char* remote : {"/DCIM/100APPLE/IMG_0001.JPG", "/DCIM/101APPLE/IMG_0004.png"}) {
    ExpectSameFile(remote);
  }
}

TEST_F(OskavelE2ETest, APhoneThatWasDetachedIsNotFound) {
  ASSERT_TRUE(Start({"--detach-after", "0"}));
  usleep(300 * 1000);
  const Result r = Run({"list", "--timeout", "1"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("ERROR: MobileDevice не увидел iPhone."), std::string::npos) << r.err;
}

// On a terminal the progress line is redrawn in place and cleared before
// every line and at the end, however the run ends; standard output keeps
// its lines. (Without a terminal, standard error stays empty: the other
// tests.)
TEST_F(OskavelE2ETest, AProgressLineOnlyWhileStandardErrorIsATerminal) {
  AddCameraRoll();
  const std::string folder = "/DCIM/2024 trip to the seaside\x01";
  WriteFile(root_ + folder + "/IMG_0005.JPG", Pattern(300000, 5));
  ASSERT_TRUE(Start({"--read-error", folder + "/IMG_0005.JPG@100000"}));

  // Standard output on the same terminal: the screen holds its lines only.
  progress_testing::TerminalRun run =
      RunOnTerminal(phone_->usbmuxd_address(), {"download", "--output", out_});
  EXPECT_EQ(run.status, 10);
  EXPECT_EQ(progress_testing::screen(run.bytes),
            (std::vector<std::string>{"DEVICE: Emulated iPhone",
                                      "DOWNLOADED: /DCIM/100APPLE/IMG_0001.JPG",
                                      "DOWNLOADED: /DCIM/100APPLE/IMG_0002.HEIC",
                                      "DOWNLOADED: /DCIM/100APPLE/IMG_0003.MOV",
                                      "DOWNLOADED: /DCIM/101APPLE/IMG_0004.png",
                                      "ERROR: ошибка чтения с iPhone status=4 path=/DCIM/2024 trip "
                                      "to the seaside\\x01/IMG_0005.JPG",
                                      "DONE: media=5 downloaded=4 failed=1", ""}));
  EXPECT_EQ(run.bytes.find("DEVICE: Emulated iPhone\r\n\r0 files, /DCIM"), 0u) << run.bytes;

  // Standard output to a file, the terminal 40 columns wide, a signal in
  // the middle: the file has the lines due, the terminal had nothing but
  // the line, cut to fit and escaped, and at the end nothing at all.
  fs::remove_all(out_);
  ASSERT_TRUE(Start({"--stall", folder + "/IMG_0005.JPG@100000"}));
  const std::string report = scratch_ + "/report";
  run = RunOnTerminal(phone_->usbmuxd_address(), {"download", "--output", out_, "--path", folder},
                      report, [&](pid_t pid) {
                        for (int i = 0; i < 100 && !fs::exists(out_ + folder); ++i) usleep(50 * 1000);
                        usleep(300 * 1000);
                        kill(pid, SIGTERM);
                      });
  EXPECT_EQ(run.status, 128 + SIGTERM);
  EXPECT_EQ(ReadFile(report), kDevice);
  EXPECT_EQ(progress_testing::screen(run.bytes), std::vector<std::string>{""}) << run.bytes;
  EXPECT_EQ(run.bytes.rfind("\r0 files, ...", 0), 0u) << run.bytes;
  EXPECT_NE(run.bytes.find("seaside\\x01"), std::string::npos) << run.bytes;
  EXPECT_EQ(run.bytes.find_first_of("\n\x01"), std::string::npos) << run.bytes;
  size_t start = 0;
  for (size_t end; (end = run.bytes.find('\r', start)) != std::string::npos; start = end + 1) {
    EXPECT_LE(end - start, 39u) << run.bytes;
  }
}

}  // namespace
