#include "ptp_image_capture.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "device_identity.h"
#include "device_scan.h"
#include "import_naming.h"
#include "libusb_transport.h"
#include "object_reader.h"
#include "ptp_codec.h"
#include "ptp_transactions.h"
#include "safe_publish.h"
#include "stored_copies.h"
#include "usb_sysfs.h"
#include "wall_clock.h"
#include "worker.h"

namespace imagecapture {

namespace {

using Clock = std::chrono::steady_clock;
using ptp::Operation;
using ptp::ResponseCode;

constexpr std::chrono::milliseconds kEventSlice{250};
// How often the stores are asked for again while the phone's events are awaited.
constexpr std::chrono::milliseconds kStoreLook{2000};
constexpr long long kWritebackStep = 8 << 20;
// How often a download's progress is told to the main run loop at most.
constexpr std::chrono::milliseconds kProgressInterval{100};
// DeviceInfo asked at most this often when a killed run's session or answer
// stands in the way.
constexpr int kDeviceInfoAttempts = 3;

std::string fallbackName(const UsbCamera& camera) {
  char name[32];
  std::snprintf(name, sizeof name, "USB camera %04x:%04x", camera.vendorId, camera.productId);
  return name;
}

// Why a camera's interface could not be had, as a session error.
std::string openFailure(const UsbResult& failure) {
  if (failure.error == "LIBUSB_ERROR_BUSY")
    return "интерфейс камеры занят другой программой (" + failure.error +
           "); закройте программу, которая держит телефон (например, gvfs-gphoto2-volume-monitor)";
  if (failure.error == "LIBUSB_ERROR_ACCESS")
    return "нет прав на устройство USB (" + failure.error +
           "); нужен root или группа plugdev с правилом udev пакета";
  return "не удалось открыть устройство USB (" + failure.error + ")";
}

std::optional<std::time_t> secondsOf(const std::optional<Date>& date) {
  if (!date) return std::nullopt;
  return static_cast<std::time_t>(date->time_since_epoch().count());
}

// --- worker-side state (touched on the worker thread only) ---

struct Session {
  explicit Session(std::unique_ptr<UsbTransport> usb) : transport(std::move(usb)), ptp(*transport) {}
  std::unique_ptr<UsbTransport> transport;
  PtpTransactions ptp;
  bool open = false;     // OpenSession was answered
  bool healthy = true;   // no transfer was cut short: the phone may be told goodbye
  // The phone took the formats this computer declared: it sends what it
  // stores, at the size its catalogue gives, and lists objects of 4 GiB or more.
  bool originals = false;
  std::optional<ImportNaming> naming;
  // What each download folder held of the phone's files, read when first asked.
  std::map<std::string, StoredCopies> storedCopies;
};

struct Detected {
  UsbCamera usb;
  DeviceIdentity identity;
};

struct Core {
  UsbBusFactory makeBus;
  PtpCaptureOptions options;
  std::unique_ptr<UsbBus> bus;
  bool busFailed = false;
  std::map<std::string, Detected> known;  // by key
  std::optional<std::string> usbSignature;
  bool lookAgain = false;
  bool firstPollDone = false;
  std::set<std::shared_ptr<Session>> open;

  // Says goodbye to the phone when it can still hear it, and lets go of
  // the interface.
  void close(const std::shared_ptr<Session>& session) {
    if (!session || !session->transport) return;
    session->transport->closing();
    if (session->open && session->healthy) session->ptp.transact(Operation::kCloseSession);
    session->transport.reset();
    open.erase(session);
  }
};

// Called with the bytes of a download received so far.
using ByteCount = std::function<void(std::uint64_t received)>;

// Writes a download into its temporary file as it arrives.
class FileSink final : public DataSink {
 public:
  FileSink(PartialFile& file, std::optional<std::uint64_t> announced, const ByteCount& onBytes)
      : file_(file), announced_(announced), onBytes_(onBytes) {}
  std::optional<std::uint64_t> expectedLength() const override { return announced_; }
  bool write(std::span<const std::uint8_t> bytes) override {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(file_.fd(), bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error_ = n < 0 ? errno : EIO;
        return false;
      }
      done += static_cast<std::size_t>(n);
    }
    written_ += bytes.size();
    if (written_ - writtenBack_ >= kWritebackStep) {
      file_.startWriteback();
      writtenBack_ = written_;
    }
    if (onBytes_) onBytes_(written_);
    return true;
  }
  int error() const { return error_; }

