// The image-capture layer: device browser, camera devices, camera items and
// file downloads, as the importer sees them. Abstract so it can be mocked out
// for tests; ptp_image_capture.h holds the one real implementation and
// fake_image_capture.h the scripted fake.
//
// Every notification reaches its delegate on the thread that turns the run
// loop given to the layer, inside a pass of that loop, one at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace imagecapture {

// A point in time in whole seconds since 1970 (UTC), as wide as the device's
// own 64-bit count: no date a device can state is out of range.
using Date = std::chrono::sys_seconds;

// Device kinds as the browser reports them (`type`), and the flags of the
// browsed-device mask.
enum class DeviceType : unsigned { kCamera = 1, kScanner = 2 };
constexpr unsigned kDeviceTypeMaskCamera = 0x1;
constexpr unsigned kDeviceTypeMaskScanner = 0x2;
constexpr unsigned kDeviceLocationMaskLocal = 0x100;

// Media presentations: the media as the device stores them, or as the
// device's own setting chooses (a phone may then convert HEIC to JPEG).
constexpr int kMediaPresentationConvertedMedia = 1;
constexpr int kMediaPresentationOriginalMedia = 2;

// An error as the layer reports it; read only for its description.
class Error {
 public:
  explicit Error(std::string description) : description_(std::move(description)) {}
  const std::string& localizedDescription() const { return description_; }

 private:
  std::string description_;
};

class CameraFile;

class CameraItem {
 public:
  virtual ~CameraItem() = default;
  virtual std::optional<std::string> name() const = 0;
  // The item as a file, or null for a folder or any other kind of item.
  virtual const CameraFile* asFile() const { return nullptr; }
};

class CameraFile : public CameraItem {
 public:
  virtual std::optional<Date> creationDate() const = 0;
  // The size in bytes that the device announced; absent when it gave none.
  virtual std::optional<std::uint64_t> fileSize() const = 0;
  const CameraFile* asFile() const override { return this; }
};

using CameraItemPtr = std::shared_ptr<const CameraItem>;
using CameraFilePtr = std::shared_ptr<const CameraFile>;

// What a download request asks for.
struct DownloadOptions {
  std::string downloadsDirectory;  // absolute folder path
  bool overwrite = false;
  bool downloadSidecarFiles = false;
  // The folder holds an earlier import that this one completes: a sidecar
  // the folder already holds (as StoredCopies finds it) is not fetched
  // again, as it came with an earlier download of a partner; a file whose
  // partner it holds under a number tries that number first.
  bool completesEarlierImport = false;
};

// A sidecar of a stored file that could not be stored itself, and why.
struct SidecarFailure {
  std::string name;  // on the device
  std::string description;
};

// Keys of the options that come back with a completed download.
inline constexpr const char* kSavedFilename = "ICSavedFilename";
inline constexpr const char* kFailedSidecarFiles = "FailedSidecarFiles";  // vector<SidecarFailure>
using OptionValue = std::variant<std::string, std::int64_t, bool, std::vector<SidecarFailure>>;
using DownloadResultOptions = std::map<std::string, OptionValue>;

class Device;
class CameraDevice;
class DeviceBrowser;

class DeviceBrowserDelegate {
 public:
  virtual ~DeviceBrowserDelegate() = default;
  virtual void deviceBrowserDidAddDevice(DeviceBrowser& browser,
                                         const std::shared_ptr<Device>& device,
                                         bool moreComing) = 0;
  virtual void deviceBrowserDidRemoveDevice(DeviceBrowser& browser,
                                            const std::shared_ptr<Device>& device,
                                            bool moreGoing) = 0;
  virtual void deviceBrowserDidEnumerateLocalDevices(DeviceBrowser&) {}
};

// Device and camera-device notifications. Those a delegate does not
// override do nothing.
class CameraDeviceDelegate {
 public:
  virtual ~CameraDeviceDelegate() = default;
  virtual void deviceDidOpenSession(Device&, const Error*) {}
  virtual void deviceDidCloseSession(Device&, const Error*) {}
  virtual void didRemoveDevice(Device&) {}
  virtual void deviceDidBecomeReady(Device&) {}
  virtual void deviceDidBecomeReadyWithCompleteContentCatalog(CameraDevice&) {}
  virtual void cameraDeviceDidAddItems(CameraDevice&, const std::vector<CameraItemPtr>&) {}
  virtual void cameraDeviceDidRemoveItems(CameraDevice&, const std::vector<CameraItemPtr>&) {}
  virtual void cameraDeviceDidRenameItems(CameraDevice&, const std::vector<CameraItemPtr>&) {}
  virtual void cameraDeviceDidReceiveThumbnail(CameraDevice&, const CameraItem&, const Error*) {}
  virtual void cameraDeviceDidReceiveMetadata(CameraDevice&, const CameraItem&, const Error*) {}
  virtual void cameraDeviceDidChangeCapability(CameraDevice&) {}
  virtual void cameraDeviceDidReceivePTPEvent(CameraDevice&, const std::vector<std::uint8_t>&) {}
  virtual void cameraDeviceDidRemoveAccessRestriction(CameraDevice&) {}
  virtual void cameraDeviceDidEnableAccessRestriction(CameraDevice&) {}
};

class DownloadDelegate {
 public:
  virtual ~DownloadDelegate() = default;
  // Called exactly once per request.
  virtual void didDownloadFile(const CameraFilePtr& file, const Error* error,
                               const DownloadResultOptions& options) = 0;
  // Now and then while a file's data comes, and once when all of it came:
  // the bytes received so far, and the size announced (-1: none).
  virtual void didReceiveDownloadProgress(const CameraFile&, std::int64_t /*downloadedBytes*/,
                                          std::int64_t /*maxBytes*/) {}
};

class Device {
 public:
  virtual ~Device() = default;
  virtual std::optional<std::string> name() const = 0;
  virtual std::optional<std::string> productKind() const = 0;
  virtual std::optional<std::string> transportType() const = 0;
  virtual std::optional<std::string> uuidString() const = 0;
  virtual DeviceType type() const = 0;
  // The device as a camera, or null for a scanner.
  virtual CameraDevice* asCamera() { return nullptr; }
};

class CameraDevice : public Device {
 public:
  DeviceType type() const override { return DeviceType::kCamera; }
  CameraDevice* asCamera() override { return this; }

  // The delegate is not owned and must outlive the device's notifications.
  virtual void setDelegate(CameraDeviceDelegate* delegate) = 0;
  virtual void setMediaPresentation(int presentation) = 0;
  virtual void requestOpenSession() = 0;
  // The catalogue: absent until the device has read it.
  virtual std::optional<std::vector<CameraItemPtr>> mediaFiles() const = 0;
  virtual void requestDownloadFile(const CameraFilePtr& file, const DownloadOptions& options,
                                   DownloadDelegate* delegate) = 0;
  virtual void requestCloseSession() = 0;
};

class DeviceBrowser {
 public:
  virtual ~DeviceBrowser() = default;
  virtual void setDelegate(DeviceBrowserDelegate* delegate) = 0;
  virtual void setBrowsedDeviceTypeMask(unsigned mask) = 0;
  virtual void start() = 0;
  // Devices seen so far; absent before the first look.
  virtual std::optional<std::vector<std::shared_ptr<Device>>> devices() const = 0;
};

// The run loop the layer hands its notifications to.
class RunLoop {
 public:
  virtual ~RunLoop() = default;
  // One pass in the default mode: handles at most one notification, or
  // returns when `limit` comes.
  virtual void runOnceBefore(std::chrono::steady_clock::time_point limit) = 0;
};

}  // namespace imagecapture
