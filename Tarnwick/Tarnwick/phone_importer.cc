#include "phone_importer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

#include "media_files.h"
#include "report_text.h"
#include "stored_copies.h"

namespace tarnwick {

namespace {

using SteadyClock = std::chrono::steady_clock;

// now + seconds, kept inside the clock's range: a budget that is not a
// positive number has already run out, a very long one never does.
SteadyClock::time_point deadlineAfter(double seconds) {
  auto now = SteadyClock::now();
  if (!(seconds > 0)) return now;  // also NaN
  constexpr double kLongest = 100.0 * 365 * 24 * 3600;
  if (seconds >= kLongest) return SteadyClock::time_point::max();
  return now + std::chrono::duration_cast<SteadyClock::duration>(
                   std::chrono::duration<double>(seconds));
}

std::string orNil(const std::optional<std::string>& text) { return text ? *text : "nil"; }

}  // namespace

PhoneImporter::PhoneImporter(Arguments arguments, std::unique_ptr<ic::DeviceBrowser> browser,
                             ic::RunLoop& runLoop, LineWriter writeLine, ProgressDisplay* progress)
    : arguments_(std::move(arguments)),
      browser_(std::move(browser)),
      runLoop_(runLoop),
      // Names and messages come from the device: every line goes out with
      // its control bytes escaped, so none can end it early or forge another.
      writeLine_([write = std::move(writeLine)](std::string_view line) {
        write(escapeControlBytes(line));
      }),
      progress_(progress) {}

int PhoneImporter::run() {
  browser_->setDelegate(this);
  browser_->setBrowsedDeviceTypeMask(ic::kDeviceTypeMaskCamera | ic::kDeviceTypeMaskScanner |
                                     ic::kDeviceLocationMaskLocal);
  browser_->start();
  const auto deadline = deadlineAfter(arguments_.timeoutSeconds);
  while (!didFinish_ && SteadyClock::now() < deadline)
    runLoop_.runOnceBefore(SteadyClock::now() + std::chrono::milliseconds(100));

  if (didFinish_) {
    if (exitCode_ != 0) return exitCode_;
    return failedCount_ != 0 || failedSidecarCount_ != 0 ? 3 : 0;
  }
  if (arguments_.command == "debug") {
    printBrowserDevices();
    return 0;
  }
  writeLine_(kNotFoundLine);
  return 2;
}

std::string PhoneImporter::describe(const ic::Device& device) {
  return "name=" + orNil(device.name()) + " productKind=" + orNil(device.productKind()) +
         " transport=" + orNil(device.transportType()) +
         " type=" + std::to_string(static_cast<unsigned>(device.type())) +
         " uuid=" + orNil(device.uuidString());
}

void PhoneImporter::printBrowserDevices() {
  auto devices = browser_->devices().value_or(std::vector<std::shared_ptr<ic::Device>>{});
  writeLine_("BROWSER_DEVICES: " + std::to_string(devices.size()));
  for (const auto& device : devices)
    if (device) writeLine_("DEVICE_DEBUG: " + describe(*device));
}

void PhoneImporter::deviceBrowserDidAddDevice(ic::DeviceBrowser&,
                                              const std::shared_ptr<ic::Device>& device,
                                              bool moreComing) {
  if (!device) return;
  const bool debug = arguments_.command == "debug";
  if (debug)
    writeLine_("ADDED: " + describe(*device) + " moreComing=" + (moreComing ? "true" : "false"));
  ic::CameraDevice* candidate = device->asCamera();
  if (camera_ || candidate == nullptr || debug) return;
  camera_ = device;
  candidate->setDelegate(this);
  candidate->setMediaPresentation(arguments_.letPhoneConvert ? ic::kMediaPresentationConvertedMedia
                                                             : ic::kMediaPresentationOriginalMedia);
  candidate->requestOpenSession();
}

void PhoneImporter::deviceBrowserDidRemoveDevice(ic::DeviceBrowser&,
                                                 const std::shared_ptr<ic::Device>& device,
                                                 bool) {
  if (camera_ && device == camera_) phoneLost();
}

void PhoneImporter::deviceBrowserDidEnumerateLocalDevices(ic::DeviceBrowser&) {
  if (arguments_.command != "debug") return;
  writeLine_("ENUMERATED_LOCAL_DEVICES");
  printBrowserDevices();
  didFinish_ = true;
}

void PhoneImporter::phoneLost() {
  if (didFinish_) return;
  if (!catalogueHandled_) {
    // Nothing was listed or downloaded: that is not a success.
    writeLine_(kNotFoundLine);
    exitCode_ = 2;
  } else if (arguments_.command != "list" && !summaryWritten_) {
    // Every file of the selection that did not arrive: those still queued,
    // the one in flight and those that had failed before.
    const std::int64_t notDownloaded = toDownloadCount_ - downloadedCount_;
    pendingFiles_.clear();
    downloadInFlight_ = false;
    failedCount_ = notDownloaded;
    writeLine_("ERROR: телефон отключился во время скачивания. Не скачано файлов: " +
               std::to_string(notDownloaded));
  }
  didFinish_ = true;
}

void PhoneImporter::deviceDidOpenSession(ic::Device&, const ic::Error* error) {
  if (!error) return;
  writeLine_("ERROR: не удалось открыть сессию с телефоном: " + error->localizedDescription());
  exitCode_ = 4;
  didFinish_ = true;
}

void PhoneImporter::deviceDidCloseSession(ic::Device&, const ic::Error* error) {
  // A close that we asked for comes after the summary; any other one means
  // the work was cut short. Before the catalogue, its error says why the
  // catalogue could not be read (a folder that cannot be listed).
  if (error && !catalogueHandled_ && !didFinish_)
    writeLine_("ERROR: " + error->localizedDescription());
  phoneLost();
}

void PhoneImporter::didRemoveDevice(ic::Device&) { phoneLost(); }

void PhoneImporter::deviceDidBecomeReady(ic::Device& device) {
  if (ic::CameraDevice* camera = device.asCamera()) handleReadyCamera(*camera);
}

void PhoneImporter::deviceDidBecomeReadyWithCompleteContentCatalog(ic::CameraDevice& camera) {
  handleReadyCamera(camera);
}

void PhoneImporter::cameraDeviceDidEnableAccessRestriction(ic::CameraDevice&) {
  writeLine_("ERROR: телефон заблокирован. Разблокируйте экран и повторите.");
  exitCode_ = 5;
  didFinish_ = true;
}

void PhoneImporter::handleReadyCamera(ic::CameraDevice& camera) {
  // Both readiness notifications may come; the catalogue is handled once.
  if (catalogueHandled_) return;
  catalogueHandled_ = true;

  std::vector<ic::CameraFilePtr> media;
  for (const auto& item : camera.mediaFiles().value_or(std::vector<ic::CameraItemPtr>{})) {
    const ic::CameraFile* file = item ? item->asFile() : nullptr;
    if (file == nullptr) continue;
    auto name = file->name();
    if (!name || !isMediaName(*name)) continue;
    media.push_back(ic::CameraFilePtr(item, file));
  }
  const std::size_t mediaCount = media.size();
  if (arguments_.limit && *arguments_.limit > 0 &&
      static_cast<std::uint64_t>(*arguments_.limit) < media.size())
    media.resize(static_cast<std::size_t>(*arguments_.limit));

  writeLine_("DEVICE: " + camera.name().value_or("iPhone"));
  writeLine_("MEDIA_FOUND: " + std::to_string(mediaCount));

  if (arguments_.command == "list") {
    for (const auto& file : media) {
      auto date = file->creationDate();
      writeLine_("FILE: " + file->name().value_or("без имени") + " " +
                 (date ? iso8601DateText(*date) : std::string("без даты")));
    }
    didFinish_ = true;
    return;
  }
  if (arguments_.skipExisting && arguments_.outputDirectory) {
    // Decided from the catalogue alone: a file the folder already holds is
    // not transferred, nor are its sidecars (they travel with a download).
    // The limit has chosen the files first; skipped ones count among them.
    const auto stored = ic::StoredCopies::read(*arguments_.outputDirectory);
    for (auto& file : media) {
      auto name = file->name();
      if (name && stored.holds(*name, file->fileSize(), file->creationDate())) {
        writeLine_("SKIPPED: " + *name);
        continue;
      }
      pendingFiles_.push_back(std::move(file));
    }
  } else {
    pendingFiles_.assign(media.begin(), media.end());
  }
  toDownloadCount_ = static_cast<std::int64_t>(pendingFiles_.size());
  writeLine_("TO_DOWNLOAD: " + std::to_string(toDownloadCount_));
  status_.files_total = static_cast<std::uint64_t>(toDownloadCount_);
  bool sizesKnown = true;
  for (const auto& file : pendingFiles_) {
    auto size = file->fileSize();
    sizesKnown = sizesKnown && size;
    announcedLeft_ += size.value_or(0);
  }
  if (sizesKnown) status_.bytes_total = announcedLeft_;
  downloadNextFile();
}

void PhoneImporter::downloadNextFile() {
  ic::CameraDevice* camera = camera_ ? camera_->asCamera() : nullptr;
  if (camera == nullptr) {
    exitCode_ = 6;
    didFinish_ = true;
    return;
  }
  if (pendingFiles_.empty()) {
    if (progress_) progress_->end();
    writeLine_("DONE: downloaded=" + std::to_string(downloadedCount_) +
               " failed=" + std::to_string(failedCount_));
    summaryWritten_ = true;
    camera->requestCloseSession();
    return;
  }
  if (!arguments_.outputDirectory) {
    writeLine_("ERROR: не указана папка для скачивания.");
    exitCode_ = 7;
    didFinish_ = true;
    return;
  }
  ic::CameraFilePtr file = std::move(pendingFiles_.front());
  pendingFiles_.pop_front();
  ic::DownloadOptions options;
  options.downloadsDirectory = *arguments_.outputDirectory;
  options.overwrite = false;
  options.downloadSidecarFiles = true;
  options.completesEarlierImport = arguments_.skipExisting;
  downloadInFlight_ = true;
  status_.label = file->name().value_or("");
  bytesOfCurrentFile_ = 0;
  announcedOfCurrentFile_ = file->fileSize().value_or(0);
  showProgress();
  camera->requestDownloadFile(file, options, this);
}

void PhoneImporter::didDownloadFile(const ic::CameraFilePtr& file, const ic::Error* error,
                                    const ic::DownloadResultOptions& options) {
  // A file whose phone went away is counted in the disconnect line.
  if (didFinish_) return;
  downloadInFlight_ = false;
  // Handled: its bytes count as they came.
  ++status_.files_done;
  bytesOfHandledFiles_ += bytesOfCurrentFile_;
  announcedLeft_ -= std::min(announcedLeft_, announcedOfCurrentFile_);
  bytesOfCurrentFile_ = announcedOfCurrentFile_ = 0;
  status_.label.clear();
  showProgress();
  std::optional<std::string> phoneName = file ? file->name() : std::nullopt;
  if (error) {
    ++failedCount_;
    writeLine_("ERROR: не удалось скачать " + phoneName.value_or("файл") + ": " +
               error->localizedDescription());
  } else {
    ++downloadedCount_;
    std::string shown = phoneName.value_or("файл");
    if (auto saved = options.find(ic::kSavedFilename); saved != options.end())
      if (const auto* text = std::get_if<std::string>(&saved->second)) shown = *text;
    writeLine_("DOWNLOADED: " + shown);
    // Its sidecars (the edits of a photo) that did not arrive: the file
    // stays downloaded, the run ends with status 3.
    if (auto failed = options.find(ic::kFailedSidecarFiles); failed != options.end())
      if (const auto* sidecars = std::get_if<std::vector<ic::SidecarFailure>>(&failed->second))
        for (const auto& sidecar : *sidecars) {
          ++failedSidecarCount_;
          writeLine_("ERROR: не удалось скачать " + sidecar.name + ": " + sidecar.description);
        }
  }
  downloadNextFile();
}

void PhoneImporter::didReceiveDownloadProgress(const ic::CameraFile&, std::int64_t downloadedBytes,
                                               std::int64_t) {
  if (didFinish_ || !downloadInFlight_ || downloadedBytes < 0) return;
  bytesOfCurrentFile_ = static_cast<std::uint64_t>(downloadedBytes);
  showProgress();
}

void PhoneImporter::showProgress() {
  if (!progress_) return;
  status_.bytes_done = bytesOfHandledFiles_ + bytesOfCurrentFile_;
  if (status_.bytes_total)
    status_.bytes_total = status_.bytes_done + (announcedLeft_ - announcedOfCurrentFile_) +
                          (announcedOfCurrentFile_ - std::min(announcedOfCurrentFile_, bytesOfCurrentFile_));
  progress_->show(status_);
}

}  // namespace tarnwick
