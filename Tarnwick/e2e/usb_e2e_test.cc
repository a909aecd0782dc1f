// End-to-end runs of the Tarnwick binary against an iPhone emulated at the
// USB level (emulated-phone-usb): the real libusb, libgphoto2's USB port
// driver and its PTP driver talk to the served folder through umockdev.
// Tarnwick runs as the emulator's child, under umockdev's preload; no root.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "e2e_process.h"

namespace {

using namespace tarnwick_e2e;
namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

constexpr std::time_t kMay1 = 1714557600;  // 2024-05-01T10:00:00Z

// What `list` prints for the phone every test starts with.
const std::vector<std::string> kFullListing = {
    "DEVICE: iPhone", "MEDIA_FOUND: 4", "FILE: IMG_0004.MOV 2024-05-01T10:02:00Z",
    "FILE: IMG_0001.HEIC 2024-05-01T10:00:00Z", "FILE: IMG_0002.JPG 2024-05-01T10:01:00Z",
    "FILE: IMG_0003.PNG 2023-11-14T22:13:20Z"};

// What one whole import of that phone leaves in the output folder.
const std::set<std::string> kFullImport = {"IMG_0001.AAE", "IMG_0001.HEIC", "IMG_0002.JPG",
                                           "IMG_0003.PNG", "IMG_0004.MOV"};

class TarnwickUsbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(EMULATED_PHONE_USB, X_OK) != 0) GTEST_SKIP() << "no emulated-phone-usb";
    char pattern[] = "/tmp/tarnwick_usb.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    phone_ = root_ / "phone";
    out_ = root_ / "out";
    fs::create_directories(phone_ / "DCIM" / "100APPLE");
    fs::create_directories(out_);
    // An edited photo with its sidecar, and one file of each other kind.
    put("DCIM/100APPLE/IMG_0001.HEIC", "heic one", kMay1);
    put("DCIM/100APPLE/IMG_0001.AAE", "<plist/>", kMay1);
    put("DCIM/100APPLE/IMG_0002.JPG", "jpeg two", kMay1 + 60);
    put("DCIM/100APPLE/IMG_0003.PNG", "png three", 1700000000);  // 2023-11-14T22:13:20Z
    // Current iOS: month folders at the root of the store.
    put("202405__/IMG_0004.MOV", std::string(3 * 1024 * 1024 + 17, 'm'), kMay1 + 120);
  }
  void TearDown() override {
    if (!root_.empty()) fs::remove_all(root_);
  }

  void put(const std::string& relative, const std::string& bytes, std::time_t modified) {
    fs::path path = phone_ / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
    struct timespec times[2] = {{modified, 0}, {modified, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
  }
  // The phone and the computer share `zone` unless the phone's options say otherwise.
  // libgphoto2 claims the first still-image interface it finds, in configuration 1:
  // the phone is attached with no usbmuxd holding it.
  std::string command(const std::string& phone_options, const std::string& arguments,
                      const std::string& zone = "UTC") const {
    return "TZ=" + zone + " exec timeout -s KILL 120 " EMULATED_PHONE_USB " --no-usbmux --root " +
           phone_.string() + " " + phone_options + " -- " TARNWICK_BINARY " " + arguments;
  }
  Result run(const std::string& phone_options, const std::string& arguments,
             const std::string& zone = "UTC") const {
    return finish(spawnShell(command(phone_options, arguments, zone)));
  }
  // For runs whose phone goes away or refuses the session: libgphoto2's PTP
  // driver then keeps its session state, and is unloaded before the leak
  // check, so no suppression can name its frames. Every other run is checked.
  Result runLosingThePhone(const std::string& phone_options, const std::string& arguments) const {
    return finish(spawnShell("ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" " +
                             command(phone_options, arguments)));
  }
  std::string download() const { return "download --output " + out_.string() + " --timeout 30"; }

  std::set<std::string> outNames() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(out_)) names.insert(entry.path().filename());
    return names;
  }
  std::string read(const fs::path& path) const {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Every file in the output folder is whole: a copy of its phone file.
  void expectWholeCopies() const {
    for (const auto& entry : fs::recursive_directory_iterator(phone_)) {
      if (!entry.is_regular_file()) continue;
      fs::path copy = out_ / entry.path().filename();
      if (fs::exists(copy)) {
        EXPECT_EQ(read(copy), read(entry.path())) << copy;
      }
    }
    for (const auto& name : outNames()) EXPECT_NE(name.front(), '.') << "temporary left: " << name;
  }

  fs::path root_, phone_, out_;
};