 private:
  PartialFile& file_;
  std::optional<std::uint64_t> announced_;
  const ByteCount& onBytes_;
  int error_ = 0;
  long long written_ = 0;
  long long writtenBack_ = 0;
};

// --- main-thread objects ---

class PtpFile final : public CameraFile {
 public:
  explicit PtpFile(CatalogueFile entry) : entry_(std::move(entry)) {}
  std::optional<std::string> name() const override { return entry_.name; }
  std::optional<Date> creationDate() const override { return entry_.date; }
  std::optional<std::uint64_t> fileSize() const override { return entry_.size; }
  std::uint32_t handle() const { return entry_.handle; }

 private:
  CatalogueFile entry_;
};

class PtpFolder final : public CameraItem {
 public:
  explicit PtpFolder(std::string name) : name_(std::move(name)) {}
  std::optional<std::string> name() const override { return name_; }

 private:
  std::string name_;
};

class PtpCamera final : public CameraDevice, public std::enable_shared_from_this<PtpCamera> {
 public:
  PtpCamera(runloop::RunLoop& loop, Worker& worker, std::shared_ptr<Core> core, Detected detected)
      : loop_(loop), worker_(worker), core_(std::move(core)), detected_(std::move(detected)) {}

  std::optional<std::string> name() const override { return detected_.identity.name; }
  std::optional<std::string> productKind() const override { return detected_.identity.productKind; }
  std::optional<std::string> transportType() const override { return detected_.identity.transportType; }
  std::optional<std::string> uuidString() const override { return detected_.identity.uuid; }

  void setDelegate(CameraDeviceDelegate* delegate) override { delegate_ = delegate; }
  // Original media: the computer declares that it takes HEIF and HEVC, so a
  // phone sends what it stores whatever its transfer setting; otherwise it
  // declares nothing and the phone's setting chooses.
  void setMediaPresentation(int presentation) override { presentation_ = presentation; }
  std::optional<std::vector<CameraItemPtr>> mediaFiles() const override { return catalogue_; }
  void requestOpenSession() override;
  void requestDownloadFile(const CameraFilePtr& file, const DownloadOptions& options,
                           DownloadDelegate* delegate) override;
  void requestCloseSession() override;

  // The browser saw it go.
  void removed();
  const std::string& key() const { return detected_.usb.key; }

 private:
  // Runs `notify` with the delegate on the main thread.
  template <typename F>
  void toMain(F notify) {
    auto self = shared_from_this();
    loop_.post([self, notify]() mutable {
      if (self->delegate_) notify(*self, *self->delegate_);
    });
  }
  void failOpen(const std::string& description);
  // The phone went away: the session is dropped and the importer told.
  void lost();
  void dropSession();
  // Handles an outcome that is not an answer; true when it was one.
  bool answered(const PtpOutcome& outcome, const char* during);
  void openOnWorker(bool declareFormats);
  std::optional<std::vector<std::uint32_t>> storages();
  bool waitForStore(std::vector<std::uint32_t>& found);
  void catalogueOnWorker(const std::vector<std::uint32_t>& stores);
  // Every object of `store` one by one, for a phone without the bulk
  // catalogue. Nothing when the session ended or the catalogue could not be
  // read (`cause` says why, when it is that).
  std::optional<std::vector<ptp::ObjectRecord>> walkStore(std::uint32_t store, std::string& cause);
  void downloadOnWorker(std::shared_ptr<const PtpFile> file, DownloadOptions options,
                        DownloadDelegate* delegate);
  // One phone file into a new temporary file in `folder`, telling
  // `onBytes` what has come as it comes; sets `gone` when the phone went
  // away meanwhile.
  std::optional<PartialFile> fetch(const CatalogueFile& entry, const std::string& folder,
                                   std::string& error, bool& gone, const ByteCount& onBytes = {});

