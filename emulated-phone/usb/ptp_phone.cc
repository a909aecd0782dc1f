#include "ptp_phone.h"

#include <cstdio>
#include <ctime>

namespace emulated_phone::usb {

namespace {

constexpr uint32_t kFirstHandle = 0x10;  // handle 1 is never an object: see reportedParent
constexpr uint16_t kOk = 0x2001;
constexpr uint16_t kGeneralError = 0x2002;
constexpr uint16_t kSessionNotOpen = 0x2003;
constexpr uint16_t kNotSupported = 0x2005;
constexpr uint16_t kIncompleteTransfer = 0x2007;
constexpr uint16_t kInvalidStorage = 0x2008;
constexpr uint16_t kInvalidHandle = 0x2009;
constexpr uint16_t kPropNotSupported = 0x200A;
constexpr uint16_t kAccessDenied = 0x200F;
constexpr uint16_t kNoThumbnail = 0x2010;
constexpr uint16_t kDeviceBusy = 0x2019;
constexpr uint16_t kInvalidParent = 0x201A;
constexpr uint16_t kSessionAlreadyOpen = 0x201E;
constexpr uint16_t kObjectPropNotSupported = 0xA80A;

constexpr uint16_t kFormatUndefined = 0x3000, kFormatFolder = 0x3001, kFormatQuickTime = 0x300D,
                   kFormatJpeg = 0x3801, kFormatPng = 0x380B;
constexpr uint16_t kTypeU16 = 0x0004, kTypeU32 = 0x0006, kTypeU64 = 0x0008, kTypeString = 0xFFFF;

void put16(std::string& s, uint16_t v) {
  s.push_back(static_cast<char>(v & 0xff));
  s.push_back(static_cast<char>(v >> 8));
}
void put32(std::string& s, uint32_t v) {
  put16(s, static_cast<uint16_t>(v & 0xffff));
  put16(s, static_cast<uint16_t>(v >> 16));
}
void put64(std::string& s, uint64_t v) {
  put32(s, static_cast<uint32_t>(v & 0xffffffffu));
  put32(s, static_cast<uint32_t>(v >> 32));
}
uint32_t get32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
  return v;
}
void putArray16(std::string& s, const std::vector<uint16_t>& values) {
  put32(s, static_cast<uint32_t>(values.size()));
  for (uint16_t v : values) put16(s, v);
}
void putArray32(std::string& s, const std::vector<uint32_t>& values) {
  put32(s, static_cast<uint32_t>(values.size()));
  for (uint32_t v : values) put32(s, v);
}

std::string lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

uint16_t formatOf(const std::string& name, bool folder) {
  if (folder) return kFormatFolder;
  auto dot = name.rfind('.');
  std::string ext = dot == std::string::npos ? "" : lower(name.substr(dot + 1));
  if (ext == "jpg" || ext == "jpeg") return kFormatJpeg;
  if (ext == "png") return kFormatPng;
  if (ext == "mov") return kFormatQuickTime;
  return kFormatUndefined;  // HEIC, AAE and the rest, as an iPhone reports them
}

std::string response(uint16_t code, uint32_t transaction, const std::vector<uint32_t>& params = {}) {
  std::string payload;
  for (uint32_t p : params) put32(payload, p);
  return container(3, code, transaction, payload);
}

Answer only(std::string message) {
  Answer a;
  a.messages.push_back(InMessage{std::move(message), {}, false});
  return a;
}

const std::vector<uint16_t> kProps = {0xDC01, 0xDC02, 0xDC03, 0xDC04, 0xDC07, 0xDC08, 0xDC09, 0xDC0B};

}  // namespace

std::string ptpDate(int64_t unix_seconds) {
  std::time_t t = static_cast<std::time_t>(unix_seconds);
  std::tm local{};
  if (::localtime_r(&t, &local) == nullptr) return "";
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%S", &local);
  return text;
}

