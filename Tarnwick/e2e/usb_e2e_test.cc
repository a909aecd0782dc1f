// End-to-end runs of the Tarnwick binary against an iPhone emulated at the
// USB level (emulated-phone-usb): Tarnwick's own PTP client on the real
// libusb talks to the served folder through umockdev. What a phone does and
// what a generic PTP library gets wrong with one: same-named files, capture
// dates, UTF-16 names, dates that are missing or malformed, announced sizes
// that are not the real ones, busy answers, pulled cables, trust.
#include <signal.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "usb_phone_fixture.h"

namespace {

using namespace tarnwick_e2e;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

// What `list` prints for the phone every test starts with.
const std::vector<std::string> kFullListing = {
    "DEVICE: iPhone", "MEDIA_FOUND: 4", "FILE: IMG_0004.MOV 2024-05-01T10:02:00Z",
    "FILE: IMG_0001.HEIC 2024-05-01T10:00:00Z", "FILE: IMG_0002.JPG 2024-05-01T10:01:00Z",
    "FILE: IMG_0003.PNG 2023-11-14T22:13:20Z"};

// What one whole import of that phone leaves in the output folder.
const std::set<std::string> kFullImport = {"IMG_0001.AAE", "IMG_0001.HEIC", "IMG_0002.JPG",
                                           "IMG_0003.PNG", "IMG_0004.MOV"};

class TarnwickUsbTest : public UsbPhoneTest {
 protected:
  void SetUp() override {
    UsbPhoneTest::SetUp();
    if (IsSkipped()) return;
    // An edited photo with its sidecar, and one file of each other kind.
    put("DCIM/100APPLE/IMG_0001.HEIC", "heic one", kMay1);
    put("DCIM/100APPLE/IMG_0001.AAE", "<plist/>", kMay1);
    put("DCIM/100APPLE/IMG_0002.JPG", "jpeg two", kMay1 + 60);
    put("DCIM/100APPLE/IMG_0003.PNG", "png three", 1700000000);  // 2023-11-14T22:13:20Z
    // Current iOS: month folders at the root of the store.
    put("202405__/IMG_0004.MOV", std::string(3 * 1024 * 1024 + 17, 'm'), kMay1 + 120);
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
};

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

TEST_F(TarnwickUsbTest, DebugShowsTheIphoneOnUsbAndAReplugKeepsItsUuid) {
  Result before = run("", "debug --timeout 20");
  EXPECT_EQ(before.status, 0);
  ASSERT_EQ(before.lines.size(), 4u);
  EXPECT_THAT(before.lines[0], HasSubstr("ADDED: name=iPhone productKind=iPhone transport=usb type=1 uuid="));
  EXPECT_EQ(before.lines[1], "ENUMERATED_LOCAL_DEVICES");
  EXPECT_EQ(before.lines[2], "BROWSER_DEVICES: 1");
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

TEST_F(TarnwickUsbTest, DatesAreRightWhenPhoneAndComputerShareAZone) {
  for (const char* zone : {"America/New_York", "Asia/Tokyo"}) {
    Result result = run(std::string("--time-zone ") + zone, "list --limit 1 --timeout 20", zone);
    EXPECT_THAT(result.lines, ElementsAre("DEVICE: iPhone", "MEDIA_FOUND: 4",
                                          "FILE: IMG_0004.MOV 2024-05-01T10:02:00Z"))
        << zone;
  }
}

// Why 2 and 4: a photo edited later keeps its capture date, in the listing
// and on the downloaded file; a file without a date, or with one that does
// not read, is listed without a date and is never taken for imported.
TEST_F(TarnwickUsbTest, TheCaptureDateElseTheModificationDateElseNone) {
  const std::string dates =
      "--dates IMG_0002.JPG=20211005T143000,20230830T090000 --dates IMG_0003.PNG=, "
      "--dates IMG_0004.MOV=2021-10-05,yesterday --dates IMG_0001.HEIC=garbage,20230830T090000.0";
  Result listed = run(dates, "list --timeout 20");
  EXPECT_THAT(listed.lines, ElementsAre("DEVICE: iPhone", "MEDIA_FOUND: 4", "FILE: IMG_0004.MOV без даты",
                                        "FILE: IMG_0001.HEIC 2023-08-30T09:00:00Z",
                                        "FILE: IMG_0002.JPG 2021-10-05T14:30:00Z", "FILE: IMG_0003.PNG без даты"));
  ASSERT_EQ(run(dates, download()).status, 0);
  struct stat st {};
  ASSERT_EQ(::stat((out_ / "IMG_0002.JPG").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1633444200);  // 2021-10-05T14:30:00Z
  Result again = run(dates, download() + " --skip-existing");
  EXPECT_THAT(again.lines, ElementsAre("DEVICE: iPhone", "MEDIA_FOUND: 4", "SKIPPED: IMG_0001.HEIC",
                                       "SKIPPED: IMG_0002.JPG", "TO_DOWNLOAD: 2", "DOWNLOADED: IMG_0004 (1).MOV",
                                       "DOWNLOADED: IMG_0003 (1).PNG", "DONE: downloaded=2 failed=0"));
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

// Why 2: the phone's dates are wall-clock times, so after the computer
// changed zones every capture time is another instant; the copies still
// count (Kathmandu is 3:45 ahead of Berlin in May).
TEST_F(TarnwickUsbTest, SkipExistingHoldsTheCopiesAfterTheComputerChangedZones) {
  const std::string phone = "--time-zone Europe/Berlin";
  ASSERT_EQ(run(phone, download(), "Europe/Berlin").status, 0);
  const auto imported = snapshot(out_);
  Result again = run(phone, download() + " --skip-existing", "Asia/Kathmandu");
  EXPECT_EQ(again.status, 0);
  EXPECT_THAT(again.lines, ElementsAre("DEVICE: iPhone", "MEDIA_FOUND: 4", "SKIPPED: IMG_0004.MOV",
                                       "SKIPPED: IMG_0001.HEIC", "SKIPPED: IMG_0002.JPG", "SKIPPED: IMG_0003.PNG",
                                       "TO_DOWNLOAD: 0", "DONE: downloaded=0 failed=0"));
  EXPECT_EQ(snapshot(out_), imported);
}

TEST_F(TarnwickUsbTest, SkipExistingCompletesAnImportThatWasKilled) {
  // The photo after the movie takes a while over a USB 2 link: the program
  // is killed in the middle of it, after the movie, the HEIC and its
  // sidecar arrived. The phone stays attached, in the middle of its answer
  // and with its session open, and the next run finds it so.
  put("DCIM/100APPLE/IMG_0002.JPG", std::string(64 * 1024 * 1024, 'j'), kMay1 + 60);
  const std::string killedThenAgain =
      "TZ=UTC exec timeout -s KILL 120 " EMULATED_PHONE_USB " --root " + phone_.string() +
      " --link usb2 -- sh -c '" TARNWICK_BINARY " " + download() + " >/dev/null & pid=$!; until [ -e " +
      (out_ / "IMG_0001.AAE").string() + " ]; do sleep 0.1; done; sleep 0.5; kill -KILL $pid; wait $pid; " +
      TARNWICK_BINARY " " + download() + " --skip-existing'";
  Result rest = finish(spawnShell(killedThenAgain));
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

// Why 3: with another phone's IMG_0001.HEIC in the folder, the still of a
// Live Photo came as "IMG_0001 (1).HEIC" before the import stopped; the
// run that completes it brings the movie under the same number.
TEST_F(TarnwickUsbTest, AResumedLivePhotoTakesTheNumberOfItsStill) {
  fs::remove_all(phone_ / "202405__");
  put("DCIM/100APPLE/IMG_0001.MOV", "live movie", kMay1);
  std::ofstream(out_ / "IMG_0001.HEIC") << "another phone's photo";
  Result first = run("", download() + " --limit 1");
  EXPECT_EQ(first.lines.at(3), "DOWNLOADED: IMG_0001 (1).HEIC");
  Result rest = run("", download() + " --skip-existing");
  EXPECT_EQ(rest.status, 0);
  EXPECT_THAT(rest.lines, ElementsAre("DEVICE: iPhone", "MEDIA_FOUND: 4", "SKIPPED: IMG_0001.HEIC",
                                      "TO_DOWNLOAD: 3", "DOWNLOADED: IMG_0001 (1).MOV",
                                      "DOWNLOADED: IMG_0002.JPG", "DOWNLOADED: IMG_0003.PNG",
                                      "DONE: downloaded=3 failed=0"));
  EXPECT_EQ(outNames(), (std::set<std::string>{"IMG_0001.HEIC", "IMG_0001 (1).HEIC", "IMG_0001 (1).AAE",
                                               "IMG_0001 (1).MOV", "IMG_0002.JPG", "IMG_0003.PNG"}));
  EXPECT_EQ(read(out_ / "IMG_0001 (1).MOV"), "live movie");
}

TEST_F(TarnwickUsbTest, TrustGivenWhileWaitingOrNever) {
  Result trusted = run("--trust-after 2", "list --limit 1 --timeout 30");
  EXPECT_EQ(trusted.status, 0);
  EXPECT_THAT(trusted.lines, ElementsAre("DEVICE: iPhone", "MEDIA_FOUND: 4",
                                         "FILE: IMG_0004.MOV 2024-05-01T10:02:00Z"));
  // Trusted at once, the library enumerated for longer than the wait for
  // trust: still enumerating is not locked.
  Result enumerating = run("--enumerate-after 32", "list --limit 1 --timeout 60");
  EXPECT_EQ(enumerating.status, 0);
  // No trust within 30 s: locked.
  Result never = run("--never-trust", "list --timeout 60");
  EXPECT_EQ(never.status, 5);
  EXPECT_THAT(never.lines, ElementsAre("ERROR: телефон заблокирован. Разблокируйте экран и повторите."));
}

TEST_F(TarnwickUsbTest, UnpluggedBeforeTheCatalogueIsNotFound) {
  for (const char* when : {"--unplug-at-session-open", "--unplug-after-answers 0",
                           "--refuse-apple-ops --unplug-after-answers 4"}) {  // in the walk
    Result result = run(when, download());
    EXPECT_EQ(result.status, 2) << when;
    EXPECT_THAT(result.lines, ElementsAre(kNotFound)) << when;
    EXPECT_TRUE(outNames().empty()) << when;
  }
}

// Why 7: the disconnect line counts every file not downloaded, the one that
// failed before included, also when the cable comes out during the last.
TEST_F(TarnwickUsbTest, UnpluggedDuringTheDownloadsCountsWhatWasNotDownloaded) {
  // In the middle of the movie, the first file.
  Result result = run("--unplug-after-bytes 2000000", download());
  EXPECT_EQ(result.status, 3);
  EXPECT_THAT(result.lines, ElementsAre("DEVICE: iPhone", "MEDIA_FOUND: 4", "TO_DOWNLOAD: 4",
                                        "ERROR: телефон отключился во время скачивания. Не скачано файлов: 4"));
  EXPECT_TRUE(outNames().empty());
  // During the last file, after one that failed.
  const std::int64_t beforeTheLast = 3 * 1024 * 1024 + 17 + 8 + 8;  // the movie, the HEIC, its sidecar
  result = run("--conversion-fails IMG_0002.JPG --unplug-after-bytes " + std::to_string(beforeTheLast + 2),
               download());
  EXPECT_EQ(result.status, 3);
  EXPECT_THAT(std::vector<std::string>(result.lines.begin() + 3, result.lines.end()),
              ElementsAre("DOWNLOADED: IMG_0004.MOV", "DOWNLOADED: IMG_0001.HEIC",
                          "ERROR: не удалось скачать IMG_0002.JPG: телефон ответил PTP 0x2007 (передача не завершена)",
                          "ERROR: телефон отключился во время скачивания. Не скачано файлов: 2"));
}

TEST_F(TarnwickUsbTest, StalledTransferEndsAtTheDeadlineWithNothingHalfWritten) {
  Result result = run("--stall-at-bytes 2000000", "download --output " + out_.string() + " --timeout 3");
  EXPECT_EQ(result.status, 2);
  EXPECT_THAT(result.lines, ElementsAre("DEVICE: iPhone", "MEDIA_FOUND: 4", "TO_DOWNLOAD: 4", kNotFound));
  EXPECT_TRUE(outNames().empty());
}

TEST_F(TarnwickUsbTest, PhoneFaultsFailOnlyTheirFile) {
  // The phone cannot convert a HEIC ("Automatic" transfer setting); nor
  // the sidecar of another: the photo stays, the sidecar is reported.
  Result result = run("--conversion-fails IMG_0002.JPG --conversion-fails IMG_0001.AAE", download());
  EXPECT_EQ(result.status, 3);
  EXPECT_THAT(std::vector<std::string>(result.lines.begin() + 3, result.lines.end()),
              ElementsAre("DOWNLOADED: IMG_0004.MOV", "DOWNLOADED: IMG_0001.HEIC",
                          "ERROR: не удалось скачать IMG_0001.AAE: телефон ответил PTP 0x2007 (передача не завершена)",
                          "ERROR: не удалось скачать IMG_0002.JPG: телефон ответил PTP 0x2007 (передача не завершена)",
                          "DOWNLOADED: IMG_0003.PNG", "DONE: downloaded=3 failed=1"));
  EXPECT_EQ(outNames(), (std::set<std::string>{"IMG_0001.HEIC", "IMG_0003.PNG", "IMG_0004.MOV"}));
  expectWholeCopies();
}

// Why 7: DeviceBusy is answered again later, at any request; a phone that
// stays busy refuses the session, with the code in the cause.
TEST_F(TarnwickUsbTest, BusyAnswersAreRetried) {
  Result busy = run("--busy 0x1008:3 --busy 0x1009:2 --busy 0x1002:2", download());
  EXPECT_EQ(busy.status, 0);
  EXPECT_EQ(busy.lines.back(), "DONE: downloaded=4 failed=0");
  Result refused = run("--busy 0x1002:50", "list --timeout 20");
  EXPECT_EQ(refused.status, 4);
  EXPECT_THAT(refused.lines, ElementsAre("ERROR: не удалось открыть сессию с телефоном: "
                                         "телефон ответил PTP 0x2019 (устройство занято)"));
}

// Why 1: two objects under one name in one folder are two files: an edited
// photo's render and sidecars, as a real phone files them.
TEST_F(TarnwickUsbTest, TwoFilesUnderOneNameAreBothImported) {
  put("DCIM/100APPLE/IMG_0001E.AAE", "<plist>edit</plist>", kMay1);
  put("DCIM/100APPLE/IMG_0002E.JPG", "jpeg two, edited", kMay1 + 60);
  const std::string shown = "--show-name IMG_0001E.AAE=IMG_0001.AAE --show-name IMG_0002E.JPG=IMG_0002.JPG";
  Result listed = run(shown, "list --timeout 20");
  EXPECT_THAT(listed.lines, ElementsAre("DEVICE: iPhone", "MEDIA_FOUND: 5", "FILE: IMG_0004.MOV 2024-05-01T10:02:00Z",
                                        "FILE: IMG_0001.HEIC 2024-05-01T10:00:00Z",
                                        "FILE: IMG_0002.JPG 2024-05-01T10:01:00Z",
                                        "FILE: IMG_0002.JPG 2024-05-01T10:01:00Z",
                                        "FILE: IMG_0003.PNG 2023-11-14T22:13:20Z"));
  Result result = run(shown, download());
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.lines.back(), "DONE: downloaded=5 failed=0");
  std::set<std::string> contents;
  for (const char* name : {"IMG_0002.JPG", "IMG_0002 (1).JPG", "IMG_0001.AAE", "IMG_0001 (1).AAE"})
    contents.insert(read(out_ / name));
  EXPECT_EQ(contents, (std::set<std::string>{"jpeg two", "jpeg two, edited", "<plist/>", "<plist>edit</plist>"}));
}

// Why 3: UTF-16 names arrive as UTF-8, whatever the locale.
TEST_F(TarnwickUsbTest, NonAsciiNamesArriveWholeInAnyLocale) {
  fs::remove_all(phone_);
  put("DCIM/100APPLE/Фото.HEIC", "photo", kMay1);
  put("DCIM/100APPLE/Тест.HEIC", "test", kMay1);
  put("DCIM/100APPLE/café.JPG", "cafe", kMay1);
  for (const char* locale : {"C", "C.UTF-8"}) {
    Result result = finish(spawnShell(std::string("LC_ALL=") + locale + " " + command("", "list --timeout 20")));
    EXPECT_THAT(result.lines, ElementsAre("DEVICE: iPhone", "MEDIA_FOUND: 3", "FILE: café.JPG 2024-05-01T10:00:00Z",
                                          "FILE: Тест.HEIC 2024-05-01T10:00:00Z",
                                          "FILE: Фото.HEIC 2024-05-01T10:00:00Z"))
        << locale;
  }
  ASSERT_EQ(finish(spawnShell("LC_ALL=C " + command("", download()))).status, 0);
  EXPECT_EQ(outNames(), (std::set<std::string>{"café.JPG", "Тест.HEIC", "Фото.HEIC"}));
  EXPECT_EQ(read(out_ / "Фото.HEIC"), "photo");
  // Names a folder cannot hold: a "/" and a lone surrogate.
  fs::remove_all(out_);
  fs::create_directories(out_);
  Result odd = run("--show-name 'café.JPG=a\\u002Fb.JPG' --show-name 'Тест.HEIC=\\uD800x.HEIC'", download());
  EXPECT_EQ(odd.status, 0);
  EXPECT_EQ(outNames(), (std::set<std::string>{"a_b.JPG", "\xEF\xBF\xBDx.HEIC", "Фото.HEIC"}));
}

// Why 6: the file is what the data container carries, whatever the
// catalogue announced.
TEST_F(TarnwickUsbTest, AnnouncedSizesAboveAndBelowTheRealOne) {
  Result result = run("--announce IMG_0002.JPG:3 --announce IMG_0003.PNG:301000", download());
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.lines.back(), "DONE: downloaded=4 failed=0");
  EXPECT_EQ(outNames(), kFullImport);
  expectWholeCopies();
}

// The converting phone ("Automatic"), told that this computer takes HEIF
// and HEVC, sends the originals. Told nothing (--let-phone-convert, or a
// phone that refuses to be told), it sends a HEIC as a JPEG and a movie
// converted, each of its estimated size (the original's bytes, padded).
TEST_F(TarnwickUsbTest, ConvertingPhoneSendsOriginalsUnlessLetConvert) {
  ASSERT_EQ(run("--automatic --movie-delay 1", download()).status, 0);
  EXPECT_EQ(outNames(), kFullImport);
  expectWholeCopies();
  fs::remove_all(out_);
  fs::create_directories(out_);
  for (const char* told : {"", "--refuse-apple-ops"})
    EXPECT_EQ(run(std::string("--automatic ") + told, "list --let-phone-convert --timeout 20").lines.at(3),
              "FILE: IMG_0001.JPG 2024-05-01T10:00:00Z");
  ASSERT_EQ(run("--automatic --movie-delay 1", download() + " --let-phone-convert").status, 0);
  const std::string jpeg = read(out_ / "IMG_0001.JPG"), movie = read(out_ / "IMG_0004.MOV");
  EXPECT_EQ(jpeg.substr(0, 8), "heic one");
  EXPECT_EQ(jpeg.size(), 8 + 4 + 4096u);
  EXPECT_EQ(movie.size(), 2 * (3 * 1024 * 1024 + 17) + 4096u);
}

// The whole catalogue in one request (the phone is pulled at the second),
// or one object at a time from a phone without its own operations: the
// same files in the same order, in both layouts. Current iOS: DCIM hidden,
// month folders in it, files in descending handle order; the phone's order
// is kept.
TEST_F(TarnwickUsbTest, TheBulkCatalogueAndTheWalkListTheSameInThePhonesOrder) {
  Result bulk = run("--unplug-after-answers 1", "list --timeout 20");
  EXPECT_THAT(bulk.lines, ElementsAreArray(kFullListing));
  EXPECT_EQ(run("--refuse-apple-ops", "list --timeout 20").lines, bulk.lines);
  fs::remove_all(phone_);
  put("DCIM/202110__/IMG_0001.HEIC", "one", 1633444200);  // 2021-10-05T14:30:00Z
  put("DCIM/202110__/IMG_0002.HEIC", "two", 1633444260);
  put("DCIM/202111__/IMG_0003.JPG", "three", 1636122600);  // 2021-11-05T14:30:00Z
  bulk = run("--unplug-after-answers 1", "list --timeout 20");
  EXPECT_THAT(bulk.lines, ElementsAre("DEVICE: iPhone", "MEDIA_FOUND: 3", "FILE: IMG_0002.HEIC 2021-10-05T14:31:00Z",
                                      "FILE: IMG_0001.HEIC 2021-10-05T14:30:00Z",
                                      "FILE: IMG_0003.JPG 2021-11-05T14:30:00Z"));
  EXPECT_EQ(run("--refuse-apple-ops", "list --timeout 20").lines, bulk.lines);
}

// A movie of 4 GiB or more: listed from the bulk catalogue, and one object
// at a time once the phone lists such objects (0x9008), with its 64-bit
// size (0x9006), by which a copy is known as imported; not listed by a phone
// without its own operations. Its bytes come in ranges at 64-bit offsets.
TEST_F(TarnwickUsbTest, AMovieOf4GibOrMore) {
  const std::string large = "--large DCIM/100APPLE/IMG_0100.MOV:5000000000 ";
  std::ofstream(out_ / "IMG_0100.MOV").close();  // an earlier copy, sparse
  fs::resize_file(out_ / "IMG_0100.MOV", 5000000000);
  fs::last_write_time(out_ / "IMG_0100.MOV", fs::last_write_time(phone_));  // the movie's date
  // A transfer of the movie would pull the cable.
  for (const char* how : {"", "--let-phone-convert"}) {
    const std::string busy = *how ? "--busy 0x9005:7 " : "";
    Result result = run(large + busy + "--unplug-after-bytes 20000000", download() + " --skip-existing " + how);
    EXPECT_EQ(result.status, 0) << how;
    EXPECT_THAT(result.lines, Contains("SKIPPED: IMG_0100.MOV")) << how;
    EXPECT_EQ(result.lines.at(1), "MEDIA_FOUND: 5") << how;
  }
  EXPECT_EQ(run(large + "--refuse-apple-ops", "list --timeout 20").lines.at(1), "MEDIA_FOUND: 4");
  // Across the 4 GiB mark in ranges of 1000 bytes, then a range the phone
  // cuts at the movie's end.
  for (const auto& [range, expected] : std::vector<std::pair<std::string, std::string>>{
           {"4294966000 3000 1000", "0x2001: 3000 of 3000 bytes, 0 out of place"},
           {"4999999000 2000 4000", "0x2001: 1000 of 2000 bytes, 0 out of place"}}) {
    Result read = finish(spawnShell(underPhone(large, OBJECT_RANGE_PROBE " IMG_0100.MOV " + range)));
    EXPECT_THAT(read.lines, ElementsAre(expected)) << range;
  }
}

TEST_F(TarnwickUsbTest, NamesWithControlBytesCannotForgeReportLines) {
  put("DCIM/100APPLE/A\nDONE: downloaded=9 failed=0\r\nB.JPG", "hostile", kMay1);
  Result listed = run("", "list --timeout 20 --limit 2");
  EXPECT_THAT(listed.lines, ElementsAre("DEVICE: iPhone", "MEDIA_FOUND: 5", "FILE: IMG_0004.MOV 2024-05-01T10:02:00Z",
                                        "FILE: A\\x0ADONE: downloaded=9 failed=0\\x0D\\x0AB.JPG 2024-05-01T10:00:00Z"));
  Result downloaded = run("", download() + " --limit 2");
  EXPECT_EQ(downloaded.status, 0);
  EXPECT_EQ(downloaded.lines.at(4), "DOWNLOADED: A\\x0ADONE: downloaded=9 failed=0\\x0D\\x0AB.JPG");
  EXPECT_EQ(read(out_ / "A\nDONE: downloaded=9 failed=0\r\nB.JPG"), "hostile");
}

}  // namespace