TEST_F(TarnwickUsbTest, DebugShowsTheIphoneOnUsb) {
  Result result = run("", "debug --timeout 20");
  EXPECT_EQ(result.status, 0);
  ASSERT_EQ(result.lines.size(), 4u);
  EXPECT_THAT(result.lines[0], HasSubstr("ADDED: name=iPhone productKind=iPhone transport=usb type=1 uuid="));
  EXPECT_EQ(result.lines[1], "ENUMERATED_LOCAL_DEVICES");
  EXPECT_EQ(result.lines[2], "BROWSER_DEVICES: 1");
}

// The uuid of an "ADDED: ..." line.
std::string uuidOf(const std::string& line) {
  auto at = line.find("uuid=");
  if (at == std::string::npos) return "";
  return line.substr(at + 5, line.find(' ', at) - at - 5);
}

TEST_F(TarnwickUsbTest, TwoPhonesAreBothShownAndListTakesOneOfThem) {
  fs::path second = root_ / "second";
  fs::create_directories(second / "DCIM" / "100APPLE");
  std::ofstream(second / "DCIM" / "100APPLE" / "IMG_0900.JPG") << "the other phone";
  const std::string both = "--second-phone " + second.string();
  Result debug = run(both, "debug --timeout 20");
  EXPECT_EQ(debug.status, 0);
  ASSERT_GE(debug.lines.size(), 4u);
  EXPECT_THAT(debug.lines[0], HasSubstr("ADDED: name=iPhone productKind=iPhone transport=usb type=1 uuid="));
  EXPECT_THAT(debug.lines[1], HasSubstr("ADDED: name=iPhone productKind=iPhone transport=usb type=1 uuid="));
  EXPECT_NE(uuidOf(debug.lines[0]), uuidOf(debug.lines[1]));  // serials tell them apart
  EXPECT_EQ(debug.lines[3], "BROWSER_DEVICES: 2");
  // The first phone found, every time, and nothing of the other.
  for (int i = 0; i < 2; ++i) {
    Result list = run(both, "list --timeout 20");
    EXPECT_EQ(list.status, 0);
    EXPECT_THAT(list.lines, ElementsAreArray(kFullListing));
  }
}

TEST_F(TarnwickUsbTest, ReplugKeepsTheUuidAndIsFoundWhileWaiting) {
  Result before = run("", "debug --timeout 20");
  ASSERT_FALSE(before.lines.empty());
  // Plugged in again under another device number before the program looks.
  Result after = run("--replug-after 0 --replug-gap 0", "debug --timeout 20");
  ASSERT_FALSE(after.lines.empty());
  EXPECT_FALSE(uuidOf(before.lines[0]).empty());
  EXPECT_EQ(uuidOf(after.lines[0]), uuidOf(before.lines[0]));
  // Out when the program starts, back 1.5 s later.
  Result waited = run("--replug-after 0 --replug-gap 1500", "list --limit 1 --timeout 20");
  EXPECT_EQ(waited.status, 0);
  EXPECT_THAT(waited.lines, ElementsAre("DEVICE: iPhone", "MEDIA_FOUND: 4",
                                        "FILE: IMG_0004.MOV 2024-05-01T10:02:00Z"));
}

