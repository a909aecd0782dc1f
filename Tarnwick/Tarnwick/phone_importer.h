// The importer: finds the phone through the device browser, opens a session,
// reads the catalogue once and lists or downloads the media files, all inside
// the passes of the run loop that `run` turns.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "arguments.h"
#include "image_capture.h"
#include "progress_text.h"

namespace tarnwick {

namespace ic = imagecapture;

// Where the importer shows how far its downloads are (the progress line on
// a terminal).
class ProgressDisplay {
 public:
  virtual ~ProgressDisplay() = default;
  // The status as it changes.
  virtual void show(const progress::Status& status) = 0;
  // The downloads are over.
  virtual void end() = 0;
};

class PhoneImporter final : public ic::DeviceBrowserDelegate,
                            public ic::CameraDeviceDelegate,
                            public ic::DownloadDelegate {
 public:
  using LineWriter = std::function<void(std::string_view line)>;

  // `progress`, when given, is shown the downloads' progress; it must
  // outlive the importer.
  PhoneImporter(Arguments arguments, std::unique_ptr<ic::DeviceBrowser> browser,
                ic::RunLoop& runLoop, LineWriter writeLine, ProgressDisplay* progress = nullptr);
  PhoneImporter(const PhoneImporter&) = delete;
  PhoneImporter& operator=(const PhoneImporter&) = delete;

  // Browses, works until finished or out of time, and returns the exit status.
  int run();

  static std::string describe(const ic::Device& device);
  void printBrowserDevices();

  // Device browser.
  void deviceBrowserDidAddDevice(ic::DeviceBrowser& browser, const std::shared_ptr<ic::Device>& device,
                                 bool moreComing) override;
  void deviceBrowserDidRemoveDevice(ic::DeviceBrowser& browser,
                                    const std::shared_ptr<ic::Device>& device,
                                    bool moreGoing) override;
  void deviceBrowserDidEnumerateLocalDevices(ic::DeviceBrowser& browser) override;

  // Session and catalogue.
  void deviceDidOpenSession(ic::Device& device, const ic::Error* error) override;
  void deviceDidCloseSession(ic::Device& device, const ic::Error* error) override;
  void didRemoveDevice(ic::Device& device) override;
  void deviceDidBecomeReady(ic::Device& device) override;
  void deviceDidBecomeReadyWithCompleteContentCatalog(ic::CameraDevice& camera) override;
  void cameraDeviceDidEnableAccessRestriction(ic::CameraDevice& camera) override;
  void cameraDeviceDidRemoveAccessRestriction(ic::CameraDevice&) override {}
  void cameraDeviceDidAddItems(ic::CameraDevice&, const std::vector<ic::CameraItemPtr>&) override {}
  void cameraDeviceDidRemoveItems(ic::CameraDevice&, const std::vector<ic::CameraItemPtr>&) override {}
  void cameraDeviceDidRenameItems(ic::CameraDevice&, const std::vector<ic::CameraItemPtr>&) override {}
  void cameraDeviceDidReceiveThumbnail(ic::CameraDevice&, const ic::CameraItem&, const ic::Error*) override {}
  void cameraDeviceDidReceiveMetadata(ic::CameraDevice&, const ic::CameraItem&, const ic::Error*) override {}
  void cameraDeviceDidChangeCapability(ic::CameraDevice&) override {}
  void cameraDeviceDidReceivePTPEvent(ic::CameraDevice&, const std::vector<std::uint8_t>&) override {}
  void handleReadyCamera(ic::CameraDevice& camera);

  // Download queue.
  void downloadNextFile();
  void didDownloadFile(const ic::CameraFilePtr& file, const ic::Error* error,
                       const ic::DownloadResultOptions& options) override;
  void didReceiveDownloadProgress(const ic::CameraFile& file, std::int64_t downloadedBytes,
                                  std::int64_t maxBytes) override;

  static constexpr std::string_view kNotFoundLine =
      "ERROR: телефон не найден через системный импорт фото или не успел отдать список файлов. "
      "Проверьте кабель, разблокируйте телефон и выберите режим USB «Передача фото/PTP».";

 private:
  // The chosen phone went away or closed its session.
  void phoneLost();
  // Shows the downloads' progress as it stands.
  void showProgress();

  Arguments arguments_;
  std::unique_ptr<ic::DeviceBrowser> browser_;
  std::shared_ptr<ic::Device> camera_;
  std::deque<ic::CameraFilePtr> pendingFiles_;
  std::int64_t toDownloadCount_ = 0;  // the TO_DOWNLOAD count
  std::int64_t downloadedCount_ = 0;
  std::int64_t failedCount_ = 0;
  // Sidecars of downloaded files that failed: not in the summary's counts
  // of media files, but the run does not end as a success.
  std::int64_t failedSidecarCount_ = 0;
  bool didFinish_ = false;
  int exitCode_ = 0;

  // Progress of the one run, so that a lost phone is never taken for success
  // and the catalogue is handled once.
  bool catalogueHandled_ = false;
  bool downloadInFlight_ = false;
  bool summaryWritten_ = false;

  ic::RunLoop& runLoop_;
  LineWriter writeLine_;

  // The downloads' progress: files handled of the total, bytes received of
  // the announced total (when every size is known; a size that turns out
  // larger raises it).
  ProgressDisplay* progress_;
  progress::Status status_;
  std::uint64_t bytesOfHandledFiles_ = 0;
  std::uint64_t bytesOfCurrentFile_ = 0;
  std::uint64_t announcedOfCurrentFile_ = 0;
  std::uint64_t announcedLeft_ = 0;  // of the files not handled yet, the current one too
};

}  // namespace tarnwick
