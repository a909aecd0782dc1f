#include "ptp_phone.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "byte_order.h"
#include "object_content.h"

namespace emulated_phone::usb {

using namespace ptp;

namespace {

constexpr uint64_t kLargeObject = 0xFFFFFFFFu;  // no 32-bit size can tell it
// How long a phone that trusts the computer already shows its placeholder
// store after OpenSession, unless the host looks at it sooner.
constexpr double kTrustMoment = 0.1;

std::string lowerExtension(const std::string& name) {
  const auto dot = name.rfind('.');
  std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return ext;
}

bool isHeic(const std::string& ext) { return ext == "heic" || ext == "heif"; }
bool isMovie(const std::string& ext) { return ext == "mov"; }
bool mayHoldExif(const std::string& ext) {
  for (const char* e : {"heic", "heif", "jpg", "jpeg", "png", "dng", "tif", "tiff"})
    if (ext == e) return true;
  return false;
}

uint16_t formatOfExtension(const std::string& ext) {
  static const std::map<std::string, uint16_t> formats = {
      {"jpg", kExifJpeg}, {"jpeg", kExifJpeg}, {"heic", kExifJpeg}, {"heif", kExifJpeg},
      {"png", kPng},      {"tif", kTiff},      {"tiff", kTiff},     {"dng", kDng},
      {"gif", kGif},      {"mov", kQuickTime}, {"mp4", kMpeg},      {"m4v", kMpeg}};
  auto it = formats.find(ext);
  return it == formats.end() ? uint16_t{kUndefined} : it->second;
}

// What the phone's converter announces: JPEG from HEIC, H.264 from HEVC.
uint64_t conversionEstimate(uint64_t size, bool movie) {
  return movie ? size * 2 + 4096 : size + size / 2 + 4096;
}

Answer only(std::string message) {
  Answer a;
  a.messages.push_back(InMessage{std::move(message), {}, false});
  return a;
}

Answer plain(const Command& c, uint16_t code) { return only(response(code, c.transaction)); }

std::string event(uint16_t code, const std::vector<uint32_t>& params) {
  Dataset d;
  for (uint32_t p : params) d.u32(p);
  return container(kEvent, code, kEventTransaction, d.data());
}

bool appleOrMtp(uint16_t code) { return code >= 0x9000 && code <= 0x9FFF; }

}  // namespace

double steadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

PtpPhone::PtpPhone(std::shared_ptr<FileSystem> files, PhoneSetup setup, Clock clock)
    : files_(std::move(files)), setup_(std::move(setup)), clock_(std::move(clock)), started_(clock_()) {}

bool PtpPhone::takesData(uint16_t code) { return code == kAppleSetHostSupportedFormats; }

void PtpPhone::plugIn() {
  session_ = 0;
  store_ = Store::kPlaceholder;
  host_heif_ = host_hevc_ = split_headers_ = large_listing_ = false;
  setup_.unplug_at_session_open = false;
  setup_.catalogue_answers_before_unplug = -1;
}

void PtpPhone::advance() {
  if (session_ == 0) return;
  const double now = clock_();
  if (store_ == Store::kPlaceholder && removed_at_ >= 0 && now >= removed_at_) {
    store_ = Store::kEnumerating;
    events_.push_back(event(kStoreRemoved, {kPlaceholderStorageId}));
  }
  if (store_ == Store::kEnumerating && now >= added_at_) {
    store_ = Store::kReady;
    events_.push_back(event(kAppleLibraryReady, {}));
    events_.push_back(event(kStoreAdded, {kStorageId}));
  }
}

std::vector<std::string> PtpPhone::takeEvents() {
  advance();
  return std::exchange(events_, {});
}

double PtpPhone::nextEventAt() const {
  if (session_ == 0) return -1;
  if (store_ == Store::kPlaceholder) return removed_at_;
  if (store_ == Store::kEnumerating) return added_at_;
  return -1;
}

Answer PtpPhone::handle(const Command& c) {
  advance();
  Answer a = answer(c);
  advance();
  if (setup_.trace) {
    std::fprintf(stderr, "ptp: %04x [%u]", c.code, c.transaction);
    for (uint32_t p : c.params) std::fprintf(stderr, " %08x", p);
    if (a.unplug) {
      std::fprintf(stderr, " -> unplugged\n");
    } else if (!a.messages.empty()) {
      std::fprintf(stderr, " -> %04x\n", containerCode(a.messages.back().head));
    }
  }
  return a;
}

Answer PtpPhone::answer(const Command& c) {
  if (setup_.refuse_apple_ops && appleOrMtp(c.code)) return plain(c, kOperationNotSupported);
  if (c.has_data && c.data_code != c.code) return plain(c, kDeviceBusy);
  if (c.code == kOpenSession && setup_.unplug_at_session_open) {
    Answer a;
    a.unplug = true;
    return a;
  }
  auto busy = setup_.busy.find(c.code);
  if (busy != setup_.busy.end() && busy->second > 0) {
    --busy->second;
    return plain(c, kDeviceBusy);
  }
  if (session_ == 0) {
    switch (c.code) {
      case kGetDeviceInfo: return getDeviceInfo(c);
      case kOpenSession: return openSession(c);
      case kAppleMtpMode: return appleMtpMode(c);
      case kAppleSetHostSupportedFormats: return appleSetHostSupportedFormats(c);
      default: return plain(c, kSessionNotOpen);
    }
  }
  if (c.code == kOpenSession) return only(response(kSessionAlreadyOpen, c.transaction, {session_}));
  if (c.transaction <= last_transaction_) {
    if (c.code == kGetDeviceInfo) closeSession(c);
    return plain(c, kInvalidTransactionId);
  }
  last_transaction_ = c.transaction;
  const bool listing = c.code == kGetObjectHandles || c.code == kGetObjectInfo || c.code == kAppleObjectInfos ||
                       c.code == kAppleObjectInfos64 || c.code == kMtpGetObjectPropList;
  if (listing && setup_.catalogue_answers_before_unplug >= 0 &&
      catalogue_answers_ >= setup_.catalogue_answers_before_unplug) {
    Answer a;
    a.unplug = true;
    return a;
  }
  if (listing) ++catalogue_answers_;
  return serve(c);
}

// One handler per operation; what a current iPhone does not answer is not supported.
Answer PtpPhone::serve(const Command& c) {
  switch (c.code) {
    case kGetDeviceInfo: return getDeviceInfo(c);
    case kCloseSession: return closeSession(c);
    case kGetStorageIds: return getStorageIds(c);
    case kGetStorageInfo: return getStorageInfo(c);
    case kGetNumObjects:
    case kGetObjectHandles: return getObjectHandles(c);
    case kGetObjectInfo: return getObjectInfo(c);
    case kGetObject: return getObject(c);
    case kGetThumb: return getThumb(c);
    case kDeleteObject: return plain(c, kAccessDenied);  // read-only with iCloud Photos
    case kResetDevice:
      closeSession(c);
      return plain(c, kOk);
    case kGetDevicePropDesc:
    case kGetDevicePropValue: return plain(c, kDevicePropNotSupported);
    case kSetDevicePropValue: return plain(c, kOk);  // at once; its data phase is not read
    case kGetPartialObject: return getPartialObject(c);
    case kGetFilesystemManifest: return getFilesystemManifest(c);
    case kAppleNumObjects: return appleNumObjects(c);
    case kAppleObjectInfos:
    case kAppleObjectInfos64: return appleObjectInfos(c);
    case kAppleKeepAwake: return plain(c, kOk);
    case kAppleObjectSize64: return appleObjectSize64(c);
    case kAppleGetPartialObject64: return appleGetPartialObject64(c);
    case kAppleMtpMode: return appleMtpMode(c);
    case kAppleSetHostSupportedFormats: return appleSetHostSupportedFormats(c);
    case kMtpGetObjectPropList: return mtpGetObjectPropList(c);
    default: return plain(c, kOperationNotSupported);
  }
}

Answer PtpPhone::getDeviceInfo(const Command& c) {
  std::vector<uint16_t> ops;
  for (uint16_t op = kGetDeviceInfo; op <= kDeleteObject; ++op) ops.push_back(op);
  ops.insert(ops.end(), {kResetDevice, kGetDevicePropDesc, kGetDevicePropValue, kSetDevicePropValue,
                         kGetPartialObject, kGetFilesystemManifest});
  if (!setup_.refuse_apple_ops)
    ops.insert(ops.end(), {kAppleNumObjects, kAppleObjectInfos, kAppleKeepAwake, kAppleObjectInfos64,
                           kAppleObjectSize64, kAppleGetPartialObject64, kAppleMtpMode,
                           kAppleSetHostSupportedFormats, kMtpGetObjectPropList});
  Dataset d;
  d.u16(100).u32(6).u16(100).string(std::string("microsoft.com: 1.0;")).u16(0);  // MTP's extension
  d.array16(ops).array16({kStoreAdded, kStoreRemoved, kAppleLibraryReady}).array16({}).array16({});
  d.array16({kUndefined, kAssociation, kMpeg, kQuickTime, kExifJpeg, kPng, kTiff, kDng, kHeif, kHevc});
  d.string(setup_.manufacturer).string(setup_.model).string(std::string("17.5")).string(setup_.serial);
  return data(c, d.data());
}

Answer PtpPhone::openSession(const Command& c) {
  if (c.transaction != 0 || c.param(0) == 0) return plain(c, kInvalidParameter);
  session_ = c.param(0);
  last_transaction_ = 0;
  store_ = Store::kPlaceholder;
  // "Trust this computer?" is asked now; the answer may have come before,
  // and the phone then takes a moment to say so.
  planTrust(clock_() + kTrustMoment);
  return plain(c, kOk);
}

void PtpPhone::planTrust(double earliest) {
  removed_at_ = setup_.trust_after < 0 ? -1 : std::max(earliest, started_ + setup_.trust_after);
  added_at_ = removed_at_ < 0 ? -1 : removed_at_ + setup_.enumerate_after;
}

Answer PtpPhone::closeSession(const Command& c) {
  session_ = 0;
  store_ = Store::kPlaceholder;  // the store goes without events
  return plain(c, kOk);
}

Answer PtpPhone::getStorageIds(const Command& c) {
  std::vector<uint32_t> ids;
  if (store_ == Store::kPlaceholder) {
    ids.push_back(kPlaceholderStorageId);
    planTrust(clock_());  // the host has seen the placeholder: no moment more to wait
  }
  if (store_ == Store::kReady) ids.push_back(kStorageId);
  return data(c, Dataset().array32(ids).data());
}

Answer PtpPhone::getStorageInfo(const Command& c) {
  if (!storageKnown(c.param(0), false)) return plain(c, kInvalidStorageId);
  const bool placeholder = c.param(0) == kPlaceholderStorageId;
  Dataset d;
  d.u16(0x0003).u16(0x0002).u16(0x0002);  // fixed RAM, hierarchical, read-only with deletion
  d.u64(128ull << 30).u64(placeholder ? 0 : 32ull << 30).u32(0xFFFFFFFFu);
  d.string(std::string(placeholder ? "Internal Storage" : "iPhone Storage")).string(std::string());
  return data(c, d.data());
}

Answer PtpPhone::getObjectHandles(const Command& c) {
  std::vector<uint32_t> handles;
  if (uint16_t refused = select(c.param(0), c.param(1), c.param(2), &handles)) return plain(c, refused);
  if (c.code == kGetNumObjects)
    return only(response(kOk, c.transaction, {static_cast<uint32_t>(handles.size())}));
  return data(c, Dataset().array32(handles).data());
}

Answer PtpPhone::getObjectInfo(const Command& c) {
  const CatalogueObject* o = visible(c.param(0));
  if (o == nullptr) return plain(c, kInvalidObjectHandle);
  return data(c, objectInfo(*o, false));
}

Answer PtpPhone::getObject(const Command& c) {
  const CatalogueObject* o = visible(c.param(0));
  if (o == nullptr) return plain(c, kIncompleteTransfer);
  return objectData(c, *o, 0, UINT64_MAX, false, false);
}

Answer PtpPhone::getThumb(const Command& c) {
  return plain(c, visible(c.param(0)) ? kNoThumbnailPresent : kInvalidObjectHandle);
}

Answer PtpPhone::getPartialObject(const Command& c) {
  const CatalogueObject* o = visible(c.param(0));
  if (o == nullptr) return plain(c, kIncompleteTransfer);
  const uint64_t length = c.param(2) == 0xFFFFFFFFu ? UINT64_MAX : c.param(2);
  return objectData(c, *o, c.param(1), length, true, true);
}

Answer PtpPhone::appleGetPartialObject64(const Command& c) {
  const CatalogueObject* o = visible(c.param(0));
  if (o == nullptr) return plain(c, kIncompleteTransfer);
  const uint64_t offset = c.param(1) | uint64_t{c.param(2)} << 32;
  const uint64_t length = c.param(3) | uint64_t{c.param(4)} << 32;
  return objectData(c, *o, offset, length, true, false);
}

// Its output is broken on the phone: the count of a manifest, no entries.
Answer PtpPhone::getFilesystemManifest(const Command& c) {
  std::vector<uint32_t> all;
  if (uint16_t refused = select(c.param(0), 0, 0, &all)) return plain(c, refused);
  return data(c, Dataset().u64(all.size()).data());
}

Answer PtpPhone::appleNumObjects(const Command& c) {
  uint32_t files = 0, folders = 0;
  std::vector<uint32_t> all;
  if (store_ == Store::kReady && select(kStorageId, 0, 0, &all) == 0)
    for (uint32_t h : all) ++(catalogue().find(h)->folder ? folders : files);
  const bool trusted = store_ != Store::kPlaceholder;
  return only(response(kOk, c.transaction, {files, folders, trusted ? 0u : 1u, trusted ? 1u : 0u}));
}

Answer PtpPhone::appleObjectInfos(const Command& c) {
  large_listing_ = true;
  if (!storageKnown(c.param(0), false)) return plain(c, kIncompleteTransfer);
  std::vector<uint32_t> handles;
  if (uint16_t refused = select(c.param(0), c.param(1), c.param(2), &handles)) return plain(c, refused);
  Dataset d;
  for (uint32_t h : handles) {
    const std::string info = objectInfo(*catalogue().find(h), c.code == kAppleObjectInfos64);
    d.u32(h).u32(static_cast<uint32_t>(info.size())).bytes(info);
  }
  if (handles.empty()) d.u32(0);
  return data(c, d.data());
}

Answer PtpPhone::appleObjectSize64(const Command& c) {
  const CatalogueObject* o = visible(c.param(0));
  if (o == nullptr) return plain(c, kSessionNotOpen);  // as the phone answers it
  return data(c, Dataset().u64(show(*o).size).data());
}

Answer PtpPhone::appleMtpMode(const Command& c) {
  large_listing_ = true;
  if (c.param(0) != 0) split_headers_ = true;
  return plain(c, kOk);
}

Answer PtpPhone::appleSetHostSupportedFormats(const Command& c) {
  const auto* d = reinterpret_cast<const unsigned char*>(c.data.data());
  if (c.data.size() < 4 || (c.data.size() - 4) / 2 < loadLe32(d)) return plain(c, kInvalidParameter);
  for (uint32_t i = 0; i < loadLe32(d); ++i) {
    const uint16_t format = loadLe16(d + 4 + 2 * i);
    if (format == kHeif || format == kHeif2) host_heif_ = true;
    if (format == kHevc) host_hevc_ = true;
  }
  split_headers_ = large_listing_ = true;
  return plain(c, kOk);
}

Answer PtpPhone::mtpGetObjectPropList(const Command& c) {
  if (c.param(0) == 0 || c.param(0) == 0xFFFFFFFFu) return plain(c, kIncompleteTransfer);
  const CatalogueObject* o = visible(c.param(0));
  if (o == nullptr) return plain(c, kInvalidObjectHandle);
  const Shown s = show(*o);
  const auto [capture, modification] = datesOf(*o);
  const uint32_t wanted = c.param(2);
  Dataset props;
  uint32_t count = 0;
  auto prop = [&](uint16_t code, uint16_t type) -> Dataset& {
    ++count;
    return props.u32(o->handle).u16(code).u16(type);
  };
  for (uint16_t code : {kPropStorageId, kPropObjectFormat, kPropProtectionStatus, kPropObjectSize,
                        kPropObjectFileName, kPropDateCreated, kPropDateModified, kPropParentObject}) {
    if (wanted != 0 && wanted != 0xFFFFFFFFu && wanted != code) continue;
    switch (code) {
      case kPropStorageId: prop(code, kTypeU32).u32(kStorageId); break;
      case kPropObjectFormat: prop(code, kTypeU16).u16(s.format); break;
      case kPropProtectionStatus: prop(code, kTypeU16).u16(0); break;
      case kPropObjectSize: prop(code, kTypeU64).u64(s.size); break;
      case kPropObjectFileName: prop(code, kTypeString).string(s.name); break;
      case kPropDateCreated: prop(code, kTypeString).string(capture); break;
      case kPropDateModified: prop(code, kTypeString).string(modification); break;
      default: prop(code, kTypeU32).u32(catalogue().shownParent(*o, kStorageId)); break;
    }
  }
  return data(c, Dataset().u32(count).bytes(props.data()).data());
}

const Catalogue& PtpPhone::catalogue() {
  if (!catalogue_) catalogue_ = Catalogue::scan(*files_, setup_.catalogue);
  return *catalogue_;
}

const CatalogueObject* PtpPhone::visible(uint32_t handle) {
  return store_ == Store::kReady ? catalogue().find(handle) : nullptr;
}

bool PtpPhone::storageKnown(uint32_t storage, bool or_all) const {
  if (or_all && storage == kAllStorages) return true;
  return (store_ == Store::kReady && storage == kStorageId) ||
         (store_ == Store::kPlaceholder && storage == kPlaceholderStorageId);
}

uint16_t PtpPhone::select(uint32_t storage, uint32_t format, uint32_t association,
                          std::vector<uint32_t>* out) {
  out->clear();
  if (!storageKnown(storage, true)) return kInvalidStorageId;
  if (store_ != Store::kReady) return 0;  // the placeholder holds nothing
  const Catalogue& cat = catalogue();
  std::vector<uint32_t> candidates;
  if (association == 0) {
    candidates = cat.wholeTree();
  } else if (association == 0xFFFFFFFFu) {
    candidates = cat.topLevel();
  } else {
    const CatalogueObject* folder = cat.find(association);
    if (folder == nullptr || !folder->folder) return kInvalidParentObject;
    candidates = folder->children;
  }
  for (uint32_t h : candidates) {
    const CatalogueObject& o = *cat.find(h);
    if (!o.folder && o.size >= kLargeObject && !large_listing_) continue;
    if (format != 0 && show(o).format != format) continue;
    out->push_back(h);
  }
  return 0;
}

PtpPhone::Shown PtpPhone::show(const CatalogueObject& o) const {
  Shown s;
  auto named = setup_.show_names.find(o.name);
  s.name = named != setup_.show_names.end() ? named->second : utf16(o.name);
  if (o.folder) {
    s.format = kAssociation;
    return s;
  }
  const std::string ext = lowerExtension(o.name);
  s.movie = isMovie(ext);
  s.format = formatOfExtension(ext);
  if (isHeic(ext) && host_heif_) s.format = kHeif;
  if (s.movie && host_hevc_) s.format = kHevc;
  s.size = o.size;
  if (setup_.automatic && ((isHeic(ext) && !host_heif_) || (s.movie && !host_hevc_))) {
    s.made_size = s.size = conversionEstimate(o.size, s.movie);
    if (isHeic(ext)) {
      const auto dot = s.name.rfind(u'.');
      const bool lower = dot + 1 < s.name.size() && s.name[dot + 1] >= u'a';
      s.name = s.name.substr(0, dot == std::u16string::npos ? s.name.size() : dot) + (lower ? u".jpg" : u".JPG");
    }
  } else {
    s.movie = false;  // sent as it is: no conversion to wait for
  }
  auto announced = setup_.announce.find(o.name);
  if (announced != setup_.announce.end()) s.size = announced->second;
  return s;
}

std::pair<std::string, std::string> PtpPhone::datesOf(const CatalogueObject& o) {
  auto given = setup_.dates.find(o.name);
  if (given != setup_.dates.end()) return given->second;
  if (o.folder && catalogue().currentIos() && o.parent == 1 && isMonthFolderName(o.name)) {
    const std::string first = o.name.substr(0, 6) + "01T000000.0";  // the 1st of the month
    return {first, first};
  }
  const std::string modification = ptpDate(o.modified + setup_.modification_shift);
  std::string capture;
  auto cached = capture_dates_.find(o.handle);
  if (cached != capture_dates_.end()) {
    capture = cached->second;
  } else {
    std::unique_ptr<OpenFile> file;
    if (!o.folder && !o.synthetic && setup_.exif_date && mayHoldExif(lowerExtension(o.name)) &&
        files_->open(o.path, &file) == FsStatus::kOk)
      capture = ptpDateFromExif(setup_.exif_date(*file).value_or(""));
    capture_dates_[o.handle] = capture;
  }
  return {capture.empty() ? ptpDate(o.modified) : capture, modification};
}

std::string PtpPhone::objectInfo(const CatalogueObject& o, bool wide) {
  const Shown s = show(o);
  const auto [capture, modification] = datesOf(o);
  Dataset d;
  d.u32(kStorageId).u16(s.format).u16(0);  // not protected
  if (wide) {
    d.u64(s.size);
  } else {
    d.u32(s.size >= kLargeObject ? 0xFFFFFFFFu : static_cast<uint32_t>(s.size));
  }
  d.u16(0);                                  // thumb format
  for (int i = 0; i < 6; ++i) d.u32(0);      // thumb size, thumb w/h, image w/h, depth
  d.u32(catalogue().shownParent(o, kStorageId));
  d.u16(o.folder ? 1 : 0).u32(0).u32(0);     // association (generic folder), its description, sequence
  d.string(s.name).string(capture).string(modification).string(std::string());
  return d.data();
}

Answer PtpPhone::objectData(const Command& c, const CatalogueObject& o, uint64_t offset, uint64_t length,
                            bool range, bool count_in_answer) {
  if (o.folder) return plain(c, kInvalidObjectHandle);
  if (setup_.conversion_fails.count(o.name)) {
    Answer a = only(container(kData, c.code, c.transaction, ""));
    a.messages.push_back(InMessage{response(kIncompleteTransfer, c.transaction), {}, false});
    return a;
  }
  const Shown s = show(o);
  std::unique_ptr<OpenFile> content;
  if (o.synthetic) {
    content = std::make_unique<OffsetPatternFile>(o.size);
  } else if (files_->open(o.path, &content) != FsStatus::kOk) {
    return plain(c, kGeneralError);
  }
  if (s.made_size != 0) content = std::make_unique<PaddedFile>(std::move(content), s.made_size);
  const uint64_t available = content->size();
  uint64_t promised = available;
  if (range) {
    // Judged against the announced size: the phone promises what it announced.
    if (offset > s.size || length == 0) return plain(c, kInvalidParameter);
    promised = std::min(length, s.size - offset);
  }
  const uint64_t sent = offset >= available ? 0 : std::min(promised, available - offset);
  Answer a;
  InMessage m{container(kData, c.code, c.transaction, "", promised), {}, true};
  m.body = FileRegion{std::move(content), offset, sent};
  m.split_header = split_headers_;
  m.delay = s.movie ? setup_.movie_delay : 0;
  a.messages.push_back(std::move(m));
  std::vector<uint32_t> params;
  if (count_in_answer) params.push_back(static_cast<uint32_t>(sent));
  a.messages.push_back(InMessage{response(sent < promised ? kIncompleteTransfer : kOk, c.transaction,
                                          sent < promised ? std::vector<uint32_t>{} : params),
                                 {}, false});
  return a;
}

Answer PtpPhone::data(const Command& c, const std::string& payload, uint16_t code) const {
  Answer a;
  InMessage m{container(kData, c.code, c.transaction, payload), {}, false};
  m.split_header = split_headers_;
  a.messages.push_back(std::move(m));
  a.messages.push_back(InMessage{response(code, c.transaction), {}, false});
  return a;
}

}  // namespace emulated_phone::usb