TEST_F(TarnwickUsbTest, ListShowsEveryKindInBothLayoutsWithUtcDates) {
  // Month folders report parents that libgphoto2 2.5.34 was seen to drop.
  Result result = run("", "list --timeout 20");
  EXPECT_EQ(result.status, 0);
  EXPECT_THAT(result.lines, ElementsAreArray(kFullListing));
  Result limited = run("", "list --limit 1 --timeout 20");
  EXPECT_THAT(limited.lines, ElementsAre("DEVICE: iPhone", "MEDIA_FOUND: 4",
                                         "FILE: IMG_0004.MOV 2024-05-01T10:02:00Z"));
}

TEST_F(TarnwickUsbTest, DatesAreRightWhenPhoneAndComputerShareAZone) {
  for (const char* zone : {"America/New_York", "Asia/Tokyo"}) {
    Result result = run(std::string("--time-zone ") + zone, "list --limit 1 --timeout 20", zone);
    EXPECT_THAT(result.lines, ElementsAre("DEVICE: iPhone", "MEDIA_FOUND: 4",
                                          "FILE: IMG_0004.MOV 2024-05-01T10:02:00Z"))
        << zone;
  }
  // libgphoto2 takes the modification date when the two differ.
  Result shifted = run("--modification-shift 3600", "list --limit 1 --timeout 20");
  EXPECT_THAT(shifted.lines, ElementsAre("DEVICE: iPhone", "MEDIA_FOUND: 4",
                                         "FILE: IMG_0004.MOV 2024-05-01T11:02:00Z"));
}