std::string ptpString(const std::string& utf8) {
  std::u16string units;
  for (size_t i = 0; i < utf8.size() && units.size() < 254;) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    uint32_t cp = 0xFFFD;
    size_t n = 1;
    if (c < 0x80) {
      cp = c;
    } else if ((c & 0xE0) == 0xC0 || (c & 0xF0) == 0xE0 || (c & 0xF8) == 0xF0) {
      size_t want = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
      uint32_t v = c & (want == 2 ? 0x1F : want == 3 ? 0x0F : 0x07);
      bool ok = i + want <= utf8.size();
      for (size_t k = 1; ok && k < want; ++k) {
        unsigned char d = static_cast<unsigned char>(utf8[i + k]);
        ok = (d & 0xC0) == 0x80;
        v = (v << 6) | (d & 0x3F);
      }
      if (ok) {
        cp = v;
        n = want;
      }
    }
    i += n;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      units.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(cp));
    }
  }
  std::string out;
  if (units.empty()) {
    out.push_back('\0');
    return out;
  }
  out.push_back(static_cast<char>(units.size() + 1));
  for (char16_t u : units) put16(out, static_cast<uint16_t>(u));
  put16(out, 0);
  return out;
}

std::string container(uint16_t type, uint16_t code, uint32_t transaction, const std::string& payload) {
  std::string s;
  put32(s, static_cast<uint32_t>(12 + payload.size()));
  put16(s, type);
  put16(s, code);
  put32(s, transaction);
  return s + payload;
}

bool parseCommand(const std::string& bytes, Command* out) {
  if (bytes.size() < 12 || bytes.size() > 32) return false;
  if (get32(bytes, 0) != bytes.size()) return false;
  if ((static_cast<unsigned char>(bytes[4]) | static_cast<unsigned char>(bytes[5]) << 8) != 1)
    return false;
  out->code = static_cast<uint16_t>(static_cast<unsigned char>(bytes[6]) |
                                    static_cast<unsigned char>(bytes[7]) << 8);
  out->transaction = get32(bytes, 8);
  out->params.clear();
  for (size_t at = 12; at + 4 <= bytes.size(); at += 4) out->params.push_back(get32(bytes, at));
  return true;
}

PtpPhone::PtpPhone(std::shared_ptr<FileSystem> files, PhoneSetup setup)
    : files_(std::move(files)), setup_(std::move(setup)) {}

bool PtpPhone::takesData(uint16_t code) {
  return code == 0x100C || code == 0x100D || code == 0x1016 || code == 0x9804 || code == 0x9806;
}

std::vector<std::string> PtpPhone::trust() {
  if (setup_.trusted) return {};
  setup_.trusted = true;
  std::string removed, added;
  put32(removed, kUntrustedStorageId);
  put32(added, kStorageId);
  return {container(4, 0x4005, 0xffffffff, removed), container(4, 0x4004, 0xffffffff, added)};
}

void PtpPhone::scan() {
  if (scanned_) return;
  scanned_ = true;
  scanFolder("/", 0);
}

void PtpPhone::scanFolder(const std::string& path, uint32_t parent) {
  std::vector<std::string> names;
  if (files_->list(path, &names) != FsStatus::kOk) return;
  for (const auto& name : names) {
    std::string child = path == "/" ? "/" + name : path + "/" + name;
    FileFacts facts;
    if (files_->facts(child, &facts) != FsStatus::kOk) continue;
    Object o{child, name, parent, facts.is_folder, facts.size,
             static_cast<int64_t>(facts.modified_ns / 1000000000u)};
    int copies = setup_.duplicated.count(name) ? 2 : 1;
    for (int i = 0; i < copies; ++i) objects_.push_back(o);
    if (facts.is_folder)
      scanFolder(child, kFirstHandle + static_cast<uint32_t>(objects_.size() - 1));
  }
}

const PtpPhone::Object* PtpPhone::find(uint32_t handle) const {
  if (handle < kFirstHandle || handle - kFirstHandle >= objects_.size()) return nullptr;
  return &objects_[handle - kFirstHandle];
}

