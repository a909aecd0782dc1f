// End-to-end runs of the Tarnwick binary through the real libgphoto2, for
// what only a folder camera shows (the output folder's own faults, signals):
// a fixture folder holding a DCIM tree is bind-mounted in a private mount
// namespace, where libgphoto2 reports it as a "Mass Storage Camera" at
// disk:<folder>. Needs root and unshare; skipped otherwise. What a phone
// does is tested against the emulated iPhone on USB (usb_e2e_test.cc).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "e2e_process.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace tarnwick_e2e;
namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

bool canUseMountNamespaces() {
  static const bool usable = [] {
    if (::geteuid() != 0) return false;
    return finish(spawnShell("unshare -m true 2>/dev/null && echo ok")).lines ==
           std::vector<std::string>{"ok"};
  }();
  return usable;
}

class TarnwickE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!canUseMountNamespaces()) GTEST_SKIP() << "needs root and unshare -m";
    char pattern[] = "/tmp/tarnwick_e2e.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    fixture_ = root_ / "fixture";
    phone_ = root_ / "PHONE";
    out_ = root_ / "out";
    fs::create_directories(fixture_ / "DCIM" / "100APPLE");
    fs::create_directories(fixture_ / "DCIM" / "101APPLE");
    fs::create_directories(phone_);
    fs::create_directories(out_);
    put("DCIM/100APPLE/IMG_0001.JPG", "jpeg one", 1714557600);  // 2024-05-01T10:00:00Z
    put("DCIM/100APPLE/IMG_0002.MOV", "movie", 1714561200);     // 2024-05-01T11:00:00Z
    put("DCIM/100APPLE/notes.txt", "not media", 1714561200);
    put("DCIM/101APPLE/IMG_0100.PNG", "png", 1700000000);       // 2023-11-14T22:13:20Z
  }
  void TearDown() override {
    if (!root_.empty()) fs::remove_all(root_);
  }

  void put(const std::string& relative, const std::string& text, std::time_t modified) {
    fs::path path = fixture_ / relative;
    std::ofstream(path) << text;
    struct timespec times[2] = {{modified, 0}, {modified, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
  }

  // The script's lines run inside the namespace, after the phone is mounted.
  std::string inNamespace(const std::string& commands) const {
    return "exec unshare -m sh -c 'mount --bind " + fixture_.string() + " " + phone_.string() +
           " || exit 99; " + commands + "'";
  }
  std::string tarnwick(const std::string& arguments) const {
    return std::string(TARNWICK_BINARY) + " " + arguments;
  }
  Result run(const std::string& arguments) const {
    return finish(spawnShell(inNamespace("exec " + tarnwick(arguments))));
  }

  std::set<std::string> outNames() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(out_)) names.insert(entry.path().filename());
    return names;
  }
  std::string read(const fs::path& path) const {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  fs::path root_, fixture_, phone_, out_;
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

TEST_F(TarnwickE2eTest, ReportThatCannotBeWrittenFailsTheRun) {
  for (const char* redirect : {" > /dev/full", " >&-"}) {
    EXPECT_EQ(run(std::string("list --timeout 20") + redirect).status, 1) << redirect;
    EXPECT_EQ(run(std::string("debug --timeout 0") + redirect).status, 1) << redirect;
  }
  // Any other status stays what it was.
  EXPECT_EQ(run("list --timeout 0 > /dev/full").status, 2);
}

TEST_F(TarnwickE2eTest, LivePhotoWithASidecarStaysOnePairByNameAndTheSidecarComesOnce) {
  // The folder driver hides .AAE; a .WAV is a sidecar it shows.
  fs::remove_all(fixture_ / "DCIM" / "101APPLE");
  put("DCIM/100APPLE/IMG_0001.MOV", "live movie", 1714557600);
  put("DCIM/100APPLE/IMG_0001.WAV", "edits", 1714557600);
  Result first = run("download --output " + out_.string() + " --timeout 20");
  EXPECT_EQ(first.status, 0);
  EXPECT_THAT(first.lines, ElementsAre("DEVICE: PHONE", "MEDIA_FOUND: 3", "TO_DOWNLOAD: 3",
                                       "DOWNLOADED: IMG_0001.JPG", "DOWNLOADED: IMG_0001.MOV",
                                       "DOWNLOADED: IMG_0002.MOV", "DONE: downloaded=3 failed=0"));
  EXPECT_EQ(outNames(), (std::set<std::string>{"IMG_0001.JPG", "IMG_0001.MOV", "IMG_0001.WAV",
                                               "IMG_0002.MOV"}));
  EXPECT_EQ(read(out_ / "IMG_0001.MOV"), "live movie");

  // Again, with only the still's name taken anew: the pair and its sidecar
  // move to (1) together; nothing is overwritten.
  fs::remove(out_ / "IMG_0001.MOV");
  fs::remove(out_ / "IMG_0001.WAV");
  Result second = run("download --output " + out_.string() + " --timeout 20");
  EXPECT_THAT(second.lines, ElementsAre("DEVICE: PHONE", "MEDIA_FOUND: 3", "TO_DOWNLOAD: 3",
                                        "DOWNLOADED: IMG_0001 (1).JPG", "DOWNLOADED: IMG_0001 (1).MOV",
                                        "DOWNLOADED: IMG_0002 (1).MOV", "DONE: downloaded=3 failed=0"));
  EXPECT_EQ(outNames(), (std::set<std::string>{"IMG_0001.JPG", "IMG_0002.MOV", "IMG_0001 (1).JPG",
                                               "IMG_0001 (1).MOV", "IMG_0001 (1).WAV",
                                               "IMG_0002 (1).MOV"}));
}

TEST_F(TarnwickE2eTest, SidecarThatFailsIsReportedAndTheRunIsNotASuccess) {
  fs::remove_all(fixture_ / "DCIM" / "101APPLE");
  put("DCIM/100APPLE/IMG_0001.WAV", "edits", 1714557600);
  fs::permissions(fixture_ / "DCIM" / "100APPLE" / "IMG_0001.WAV", fs::perms::none);
  // Root without the capabilities that bypass permissions cannot read it.
  Result result = finish(spawnShell(inNamespace("exec setpriv --inh-caps=-all --bounding-set=-all " +
                                                tarnwick("download --timeout 20 --output " + out_.string()))));
  EXPECT_EQ(result.status, 3);
  ASSERT_EQ(result.lines.size(), 7u);
  EXPECT_EQ(result.lines[3], "DOWNLOADED: IMG_0001.JPG");
  EXPECT_THAT(result.lines[4], HasSubstr("ERROR: не удалось скачать IMG_0001.WAV: "));
  EXPECT_EQ(result.lines[5], "DOWNLOADED: IMG_0002.MOV");
  EXPECT_EQ(result.lines[6], "DONE: downloaded=2 failed=0");
  EXPECT_EQ(outNames(), (std::set<std::string>{"IMG_0001.JPG", "IMG_0002.MOV"}));
}

TEST_F(TarnwickE2eTest, NamesWithControlBytesCannotForgeReportLines) {
  fs::remove_all(fixture_ / "DCIM" / "101APPLE");
  put("DCIM/100APPLE/A\nDONE: downloaded=9 failed=0\r\nB.JPG", "hostile", 1714557600);
  Result listed = run("list --timeout 20");
  EXPECT_EQ(listed.status, 0);
  EXPECT_THAT(listed.lines, ElementsAre("DEVICE: PHONE", "MEDIA_FOUND: 3",
                                        "FILE: A\\x0ADONE: downloaded=9 failed=0\\x0D\\x0AB.JPG "
                                        "2024-05-01T10:00:00Z",
                                        "FILE: IMG_0001.JPG 2024-05-01T10:00:00Z",
                                        "FILE: IMG_0002.MOV 2024-05-01T11:00:00Z"));
  Result downloaded = run("download --output " + out_.string() + " --timeout 20");
  EXPECT_EQ(downloaded.status, 0);
  EXPECT_EQ(downloaded.lines.at(3), "DOWNLOADED: A\\x0ADONE: downloaded=9 failed=0\\x0D\\x0AB.JPG");
  EXPECT_EQ(read(out_ / "A\nDONE: downloaded=9 failed=0\r\nB.JPG"), "hostile");
}

TEST_F(TarnwickE2eTest, UnreadableFolderEndsTheRunWithItsCause) {
  // Root without the capabilities that bypass permissions meets them as
  // any user does.
  fs::permissions(fixture_ / "DCIM" / "101APPLE", fs::perms::owner_exec | fs::perms::group_exec);
  Result result = finish(spawnShell(inNamespace(
      "exec setpriv --inh-caps=-all --bounding-set=-all " + tarnwick("list --timeout 20"))));
  EXPECT_EQ(result.status, 2);
  ASSERT_EQ(result.lines.size(), 2u);
  EXPECT_THAT(result.lines[0], HasSubstr("ERROR: не удалось прочитать папку /DCIM/101APPLE: "));
  EXPECT_EQ(result.lines[1], kNotFound);
}

TEST_F(TarnwickE2eTest, ZeroTimeoutIsNotFound) {
  Result result = run("list --timeout 0");
  EXPECT_EQ(result.status, 2);
  EXPECT_THAT(result.lines, ElementsAre(kNotFound));
}

TEST_F(TarnwickE2eTest, NoCameraIsNotFoundAtTheDeadline) {
  // Without the bind mount there is no camera at all.
  Result result = finish(spawnShell("exec unshare -m " + tarnwick("list --timeout 1.5")));
  EXPECT_EQ(result.status, 2);
  EXPECT_THAT(result.lines, ElementsAre(kNotFound));
}

TEST_F(TarnwickE2eTest, UnwritableOrMissingFolderFailsEachFileWithTheCause) {
  // Read-only for root too: a read-only bind mount inside the namespace.
  std::string readOnly = "mount --bind " + out_.string() + " " + out_.string() +
                         " && mount -o remount,bind,ro " + out_.string() + " && exec " +
                         tarnwick("download --output " + out_.string() + " --timeout 20");
  Result result = finish(spawnShell(inNamespace(readOnly)));
  EXPECT_EQ(result.status, 3);
  ASSERT_EQ(result.lines.size(), 7u);
  EXPECT_THAT(result.lines[3], HasSubstr("ERROR: не удалось скачать IMG_0001.JPG: "));
  EXPECT_THAT(result.lines[3], HasSubstr(out_.string()));
  EXPECT_THAT(result.lines[3], HasSubstr("Read-only file system"));
  EXPECT_EQ(result.lines[6], "DONE: downloaded=0 failed=3");

  Result missing = run("download --output " + (root_ / "missing").string() + " --timeout 20");
  EXPECT_EQ(missing.status, 3);
  ASSERT_EQ(missing.lines.size(), 7u);
  EXPECT_THAT(missing.lines[4], HasSubstr("No such file or directory"));
  EXPECT_FALSE(fs::exists(root_ / "missing"));
}

TEST_F(TarnwickE2eTest, FullFolderFailsTheFileThatDoesNotFitAndKeepsNoPartOfIt) {
  {
    std::ofstream big(fixture_ / "DCIM" / "100APPLE" / "IMG_0003.JPG", std::ios::binary);
    big << std::string(300 * 1024, 'j');
  }
  // A 64 KiB file system: the big photo cannot fit, the small files can.
  // What the folder holds is written after the report, as "name size" lines.
  std::string full = "mount -t tmpfs -o size=64k tmpfs " + out_.string() + " || exit 99; " +
                     tarnwick("download --output " + out_.string() + " --timeout 20") +
                     "; status=$?; cd " + out_.string() +
                     " && for f in $(ls -A); do stat -c \"%n %s\" \"$f\"; done; exit $status";
  Result result = finish(spawnShell(inNamespace(full)));
  EXPECT_EQ(result.status, 3);
  ASSERT_EQ(result.lines.size(), 11u);
  EXPECT_EQ(result.lines[3], "DOWNLOADED: IMG_0001.JPG");
  EXPECT_EQ(result.lines[4], "DOWNLOADED: IMG_0002.MOV");
  EXPECT_THAT(result.lines[5], HasSubstr("ERROR: не удалось скачать IMG_0003.JPG: "));
  EXPECT_THAT(result.lines[5], HasSubstr(out_.string()));
  EXPECT_THAT(result.lines[5], HasSubstr("No space left on device"));
  EXPECT_EQ(result.lines[6], "DOWNLOADED: IMG_0100.PNG");
  EXPECT_EQ(result.lines[7], "DONE: downloaded=3 failed=1");
  // Nothing reported as downloaded was cut short, and no part of the big one stays.
  EXPECT_THAT(std::vector<std::string>(result.lines.begin() + 8, result.lines.end()),
              ElementsAre("IMG_0001.JPG 8", "IMG_0002.MOV 5", "IMG_0100.PNG 3"));
}

TEST_F(TarnwickE2eTest, InterruptedOrTimedOutRunLeavesNothingHalfWritten) {
  // A file big enough that its copy is still running when the run ends.
  {
    std::ofstream big(fixture_ / "DCIM" / "100APPLE" / "IMG_0003.MOV", std::ios::binary);
    std::string block(1 << 20, 'v');
    for (int i = 0; i < 256; ++i) big << block;
  }
  const auto bigSize = fs::file_size(fixture_ / "DCIM" / "100APPLE" / "IMG_0003.MOV");

  auto checkOut = [&] {
    for (const auto& entry : fs::directory_iterator(out_)) {
      std::string name = entry.path().filename();
      EXPECT_NE(name.front(), '.') << "temporary left: " << name;
      if (name == "IMG_0003.MOV") {
        EXPECT_EQ(fs::file_size(entry.path()), bigSize);
      }
    }
  };

  // True once the process has a file open in the output folder: the copy runs.
  auto copying = [&](pid_t pid) {
    std::error_code error;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
      auto target = fs::read_symlink(fd.path(), error);
      if (!error && target.string().rfind(out_.string() + "/", 0) == 0) return true;
    }
    return false;
  };
  // Interrupted, or killed outright, once the copy has started.
  for (int signal : {SIGTERM, SIGINT, SIGKILL}) {
    fs::remove_all(out_);
    fs::create_directories(out_);
    Child child = spawnShell(inNamespace("exec " + tarnwick("download --output " + out_.string())));
    for (int i = 0; i < 500 && !copying(child.pid); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ::kill(child.pid, signal);
    Result interrupted = finish(child);
    std::cerr << "signal " << signal << ": status " << interrupted.status << "\n";
    checkOut();
  }

  // Out of time, probably in the middle of the copy: either way, nothing
  // half-written.
  for (const char* timeout : {"0.08", "0.12", "0.16", "0.25"}) {
    fs::remove_all(out_);
    fs::create_directories(out_);
    Result timedOut = run("download --output " + out_.string() + " --timeout " + timeout);
    std::cerr << "timeout " << timeout << ": status " << timedOut.status << "\n";
    if (timedOut.status == 2) {
      EXPECT_EQ(timedOut.lines.back(), kNotFound);
    } else {
      EXPECT_EQ(timedOut.status, 0);
    }
    checkOut();
  }
}

}  // namespace