  runloop::RunLoop& loop_;
  Worker& worker_;
  std::shared_ptr<Core> core_;
  Detected detected_;
  std::shared_ptr<Session> session_;  // worker thread only
  // Main thread.
  CameraDeviceDelegate* delegate_ = nullptr;
  int presentation_ = kMediaPresentationOriginalMedia;
  std::optional<std::vector<CameraItemPtr>> catalogue_;
};

void PtpCamera::requestOpenSession() {
  auto self = shared_from_this();
  const bool declareFormats = presentation_ == kMediaPresentationOriginalMedia;
  worker_.post([self, declareFormats] { self->openOnWorker(declareFormats); });
}

void PtpCamera::failOpen(const std::string& description) {
  dropSession();
  toMain([description](PtpCamera& camera, CameraDeviceDelegate& delegate) {
    Error error(description);
    delegate.deviceDidOpenSession(camera, &error);
  });
}

void PtpCamera::dropSession() {
  if (!session_) return;
  core_->close(session_);
  session_.reset();
}

void PtpCamera::lost() {
  if (session_) session_->healthy = false;
  dropSession();
  worker_.tickSoon();  // the browser looks at once
  toMain([](PtpCamera& camera, CameraDeviceDelegate& delegate) { delegate.didRemoveDevice(camera); });
}

bool PtpCamera::answered(const PtpOutcome& outcome, const char* during) {
  switch (outcome.kind) {
    case PtpOutcome::Kind::kAnswered:
      return true;
    case PtpOutcome::Kind::kGone:
      lost();
      return false;
    case PtpOutcome::Kind::kStopped:
      if (session_) session_->healthy = false;
      return false;
    case PtpOutcome::Kind::kBroken:
      if (session_) session_->healthy = false;
      failOpen(std::string(during) + ": " + outcome.error);
      return false;
  }
  return false;
}

void PtpCamera::openOnWorker(bool declareFormats) {
  if (session_) {
    failOpen("сессия уже открыта");
    return;
  }
  if (!core_->bus) {
    failOpen("libusb не запускается");
    return;
  }
  UsbResult failure;
  auto transport = core_->bus->open(detected_.usb, failure);
  if (!transport) {
    if (failure.status == UsbStatus::kGone) {
      lost();
    } else {
      failOpen(openFailure(failure));
    }
    return;
  }
  session_ = std::make_shared<Session>(std::move(transport));
  core_->open.insert(session_);
  PtpTransactions& ptp = session_->ptp;

  // DeviceInfo and OpenSession go with transaction ID 0. A run that ended
  // without closing its session (it was killed) may have left the phone in
  // the middle of an answer, and its session open: the phone takes this
  // DeviceInfo as stale and closes that session (InvalidTransactionID), or
  // the Cancel that ended the leftover answer cuts this one short
  // (IncompleteTransfer). Asked again, it answers.
  PtpOutcome outcome;
  for (int attempt = 0; attempt < kDeviceInfoAttempts; ++attempt) {
    BufferSink info;
    ptp.setNextTransactionId(0);
    if (attempt == 0) ptp.expectLeftovers();
    outcome = ptp.transact(Operation::kGetDeviceInfo, {}, &info);
    const auto code = static_cast<ResponseCode>(outcome.response.code);
    const bool again = outcome.answered() && !outcome.ok() &&
                       (outcome.leftoversDropped || code == ResponseCode::kInvalidTransactionId ||
                        code == ResponseCode::kIncompleteTransfer);
    if (!again) break;
  }
  if (!answered(outcome, "DeviceInfo")) return;
  if (!outcome.ok()) {
    failOpen(ptp::describeResponse(outcome.response.code));
    return;
  }
  if (declareFormats) {
    // Before the session, with ID 0. A phone that refuses it is a phone
    // told nothing: its own setting chooses the formats.
    ptp.setNextTransactionId(0);
    const ptp::Bytes formats = ptp::u16Array(ptp::kHostSupportedFormats);
    outcome = ptp.transact(static_cast<std::uint16_t>(Operation::kSetHostSupportedFormats), {}, &formats, nullptr);
    if (!answered(outcome, "SetHostSupportedFormats")) return;
    session_->originals = outcome.ok();
  }
  ptp.setNextTransactionId(0);
  const std::uint32_t sessionId[] = {1};
  outcome = ptp.transact(Operation::kOpenSession, sessionId);
  if (!answered(outcome, "OpenSession")) return;
  // A session left open (by a run that was killed) is taken over.
  if (!outcome.ok() && outcome.response.code != static_cast<std::uint16_t>(ResponseCode::kSessionAlreadyOpen)) {
    failOpen(ptp::describeResponse(outcome.response.code));
    return;
  }
  session_->open = true;
  toMain([](PtpCamera& camera, CameraDeviceDelegate& delegate) { delegate.deviceDidOpenSession(camera, nullptr); });
  // Kept awake for the import; a phone that does not know how stays as it is.
  if (!answered(ptp.transact(Operation::kKeepAwake), "KeepAwake")) return;

  auto stores = storages();
  if (!stores) return;
  if (stores->empty() && !waitForStore(*stores)) return;
  catalogueOnWorker(*stores);
}

// The stores the phone shows, without its placeholder; nothing when the
// session has ended (the importer was told).
std::optional<std::vector<std::uint32_t>> PtpCamera::storages() {
  BufferSink ids;
  PtpOutcome outcome = session_->ptp.transact(Operation::kGetStorageIds, {}, &ids);
  if (!answered(outcome, "GetStorageIDs")) return std::nullopt;
  std::vector<std::uint32_t> stores;
  if (outcome.ok())
    if (auto all = ptp::parseU32Array(ids.bytes()))
      for (std::uint32_t id : *all)
        if (id != ptp::kPlaceholderStorage) stores.push_back(id);
  return stores;
}

// Waits for the phone's store. A phone shows it once unlocked and trusting
// the computer (StoreRemoved of the placeholder) and done enumerating its
// library (StoreAdded). False when the session ended meanwhile.
bool PtpCamera::waitForStore(std::vector<std::uint32_t>& found) {
  const auto trustUntil = Clock::now() + core_->options.trustWait;
  auto lookAgainAt = Clock::now() + kStoreLook;
  bool trusted = false;
  for (;;) {
    std::vector<std::uint8_t> bytes;
    UsbResult result = session_->transport->nextEvent(bytes, kEventSlice);
    if (result.status == UsbStatus::kGone) {
      lost();
      return false;
    }
    if (result.status == UsbStatus::kStopped) return false;
    if (result.ok()) {
      auto event = ptp::parseEvent(bytes);
      const std::uint32_t store = event && !event->params.empty() ? event->params[0] : 0;
      if (event && event->code == static_cast<std::uint16_t>(ptp::EventCode::kStoreRemoved) &&
          store == ptp::kPlaceholderStorage)
        trusted = true;
      if (event && event->code == static_cast<std::uint16_t>(ptp::EventCode::kStoreAdded)) {
        trusted = true;
        auto stores = storages();
        if (!stores) return false;
        found = std::move(*stores);
        if (found.empty() && store != ptp::kPlaceholderStorage && store != 0) found.push_back(store);
        if (!found.empty()) return true;
      }
      continue;
    }
    // An event that never came does not keep a store from being seen.
    if (Clock::now() >= lookAgainAt) {
      lookAgainAt = Clock::now() + kStoreLook;
      auto stores = storages();
      if (!stores) return false;
      if (!stores->empty()) {
        found = std::move(*stores);
        return true;
      }
    }
    if (!trusted && Clock::now() >= trustUntil) {
      toMain([](PtpCamera& camera, CameraDeviceDelegate& delegate) {
        delegate.cameraDeviceDidEnableAccessRestriction(camera);
      });
      return false;
    }
  }
}

void PtpCamera::catalogueOnWorker(const std::vector<std::uint32_t>& stores) {
  PtpTransactions& ptp = session_->ptp;
  auto unreadable = [this](const std::string& cause) {
    // Not an empty phone: the session ends so that the caller hears of it.
    dropSession();
    toMain([cause](PtpCamera& camera, CameraDeviceDelegate& delegate) {
      Error error("не удалось прочитать список файлов телефона: " + cause);
      delegate.deviceDidCloseSession(camera, &error);
    });
  };
  std::vector<CameraItemPtr> items;
  std::vector<CatalogueFile> files;
  bool bulk = true;  // until the phone answers the bulk catalogue otherwise
  for (std::uint32_t store : stores) {
    std::optional<std::vector<ptp::ObjectRecord>> records;
    if (bulk) {
      // The whole store in one request; a phone that answers anything but
      // OK with a readable catalogue is asked object by object.
      BufferSink all;
      const std::uint32_t params[] = {store, 0, 0};  // every format, the whole tree
      PtpOutcome outcome = ptp.transact(Operation::kGetObjectInfos64, params, &all);
      if (outcome.kind == PtpOutcome::Kind::kBroken) return unreadable(outcome.error);
      if (!answered(outcome, "GetObjectInfos64")) return;
      if (outcome.ok() && !outcome.sinkFailed) records = ptp::parseObjectInfoRecords(all.bytes());
      bulk = records.has_value();
    }
    if (!records) {
      std::string cause;
      records = walkStore(store, cause);
      if (!records) {
        if (!cause.empty()) unreadable(cause);
        return;
      }
    }
    for (auto& [handle, info] : *records) {
      if (info.isFolder()) {
        items.push_back(std::make_shared<PtpFolder>(info.filename));
        continue;
      }
      CatalogueFile entry;
      entry.handle = handle;
      entry.parent = info.parent;
      entry.name = std::move(info.filename);
      entry.size = info.size;
      entry.date = creationDateOf(info.captureDate, info.modificationDate);
      items.push_back(std::make_shared<PtpFile>(entry));
      files.push_back(std::move(entry));
    }
  }
  session_->naming.emplace(std::move(files));
  toMain([items = std::move(items)](PtpCamera& camera, CameraDeviceDelegate& delegate) {
    camera.catalogue_ = items;
    delegate.deviceDidBecomeReadyWithCompleteContentCatalog(camera);
  });
}

std::optional<std::vector<ptp::ObjectRecord>> PtpCamera::walkStore(std::uint32_t store, std::string& cause) {
  PtpTransactions& ptp = session_->ptp;
  // Nothing when the session ended; `cause` set when it is to end.
  auto judged = [&](const PtpOutcome& outcome, const char* during) {
    if (outcome.kind == PtpOutcome::Kind::kBroken) {
      cause = outcome.error;
      return false;
    }
    return answered(outcome, during);
  };
  if (!session_->originals) {
    // Objects of 4 GiB or more are listed once the phone is in this mode
    // (0: its data headers stay with their payloads). Any answer will do.
    const std::uint32_t headersWithPayload[] = {0};
    if (!judged(ptp.transact(Operation::kSetMtpMode, headersWithPayload), "SetMtpMode")) return std::nullopt;
  }
  BufferSink list;
  const std::uint32_t params[] = {store, 0, 0};  // every format, the whole tree
  PtpOutcome outcome = ptp.transact(Operation::kGetObjectHandles, params, &list);
  if (!judged(outcome, "GetObjectHandles")) return std::nullopt;
  if (!outcome.ok()) {
    cause = ptp::describeResponse(outcome.response.code);
    return std::nullopt;
  }
  auto handles = ptp::parseU32Array(list.bytes());
  if (!handles) {
    cause = "список объектов не читается";
    return std::nullopt;
  }
  std::vector<ptp::ObjectRecord> records;
  for (std::uint32_t handle : *handles) {
    BufferSink dataset;
    const std::uint32_t which[] = {handle};
    outcome = ptp.transact(Operation::kGetObjectInfo, which, &dataset);
    if (!judged(outcome, "GetObjectInfo")) return std::nullopt;
    // An object that went meanwhile is not there to import.
    if (outcome.response.code == static_cast<std::uint16_t>(ResponseCode::kInvalidObjectHandle)) continue;
    if (!outcome.ok()) {
      cause = ptp::describeResponse(outcome.response.code);
      return std::nullopt;
    }
    auto info = ptp::parseObjectInfo(dataset.bytes());
    if (!info) {
      cause = "описание объекта не читается";
      return std::nullopt;
    }
    if (!info->size && !info->isFolder()) {
      // 4 GiB or more: the phone tells the size on its own; else none is known.
      BufferSink size;
      outcome = ptp.transact(Operation::kGetObjectSize64, which, &size);
      if (!judged(outcome, "GetObjectSize64")) return std::nullopt;
      if (outcome.ok() && size.bytes().size() == 8) info->size = ptp::LeReader(size.bytes()).u64();
    }
    records.push_back({handle, std::move(*info)});
  }
  return records;
}

void PtpCamera::requestDownloadFile(const CameraFilePtr& file, const DownloadOptions& options,
                                    DownloadDelegate* delegate) {
  auto ptpFile = std::dynamic_pointer_cast<const PtpFile>(file);
  if (!ptpFile || !delegate) {
    loop_.post([file, delegate] {
      Error error("файл не с этого устройства");
      if (delegate) delegate->didDownloadFile(file, &error, {});
    });
    return;
  }
  auto self = shared_from_this();
  worker_.post([self, ptpFile, options, delegate] { self->downloadOnWorker(ptpFile, options, delegate); });
}

std::optional<PartialFile> PtpCamera::fetch(const CatalogueFile& entry, const std::string& folder,
                                            std::string& error, bool& gone, const ByteCount& onBytes) {
  auto part = PartialFile::create(folder, ImportNaming::storedName(entry.name), error);
  if (!part) return std::nullopt;
  FileSink sink(*part, entry.size, onBytes);
  PtpTransactions& ptp = session_->ptp;
  PtpOutcome outcome = readObject(ptp, entry.handle, entry.size, session_->originals, sink);
  switch (outcome.kind) {
    case PtpOutcome::Kind::kGone:
      gone = true;
      error = "телефон отключился";
      return std::nullopt;
    case PtpOutcome::Kind::kStopped:
      // The run is over: the phone is told to drop the transfer.
      session_->healthy = false;
      session_->transport->closing();
      session_->transport->cancel(ptp.currentTransactionId());
      error = "прервано";
      return std::nullopt;
    case PtpOutcome::Kind::kBroken:
      error = outcome.error;
      return std::nullopt;
    case PtpOutcome::Kind::kAnswered:
      break;
  }
  if (outcome.sinkFailed) {
    error = "не удалось записать файл в папку " + folder + ": " + std::strerror(sink.error());
    return std::nullopt;
  }
  if (!outcome.ok()) {
    error = ptp::describeResponse(outcome.response.code);
    return std::nullopt;
  }
  if (!outcome.dataPhase) {
    error = "телефон не прислал данных файла";
    return std::nullopt;
  }
  if (outcome.announced && outcome.received != *outcome.announced) {
    error = "телефон отдал " + std::to_string(outcome.received) + " байт из " + std::to_string(*outcome.announced);
    return std::nullopt;
  }
  if (!part->finish(secondsOf(entry.date), error)) return std::nullopt;
  return part;
}

void PtpCamera::downloadOnWorker(std::shared_ptr<const PtpFile> file, DownloadOptions options,
                                 DownloadDelegate* delegate) {
  std::vector<SidecarFailure> sidecarFailures;
  // Taken before the first name is given: a signal then waits until the
  // importer has written the line of the file.
  std::shared_ptr<InterruptsHeld> held;
  auto answer = [&](std::optional<std::string> failure, std::string saved) {
    loop_.post([file, delegate, failure, saved, sidecarFailures, held]() mutable {
      if (failure) {
        Error error(*failure);
        delegate->didDownloadFile(file, &error, {});
      } else {
        DownloadResultOptions result{{kSavedFilename, saved}};
        if (!sidecarFailures.empty()) result[kFailedSidecarFiles] = sidecarFailures;
        delegate->didDownloadFile(file, nullptr, result);
      }
      held.reset();
    });
  };
  const CatalogueFile* entry = session_ && session_->naming ? session_->naming->find(file->handle()) : nullptr;
  if (!entry) {
    answer("сессия с устройством не открыта", "");
    return;
  }
  ImportNaming& naming = *session_->naming;
  const std::string& folder = options.downloadsDirectory;
  // What the folder held before, when this run completes an earlier import.
  auto stored = [&]() -> const StoredCopies* {
    if (!options.completesEarlierImport) return nullptr;
    auto it = session_->storedCopies.find(folder);
    if (it == session_->storedCopies.end())
      it = session_->storedCopies.emplace(folder, StoredCopies::read(folder)).first;
    return &it->second;
  };
  // The file's progress goes to the importer now and then, and once at the end.
  const std::int64_t announced = entry->size ? static_cast<std::int64_t>(*entry->size) : -1;
  std::uint64_t received = 0;
  Clock::time_point told;
  auto tell = [&] {
    told = Clock::now();
    loop_.post([file, delegate, received, announced] {
      delegate->didReceiveDownloadProgress(*file, static_cast<std::int64_t>(received), announced);
    });
  };
  std::string error;
  bool gone = false;
  auto main = fetch(*entry, folder, error, gone, [&](std::uint64_t bytes) {
    received = bytes;
    if (Clock::now() - told >= kProgressInterval) tell();
  });
  if (gone) {
    // The removal first: the importer then counts this file as not downloaded.
    lost();
    answer(error, "");
    return;
  }
  if (!main) {
    answer(error, "");
    return;
  }
  tell();

  // Its sidecars come before anything takes a name: the file and they are
  // published together, so whatever ends the run in between leaves none of
  // them.
  struct Sidecar {
    const CatalogueFile* entry;
    std::optional<PartialFile> part;
    std::string error;
  };
  std::vector<Sidecar> sidecars;
  if (options.downloadSidecarFiles) {
    auto alreadyHeld = [&](const CatalogueFile& sidecar) {
      const StoredCopies* copies = stored();
      return copies && copies->holds(ImportNaming::storedName(sidecar.name), sidecar.size, sidecar.date);
    };
    for (const CatalogueFile* sidecar : naming.takeSidecars(entry->handle, alreadyHeld)) {
      std::string sidecarError;
      auto part = fetch(*sidecar, folder, sidecarError, gone);
      if (gone || worker_.stopping()) break;
      sidecars.push_back({sidecar, std::move(part), std::move(sidecarError)});
    }
  }
  if (gone) {
    lost();
    answer("телефон отключился", "");
    return;
  }
  if (worker_.stopping()) {
    // The run has ended: its report is written, so nothing new may appear.
    answer("прервано", "");
    return;
  }
  held = std::make_shared<InterruptsHeld>();
  auto partnerHeldAs = [&](const CatalogueFile& partner) -> std::optional<int> {
    const StoredCopies* copies = stored();
    if (!copies) return std::nullopt;
    return copies->heldAs(ImportNaming::storedName(partner.name), partner.size, partner.date);
  };
  std::vector<PublishEntry> entries{{&*main, ImportNaming::storedName(entry->name)}};
  int number = 0;
  auto saved =
      publishGroup(folder, entries, error, naming.preferredNumber(entry->handle, partnerHeldAs), &number);
  if (!saved) {
    answer(error, "");
    return;
  }
  naming.stored(entry->handle, number);
  for (Sidecar& sidecar : sidecars) {
    std::vector<PublishEntry> group;
    if (sidecar.part) group.push_back({&*sidecar.part, ImportNaming::storedName(sidecar.entry->name)});
    // The photo stays stored; the caller hears that its sidecar is missing.
    if (!sidecar.part || !publishGroup(folder, group, sidecar.error, number))
      sidecarFailures.push_back({sidecar.entry->name, sidecar.error});
  }
  answer(std::nullopt, *saved);
}

void PtpCamera::requestCloseSession() {
  auto self = shared_from_this();
  worker_.post([self] {
    self->dropSession();
    self->toMain([](PtpCamera& camera, CameraDeviceDelegate& delegate) {
      delegate.deviceDidCloseSession(camera, nullptr);
    });
  });
}

void PtpCamera::removed() {
  if (delegate_) delegate_->didRemoveDevice(*this);
  auto self = shared_from_this();
  worker_.post([self] {
    if (self->session_) self->session_->healthy = false;
    self->dropSession();
  });
}

class PtpBrowser final : public DeviceBrowser {
 public:
  PtpBrowser(runloop::RunLoop& loop, Worker& worker, std::shared_ptr<Core> core)
      : loop_(loop), worker_(worker), core_(std::move(core)) {}
  ~PtpBrowser() override {
    *alive_ = false;
    if (started_) worker_.setTick(core_->options.pollPeriod, nullptr);
  }

