#include "fake_image_capture.h"

#include <algorithm>

namespace imagecapture {

void FakeCamera::requestOpenSession() {
  ++openRequests;
  post([this] {
    if (!delegate) return;
    if (openError) {
      Error error(*openError);
      delegate->deviceDidOpenSession(*this, &error);
      return;
    }
    delegate->deviceDidOpenSession(*this, nullptr);
  });
  if (!openError) {
    if (lockedOnOpen) {
      postLock();
    } else {
      post([this] { ready_ = true; });
      if (sendReady) postReady();
      if (sendReadyWithCatalog) postReadyWithCatalog();
    }
  }
  if (afterOpen) afterOpen();
}

void FakeCamera::postReady() {
  post([this] {
    if (delegate) delegate->deviceDidBecomeReady(*this);
  });
}

void FakeCamera::postReadyWithCatalog() {
  post([this] {
    if (delegate) delegate->deviceDidBecomeReadyWithCompleteContentCatalog(*this);
  });
}

void FakeCamera::postLock() {
  post([this] {
    if (delegate) delegate->cameraDeviceDidEnableAccessRestriction(*this);
  });
}

void FakeCamera::postUnlock() {
  post([this] {
    if (delegate) delegate->cameraDeviceDidRemoveAccessRestriction(*this);
  });
}

void FakeCamera::postClosed(std::optional<std::string> error) {
  post([this, error] {
    if (!delegate) return;
    if (error) {
      Error e(*error);
      delegate->deviceDidCloseSession(*this, &e);
    } else {
      delegate->deviceDidCloseSession(*this, nullptr);
    }
  });
}

void FakeCamera::postComplete(const CameraFilePtr& file, DownloadDelegate* to,
                              std::optional<std::string> error, DownloadResultOptions options) {
  post([file, to, error, options] {
    if (error) {
      Error e(*error);
      to->didDownloadFile(file, &e, options);
    } else {
      to->didDownloadFile(file, nullptr, options);
    }
  });
}

void FakeCamera::postNormalAnswer(const CameraFilePtr& file, DownloadDelegate* to) {
  auto name = file ? file->name() : std::nullopt;
  if (name) {
    if (auto failing = failingFiles.find(*name); failing != failingFiles.end()) {
      postComplete(file, to, failing->second);
      return;
    }
  }
  DownloadResultOptions options;
  if (resultOptions) {
    options = resultOptions(*file);
  } else if (name) {
    options[kSavedFilename] = *name;
  }
  postComplete(file, to, std::nullopt, std::move(options));
}

void FakeCamera::requestDownloadFile(const CameraFilePtr& file, const DownloadOptions& options,
                                     DownloadDelegate* to) {
  downloads.push_back({file, options});
  if (onDownload) {
    onDownload(downloads.size() - 1, file, to);
    return;
  }
  postNormalAnswer(file, to);
}

void FakeCamera::requestCloseSession() {
  ++closeRequests;
  if (answerClose) postClosed(std::nullopt);
}

void FakeBrowser::start() {
  started = true;
  for (std::size_t i = 0; i < present.size(); ++i)
    postAdd(present[i], i + 1 < present.size());
  if (enumerate)
    loop_.post([this] {
      if (delegate) delegate->deviceBrowserDidEnumerateLocalDevices(*this);
    });
}

void FakeBrowser::postAdd(const std::shared_ptr<Device>& device, bool moreComing) {
  loop_.post([this, device, moreComing] {
    devices_.push_back(device);
    if (delegate) delegate->deviceBrowserDidAddDevice(*this, device, moreComing);
  });
}

void FakeBrowser::postRemove(const std::shared_ptr<Device>& device, bool moreGoing) {
  loop_.post([this, device, moreGoing] {
    devices_.erase(std::remove(devices_.begin(), devices_.end(), device), devices_.end());
    if (delegate) delegate->deviceBrowserDidRemoveDevice(*this, device, moreGoing);
  });
  // The device's own delegate hears of it too, right after.
  if (auto* camera = dynamic_cast<FakeCamera*>(device.get())) {
    loop_.post([camera] {
      if (camera->delegate) camera->delegate->didRemoveDevice(*camera);
    });
  }
}

}  // namespace imagecapture
