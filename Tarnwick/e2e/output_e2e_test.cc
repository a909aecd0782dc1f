// End-to-end runs of the Tarnwick binary for what concerns the computer's
// side: the command line, a report that cannot be written, no phone at all,
// an output folder that is missing, read-only or full, signals in the
// middle of a transfer, and the progress line on a terminal. The phone is the iPhone emulated on USB
// (emulated-phone-usb). The read-only and full folders are made in a
// private mount namespace (root and unshare); those cases are skipped
// otherwise.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "pseudo_terminal.h"
#include "usb_phone_fixture.h"

namespace {

using namespace tarnwick_e2e;
using progress_testing::onTerminal;
using progress_testing::screen;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

bool canUseMountNamespaces() {
  static const bool usable = [] {
    if (::geteuid() != 0) return false;
    return finish(spawnShell("unshare -m true 2>/dev/null && echo ok")).lines == std::vector<std::string>{"ok"};
  }();
  return usable;
}

class TarnwickOutputTest : public UsbPhoneTest {
 protected:
  void SetUp() override {
    UsbPhoneTest::SetUp();
    if (IsSkipped()) return;
    put("DCIM/100APPLE/IMG_0001.JPG", "jpeg one", kMay1);
    put("DCIM/100APPLE/IMG_0002.MOV", "movie", kMay1 + 3600);
    put("DCIM/100APPLE/notes.txt", "not media", kMay1);
    put("DCIM/101APPLE/IMG_0100.PNG", "png", 1700000000);
  }
  // `script` in a private mount namespace, the emulated phone inside it.
  Result inNamespace(const std::string& script) const {
    return finish(spawnShell("exec unshare -m sh -c '" + script + "'"));
  }
};

TEST(TarnwickCommandLine, UnusableCommandLineWritesTheUsageText) {
  for (std::string arguments : {"", "download", "LIST", "list --timeout 5s", "list --limit 2.5",
                                "list --skip-existing", "--skip-existing debug"}) {
    Result result = finish(spawnShell(std::string(TARNWICK_BINARY) + " " + arguments));
    EXPECT_EQ(result.status, 64) << arguments;
    EXPECT_THAT(result.lines, ElementsAre("Usage:", "  Tarnwick list [--timeout 60] [--limit 20]",
                                          "  Tarnwick download --output /path/to/folder "
                                          "[--timeout 300] [--limit 0]",
                                          "  Tarnwick debug [--timeout 10]"))
        << arguments;
  }
}

TEST_F(TarnwickOutputTest, NoPhoneOrNoTimeIsNotFound) {
  // The phone is out of its socket for the whole run.
  Result absent = run("--replug-after 0 --replug-gap 60000", "list --timeout 1.5");
  EXPECT_EQ(absent.status, 2);
  EXPECT_THAT(absent.lines, ElementsAre(kNotFound));
  Result noTime = run("", "list --timeout 0");
  EXPECT_EQ(noTime.status, 2);
  EXPECT_THAT(noTime.lines, ElementsAre(kNotFound));
}

TEST_F(TarnwickOutputTest, ReportThatCannotBeWrittenFailsTheRun) {
  auto redirected = [&](const std::string& arguments, const char* redirect) {
    return finish(spawnShell(underPhone("", "sh -c \"exec " TARNWICK_BINARY " " + arguments + redirect + "\"")));
  };
  for (const char* redirect : {" > /dev/full", " >&-"}) {
    EXPECT_EQ(redirected("list --timeout 20", redirect).status, 1) << redirect;
    EXPECT_EQ(redirected("debug --timeout 0", redirect).status, 1) << redirect;
  }
  // Any other status stays what it was.
  EXPECT_EQ(redirected("list --timeout 0", " > /dev/full").status, 2);
}

TEST_F(TarnwickOutputTest, MissingOrReadOnlyFolderFailsEachFileWithTheCause) {
  Result missing = run("", "download --timeout 20 --output " + (root_ / "missing").string());
  EXPECT_EQ(missing.status, 3);
  ASSERT_EQ(missing.lines.size(), 7u);
  EXPECT_THAT(missing.lines[3], HasSubstr("ERROR: не удалось скачать IMG_0001.JPG: "));
  EXPECT_THAT(missing.lines[3], HasSubstr((root_ / "missing").string()));
  EXPECT_THAT(missing.lines[4], HasSubstr("No such file or directory"));
  EXPECT_EQ(missing.lines[6], "DONE: downloaded=0 failed=3");
  EXPECT_FALSE(fs::exists(root_ / "missing"));

  if (!canUseMountNamespaces()) GTEST_SKIP() << "a read-only folder needs root and unshare -m";
  // Read-only for root too: a read-only bind mount inside the namespace.
  Result readOnly = inNamespace("mount --bind " + out_.string() + " " + out_.string() +
                                " && mount -o remount,bind,ro " + out_.string() + " && " +
                                command("", download()));
  EXPECT_EQ(readOnly.status, 3);
  ASSERT_EQ(readOnly.lines.size(), 7u);
  EXPECT_THAT(readOnly.lines[3], HasSubstr("Read-only file system"));
  EXPECT_EQ(readOnly.lines[6], "DONE: downloaded=0 failed=3");
}

// Why 5: a full disk fails the file that does not fit, and only that one:
// the rest of its data is read and dropped, and the session goes on.
TEST_F(TarnwickOutputTest, FullFolderFailsTheFileThatDoesNotFitAndOnlyThatOne) {
  if (!canUseMountNamespaces()) GTEST_SKIP() << "a full folder needs root and unshare -m";
  put("DCIM/100APPLE/IMG_0003.JPG", std::string(300 * 1024, 'j'), kMay1);
  // A 64 KiB file system. What it holds is written after the report, as
  // "name size" lines.
  std::string tarnwick = command("", download());
  tarnwick.erase(tarnwick.find("exec "), 5);  // the shell goes on after it
  Result result = inNamespace("mount -t tmpfs -o size=64k tmpfs " + out_.string() + " || exit 99; " + tarnwick +
                              "; status=$?; cd " + out_.string() +
                              " && for f in $(ls -A); do stat -c \"%n %s\" \"$f\"; done; exit $status");
  EXPECT_EQ(result.status, 3);
  ASSERT_EQ(result.lines.size(), 11u);
  EXPECT_EQ(result.lines[3], "DOWNLOADED: IMG_0001.JPG");
  EXPECT_EQ(result.lines[4], "DOWNLOADED: IMG_0002.MOV");
  EXPECT_THAT(result.lines[5], HasSubstr("ERROR: не удалось скачать IMG_0003.JPG: не удалось записать файл в папку " +
                                         out_.string() + ": No space left on device"));
  EXPECT_EQ(result.lines[6], "DOWNLOADED: IMG_0100.PNG");
  EXPECT_EQ(result.lines[7], "DONE: downloaded=3 failed=1");
  // Nothing reported as downloaded was cut short, and no part of the big one stays.
  EXPECT_THAT(std::vector<std::string>(result.lines.begin() + 8, result.lines.end()),
              ElementsAre("IMG_0001.JPG 8", "IMG_0002.MOV 5", "IMG_0100.PNG 3"));
}

// A phone with a small file and a big one whose transfer stalls; Tarnwick
// run by `script` (a shell command that writes its pid to pidFile()).
class TarnwickInterruptedTest : public TarnwickOutputTest {
 protected:
  void SetUp() override {
    TarnwickOutputTest::SetUp();
    if (IsSkipped()) return;
    fs::remove_all(phone_);
    put("DCIM/100APPLE/IMG_0001.JPG", "jpeg one", kMay1);
    put("DCIM/100APPLE/IMG_0003.MOV", std::string(3 << 20, 'v'), kMay1);
  }
  fs::path pidFile() const { return root_ / "pid"; }
  std::string tarnwick(const std::string& redirections) const {
    return "sh -c \"echo \\$\\$ > " + pidFile().string() + "; exec " TARNWICK_BINARY " " + download() + " " +
           redirections + "\"";
  }
  // Waits until the first file is in the folder and the second one is
  // being copied (and stays stalled there); its pid.
  pid_t whileTheSecondFileCopies() const {
    pid_t pid = 0;
    for (int i = 0; i < 1000 && pid == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      std::ifstream(pidFile()) >> pid;
    }
    auto copying = [&] {
      std::error_code error;
      for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        auto target = fs::read_symlink(fd.path(), error);
        if (!error && target.string().rfind(out_.string() + "/", 0) == 0) return true;
      }
      return false;
    };
    for (int i = 0; i < 1000 && !(fs::exists(out_ / "IMG_0001.JPG") && copying()); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return pid;
  }
  void reset() {
    fs::remove(pidFile());
    fs::remove_all(out_);
    fs::create_directories(out_);
  }
};

// Each line is written when it is complete: a run interrupted with its
// report in a file has the lines of every file that is on disk, and
// nothing on standard error; no temporary stays. (SIGTERM: the progress
// line's test, with standard error on a terminal.)
TEST_F(TarnwickInterruptedTest, SignalsKeepTheLinesDueAndLeaveNoTemporary) {
  const fs::path report = root_ / "report", errors = root_ / "errors";
  for (int signal : {SIGINT, SIGHUP, SIGKILL}) {
    reset();
    Child child = spawnShell(underPhone("--stall-at-bytes 1000000",
                                        tarnwick("> " + report.string() + " 2> " + errors.string())));
    const pid_t pid = whileTheSecondFileCopies();
    ASSERT_GT(pid, 0);
    ::kill(pid, signal);
    EXPECT_EQ(finish(child).status, 128 + signal) << signal;
    EXPECT_EQ(read(report), "DEVICE: iPhone\nMEDIA_FOUND: 2\nTO_DOWNLOAD: 2\nDOWNLOADED: IMG_0001.JPG\n") << signal;
    EXPECT_EQ(read(errors), "") << signal;
    EXPECT_EQ(outNames(), std::set<std::string>{"IMG_0001.JPG"}) << signal;
  }
}

// While standard error is a terminal, a progress line on it: cleared
// before every line that reaches that terminal and drawn again after, and
// gone at the end, a signal's end too.
TEST_F(TarnwickInterruptedTest, AProgressLineWhileStandardErrorIsATerminal) {
  const auto shell = [](const std::string& script) {
    return [script] { ::execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr)); };
  };
  // The report on the same terminal: the screen shows the report alone.
  auto run = onTerminal(shell(underPhone("", TARNWICK_BINARY " " + download())));
  EXPECT_EQ(run.status, 0);
  EXPECT_THAT(screen(run.bytes), ElementsAre("DEVICE: iPhone", "MEDIA_FOUND: 2", "TO_DOWNLOAD: 2",
                                             "DOWNLOADED: IMG_0001.JPG", "DOWNLOADED: IMG_0003.MOV",
                                             "DONE: downloaded=2 failed=0", ""));
  EXPECT_THAT(run.bytes, HasSubstr("TO_DOWNLOAD: 2\r\n\r0/2 files, 0 B of 3.1 MB, IMG_0001.JPG\r"));

  // The report in a file and SIGTERM in the middle (the signals' row the
  // test above leaves to this one): the terminal had the progress line
  // alone, and it is gone.
  reset();
  const fs::path report = root_ / "report";
  run = onTerminal(shell(underPhone("--stall-at-bytes 1000000", tarnwick("> " + report.string()))),
                   [&](pid_t) { ::kill(whileTheSecondFileCopies(), SIGTERM); });
  EXPECT_EQ(run.status, 128 + SIGTERM);
  EXPECT_EQ(read(report), "DEVICE: iPhone\nMEDIA_FOUND: 2\nTO_DOWNLOAD: 2\nDOWNLOADED: IMG_0001.JPG\n");
  EXPECT_EQ(outNames(), std::set<std::string>{"IMG_0001.JPG"});
  EXPECT_EQ(run.bytes.rfind("\r0/2 files, 0 B of 3.1 MB, IMG_0001.JPG\r", 0), 0u) << run.bytes;
  EXPECT_THAT(screen(run.bytes), ElementsAre("")) << run.bytes;
}

}  // namespace