  void setDelegate(DeviceBrowserDelegate* delegate) override { delegate_ = delegate; }
  void setBrowsedDeviceTypeMask(unsigned mask) override { mask_ = mask; }
  void start() override;
  std::optional<std::vector<std::shared_ptr<Device>>> devices() const override {
    if (!looked_) return std::nullopt;
    return devices_;
  }

 private:
  // Shared with the worker's tick, which may still run when the browser
  // is gone: it reaches the browser only through `toMain`.
  struct Poller {
    runloop::RunLoop& loop;
    Worker& worker;
    std::shared_ptr<Core> core;
    std::weak_ptr<bool> alive;
    PtpBrowser* browser;
    void poll();
    template <typename F>
    void toMain(F task) {
      std::weak_ptr<bool> token = alive;
      loop.post([token, task]() mutable {
        if (auto flag = token.lock(); flag && *flag) task();
      });
    }
  };

  template <typename F>
  void toMain(F task) {
    std::weak_ptr<bool> alive = alive_;
    loop_.post([alive, task]() mutable {
      if (auto flag = alive.lock(); flag && *flag) task();
    });
  }

  runloop::RunLoop& loop_;
  Worker& worker_;
  std::shared_ptr<Core> core_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  DeviceBrowserDelegate* delegate_ = nullptr;
  unsigned mask_ = 0;
  bool started_ = false;
  bool looked_ = false;
  std::vector<std::shared_ptr<Device>> devices_;
};

void PtpBrowser::start() {
  if (started_) return;
  started_ = true;
  // Cameras on USB are all this layer finds; a mask without them finds none.
  const bool wantCameras = (mask_ & kDeviceTypeMaskCamera) && (mask_ & kDeviceLocationMaskLocal);
  if (!wantCameras) {
    toMain([this] {
      looked_ = true;
      if (delegate_) delegate_->deviceBrowserDidEnumerateLocalDevices(*this);
    });
    return;
  }
  auto poller = std::make_shared<Poller>(Poller{loop_, worker_, core_, alive_, this});
  worker_.setTick(core_->options.pollPeriod, [poller] { poller->poll(); });
}

void PtpBrowser::Poller::poll() {
  Core& side = *core;
  if (!side.bus && !side.busFailed) {
    side.bus = side.makeBus(worker.stopFlag());
    side.busFailed = !side.bus;
  }
  // The bus is read again only when the system's USB devices changed (and
  // once more on the next look, for a device that was still appearing).
  std::optional<std::string> signature = side.options.watchUsbDevices ? usbDevicesSignature() : std::nullopt;
  const bool changed = !signature || signature != side.usbSignature;
  std::optional<ScanResult> found;
  std::map<std::string, UsbCamera> byKey;
  if (!side.firstPollDone || changed || side.lookAgain) {
    std::optional<std::vector<UsbCamera>> cameras;
    if (side.bus) cameras = side.bus->cameras();
    else cameras.emplace();  // without libusb there is nothing to find
    if (cameras) {
      found.emplace();
      for (const auto& camera : *cameras) {
        (*found)[camera.key] = {fallbackName(camera), camera.key};
        byKey[camera.key] = camera;
      }
      side.lookAgain = changed && side.firstPollDone;
      side.usbSignature = signature;
    }
  }
  if (found) {
    std::set<std::string> knownKeys;
    for (const auto& entry : side.known) knownKeys.insert(entry.first);
    ScanChanges changes = compareScan(knownKeys, found);
    for (std::size_t i = 0; i < changes.gone.size(); ++i) {
      side.known.erase(changes.gone[i]);
      const bool moreGoing = i + 1 < changes.gone.size();
      toMain([b = browser, key = changes.gone[i], moreGoing] {
        for (auto it = b->devices_.begin(); it != b->devices_.end(); ++it) {
          auto camera = std::static_pointer_cast<PtpCamera>(*it);
          if (camera->key() != key) continue;
          b->devices_.erase(it);
          if (b->delegate_) b->delegate_->deviceBrowserDidRemoveDevice(*b, camera, moreGoing);
          camera->removed();
          break;
        }
      });
    }
    std::vector<Detected> added;
    for (const auto& key : changes.added) {
      auto camera = byKey.find(key);
      const auto& [model, port] = found->at(key);
      std::optional<UsbStrings> strings = readUsbStrings(camera->second.bus, camera->second.address);
      Detected detected{camera->second, identifyDevice(model, port, strings)};
      side.known[key] = detected;
      added.push_back(detected);
    }
    for (std::size_t i = 0; i < added.size(); ++i) {
      const bool moreComing = i + 1 < added.size();
      toMain([b = browser, detected = added[i], moreComing] {
        auto camera = std::make_shared<PtpCamera>(b->loop_, b->worker_, b->core_, detected);
        b->devices_.push_back(camera);
        b->looked_ = true;
        if (b->delegate_) b->delegate_->deviceBrowserDidAddDevice(*b, camera, moreComing);
      });
    }
  }
  if (!side.firstPollDone && found) {
    side.firstPollDone = true;
    toMain([b = browser] {
      b->looked_ = true;
      if (b->delegate_) b->delegate_->deviceBrowserDidEnumerateLocalDevices(*b);
    });
  }
}

}  // namespace