// A current iPhone reports DCIM as a child of the storage id and its month
// folders ("202310__") as children of object 1, which does not exist.
uint32_t PtpPhone::reportedParent(const Object& o) const {
  if (o.parent != 0) return o.parent;
  if (!o.folder) return 0;
  return o.name == "DCIM" ? kStorageId : 1;
}

std::string PtpPhone::objectInfo(const Object& o) const {
  std::string s;
  put32(s, kStorageId);
  put16(s, formatOf(o.name, o.folder));
  put16(s, 0);  // no protection
  put32(s, o.size >= 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(o.size));
  put16(s, 0);  // thumb format
  for (int i = 0; i < 6; ++i) put32(s, 0);  // thumb size, thumb w/h, image w/h, depth
  put32(s, reportedParent(o));
  put16(s, o.folder ? 1 : 0);  // association: generic folder
  put32(s, 0);
  put32(s, 0);  // sequence number
  s += ptpString(o.name);
  s += ptpString(ptpDate(o.modified));
  s += ptpString(ptpDate(o.modified + setup_.modification_shift));
  s += ptpString("");
  return s;
}

std::string PtpPhone::propList(const std::vector<uint32_t>& handles) const {
  std::string s;
  put32(s, static_cast<uint32_t>(handles.size() * kProps.size()));
  for (uint32_t h : handles) {
    const Object& o = *find(h);
    for (uint16_t prop : kProps) {
      put32(s, h);
      put16(s, prop);
      switch (prop) {
        case 0xDC01: put16(s, kTypeU32); put32(s, kStorageId); break;
        case 0xDC02: put16(s, kTypeU16); put16(s, formatOf(o.name, o.folder)); break;
        case 0xDC03: put16(s, kTypeU16); put16(s, 0); break;
        case 0xDC04: put16(s, kTypeU64); put64(s, o.size); break;
        case 0xDC07: put16(s, kTypeString); s += ptpString(o.name); break;
        case 0xDC08: put16(s, kTypeString); s += ptpString(ptpDate(o.modified)); break;
        case 0xDC09:
          put16(s, kTypeString);
          s += ptpString(ptpDate(o.modified + setup_.modification_shift));
          break;
        default: put16(s, kTypeU32); put32(s, reportedParent(o)); break;
      }
    }
  }
  return s;
}

std::string PtpPhone::deviceInfo() const {
  std::string s;
  put16(s, 100);
  put32(s, 6);  // Microsoft's extension: MTP
  put16(s, 100);
  s += ptpString("microsoft.com: 1.0;");
  put16(s, 0);
  std::vector<uint16_t> ops;
  for (uint16_t op = 0x1001; op <= 0x100B; ++op) ops.push_back(op);
  ops.insert(ops.end(), {0x1014, 0x1015, 0x101B, 0x9801, 0x9802, 0x9803, 0x9804, 0x9805});
  putArray16(s, ops);
  putArray16(s, {0x4004, 0x4005});
  putArray16(s, {});
  putArray16(s, {});
  putArray16(s, {kFormatUndefined, kFormatFolder, kFormatQuickTime, kFormatJpeg, kFormatPng});
  s += ptpString(setup_.manufacturer);
  s += ptpString(setup_.model);
  s += ptpString("17.5");
  s += ptpString(setup_.serial);
  return s;
}

std::string PtpPhone::storageInfo() const {
  std::string s;
  put16(s, 0x0003);  // fixed RAM
  put16(s, 0x0002);  // generic hierarchical
  put16(s, 0x0002);  // read-only with deletion
  put64(s, 128ull << 30);
  put64(s, 32ull << 30);
  put32(s, 0xFFFFFFFFu);
  s += ptpString("iPhone Storage");
  s += ptpString("");
  return s;
}

Answer PtpPhone::data(const Command& c, const std::string& payload, uint16_t code) const {
  Answer a;
  a.messages.push_back(InMessage{container(2, c.code, c.transaction, payload), {}, false});
  a.messages.push_back(InMessage{response(code, c.transaction), {}, false});
  return a;
}

