#include "gphoto2_image_capture.h"
#include "transfer_check.h"

#include <gphoto2/gphoto2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "device_identity.h"
#include "device_scan.h"
#include "gphoto2_worker.h"
#include "safe_publish.h"
#include "sidecars.h"
#include "stored_copies.h"
#include "usb_sysfs.h"

namespace imagecapture {

namespace {

// --- library handles ---

struct CameraRelease {
  void operator()(Camera* camera) const { gp_camera_unref(camera); }
};
struct PortListRelease {
  void operator()(GPPortInfoList* list) const { gp_port_info_list_free(list); }
};
struct ListRelease {
  void operator()(CameraList* list) const { gp_list_unref(list); }
};
struct FileRelease {
  void operator()(::CameraFile* file) const { gp_file_unref(file); }
};
using CameraHandle = std::unique_ptr<Camera, CameraRelease>;
using PortListHandle = std::unique_ptr<GPPortInfoList, PortListRelease>;
using ListHandle = std::unique_ptr<CameraList, ListRelease>;
using FileHandle = std::unique_ptr<::CameraFile, FileRelease>;

ListHandle newList() {
  CameraList* list = nullptr;
  if (gp_list_new(&list) < GP_OK) return nullptr;
  return ListHandle(list);
}

PortListHandle loadPorts() {
  GPPortInfoList* ports = nullptr;
  if (gp_port_info_list_new(&ports) < GP_OK) return nullptr;
  PortListHandle handle(ports);
  if (gp_port_info_list_load(ports) < GP_OK) return nullptr;
  return handle;
}

std::vector<std::string> listNames(CameraList* list) {
  std::vector<std::string> names;
  int count = gp_list_count(list);
  for (int i = 0; i < count; ++i) {
    const char* name = nullptr;
    if (gp_list_get_name(list, i, &name) >= GP_OK && name) names.emplace_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string joinFolder(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

// --- worker-side state (touched on the worker thread only) ---

struct FileRecord {
  std::string name;
  std::optional<std::time_t> modified;
  std::string mimeType;
  std::optional<std::uint64_t> size;  // as the device announces it
};

struct Session {
  std::string model;
  std::string port;
  CameraHandle camera;
  PortListHandle ports;
  // The files of each folder by the name without its extension, to find a
  // photo's sidecars ("IMG_0001.AAE" beside "IMG_0001.HEIC").
  std::map<std::pair<std::string, std::string>, std::vector<FileRecord>> byStem;
  // What this run has published: the number that the first media file of
  // each (folder, stem) got, and the sidecars already handled.
  std::map<std::pair<std::string, std::string>, int> numberOfStem;
  std::set<std::pair<std::string, std::string>> sidecarsTaken;
  // What the download folder held of this device's files, read once, when
  // a download first asks for it.
  std::map<std::string, StoredCopies> storedCopies;
};

struct Detected {
  std::string model;
  std::string port;
  DeviceIdentity identity;
};

struct WorkerSide {
  std::map<std::string, Detected> known;  // by port + model
  // The last USB detection, and the USB devices that the system showed then.
  std::optional<ScanResult> usbFound;
  std::optional<std::string> usbSignature;
  bool usbRecheck = false;
  bool firstPollDone = false;
  std::set<std::shared_ptr<Session>> open;
};

// Where a download's data goes: our own writes into the temporary file, so
// that a failed write (a full disk) is known even where a driver does not
// pass libgphoto2's write error on.
struct Sink {
  int fd;
  int error = 0;  // errno of the first failed write
  std::uint64_t written = 0;
};

int sinkSize(void* priv, uint64_t* size) {
  off_t at = ::lseek(static_cast<Sink*>(priv)->fd, 0, SEEK_CUR);
  if (at < 0) return GP_ERROR_IO;
  *size = static_cast<uint64_t>(at);
  return GP_OK;
}

int sinkRead(void*, unsigned char*, uint64_t*) { return GP_ERROR_NOT_SUPPORTED; }

int sinkWrite(void* priv, unsigned char* data, uint64_t* length) {
  auto* sink = static_cast<Sink*>(priv);
  if (sink->error != 0) return GP_ERROR_IO_WRITE;
  uint64_t done = 0;
  while (done < *length) {
    ssize_t n = ::write(sink->fd, data + done, static_cast<std::size_t>(*length - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      sink->error = n < 0 ? errno : EIO;
      *length = done;
      return GP_ERROR_IO_WRITE;
    }
    done += static_cast<uint64_t>(n);
    sink->written += static_cast<uint64_t>(n);
  }
  return GP_OK;
}

CameraFileHandler g_sinkHandler = {sinkSize, sinkRead, sinkWrite};

bool isLockedStorage(const std::string& folder) {
  return folder == "store_feedface" || folder == "store_FEEDFACE" || folder == "store_00000000";
}

std::optional<Date> dateOf(const FileRecord& record) {
  if (!record.modified) return std::nullopt;
  return Date(std::chrono::seconds(static_cast<std::int64_t>(*record.modified)));
}

// --- main-thread objects ---

class GpFile : public CameraFile {
 public:
  GpFile(std::string folder, FileRecord record) : folder_(std::move(folder)), record_(std::move(record)) {}
  std::optional<std::string> name() const override { return record_.name; }
  std::optional<Date> creationDate() const override { return dateOf(record_); }
  std::optional<std::uint64_t> fileSize() const override { return record_.size; }
  const std::string& folder() const { return folder_; }
  const FileRecord& record() const { return record_; }

 private:
  std::string folder_;
  FileRecord record_;
};

class GpCamera : public CameraDevice, public std::enable_shared_from_this<GpCamera> {
 public:
  GpCamera(runloop::RunLoop& loop, Gphoto2Worker& worker, std::shared_ptr<WorkerSide> side,
           Detected detected)
      : loop_(loop), worker_(worker), side_(std::move(side)), detected_(std::move(detected)) {}

  std::optional<std::string> name() const override { return detected_.identity.name; }
  std::optional<std::string> productKind() const override { return detected_.identity.productKind; }
  std::optional<std::string> transportType() const override { return detected_.identity.transportType; }
  std::optional<std::string> uuidString() const override { return detected_.identity.uuid; }

  void setDelegate(CameraDeviceDelegate* delegate) override { delegate_ = delegate; }
  void setMediaPresentation(int) override {}  // files always come as stored
  std::optional<std::vector<CameraItemPtr>> mediaFiles() const override { return catalogue_; }
  void requestOpenSession() override;
  void requestDownloadFile(const CameraFilePtr& file, const DownloadOptions& options,
                           DownloadDelegate* delegate) override;
  void requestCloseSession() override;

  // The browser saw it go.
  void removed();
  std::string key() const { return detected_.port + "|" + detected_.model; }

 private:
  // Runs `notify` with the delegate on the main thread.
  template <typename F>
  void toMain(F notify) {
    auto self = shared_from_this();
    loop_.post([self, notify]() mutable {
      if (self->delegate_) notify(*self, *self->delegate_);
    });
  }
  void openOnWorker();
  void downloadOnWorker(std::shared_ptr<const GpFile> file, DownloadOptions options,
                        DownloadDelegate* delegate);

  runloop::RunLoop& loop_;
  Gphoto2Worker& worker_;
  std::shared_ptr<WorkerSide> side_;
  Detected detected_;
  std::shared_ptr<Session> session_;  // worker thread only
  // Main thread.
  CameraDeviceDelegate* delegate_ = nullptr;
  std::optional<std::vector<CameraItemPtr>> catalogue_;
};

void GpCamera::requestOpenSession() {
  auto self = shared_from_this();
  worker_.post([self] { self->openOnWorker(); });
}

void GpCamera::openOnWorker() {
  auto fail = [this](std::string description) {
    toMain([description](GpCamera& camera, CameraDeviceDelegate& delegate) {
      Error error(description);
      delegate.deviceDidOpenSession(camera, &error);
    });
  };
  if (session_) {
    fail("сессия уже открыта");
    return;
  }
  auto session = std::make_shared<Session>();
  session->model = detected_.model;
  session->port = detected_.port;
  session->ports = loadPorts();
  Camera* raw = nullptr;
  if (!session->ports || gp_camera_new(&raw) < GP_OK) {
    fail("libgphoto2 не запускается");
    return;
  }
  session->camera.reset(raw);
  CameraAbilitiesList* abilitiesList = worker_.abilities();
  int index = gp_abilities_list_lookup_model(abilitiesList, detected_.model.c_str());
  CameraAbilities abilities;
  if (index < GP_OK || gp_abilities_list_get_abilities(abilitiesList, index, &abilities) < GP_OK) {
    fail("нет драйвера для " + detected_.model);
    return;
  }
  gp_camera_set_abilities(raw, abilities);
  int portIndex = gp_port_info_list_lookup_path(session->ports.get(), detected_.port.c_str());
  GPPortInfo portInfo;
  if (portIndex < GP_OK || gp_port_info_list_get_info(session->ports.get(), portIndex, &portInfo) < GP_OK) {
    fail("устройство больше не подключено к " + detected_.port);
    return;
  }
  gp_camera_set_port_info(raw, portInfo);
  GPContext* context = worker_.context();
  if (int result = gp_camera_init(raw, context); result < GP_OK) {
    if (result == GP_ERROR_IO_USB_FIND) {
      // Unplugged while the session was being opened: the phone went away,
      // it did not refuse us.
      toMain([](GpCamera& camera, CameraDeviceDelegate& delegate) {
        delegate.deviceDidCloseSession(camera, nullptr);
      });
      return;
    }
    fail(worker_.describe(result));
    return;
  }
  session_ = session;
  side_->open.insert(session);
  toMain([](GpCamera& camera, CameraDeviceDelegate& delegate) {
    delegate.deviceDidOpenSession(camera, nullptr);
  });

  // The catalogue: every file of every folder, from the root down.
  auto rootList = newList();
  int rootResult = rootList ? gp_camera_folder_list_folders(raw, "/", rootList.get(), context) : GP_ERROR;
  std::vector<std::string> storages = rootResult >= GP_OK ? listNames(rootList.get()) : std::vector<std::string>{};
  const bool apple = detected_.model.rfind("Apple", 0) == 0;
  const bool locked = std::any_of(storages.begin(), storages.end(), isLockedStorage) ||
                      (apple && (rootResult < GP_OK || storages.empty()));
  if (locked) {
    toMain([](GpCamera& camera, CameraDeviceDelegate& delegate) {
      delegate.cameraDeviceDidEnableAccessRestriction(camera);
    });
    return;
  }
  std::vector<CameraItemPtr> items;
  std::vector<std::pair<std::string, int>> pending{{"/", 0}};
  bool failed = rootResult < GP_OK;
  std::string failure = failed ? "не удалось прочитать папку /: " + worker_.describe(rootResult) : "";
  // A folder that cannot be read, for its files or its subfolders, makes the
  // catalogue incomplete: the walk ends with the folder and the cause.
  auto unreadable = [&](const std::string& folder, int result) {
    failed = true;
    failure = "не удалось прочитать папку " + folder + ": " + worker_.describe(result);
  };
  while (!pending.empty() && !failed) {
    auto [folder, depth] = pending.back();
    pending.pop_back();
    auto files = newList();
    if (!files) break;
    if (int result = gp_camera_folder_list_files(raw, folder.c_str(), files.get(), context); result < GP_OK) {
      unreadable(folder, result);
      break;
    }
    for (const std::string& name : listNames(files.get())) {
      FileRecord record{name, std::nullopt, "", std::nullopt};
      CameraFileInfo info;
      if (gp_camera_file_get_info(raw, folder.c_str(), name.c_str(), &info, context) >= GP_OK) {
        if (info.file.fields & GP_FILE_INFO_MTIME) record.modified = info.file.mtime;
        if (info.file.fields & GP_FILE_INFO_TYPE) record.mimeType = info.file.type;
        if (info.file.fields & GP_FILE_INFO_SIZE) record.size = info.file.size;
      }
      session->byStem[{folder, std::string(nameStem(name))}].push_back(record);
      items.push_back(std::make_shared<GpFile>(folder, record));
    }
    if (depth >= 32) continue;  // a folder loop on the device
    auto folders = newList();
    if (!folders) break;
    if (int result = gp_camera_folder_list_folders(raw, folder.c_str(), folders.get(), context); result < GP_OK) {
      unreadable(folder, result);
      break;
    }
    auto names = listNames(folders.get());
    for (auto it = names.rbegin(); it != names.rend(); ++it)  // visited in name order
      pending.emplace_back(joinFolder(folder, *it), depth + 1);
  }
  if (failed) {
    // Not an empty phone: end the session so that the caller hears of it.
    gp_camera_exit(raw, context);
    side_->open.erase(session);
    session_.reset();
    toMain([failure](GpCamera& camera, CameraDeviceDelegate& delegate) {
      Error error(failure);
      delegate.deviceDidCloseSession(camera, &error);
    });
    return;
  }
  toMain([items = std::move(items)](GpCamera& camera, CameraDeviceDelegate& delegate) {
    camera.catalogue_ = items;
    delegate.deviceDidBecomeReadyWithCompleteContentCatalog(camera);
  });
}

void GpCamera::requestDownloadFile(const CameraFilePtr& file, const DownloadOptions& options,
                                   DownloadDelegate* delegate) {
  auto gpFile = std::dynamic_pointer_cast<const GpFile>(file);
  auto self = shared_from_this();
  if (!gpFile || !delegate) {
    loop_.post([file, delegate] {
      Error error("файл не с этого устройства");
      if (delegate) delegate->didDownloadFile(file, &error, {});
    });
    return;
  }
  worker_.post([self, gpFile, options, delegate] { self->downloadOnWorker(gpFile, options, delegate); });
}

void GpCamera::downloadOnWorker(std::shared_ptr<const GpFile> file, DownloadOptions options,
                                DownloadDelegate* delegate) {
  std::vector<SidecarFailure> sidecarFailures;
  auto answer = [this, file, delegate, &sidecarFailures](std::optional<std::string> failure,
                                                         std::string saved) {
    auto self = shared_from_this();
    loop_.post([file, delegate, failure, saved, sidecarFailures] {
      if (failure) {
        Error error(*failure);
        delegate->didDownloadFile(file, &error, {});
      } else {
        DownloadResultOptions result{{kSavedFilename, saved}};
        if (!sidecarFailures.empty()) result[kFailedSidecarFiles] = sidecarFailures;
        delegate->didDownloadFile(file, nullptr, result);
      }
    });
  };
  if (!session_) {
    answer("сессия с устройством не открыта", "");
    return;
  }
  Camera* camera = session_->camera.get();
  const std::string& folder = options.downloadsDirectory;

  // Copies one phone file into a new temporary file.
  auto fetch = [&](const std::string& phoneFolder, const FileRecord& record,
                   std::string& error) -> std::optional<PartialFile> {
    auto part = PartialFile::create(folder, record.name, error);
    if (!part) return std::nullopt;
    Sink sink{part->fd()};
    ::CameraFile* raw = nullptr;
    if (gp_file_new_from_handler(&raw, &g_sinkHandler, &sink) < GP_OK) {
      error = "не удалось записать файл в папку " + folder;
      return std::nullopt;
    }
    FileHandle data(raw);
    worker_.setProgressHook([&part] { part->startWriteback(); });
    int result = gp_camera_file_get(camera, phoneFolder.c_str(), record.name.c_str(),
                                    GP_FILE_TYPE_NORMAL, raw, worker_.context());
    worker_.setProgressHook(nullptr);
    data.reset();
    if (sink.error != 0) {
      error = "не удалось записать файл в папку " + folder + ": " + std::strerror(sink.error);
      return std::nullopt;
    }
    if (result < GP_OK) {
      error = worker_.describe(result);
      // Perhaps the device has gone: look now, so that its removal is
      // reported before the next file is asked for.
      worker_.tickSoon();
      return std::nullopt;
    }
    if (auto shortfall = transferShortfall(record.size, sink.written)) {
      error = *shortfall;
      return std::nullopt;
    }
    if (!part->finish(record.modified, error)) return std::nullopt;
    return part;
  };

  std::string error;
  auto main = fetch(file->folder(), file->record(), error);
  if (!main) {
    answer(error, "");
    return;
  }
  if (worker_.stopping()) {
    // The run has ended: its report is written, so nothing new may appear.
    answer("прервано", "");
    return;
  }
  // Names: a media file keeps its own name unless that very name is taken.
  // The partners of a photo (a Live Photo's movie, a RAW beside its JPEG:
  // same phone folder, same name, another media extension) try the number
  // that the first of them got, so that a pair stays a pair by name; where
  // that name is taken, the first free one. A sidecar travels once per run,
  // with the first of its media files that arrives, and takes that file's
  // number (or, where that name is taken, the first free one).
  const std::pair<std::string, std::string> stem{file->folder(),
                                                 std::string(nameStem(file->record().name))};
  auto partner = session_->numberOfStem.find(stem);
  const int preferred = partner != session_->numberOfStem.end() ? partner->second : 0;
  std::vector<PublishEntry> entries{{&*main, file->record().name}};
  int number = 0;
  auto saved = publishGroup(folder, entries, error, preferred, &number);
  if (!saved) {
    answer(error, "");
    return;
  }
  session_->numberOfStem.emplace(stem, number);

  auto group = session_->byStem.find(stem);
  if (options.downloadSidecarFiles && group != session_->byStem.end()) {
    std::vector<FolderEntry> folderEntries;
    for (const FileRecord& other : group->second) folderEntries.push_back({other.name, other.mimeType});
    for (const std::string& sidecarName : sidecarsOf(file->record().name, folderEntries)) {
      if (!session_->sidecarsTaken.insert({file->folder(), sidecarName}).second) continue;
      const FileRecord& other = *std::find_if(group->second.begin(), group->second.end(),
                                              [&](const FileRecord& r) { return r.name == sidecarName; });
      if (options.skipStoredSidecars) {
        auto stored = session_->storedCopies.find(folder);
        if (stored == session_->storedCopies.end())
          stored = session_->storedCopies.emplace(folder, StoredCopies::read(folder)).first;
        if (stored->second.holds(other.name, other.size, dateOf(other))) continue;
      }
      std::string sidecarError;
      auto part = fetch(file->folder(), other, sidecarError);
      if (worker_.stopping()) break;
      std::vector<PublishEntry> sidecar;
      if (part) sidecar.push_back({&*part, other.name});
      // The photo stays stored; the caller hears that its sidecar is missing.
      if (!part || !publishGroup(folder, sidecar, sidecarError, number))
        sidecarFailures.push_back({other.name, sidecarError});
    }
  }
  answer(std::nullopt, *saved);
}

void GpCamera::requestCloseSession() {
  auto self = shared_from_this();
  worker_.post([self] {
    if (self->session_) {
      gp_camera_exit(self->session_->camera.get(), self->worker_.context());
      self->side_->open.erase(self->session_);
      self->session_.reset();
    }
    self->toMain([](GpCamera& camera, CameraDeviceDelegate& delegate) {
      delegate.deviceDidCloseSession(camera, nullptr);
    });
  });
}

void GpCamera::removed() {
  if (delegate_) delegate_->didRemoveDevice(*this);
  auto self = shared_from_this();
  worker_.post([self] {
    if (!self->session_) return;
    gp_camera_exit(self->session_->camera.get(), self->worker_.context());
    self->side_->open.erase(self->session_);
    self->session_.reset();
  });
}

class GpBrowser : public DeviceBrowser {
 public:
  GpBrowser(runloop::RunLoop& loop, Gphoto2Worker& worker, std::shared_ptr<WorkerSide> side)
      : loop_(loop), worker_(worker), side_(std::move(side)) {}
  ~GpBrowser() override {
    *alive_ = false;
    if (started_) worker_.setTick(std::chrono::milliseconds(500), nullptr);
  }

  // Shared with the worker's tick, which may still be running when the
  // browser goes away: it reaches the browser only through `toMain`.
  struct Poller {
    runloop::RunLoop& loop;
    Gphoto2Worker& worker;
    std::shared_ptr<WorkerSide> side;
    std::weak_ptr<bool> alive;
    GpBrowser* browser;
    void poll();
    template <typename F>
    void toMain(F task) {
      std::weak_ptr<bool> token = alive;
      loop.post([token, task]() mutable {
        if (auto flag = token.lock(); flag && *flag) task();
      });
    }
  };

  void setDelegate(DeviceBrowserDelegate* delegate) override { delegate_ = delegate; }
  void setBrowsedDeviceTypeMask(unsigned mask) override { mask_ = mask; }
  void start() override;
  std::optional<std::vector<std::shared_ptr<Device>>> devices() const override {
    if (!looked_) return std::nullopt;
    return devices_;
  }

 private:
  // Runs on the main thread while the browser lives.
  template <typename F>
  void toMain(F task) {
    std::weak_ptr<bool> alive = alive_;
    loop_.post([alive, task]() mutable {
      if (auto flag = alive.lock(); flag && *flag) task();
    });
  }

  runloop::RunLoop& loop_;
  Gphoto2Worker& worker_;
  std::shared_ptr<WorkerSide> side_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  DeviceBrowserDelegate* delegate_ = nullptr;
  unsigned mask_ = 0;
  bool started_ = false;
  bool looked_ = false;
  std::vector<std::shared_ptr<Device>> devices_;
};

void GpBrowser::start() {
  if (started_) return;
  started_ = true;
  // libgphoto2 has cameras only; a mask without cameras or local devices finds none.
  const bool wantCameras = (mask_ & kDeviceTypeMaskCamera) && (mask_ & kDeviceLocationMaskLocal);
  if (!wantCameras) {
    toMain([this] {
      looked_ = true;
      if (delegate_) delegate_->deviceBrowserDidEnumerateLocalDevices(*this);
    });
    return;
  }
  auto poller = std::make_shared<Poller>(Poller{loop_, worker_, side_, alive_, this});
  worker_.setTick(std::chrono::milliseconds(500), [poller] { poller->poll(); });
}

bool isUsbPath(std::string_view port) { return port.substr(0, 3) == "usb"; }

// libgphoto2's detection over every port of `ports`.
std::optional<ScanResult> detectAll(Gphoto2Worker& worker, GPPortInfoList* ports) {
  auto list = newList();
  if (!list || gp_abilities_list_detect(worker.abilities(), ports, list.get(), worker.context()) < GP_OK)
    return std::nullopt;
  ScanResult found;
  int count = gp_list_count(list.get());
  for (int i = 0; i < count; ++i) {
    const char* model = nullptr;
    const char* port = nullptr;
    if (gp_list_get_name(list.get(), i, &model) < GP_OK ||
        gp_list_get_value(list.get(), i, &port) < GP_OK || !model || !port)
      continue;
    if (std::string_view(port) == "usb:") continue;  // the generic entry, not a device
    found[std::string(port) + "|" + model] = {model, port};
  }
  return found;
}

// The mounted camera folders among `ports`, found as libgphoto2's detection
// finds them: a disk port whose folder holds a DCIM (or dcim) folder.
std::optional<ScanResult> detectFolders(GPPortInfoList* ports) {
  constexpr const char* kModel = "Mass Storage Camera";
  ScanResult found;
  int count = gp_port_info_list_count(ports);
  for (int i = 0; i < count; ++i) {
    GPPortInfo info;
    GPPortType type;
    char* path = nullptr;
    if (gp_port_info_list_get_info(ports, i, &info) < GP_OK || gp_port_info_get_type(info, &type) < GP_OK ||
        gp_port_info_get_path(info, &path) < GP_OK || !path)
      return std::nullopt;
    std::string_view port(path);
    if (type != GP_PORT_DISK || port.substr(0, 5) != "disk:") continue;
    std::string folder(port.substr(5));
    struct stat st {};
    if (::stat((folder + "/DCIM").c_str(), &st) != 0 && ::stat((folder + "/dcim").c_str(), &st) != 0)
      continue;
    found[std::string(port) + "|" + kModel] = {kModel, std::string(port)};
  }
  return found;
}

// One look for cameras; nothing when the library could not look.
//
// libgphoto2's USB detection leaks inside the library at every call (tens to
// hundreds of KB, by the USB setup), and it cannot be run on the other ports
// alone. So the library's detection runs only when the set of USB devices
// has changed (and once more on the next look, to let a device that was
// still appearing settle); in between, its last USB result stands and the
// camera folders, which come and go with mounts, are found directly.
std::optional<ScanResult> scanForCameras(Gphoto2Worker& worker, WorkerSide& side) {
  auto ports = loadPorts();
  if (!ports) return std::nullopt;
  auto signature = usbDevicesSignature();
  const bool changed = !signature || !side.usbFound || signature != side.usbSignature;
  if (changed || side.usbRecheck) {
    auto found = detectAll(worker, ports.get());
    if (!found) return std::nullopt;
    side.usbFound.emplace();
    for (const auto& [key, value] : *found)
      if (isUsbPath(value.second)) side.usbFound->insert({key, value});
    side.usbRecheck = changed;
    side.usbSignature = signature;
    return found;
  }
  auto found = detectFolders(ports.get());
  if (!found) return std::nullopt;
  found->insert(side.usbFound->begin(), side.usbFound->end());
  return found;
}

void GpBrowser::Poller::poll() {
  auto found = scanForCameras(worker, *side);
  std::set<std::string> knownKeys;
  for (const auto& entry : side->known) knownKeys.insert(entry.first);
  // A failed look changes nothing, and does not end the first enumeration.
  if (!found) return;
  ScanChanges changes = compareScan(knownKeys, found);
  const std::vector<std::string>& gone = changes.gone;
  std::vector<Detected> added;
  for (const auto& key : changes.added) {
    const auto& value = found->at(key);
    std::optional<UsbStrings> usb;
    if (auto busDevice = parseUsbPort(value.second)) usb = readUsbStrings(busDevice->first, busDevice->second);
    Detected detected{value.first, value.second, identifyDevice(value.first, value.second, usb)};
    side->known[key] = detected;
    added.push_back(detected);
  }
  // Cameras on USB (a phone) first: a card or folder with a DCIM tree that
  // happens to be mounted must not be taken for the phone.
  std::stable_sort(added.begin(), added.end(), [](const Detected& a, const Detected& b) {
    return (a.identity.transportType == "usb") > (b.identity.transportType == "usb");
  });
  for (std::size_t i = 0; i < gone.size(); ++i) {
    side->known.erase(gone[i]);
    bool moreGoing = i + 1 < gone.size();
    toMain([b = browser, key = gone[i], moreGoing] {
      for (auto it = b->devices_.begin(); it != b->devices_.end(); ++it) {
        auto camera = std::static_pointer_cast<GpCamera>(*it);
        if (camera->key() != key) continue;
        b->devices_.erase(it);
        if (b->delegate_) b->delegate_->deviceBrowserDidRemoveDevice(*b, camera, moreGoing);
        camera->removed();
        break;
      }
    });
  }
  for (std::size_t i = 0; i < added.size(); ++i) {
    bool moreComing = i + 1 < added.size();
    toMain([b = browser, detected = added[i], moreComing] {
      auto camera = std::make_shared<GpCamera>(b->loop_, b->worker_, b->side_, detected);
      b->devices_.push_back(camera);
      b->looked_ = true;
      if (b->delegate_) b->delegate_->deviceBrowserDidAddDevice(*b, camera, moreComing);
    });
  }
  if (!side->firstPollDone) {
    side->firstPollDone = true;
    toMain([b = browser] {
      b->looked_ = true;
      if (b->delegate_) b->delegate_->deviceBrowserDidEnumerateLocalDevices(*b);
    });
  }
}

}  // namespace

Gphoto2ImageCapture::Gphoto2ImageCapture(runloop::RunLoop& mainLoop)
    : mainLoop_(mainLoop), worker_(std::make_unique<Gphoto2Worker>()) {
  installInterruptCleanup();
}

Gphoto2ImageCapture::~Gphoto2ImageCapture() = default;

bool Gphoto2ImageCapture::stop(std::chrono::milliseconds grace) {
  if (worker_->stop(grace)) return true;
  removeNamedTemporaries();
  return false;
}

std::unique_ptr<DeviceBrowser> Gphoto2ImageCapture::makeDeviceBrowser() {
  auto side = std::make_shared<WorkerSide>();
  Gphoto2Worker* worker = worker_.get();
  worker_->setFinalizer([side, worker] {
    for (const auto& session : side->open) {
      gp_camera_exit(session->camera.get(), worker->context());
      session->camera.reset();
    }
    side->open.clear();
  });
  return std::make_unique<GpBrowser>(mainLoop_, *worker_, side);
}

}  // namespace imagecapture