PtpImageCapture::PtpImageCapture(runloop::RunLoop& mainLoop, UsbBusFactory makeBus, PtpCaptureOptions options)
    : mainLoop_(mainLoop), makeBus_(std::move(makeBus)), options_(options), worker_(std::make_unique<Worker>()) {
  if (!makeBus_)
    makeBus_ = [](const std::atomic<bool>& stop) -> std::unique_ptr<UsbBus> {
      std::string error;
      return LibusbBus::create(stop, error);
    };
  installInterruptCleanup();
}

PtpImageCapture::~PtpImageCapture() = default;

bool PtpImageCapture::stop(std::chrono::milliseconds grace) {
  if (worker_->stop(grace)) return true;
  removeNamedTemporaries();
  return false;
}

std::unique_ptr<DeviceBrowser> PtpImageCapture::makeDeviceBrowser() {
  auto core = std::make_shared<Core>();
  core->makeBus = makeBus_;
  core->options = options_;
  worker_->setFinalizer([core] {
    for (auto session : std::set<std::shared_ptr<Session>>(core->open)) core->close(session);
    core->open.clear();
    core->known.clear();
    core->bus.reset();
  });
  return std::make_unique<PtpBrowser>(mainLoop_, *worker_, core);
}

}  // namespace imagecapture