TEST_F(TarnwickUsbTest, DownloadTwiceBringsWholeCopiesAndNeverOverwrites) {
  Result first = run("", download());
  EXPECT_EQ(first.status, 0);
  EXPECT_THAT(first.lines, ElementsAre("DEVICE: iPhone", "MEDIA_FOUND: 4", "TO_DOWNLOAD: 4",
                                       "DOWNLOADED: IMG_0004.MOV", "DOWNLOADED: IMG_0001.HEIC",
                                       "DOWNLOADED: IMG_0002.JPG", "DOWNLOADED: IMG_0003.PNG",
                                       "DONE: downloaded=4 failed=0"));
  EXPECT_EQ(outNames(), kFullImport);
  expectWholeCopies();  // the movie came in 1 MiB pieces (GetPartialObject)
  struct stat st {};
  ASSERT_EQ(::stat((out_ / "IMG_0002.JPG").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, kMay1 + 60);

  std::ofstream(out_ / "IMG_0002.JPG") << "edited";
  Result second = run("", download() + " --limit 2");
  EXPECT_EQ(second.status, 0);
  EXPECT_THAT(second.lines, ElementsAre("DEVICE: iPhone", "MEDIA_FOUND: 4", "TO_DOWNLOAD: 2",
                                        "DOWNLOADED: IMG_0004 (1).MOV",
                                        "DOWNLOADED: IMG_0001 (1).HEIC", "DONE: downloaded=2 failed=0"));
  EXPECT_EQ(read(out_ / "IMG_0002.JPG"), "edited");
  EXPECT_EQ(read(out_ / "IMG_0001 (1).AAE"), "<plist/>");  // numbered with its photo
  EXPECT_EQ(outNames().size(), 8u);
}

// Every entry of the output folder as it stands: bytes, modification time
// to the nanosecond.
std::map<std::string, std::pair<std::string, std::int64_t>> snapshot(const fs::path& folder) {
  std::map<std::string, std::pair<std::string, std::int64_t>> entries;
  for (const auto& entry : fs::directory_iterator(folder)) {
    struct stat st {};
    ::lstat(entry.path().c_str(), &st);
    std::ifstream in(entry.path(), std::ios::binary);
    entries[entry.path().filename()] = {std::string(std::istreambuf_iterator<char>(in), {}),
                                        st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
  }
  return entries;
}

TEST_F(TarnwickUsbTest, SkipExistingTransfersOnlyWhatTheFolderDoesNotHold) {
  ASSERT_EQ(run("", download()).status, 0);
  const auto imported = snapshot(out_);
  ASSERT_EQ(imported.size(), 5u);  // with the sidecar IMG_0001.AAE

  // Everything is held: nothing moves, not even the sidecar.
  Result again = run("", download() + " --skip-existing");
  EXPECT_EQ(again.status, 0);
  EXPECT_THAT(again.lines, ElementsAre("DEVICE: iPhone", "MEDIA_FOUND: 4", "SKIPPED: IMG_0004.MOV",
                                       "SKIPPED: IMG_0001.HEIC", "SKIPPED: IMG_0002.JPG",
                                       "SKIPPED: IMG_0003.PNG", "TO_DOWNLOAD: 0",
                                       "DONE: downloaded=0 failed=0"));
  EXPECT_EQ(snapshot(out_), imported);

  // Three new photos, one with its sidecar: only they arrive.
  put("202405__/IMG_0007.MOV", "movie seven", kMay1 + 420);
  put("DCIM/100APPLE/IMG_0005.HEIC", "heic five", kMay1 + 300);
  put("DCIM/100APPLE/IMG_0005.AAE", "<plist>5</plist>", kMay1 + 300);
  put("DCIM/100APPLE/IMG_0006.JPG", "jpeg six", kMay1 + 360);
  Result added = run("", "--skip-existing " + download());
  EXPECT_EQ(added.status, 0);
  EXPECT_THAT(added.lines,
              ElementsAre("DEVICE: iPhone", "MEDIA_FOUND: 7", "SKIPPED: IMG_0004.MOV",
                          "SKIPPED: IMG_0001.HEIC", "SKIPPED: IMG_0002.JPG", "SKIPPED: IMG_0003.PNG",
                          "TO_DOWNLOAD: 3", "DOWNLOADED: IMG_0007.MOV", "DOWNLOADED: IMG_0005.HEIC",
                          "DOWNLOADED: IMG_0006.JPG", "DONE: downloaded=3 failed=0"));
  EXPECT_EQ(outNames().size(), 9u);
  EXPECT_EQ(read(out_ / "IMG_0005.AAE"), "<plist>5</plist>");

  // Another size under the same name and date is another photo: it arrives
  // numbered beside the old copy, which stays as it was.
  put("DCIM/100APPLE/IMG_0002.JPG", "jpeg two, re-saved", kMay1 + 60);
  Result changed = run("", download() + " --skip-existing");
  EXPECT_EQ(changed.status, 0);
  EXPECT_THAT(changed.lines,
              ElementsAre("DEVICE: iPhone", "MEDIA_FOUND: 7", "SKIPPED: IMG_0004.MOV",
                          "SKIPPED: IMG_0007.MOV", "SKIPPED: IMG_0001.HEIC", "SKIPPED: IMG_0003.PNG",
                          "SKIPPED: IMG_0005.HEIC", "SKIPPED: IMG_0006.JPG", "TO_DOWNLOAD: 1",
                          "DOWNLOADED: IMG_0002 (1).JPG", "DONE: downloaded=1 failed=0"));
  EXPECT_EQ(read(out_ / "IMG_0002.JPG"), "jpeg two");
  EXPECT_EQ(read(out_ / "IMG_0002 (1).JPG"), "jpeg two, re-saved");
  EXPECT_EQ(outNames().size(), 10u);

  // The numbered copy counts as held. The limit picks the first files of
  // the phone before any is skipped: four of them, all held.
  const auto before = snapshot(out_);
  Result limited = run("", download() + " --skip-existing --limit 4");
  EXPECT_EQ(limited.status, 0);
  EXPECT_THAT(limited.lines,
              ElementsAre("DEVICE: iPhone", "MEDIA_FOUND: 7", "SKIPPED: IMG_0004.MOV",
                          "SKIPPED: IMG_0007.MOV", "SKIPPED: IMG_0001.HEIC", "SKIPPED: IMG_0002.JPG",
                          "TO_DOWNLOAD: 0", "DONE: downloaded=0 failed=0"));
  EXPECT_EQ(snapshot(out_), before);
}

TEST_F(TarnwickUsbTest, SkipExistingCompletesAnImportThatWasKilled) {
  // The photo after the movie is big enough to be cut in the middle.
  put("DCIM/100APPLE/IMG_0002.JPG", std::string(2 * 1024 * 1024, 'j'), kMay1 + 60);
  // The movie, the HEIC and its sidecar arrive; the JPG stalls half-way and
  // the program is killed then.
  const std::int64_t firstThree = 3 * 1024 * 1024 + 17 + 8 + 8;
  const std::string killed =
      "TZ=UTC exec timeout -s KILL 120 " EMULATED_PHONE_USB " --no-usbmux --root " + phone_.string() +
      " --stall-at-bytes " + std::to_string(firstThree + 1000000) + " -- sh -c '" TARNWICK_BINARY
      " " + download() + " >/dev/null & pid=$!; until [ -e " + (out_ / "IMG_0001.AAE").string() +
      " ]; do sleep 0.1; done; sleep 0.5; kill -KILL $pid; wait $pid 2>/dev/null'";
  EXPECT_EQ(finish(spawnShell(killed)).status, 128 + SIGKILL);
  EXPECT_EQ(outNames(), (std::set<std::string>{"IMG_0001.AAE", "IMG_0001.HEIC", "IMG_0004.MOV"}));

  Result rest = run("", download() + " --skip-existing");
  EXPECT_EQ(rest.status, 0);
  EXPECT_THAT(rest.lines, ElementsAre("DEVICE: iPhone", "MEDIA_FOUND: 4", "SKIPPED: IMG_0004.MOV",
                                      "SKIPPED: IMG_0001.HEIC", "TO_DOWNLOAD: 2",
                                      "DOWNLOADED: IMG_0002.JPG", "DOWNLOADED: IMG_0003.PNG",
                                      "DONE: downloaded=2 failed=0"));
  EXPECT_EQ(outNames(), kFullImport);
  expectWholeCopies();
}

TEST_F(TarnwickUsbTest, EditedLivePhotoKeepsItsNamesAndOneSidecar) {
  fs::remove_all(phone_ / "202405__");
  put("DCIM/100APPLE/IMG_0001.MOV", "live movie", kMay1);
  put("DCIM/100APPLE/IMG_E0001.HEIC", "edited still", kMay1);
  Result result = run("", download());
  EXPECT_EQ(result.status, 0);
  EXPECT_THAT(result.lines, ElementsAre("DEVICE: iPhone", "MEDIA_FOUND: 5", "TO_DOWNLOAD: 5",
                                        "DOWNLOADED: IMG_0001.HEIC", "DOWNLOADED: IMG_0001.MOV",
                                        "DOWNLOADED: IMG_0002.JPG", "DOWNLOADED: IMG_0003.PNG",
                                        "DOWNLOADED: IMG_E0001.HEIC", "DONE: downloaded=5 failed=0"));
  EXPECT_EQ(outNames(), (std::set<std::string>{"IMG_0001.AAE", "IMG_0001.HEIC", "IMG_0001.MOV",
                                               "IMG_0002.JPG", "IMG_0003.PNG", "IMG_E0001.HEIC"}));
  expectWholeCopies();

  // The still is held, its movie is not: the movie arrives alone, and the
  // sidecar, held too, does not come again with it.
  fs::remove(out_ / "IMG_0001.MOV");
  result = run("", download() + " --skip-existing");
  EXPECT_EQ(result.status, 0);
  EXPECT_THAT(result.lines, ElementsAre("DEVICE: iPhone", "MEDIA_FOUND: 5", "SKIPPED: IMG_0001.HEIC",
                                        "SKIPPED: IMG_0002.JPG", "SKIPPED: IMG_0003.PNG",
                                        "SKIPPED: IMG_E0001.HEIC", "TO_DOWNLOAD: 1",
                                        "DOWNLOADED: IMG_0001.MOV", "DONE: downloaded=1 failed=0"));
  EXPECT_EQ(outNames(), (std::set<std::string>{"IMG_0001.AAE", "IMG_0001.HEIC", "IMG_0001.MOV",
                                               "IMG_0002.JPG", "IMG_0003.PNG", "IMG_E0001.HEIC"}));
}

TEST_F(TarnwickUsbTest, TrustGivenWhileWaitingOrNever) {
  Result trusted = run("--trust-after 2", "list --limit 1 --timeout 30");
  EXPECT_EQ(trusted.status, 0);
  EXPECT_THAT(trusted.lines, ElementsAre("DEVICE: iPhone", "MEDIA_FOUND: 4",
                                         "FILE: IMG_0004.MOV 2024-05-01T10:02:00Z"));
  // libgphoto2 gives up waiting for the storage after about 18 s.
  Result never = run("--never-trust", "list --timeout 60");
  EXPECT_EQ(never.status, 5);
  EXPECT_THAT(never.lines, ElementsAre("ERROR: телефон заблокирован. Разблокируйте экран и повторите."));
}

TEST_F(TarnwickUsbTest, UnpluggedBeforeTheCatalogueIsNotFound) {
  for (const char* when : {"--unplug-at-session-open", "--unplug-after-answers 0",
                           "--unplug-after-answers 4"}) {
    Result result = runLosingThePhone(when, download());
    EXPECT_EQ(result.status, 2) << when;
    // A folder whose listing the unplug cut short is named with the cause first.
    ASSERT_FALSE(result.lines.empty()) << when;
    EXPECT_EQ(result.lines.back(), kNotFound) << when;
    for (size_t i = 0; i + 1 < result.lines.size(); ++i)
      EXPECT_THAT(result.lines[i], ::testing::StartsWith("ERROR: не удалось прочитать папку /")) << when;
    EXPECT_TRUE(outNames().empty()) << when;
  }
}

TEST_F(TarnwickUsbTest, UnpluggedDuringTheDownloadsCountsWhatWasNotDownloaded) {
  // The cable comes out in the middle of the movie, the first file.
  Result result = runLosingThePhone("--unplug-after-bytes 2000000", download());
  EXPECT_EQ(result.status, 3);
  ASSERT_EQ(result.lines.size(), 5u);
  EXPECT_THAT(result.lines[3], HasSubstr("ERROR: не удалось скачать IMG_0004.MOV: "));
  EXPECT_EQ(result.lines[4], "ERROR: телефон отключился во время скачивания. Не скачано файлов: 3");
  EXPECT_TRUE(outNames().empty());
}

TEST_F(TarnwickUsbTest, StalledTransferEndsAtTheDeadlineWithNothingHalfWritten) {
  Result result = run("--stall-at-bytes 2000000", "download --output " + out_.string() + " --timeout 3");
  EXPECT_EQ(result.status, 2);
  EXPECT_THAT(result.lines, ElementsAre("DEVICE: iPhone", "MEDIA_FOUND: 4", "TO_DOWNLOAD: 4", kNotFound));
  EXPECT_TRUE(outNames().empty());
}

TEST_F(TarnwickUsbTest, PhoneFaultsFailOnlyTheirFile) {
  // The phone cannot convert a HEIC ("Automatic" transfer setting).
  Result result = run("--conversion-fails IMG_0002.JPG", download());
  EXPECT_EQ(result.status, 3);
  ASSERT_EQ(result.lines.size(), 8u);
  EXPECT_EQ(result.lines[5], "ERROR: не удалось скачать IMG_0002.JPG: Unspecified error (-1): "
                             "PTP Incomplete Transfer");
  EXPECT_EQ(result.lines[7], "DONE: downloaded=3 failed=1");
  EXPECT_EQ(outNames().count("IMG_0002.JPG"), 0u);
  expectWholeCopies();

  // A phone that stays busy refuses the session; one busy answer is retried.
  Result busy = runLosingThePhone("--busy 0x1002:5", "list --timeout 20");
  EXPECT_EQ(busy.status, 4);
  EXPECT_THAT(busy.lines, ElementsAre("ERROR: не удалось открыть сессию с телефоном: "
                                      "I/O in progress (-110): PTP Device Busy"));
  EXPECT_EQ(run("--busy 0x1002:1", "list --limit 1 --timeout 20").status, 0);
}

}  // namespace
