#include "phone_importer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_image_capture.h"
#include "main_run_loop.h"

namespace tarnwick {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace std::chrono;

constexpr const char* kNotFound = PhoneImporter::kNotFoundLine.data();
const std::string kLocked = "ERROR: телефон заблокирован. Разблокируйте экран и повторите.";

Arguments args(std::string command, double timeout = 5,
               std::optional<std::int64_t> limit = std::nullopt,
               std::optional<std::string> output = std::string("/out")) {
  if (command != "download") output.reset();
  return Arguments{std::move(command), output, timeout, limit};
}

ic::Date at(int hour) { return sys_days{year{2024} / 5 / 1} + hours{hour}; }

std::shared_ptr<ic::FakeFile> file(std::optional<std::string> name,
                                   std::optional<ic::Date> date = at(10)) {
  return std::make_shared<ic::FakeFile>(std::move(name), date);
}

struct Harness {
  explicit Harness(Arguments arguments, ProgressDisplay* progress = nullptr) {
    auto fakeBrowser = std::make_unique<ic::FakeBrowser>(loop);
    browser = fakeBrowser.get();
    importer = std::make_unique<PhoneImporter>(
        std::move(arguments), std::move(fakeBrowser), mainLoop,
        [this](std::string_view line) { lines.emplace_back(line); }, progress);
  }

  std::shared_ptr<ic::FakeCamera> addCamera(std::optional<std::string> name = "Anna's iPhone") {
    auto camera = std::make_shared<ic::FakeCamera>(
        loop, ic::DeviceTexts{std::move(name), "iPhone", "usb", "UUID-1"});
    browser->present.push_back(camera);
    return camera;
  }

  // Media files named IMG_000<i>.JPG for i in 1..n.
  static std::vector<ic::CameraItemPtr> photos(int n) {
    std::vector<ic::CameraItemPtr> items;
    for (int i = 1; i <= n; ++i) items.push_back(file("IMG_000" + std::to_string(i) + ".JPG"));
    return items;
  }

  int run() { return importer->run(); }

