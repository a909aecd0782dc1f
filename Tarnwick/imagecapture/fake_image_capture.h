// A scripted image-capture layer for in-process tests of the importer.
// Notifications are posted to the run loop given to it and delivered inside
// the importer's run-loop passes, exactly as the real layer does.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "image_capture.h"
#include "run_loop.h"

namespace imagecapture {

class FakeFile : public CameraFile {
 public:
  FakeFile(std::optional<std::string> name, std::optional<Date> date,
           std::optional<std::uint64_t> size = std::nullopt)
      : name_(std::move(name)), date_(date), size_(size) {}
  std::optional<std::string> name() const override { return name_; }
  std::optional<Date> creationDate() const override { return date_; }
  std::optional<std::uint64_t> fileSize() const override { return size_; }

 private:
  std::optional<std::string> name_;
  std::optional<Date> date_;
  std::optional<std::uint64_t> size_;
};

class FakeFolder : public CameraItem {
 public:
  explicit FakeFolder(std::string name) : name_(std::move(name)) {}
  std::optional<std::string> name() const override { return name_; }

 private:
  std::string name_;
};

struct DeviceTexts {
  std::optional<std::string> name;
  std::optional<std::string> productKind;
  std::optional<std::string> transportType;
  std::optional<std::string> uuid;
};

class FakeScanner : public Device {
 public:
  explicit FakeScanner(DeviceTexts texts) : texts_(std::move(texts)) {}
  std::optional<std::string> name() const override { return texts_.name; }
  std::optional<std::string> productKind() const override { return texts_.productKind; }
  std::optional<std::string> transportType() const override { return texts_.transportType; }
  std::optional<std::string> uuidString() const override { return texts_.uuid; }
  DeviceType type() const override { return DeviceType::kScanner; }

 private:
  DeviceTexts texts_;
};

class FakeCamera : public CameraDevice {
 public:
  FakeCamera(runloop::RunLoop& loop, DeviceTexts texts) : loop_(loop), texts_(std::move(texts)) {}

  // --- the script ---
  std::optional<std::vector<CameraItemPtr>> catalogue;  // what mediaFiles returns once ready
  std::optional<std::string> openError;                 // the session is refused with it
  bool sendReady = false;                // deviceDidBecomeReady after opening
  bool sendReadyWithCatalog = true;      // ...WithCompleteContentCatalog after opening
  bool lockedOnOpen = false;             // access restriction right after opening
  bool answerClose = true;               // a close request is answered
  std::map<std::string, std::string> failingFiles;  // file name -> error description
  // The options a successful download reports; by default the phone's name.
  std::function<DownloadResultOptions(const CameraFile&)> resultOptions;
  // Runs when a session is requested, after the answers above were posted:
  // whatever it posts comes after them.
  std::function<void()> afterOpen;
  // Replaces the normal answer to the n-th (0-based) download request.
  std::function<void(std::size_t n, const CameraFilePtr&, DownloadDelegate*)> onDownload;

  // --- what the importer asked for ---
  CameraDeviceDelegate* delegate = nullptr;
  std::optional<int> mediaPresentation;
  int openRequests = 0;
  int closeRequests = 0;
  struct DownloadRequest {
    CameraFilePtr file;
    DownloadOptions options;
  };
  std::vector<DownloadRequest> downloads;

  // --- notifications a test can send at any moment (posted) ---
  void postComplete(const CameraFilePtr& file, DownloadDelegate* to,
                    std::optional<std::string> error, DownloadResultOptions options = {});
  void postNormalAnswer(const CameraFilePtr& file, DownloadDelegate* to);
  void postLock();
  void postUnlock();
  void postClosed(std::optional<std::string> error);
  void postReady();
  void postReadyWithCatalog();

  // Device
  std::optional<std::string> name() const override { return texts_.name; }
  std::optional<std::string> productKind() const override { return texts_.productKind; }
  std::optional<std::string> transportType() const override { return texts_.transportType; }
  std::optional<std::string> uuidString() const override { return texts_.uuid; }

  // CameraDevice
  void setDelegate(CameraDeviceDelegate* d) override { delegate = d; }
  void setMediaPresentation(int presentation) override { mediaPresentation = presentation; }
  void requestOpenSession() override;
  std::optional<std::vector<CameraItemPtr>> mediaFiles() const override {
    return ready_ ? catalogue : std::nullopt;
  }
  void requestDownloadFile(const CameraFilePtr& file, const DownloadOptions& options,
                           DownloadDelegate* delegate) override;
  void requestCloseSession() override;

 private:
  void post(std::function<void()> task) { loop_.post(std::move(task)); }
  runloop::RunLoop& loop_;
  DeviceTexts texts_;
  bool ready_ = false;
};

class FakeBrowser : public DeviceBrowser {
 public:
  explicit FakeBrowser(runloop::RunLoop& loop) : loop_(loop) {}

  // --- the script: devices present when browsing starts, in report order ---
  std::vector<std::shared_ptr<Device>> present;
  bool enumerate = true;  // report the end of the local enumeration

  // --- what the importer asked for ---
  DeviceBrowserDelegate* delegate = nullptr;
  std::optional<unsigned> mask;
  bool started = false;

  // Devices arriving or leaving later (posted).
  void postAdd(const std::shared_ptr<Device>& device, bool moreComing = false);
  void postRemove(const std::shared_ptr<Device>& device, bool moreGoing = false);

  void setDelegate(DeviceBrowserDelegate* d) override { delegate = d; }
  void setBrowsedDeviceTypeMask(unsigned m) override { mask = m; }
  void start() override;
  std::optional<std::vector<std::shared_ptr<Device>>> devices() const override {
    return started ? std::optional(devices_) : std::nullopt;
  }

 private:
  runloop::RunLoop& loop_;
  std::vector<std::shared_ptr<Device>> devices_;
};

}  // namespace imagecapture