Answer PtpPhone::object(const Command& c, const Object& o, uint64_t offset, uint64_t length,
                        bool partial) {
  if (o.folder) return only(response(kInvalidHandle, c.transaction));
  if (setup_.conversion_fails.count(o.name)) {
    Answer a = only(container(2, c.code, c.transaction, ""));
    a.messages.push_back(InMessage{response(kIncompleteTransfer, c.transaction), {}, false});
    return a;
  }
  std::unique_ptr<OpenFile> file;
  if (files_->open(o.path, &file) != FsStatus::kOk) return only(response(kGeneralError, c.transaction));
  uint64_t size = file->size();
  offset = std::min(offset, size);
  length = std::min(length, size - offset);
  std::string head;
  uint64_t total = 12 + length;
  put32(head, total > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(total));
  put16(head, 2);
  put16(head, c.code);
  put32(head, c.transaction);
  Answer a;
  a.messages.push_back(InMessage{head, FileRegion{std::move(file), offset, length}, true});
  std::vector<uint32_t> params;
  if (partial) params.push_back(static_cast<uint32_t>(length));
  a.messages.push_back(InMessage{response(kOk, c.transaction, params), {}, false});
  return a;
}

Answer PtpPhone::handle(const Command& c) {
  Answer a = answer(c);
  if (setup_.trace) {
    std::fprintf(stderr, "ptp: %04x", c.code);
    for (uint32_t p : c.params) std::fprintf(stderr, " %08x", p);
    if (a.unplug) {
      std::fprintf(stderr, " -> unplugged\n");
    } else if (!a.messages.empty()) {
      const std::string& last = a.messages.back().head;
      std::fprintf(stderr, " -> %02x%02x\n", static_cast<unsigned char>(last[7]),
                   static_cast<unsigned char>(last[6]));
    }
  }
  return a;
}

void PtpPhone::plugIn() {
  session_ = false;
  setup_.unplug_at_session_open = false;
  setup_.catalogue_answers_before_unplug = -1;
}