  runloop::RunLoop loop;
  ic::MainRunLoop mainLoop{loop};
  std::vector<std::string> lines;
  ic::FakeBrowser* browser = nullptr;
  std::unique_ptr<PhoneImporter> importer;
};

// --- devices and the debug command ---

TEST(PhoneImporterDebug, ListsEveryDeviceAndNeverOpensASession) {
  Harness h(args("debug"));
  auto scanner = std::make_shared<ic::FakeScanner>(ic::DeviceTexts{});
  h.browser->present.push_back(scanner);
  auto camera = h.addCamera();
  EXPECT_EQ(h.run(), 0);
  const std::string scannerText = "name=nil productKind=nil transport=nil type=2 uuid=nil";
  const std::string cameraText =
      "name=Anna's iPhone productKind=iPhone transport=usb type=1 uuid=UUID-1";
  EXPECT_THAT(h.lines, ElementsAre("ADDED: " + scannerText + " moreComing=true",
                                   "ADDED: " + cameraText + " moreComing=false",
                                   "ENUMERATED_LOCAL_DEVICES", "BROWSER_DEVICES: 2",
                                   "DEVICE_DEBUG: " + scannerText, "DEVICE_DEBUG: " + cameraText));
  EXPECT_EQ(camera->openRequests, 0);
  EXPECT_EQ(camera->delegate, nullptr);
  EXPECT_EQ(h.browser->mask, 0x103u);
}

TEST(PhoneImporterDebug, NothingAttached) {
  Harness h(args("debug"));
  EXPECT_EQ(h.run(), 0);
  EXPECT_THAT(h.lines, ElementsAre("ENUMERATED_LOCAL_DEVICES", "BROWSER_DEVICES: 0"));
}

TEST(PhoneImporterDebug, ListingComesAtTheDeadlineWhenEnumerationNeverEnds) {
  Harness h(args("debug", 0.3));
  h.browser->enumerate = false;
  h.addCamera(std::nullopt);
  EXPECT_EQ(h.run(), 0);
  const std::string text = "name=nil productKind=iPhone transport=usb type=1 uuid=UUID-1";
  EXPECT_THAT(h.lines, ElementsAre("ADDED: " + text + " moreComing=false", "BROWSER_DEVICES: 1",
                                   "DEVICE_DEBUG: " + text));
}

TEST(PhoneImporterDebug, ZeroOrNegativeOrNanBudgetHandlesNoNotification) {
  for (double timeout : {0.0, -1.0, std::nan("")}) {
    Harness h(args("debug", timeout));
    h.addCamera();
    EXPECT_EQ(h.run(), 0);
    EXPECT_THAT(h.lines, ElementsAre("BROWSER_DEVICES: 0")) << timeout;
    EXPECT_TRUE(h.browser->started);
  }
}

TEST(PhoneImporterDevices, NothingAttachedOrNoBudgetIsNotFound) {
  for (auto a : {args("list", 0.2), args("download", 0.2), args("list", 0), args("download", -3)}) {
    Harness h(a);
    EXPECT_EQ(h.run(), 2);
    EXPECT_THAT(h.lines, ElementsAre(kNotFound));
  }
  Harness h(args("list", 0));
  auto camera = h.addCamera();
  EXPECT_EQ(h.run(), 2);
  EXPECT_EQ(camera->openRequests, 0);
}

TEST(PhoneImporterDevices, ScannerIsPassedOverAndTheFirstCameraWins) {
  Harness h(args("list"));
  h.browser->present.push_back(std::make_shared<ic::FakeScanner>(ic::DeviceTexts{"Scan", {}, {}, {}}));
  auto first = h.addCamera("first");
  auto second = h.addCamera("second");
  first->catalogue = Harness::photos(1);
  EXPECT_EQ(h.run(), 0);
  EXPECT_EQ(first->openRequests, 1);
  EXPECT_EQ(first->delegate, h.importer.get());
  EXPECT_EQ(first->mediaPresentation, 2);
  EXPECT_EQ(second->openRequests, 0);
  EXPECT_EQ(second->delegate, nullptr);
  EXPECT_EQ(h.lines.front(), "DEVICE: first");
}

TEST(PhoneImporterDevices, VeryLongBudgetDoesNotOverflowTheClock) {
  for (double timeout : {1e300, HUGE_VAL}) {
    Harness h(args("list", timeout));
    h.addCamera()->catalogue = Harness::photos(1);
    EXPECT_EQ(h.run(), 0);
  }
}

// --- session and catalogue ---

TEST(PhoneImporterCatalogue, KeepsOnlyNamedMediaFilesInOrderAndAppliesTheLimit) {
  Harness h(args("list", 5, 2));
  auto camera = h.addCamera(std::nullopt);
  camera->catalogue = std::vector<ic::CameraItemPtr>{
      std::make_shared<ic::FakeFolder>("DCIM"), file("IMG_0001.AAE"), file("README"),
      file(std::nullopt), file("IMG_0002.HEIC"), file("IMG_0003.mov", std::nullopt),
      file("IMG_0004.jpg")};
  EXPECT_EQ(h.run(), 0);
  EXPECT_THAT(h.lines, ElementsAre("DEVICE: iPhone", "MEDIA_FOUND: 3",
                                   "FILE: IMG_0002.HEIC 2024-05-01T10:00:00Z",
                                   "FILE: IMG_0003.mov без даты"));
  EXPECT_EQ(camera->closeRequests, 0);  // list leaves the session open
}

TEST(PhoneImporterCatalogue, LimitThatDoesNotBoundSelectsEverything) {
  for (std::optional<std::int64_t> limit :
       {std::optional<std::int64_t>{}, std::optional<std::int64_t>{0},
        std::optional<std::int64_t>{-5}, std::optional<std::int64_t>{9},
        std::optional<std::int64_t>{INT64_MAX}}) {
    Harness h(args("list", 5, limit));
    h.addCamera()->catalogue = Harness::photos(3);
    EXPECT_EQ(h.run(), 0);
    EXPECT_EQ(h.lines.size(), 5u);
  }
}

TEST(PhoneImporterCatalogue, AbsentOrEmptyCatalogue) {
  for (bool absent : {true, false}) {
    Harness list(args("list"));
    auto camera = list.addCamera();
    if (!absent) camera->catalogue.emplace();
    EXPECT_EQ(list.run(), 0);
    EXPECT_THAT(list.lines, ElementsAre("DEVICE: Anna's iPhone", "MEDIA_FOUND: 0"));

    Harness download(args("download"));
    auto phone = download.addCamera();
    if (!absent) phone->catalogue.emplace();
    EXPECT_EQ(download.run(), 0);
    EXPECT_THAT(download.lines, ElementsAre("DEVICE: Anna's iPhone", "MEDIA_FOUND: 0",
                                            "TO_DOWNLOAD: 0", "DONE: downloaded=0 failed=0"));
    EXPECT_EQ(phone->closeRequests, 1);
  }
}

TEST(PhoneImporterCatalogue, RefusedSessionIsStatusFour) {
  Harness h(args("download"));
  auto camera = h.addCamera();
  camera->openError = "Доступ запрещён";
  camera->catalogue = Harness::photos(2);
  EXPECT_EQ(h.run(), 4);
  EXPECT_THAT(h.lines,
              ElementsAre("ERROR: не удалось открыть сессию с телефоном: Доступ запрещён"));
  EXPECT_THAT(camera->downloads, IsEmpty());
}

TEST(PhoneImporterCatalogue, LockedPhoneIsStatusFiveAndUnlockChangesNothing) {
  Harness h(args("list"));
  auto camera = h.addCamera();
  camera->lockedOnOpen = true;
  camera->catalogue = Harness::photos(2);
  camera->postUnlock();  // queued behind the lock, never handled
  EXPECT_EQ(h.run(), 5);
  EXPECT_THAT(h.lines, ElementsAre(kLocked));
}

TEST(PhoneImporterCatalogue, BothReadinessNotificationsHandleTheCatalogueOnce) {
  Harness list(args("list"));
  auto camera = list.addCamera();
  camera->sendReady = true;
  camera->catalogue = Harness::photos(2);
  EXPECT_EQ(list.run(), 0);
  EXPECT_EQ(list.lines.size(), 4u);

  Harness download(args("download"));
  auto phone = download.addCamera();
  phone->sendReady = true;
  phone->catalogue = Harness::photos(2);
  // The second readiness arrives while the first file downloads.
  EXPECT_EQ(download.run(), 0);
  EXPECT_EQ(phone->downloads.size(), 2u);
  EXPECT_THAT(download.lines,
              ElementsAre("DEVICE: Anna's iPhone", "MEDIA_FOUND: 2", "TO_DOWNLOAD: 2",
                          "DOWNLOADED: IMG_0001.JPG", "DOWNLOADED: IMG_0002.JPG",
                          "DONE: downloaded=2 failed=0"));
}

TEST(PhoneImporterCatalogue, PhoneLostBeforeTheCatalogueIsNotASuccess) {
  for (std::string command : {"list", "download"}) {
    // Removed while the session opens.
    Harness removed(args(command));
    auto camera = removed.addCamera();
    camera->sendReadyWithCatalog = false;
    camera->afterOpen = [&] { removed.browser->postRemove(camera); };
    EXPECT_EQ(removed.run(), 2) << command;
    EXPECT_THAT(removed.lines, ElementsAre(kNotFound));

    // Its session closed, with or without an error.
    for (bool withError : {true, false}) {
      Harness closed(args(command));
      auto phone = closed.addCamera();
      phone->sendReadyWithCatalog = false;
      phone->afterOpen = [&] {
        phone->postClosed(withError ? std::optional<std::string>("folder\n/X: cause") : std::nullopt);
      };
      EXPECT_EQ(closed.run(), 2) << command;
      // The cause, when there is one, comes first (escaped).
      if (withError)
        EXPECT_THAT(closed.lines, ElementsAre("ERROR: folder\\x0A/X: cause", kNotFound));
      else
        EXPECT_THAT(closed.lines, ElementsAre(kNotFound));
    }
  }
}

TEST(PhoneImporterCatalogue, RemovalAfterTheListingOrOfAnotherDeviceChangesNothing) {
  Harness h(args("list"));
  auto other = std::make_shared<ic::FakeCamera>(h.loop, ic::DeviceTexts{"other", {}, {}, {}});
  auto camera = h.addCamera();
  camera->catalogue = Harness::photos(1);
  camera->sendReadyWithCatalog = false;
  camera->afterOpen = [&] {
    h.browser->postRemove(other);  // never chosen: ignored
    camera->postReadyWithCatalog();
    h.browser->postRemove(camera);  // after the listing: the run has finished
  };
  EXPECT_EQ(h.run(), 0);
  EXPECT_THAT(h.lines, ElementsAre("DEVICE: Anna's iPhone", "MEDIA_FOUND: 1",
                                   "FILE: IMG_0001.JPG 2024-05-01T10:00:00Z"));
}

// --- downloads ---

TEST(PhoneImporterDownload, EveryFileInOrderWithTheThreeOptions) {
  Harness h(args("download", 5, std::nullopt, "/media/in"));
  auto camera = h.addCamera();
  camera->catalogue = Harness::photos(3);
  EXPECT_EQ(h.run(), 0);
  EXPECT_THAT(h.lines, ElementsAre("DEVICE: Anna's iPhone", "MEDIA_FOUND: 3", "TO_DOWNLOAD: 3",
                                   "DOWNLOADED: IMG_0001.JPG", "DOWNLOADED: IMG_0002.JPG",
                                   "DOWNLOADED: IMG_0003.JPG", "DONE: downloaded=3 failed=0"));
  ASSERT_EQ(camera->downloads.size(), 3u);
  for (const auto& request : camera->downloads) {
    EXPECT_EQ(request.options.downloadsDirectory, "/media/in");
    EXPECT_FALSE(request.options.overwrite);
    EXPECT_TRUE(request.options.downloadSidecarFiles);
  }
  EXPECT_EQ(camera->closeRequests, 1);
}

TEST(PhoneImporterDownload, AFailureIsCountedAndTheQueueGoesOn) {
  Harness h(args("download"));
  auto camera = h.addCamera();
  camera->catalogue = Harness::photos(3);
  camera->failingFiles["IMG_0002.JPG"] = "X";
  EXPECT_EQ(h.run(), 3);
  EXPECT_THAT(h.lines, ElementsAre("DEVICE: Anna's iPhone", "MEDIA_FOUND: 3", "TO_DOWNLOAD: 3",
                                   "DOWNLOADED: IMG_0001.JPG",
                                   "ERROR: не удалось скачать IMG_0002.JPG: X",
                                   "DOWNLOADED: IMG_0003.JPG", "DONE: downloaded=2 failed=1"));
}

TEST(PhoneImporterDownload, ReportedNameComesFromTheSavedNameOnlyWhenItIsText) {
  Harness h(args("download"));
  auto camera = h.addCamera();
  camera->catalogue = Harness::photos(4);
  int n = 0;
  camera->resultOptions = [&](const ic::CameraFile&) {
    ic::DownloadResultOptions options;
    switch (n++) {
      case 0: options[ic::kSavedFilename] = std::string("IMG_0001 (1).JPG"); break;
      case 1: break;  // no entry
      case 2: options[ic::kSavedFilename] = std::int64_t{7}; break;
      default: options[ic::kSavedFilename] = true; break;
    }
    return options;
  };
  EXPECT_EQ(h.run(), 0);
  EXPECT_THAT(std::vector<std::string>(h.lines.begin() + 3, h.lines.end() - 1),
              ElementsAre("DOWNLOADED: IMG_0001 (1).JPG", "DOWNLOADED: IMG_0002.JPG",
                          "DOWNLOADED: IMG_0003.JPG", "DOWNLOADED: IMG_0004.JPG"));
}

TEST(PhoneImporterDownload, NamelessFileIsCalledFile) {
  Harness h(args("download"));
  auto camera = h.addCamera();
  camera->catalogue = Harness::photos(2);
  auto nameless = file(std::nullopt);
  camera->onDownload = [&](std::size_t n, const ic::CameraFilePtr&, ic::DownloadDelegate* d) {
    camera->postComplete(nameless, d, n == 0 ? std::nullopt : std::optional<std::string>("Y"));
  };
  EXPECT_EQ(h.run(), 3);
  EXPECT_THAT(std::vector<std::string>(h.lines.begin() + 3, h.lines.end()),
              ElementsAre("DOWNLOADED: файл", "ERROR: не удалось скачать файл: Y",
                          "DONE: downloaded=1 failed=1"));
}

TEST(PhoneImporterDownload, LockWhileTheThirdFileDownloads) {
  Harness h(args("download"));
  auto camera = h.addCamera();
  camera->catalogue = Harness::photos(5);
  camera->onDownload = [&](std::size_t n, const ic::CameraFilePtr& f, ic::DownloadDelegate* d) {
    if (n == 2) {
      camera->postLock();
      camera->postNormalAnswer(f, d);  // arrives after the run has finished
    } else {
      camera->postNormalAnswer(f, d);
    }
  };
  EXPECT_EQ(h.run(), 5);
  EXPECT_THAT(std::vector<std::string>(h.lines.begin() + 3, h.lines.end()),
              ElementsAre("DOWNLOADED: IMG_0001.JPG", "DOWNLOADED: IMG_0002.JPG", kLocked));
}

TEST(PhoneImporterDownload, UnpluggedMidwayCountsWhatWasNotDownloaded) {
  Harness h(args("download"));
  auto camera = h.addCamera();
  camera->catalogue = Harness::photos(5);
  camera->onDownload = [&](std::size_t n, const ic::CameraFilePtr& f, ic::DownloadDelegate* d) {
    if (n == 2) {
      h.browser->postRemove(camera);
      camera->postComplete(f, d, "телефон отключился");  // after the removal: counted there
    } else {
      camera->postNormalAnswer(f, d);
    }
  };
  EXPECT_EQ(h.run(), 3);
  EXPECT_THAT(std::vector<std::string>(h.lines.begin() + 3, h.lines.end()),
              ElementsAre("DOWNLOADED: IMG_0001.JPG", "DOWNLOADED: IMG_0002.JPG",
                          "ERROR: телефон отключился во время скачивания. Не скачано файлов: 3"));
}

// The file that had failed before is among those not downloaded.
TEST(PhoneImporterDownload, SessionClosedMidwayCountsEveryFileNotDownloaded) {
  Harness h(args("download"));
  auto camera = h.addCamera();
  camera->catalogue = Harness::photos(3);
  camera->failingFiles["IMG_0001.JPG"] = "E";
  camera->onDownload = [&](std::size_t n, const ic::CameraFilePtr& f, ic::DownloadDelegate* d) {
    if (n == 1)
      camera->postClosed(std::string("closed"));
    else
      camera->postNormalAnswer(f, d);
  };
  EXPECT_EQ(h.run(), 3);
  EXPECT_EQ(h.lines.back(), "ERROR: телефон отключился во время скачивания. Не скачано файлов: 3");
}

TEST(PhoneImporterDownload, RemovalAfterTheSummaryChangesNothing) {
  Harness h(args("download"));
  auto camera = h.addCamera();
  camera->catalogue = Harness::photos(1);
  camera->answerClose = false;
  camera->onDownload = [&](std::size_t, const ic::CameraFilePtr& f, ic::DownloadDelegate* d) {
    camera->postNormalAnswer(f, d);
    h.browser->postRemove(camera);  // handled after the summary
  };
  EXPECT_EQ(h.run(), 0);
  EXPECT_EQ(h.lines.back(), "DONE: downloaded=1 failed=0");
}

TEST(PhoneImporterDownload, DeadlineWhileDownloadingIsNotFound) {
  Harness h(args("download", 0.3));
  auto camera = h.addCamera();
  camera->catalogue = Harness::photos(3);
  camera->onDownload = [&](std::size_t n, const ic::CameraFilePtr& f, ic::DownloadDelegate* d) {
    if (n == 0) camera->postNormalAnswer(f, d);  // the second never completes
  };
  EXPECT_EQ(h.run(), 2);
  EXPECT_THAT(std::vector<std::string>(h.lines.begin() + 3, h.lines.end()),
              ElementsAre("DOWNLOADED: IMG_0001.JPG", kNotFound));
}

TEST(PhoneImporterDownload, NoFolderIsAGuardWithStatusSevenUnlessTheQueueIsEmpty) {
  Harness h(Arguments{"download", std::nullopt, 5, std::nullopt});
  auto camera = h.addCamera();
  camera->catalogue = Harness::photos(2);
  EXPECT_EQ(h.run(), 7);
  EXPECT_EQ(h.lines.back(), "ERROR: не указана папка для скачивания.");
  EXPECT_THAT(camera->downloads, IsEmpty());

  Harness empty(Arguments{"download", std::nullopt, 5, std::nullopt});
  empty.addCamera()->catalogue.emplace();
  EXPECT_EQ(empty.run(), 0);
  EXPECT_EQ(empty.lines.back(), "DONE: downloaded=0 failed=0");
}

// Files handled of the total, bytes received of the announced total, the
// file under way: "done/total bytes/total label".
struct ProgressRecorder : ProgressDisplay {
  void show(const progress::Status& s) override {
    shown.push_back(std::to_string(s.files_done) + "/" + std::to_string(*s.files_total) + " " +
                    std::to_string(s.bytes_done) + "/" + std::to_string(s.bytes_total.value_or(0)) + " " +
                    s.label);
  }
  void end() override { shown.push_back("end"); }
  std::vector<std::string> shown;
};

TEST(PhoneImporterDownload, ProgressCountsFilesAndBytesOfTheAnnouncedTotal) {
  ProgressRecorder progress;
  Harness h(args("download"), &progress);
  auto camera = h.addCamera();
  camera->catalogue = std::vector<ic::CameraItemPtr>{std::make_shared<ic::FakeFile>("A.MOV", at(10), 1000),
                                                     std::make_shared<ic::FakeFile>("B.JPG", at(10), 50)};
  camera->failingFiles["B.JPG"] = "X";
  camera->onDownload = [&](std::size_t n, const ic::CameraFilePtr& f, ic::DownloadDelegate* d) {
    for (std::int64_t bytes : n == 0 ? std::vector<std::int64_t>{600, 1200} : std::vector<std::int64_t>{})
      h.loop.post([f, d, bytes] { d->didReceiveDownloadProgress(*f, bytes, 1000); });
    camera->postNormalAnswer(f, d);
  };
  EXPECT_EQ(h.run(), 3);
  // A file longer than announced raises the total; one that failed takes
  // its announced size out.
  EXPECT_THAT(progress.shown, ElementsAre("0/2 0/1050 A.MOV", "0/2 600/1050 A.MOV", "0/2 1200/1250 A.MOV",
                                          "1/2 1200/1250 ", "1/2 1200/1250 B.JPG", "2/2 1200/1200 ", "end"));
}

TEST(PhoneImporterDownload, NoCameraIsStatusSixWithoutALine) {
  Harness h(args("download"));
  h.importer->downloadNextFile();
  EXPECT_THAT(h.lines, IsEmpty());
  EXPECT_EQ(h.run(), 6);
}

}  // namespace
}  // namespace tarnwick