Answer PtpPhone::answer(const Command& c) {
  auto param = [&](size_t i) -> uint32_t { return i < c.params.size() ? c.params[i] : 0; };
  if (c.code == 0x1001) return data(c, deviceInfo());
  if (c.code == 0x1002) {
    if (setup_.unplug_at_session_open) {
      Answer a;
      a.unplug = true;
      return a;
    }
  }
  auto busy = setup_.busy.find(c.code);
  if (busy != setup_.busy.end() && busy->second > 0) {
    --busy->second;
    return only(response(kDeviceBusy, c.transaction));
  }
  if (c.code == 0x1002) {
    if (session_) return only(response(kSessionAlreadyOpen, c.transaction));
    session_ = true;
    return only(response(kOk, c.transaction));
  }
  if (!session_) return only(response(kSessionNotOpen, c.transaction));
  const uint32_t storage = setup_.trusted ? kStorageId : kUntrustedStorageId;
  bool catalogue = c.code == 0x1007 || c.code == 0x1008 || c.code == 0x9803 || c.code == 0x9805;
  if (catalogue && setup_.catalogue_answers_before_unplug >= 0 &&
      catalogue_answers_ >= setup_.catalogue_answers_before_unplug) {
    Answer a;
    a.unplug = true;
    return a;
  }
  if (catalogue) ++catalogue_answers_;
  if (setup_.trusted && c.code >= 0x1006 && c.code != 0x1014 && c.code != 0x1015) scan();

  switch (c.code) {
    case 0x1003:
      session_ = false;
      return only(response(kOk, c.transaction));
    case 0x1004: {
      std::string s;
      putArray32(s, {storage});
      return data(c, s);
    }
    case 0x1005:
      if (param(0) != storage) return only(response(kInvalidStorage, c.transaction));
      return data(c, storageInfo());
    case 0x1006:
    case 0x1007: {
      if (param(0) != storage && param(0) != 0xFFFFFFFFu)
        return only(response(kInvalidStorage, c.transaction));
      std::vector<uint32_t> handles;
      uint32_t parent = param(2);
      if (parent != 0 && parent != 0xFFFFFFFFu) {
        const Object* p = find(parent);
        if (p == nullptr || !p->folder) return only(response(kInvalidParent, c.transaction));
      }
      if (setup_.trusted) {
        for (size_t i = 0; i < objects_.size(); ++i) {
          const Object& o = objects_[i];
          if (parent == 0xFFFFFFFFu && o.parent != 0) continue;
          if (parent != 0 && parent != 0xFFFFFFFFu && o.parent != parent) continue;
          if (param(1) != 0 && formatOf(o.name, o.folder) != param(1)) continue;
          handles.push_back(kFirstHandle + static_cast<uint32_t>(i));
        }
      }
      if (c.code == 0x1006)
        return only(response(kOk, c.transaction, {static_cast<uint32_t>(handles.size())}));
      std::string s;
      putArray32(s, handles);
      return data(c, s);
    }
    case 0x1008: {
      const Object* o = find(param(0));
      if (o == nullptr) return only(response(kInvalidHandle, c.transaction));
      return data(c, objectInfo(*o));
    }
    case 0x1009:
    case 0x101B: {
      const Object* o = find(param(0));
      if (o == nullptr) return only(response(kInvalidHandle, c.transaction));
      if (c.code == 0x1009) return object(c, *o, 0, UINT64_MAX, false);
      return object(c, *o, param(1), param(2), true);
    }
    case 0x100A:
      return only(response(find(param(0)) ? kNoThumbnail : kInvalidHandle, c.transaction));
    case 0x100B:
    case 0x9804:
      return only(response(kAccessDenied, c.transaction));
    case 0x1014:
    case 0x1015:
      return only(response(kPropNotSupported, c.transaction));
    case 0x9801: {
      std::string s;
      putArray16(s, kProps);
      return data(c, s);
    }
    case 0x9802: {
      uint16_t prop = static_cast<uint16_t>(param(0));
      uint16_t type = prop == 0xDC02 || prop == 0xDC03 ? kTypeU16
                      : prop == 0xDC04                   ? kTypeU64
                      : prop == 0xDC07 || prop == 0xDC08 || prop == 0xDC09 ? kTypeString
                                                                           : kTypeU32;
      bool known = false;
      for (uint16_t p : kProps) known = known || p == prop;
      if (!known) return only(response(kObjectPropNotSupported, c.transaction));
      std::string s;
      put16(s, prop);
      put16(s, type);
      s.push_back(0);  // get only
      if (type == kTypeU16) put16(s, 0);
      else if (type == kTypeU32) put32(s, 0);
      else if (type == kTypeU64) put64(s, 0);
      else s += ptpString("");
      put32(s, 0);   // group
      s.push_back(0);  // no form
      return data(c, s);
    }
    case 0x9803:
    case 0x9805: {
      std::vector<uint32_t> handles;
      if (c.code == 0x9805 && param(0) == 0xFFFFFFFFu) {
        for (size_t i = 0; i < objects_.size(); ++i) handles.push_back(kFirstHandle + static_cast<uint32_t>(i));
      } else {
        if (find(param(0)) == nullptr) return only(response(kInvalidHandle, c.transaction));
        handles.push_back(param(0));
      }
      std::string list = propList(handles);
      if (c.code == 0x9805) return data(c, list);
      // One value: find it in the single object's list.
      uint16_t prop = static_cast<uint16_t>(param(1));
      size_t at = 4;
      for (size_t i = 0; i < kProps.size(); ++i) {
        size_t start = at + 8;  // after handle, code, type
        uint16_t type = static_cast<uint16_t>(static_cast<unsigned char>(list[at + 6]) |
                                              static_cast<unsigned char>(list[at + 7]) << 8);
        size_t len = type == kTypeU16 ? 2 : type == kTypeU32 ? 4 : type == kTypeU64 ? 8
                     : 1 + 2 * static_cast<unsigned char>(list[start]);
        if (kProps[i] == prop) return data(c, list.substr(start, len));
        at = start + len;
      }
      return only(response(kObjectPropNotSupported, c.transaction));
    }
    default:
      return only(response(kNotSupported, c.transaction));
  }
}

}  // namespace emulated_phone::usb
