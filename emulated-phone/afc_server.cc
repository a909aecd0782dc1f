#include "afc_server.h"

#include <algorithm>
#include <cstring>

#include "byte_order.h"

namespace emulated_phone {

namespace {

constexpr char kMagic[] = "CFA6LPAA";
constexpr uint64_t kMaxRequestData = 64 * 1024;
constexpr uint64_t kMaxRequestPayload = 16u << 20;
constexpr size_t kMaxOpenFiles = 1024;

std::map<std::string, uint64_t> normalizedKeys(const std::map<std::string, uint64_t>& in) {
  std::map<std::string, uint64_t> out;
  for (const auto& [path, value] : in) out[normalizeRemotePath(path)] = value;
  return out;
}

// The NUL-terminated string at `offset`, or everything after it.
std::string cString(const std::string& data, size_t offset) {
  if (offset >= data.size()) return {};
  size_t end = data.find('\0', offset);
  return data.substr(offset, end == std::string::npos ? std::string::npos : end - offset);
}

uint64_t statusFor(FsStatus s) {
  switch (s) {
    case FsStatus::kOk:
      return afc::kSuccess;
    case FsStatus::kNotFound:
      return afc::kNotFound;
    case FsStatus::kNotFolder:
      return afc::kReadError;
    case FsStatus::kIsFolder:
      return afc::kIsFolder;
    case FsStatus::kDenied:
      return afc::kPermissionDenied;
    case FsStatus::kIoError:
      return afc::kReadError;
  }
  return afc::kUnknownError;
}

void appendPair(std::string* out, const std::string& key, const std::string& value) {
  out->append(key);
  out->push_back('\0');
  out->append(value);
  out->push_back('\0');
}

}  // namespace

const std::vector<std::string>& hostileNames() {
  static const std::vector<std::string> names = {
      "", "..", "a/b", "../x", "\xff\xfe.JPG", "ctl\x01\x1f.JPG", std::string(296, 'N') + ".JPG",
  };
  return names;
}

AfcServer::AfcServer(Stream& stream, FileSystem& files, const Faults& faults,
                     const StopSignal& stop)
    : stream_(stream),
      files_(files),
      faults_(faults),
      stop_(stop),
      readdir_status_(normalizedKeys(faults.readdir_status)),
      read_error_at_(normalizedKeys(faults.read_error_at)),
      drop_at_(normalizedKeys(faults.drop_at)),
      stall_at_(normalizedKeys(faults.stall_at)),
      cut_packet_at_(normalizedKeys(faults.cut_packet_at)),
      cut_listing_at_(normalizedKeys(faults.cut_listing_at)),
      stall_listing_at_(normalizedKeys(faults.stall_listing_at)) {
  for (const std::string& path : faults.out_of_step) out_of_step_.insert(normalizeRemotePath(path));
}

AfcServer::End AfcServer::run() {
  std::string data;
  for (;;) {
    unsigned char header[afc::kHeaderSize];
    if (!stream_.readFull(header, sizeof header)) return End::kPeerClosed;
    if (std::memcmp(header, kMagic, 8) != 0) return End::kPeerClosed;
    uint64_t entire = loadLe64(header + 8);
    uint64_t this_length = loadLe64(header + 16);
    uint64_t packet = loadLe64(header + 24);
    uint64_t operation = loadLe64(header + 32);
    if (this_length < afc::kHeaderSize || entire < this_length ||
        this_length - afc::kHeaderSize > kMaxRequestData ||
        entire - this_length > kMaxRequestPayload)
      return End::kPeerClosed;
    data.resize(this_length - afc::kHeaderSize);
    if (!data.empty() && !stream_.readFull(data.data(), data.size())) return End::kPeerClosed;
    // Payload of write operations: read and dropped, this phone is read-only.
    for (uint64_t left = entire - this_length; left > 0;) {
      char sink[4096];
      size_t n = left < sizeof sink ? static_cast<size_t>(left) : sizeof sink;
      if (!stream_.readFull(sink, n)) return End::kPeerClosed;
      left -= n;
    }
    if (faults_.latency_ms > 0 &&
        !stop_.sleepFor(std::chrono::milliseconds(faults_.latency_ms)))
      return End::kStopped;
    switch (serve(packet, operation, data)) {
      case Step::kNext:
        break;
      case Step::kEnd:
        return End::kPeerClosed;
      case Step::kDrop:
        return End::kDropped;
      case Step::kStall:
        return End::kStalled;
    }
  }
}

AfcServer::Step AfcServer::serve(uint64_t packet, uint64_t operation, const std::string& data) {
  switch (operation) {
    case afc::kReadDir:
      return readDir(packet, cString(data, 0));
    case afc::kGetFileInfo:
      return fileInfo(packet, cString(data, 0));
    case afc::kGetDevInfo:
      return devInfo(packet);
    case afc::kFileOpen:
      return fileOpen(packet, data);
    case afc::kFileRead:
      return fileRead(packet, data);
    case afc::kFileSeek:
      return fileSeek(packet, data);
    case afc::kFileTell:
      return fileTell(packet, data);
    case afc::kFileClose:
      return fileClose(packet, data);
    default:
      return sendStatus(packet, afc::kNotSupported) ? Step::kNext : Step::kEnd;
  }
}

bool AfcServer::isHostile(const std::string& raw_path) const {
  for (const std::string& folder : faults_.hostile_names) {
    std::string prefix = normalizeRemotePath(folder);
    if (prefix != "/") prefix += "/";
    if (raw_path.size() < prefix.size() || raw_path.compare(0, prefix.size(), prefix) != 0)
      continue;
    std::string name = raw_path.substr(prefix.size());
    // At the root, "/" joined with the empty name is the root itself.
    if (name.empty() && prefix == "/") continue;
    for (const std::string& hostile : hostileNames())
      if (name == hostile) return true;
  }
  return false;
}

AfcServer::Step AfcServer::readDir(uint64_t packet, const std::string& raw_path) {
  std::string path = normalizeRemotePath(raw_path);
  if (auto it = readdir_status_.find(path); it != readdir_status_.end())
    return sendStatus(packet, it->second) ? Step::kNext : Step::kEnd;
  if (isHostile(raw_path)) return sendStatus(packet, afc::kNotFound) ? Step::kNext : Step::kEnd;
  std::vector<std::string> names;
  FsStatus s = files_.list(path, &names);
  if (s != FsStatus::kOk) {
    // A file is not a folder: READ_DIR answers a read error, as the phone does.
    uint64_t status = s == FsStatus::kNotFolder ? afc::kReadError : statusFor(s);
    return sendStatus(packet, status) ? Step::kNext : Step::kEnd;
  }
  std::string out(".\0..\0", 5);
  for (const std::string& name : names) {
    out += name;
    out.push_back('\0');
  }
  bool hostile = false;
  for (const std::string& folder : faults_.hostile_names)
    hostile = hostile || normalizeRemotePath(folder) == path;
  if (hostile) {
    for (const std::string& name : hostileNames()) {
      out += name;
      out.push_back('\0');
    }
  }
  // --out-of-step: the answer carries the number of the request before.
  if (out_of_step_.count(path))
    return send(packet - 1, afc::kData, out.data(), out.size()) ? Step::kNext : Step::kEnd;
  // --cut-listing, --stall-listing: only the first bytes of the answer go out.
  if (auto f = cut_listing_at_.find(path); f != cut_listing_at_.end()) {
    sendPart(packet, afc::kData, out.data(), out.size(), f->second);
    return Step::kDrop;
  }
  if (auto f = stall_listing_at_.find(path); f != stall_listing_at_.end()) {
    sendPart(packet, afc::kData, out.data(), out.size(), f->second);
    return Step::kStall;
  }
  return send(packet, afc::kData, out.data(), out.size()) ? Step::kNext : Step::kEnd;
}

AfcServer::Step AfcServer::fileInfo(uint64_t packet, const std::string& raw_path) {
  if (isHostile(raw_path)) return sendStatus(packet, afc::kNotFound) ? Step::kNext : Step::kEnd;
  FileFacts facts;
  FsStatus s = files_.facts(normalizeRemotePath(raw_path), &facts);
  if (s != FsStatus::kOk) return sendStatus(packet, statusFor(s)) ? Step::kNext : Step::kEnd;
  // A link is described as the link itself: its size is its target's length.
  std::string out;
  appendPair(&out, "st_size",
             std::to_string(facts.is_link ? facts.link_target.size() : facts.size));
  appendPair(&out, "st_blocks", std::to_string(facts.is_link ? 0 : facts.blocks));
  appendPair(&out, "st_nlink", std::to_string(facts.is_link ? 1 : facts.links));
  appendPair(&out, "st_ifmt",
             facts.is_link ? "S_IFLNK" : facts.is_folder ? "S_IFDIR" : "S_IFREG");
  appendPair(&out, "st_mtime", std::to_string(facts.modified_ns));
  appendPair(&out, "st_birthtime", std::to_string(facts.born_ns));
  if (facts.is_link) appendPair(&out, "st_linktarget", facts.link_target);
  return send(packet, afc::kData, out.data(), out.size()) ? Step::kNext : Step::kEnd;
}

AfcServer::Step AfcServer::devInfo(uint64_t packet) {
  std::string out;
  appendPair(&out, "Model", "iPhone15,2");
  appendPair(&out, "FSTotalBytes", "127989493760");
  appendPair(&out, "FSFreeBytes", "64000000000");
  appendPair(&out, "FSBlockSize", "4096");
  return send(packet, afc::kData, out.data(), out.size()) ? Step::kNext : Step::kEnd;
}

AfcServer::Step AfcServer::fileOpen(uint64_t packet, const std::string& data) {
  if (data.size() < 8) return sendStatus(packet, afc::kInvalidArg) ? Step::kNext : Step::kEnd;
  uint64_t mode = loadLe64(reinterpret_cast<const unsigned char*>(data.data()));
  std::string raw_path = cString(data, 8);
  uint64_t status = afc::kSuccess;
  std::unique_ptr<OpenFile> file;
  std::string path = normalizeRemotePath(raw_path);
  if (isHostile(raw_path)) {
    status = afc::kNotFound;
  } else if (mode != 1) {  // only read-only opens: this phone's storage is read-only
    status = afc::kPermissionDenied;
  } else if (handles_.size() >= kMaxOpenFiles) {
    status = afc::kNoResources;
  } else {
    status = statusFor(files_.open(path, &file));
  }
  if (status != afc::kSuccess) return sendStatus(packet, status) ? Step::kNext : Step::kEnd;
  uint64_t handle = next_handle_++;
  handles_[handle] = Handle{path, std::move(file), 0};
  unsigned char out[8];
  storeLe64(out, handle);
  return send(packet, afc::kFileOpenResult, out, sizeof out) ? Step::kNext : Step::kEnd;
}

AfcServer::Step AfcServer::fileRead(uint64_t packet, const std::string& data) {
  if (data.size() < 16) return sendStatus(packet, afc::kInvalidArg) ? Step::kNext : Step::kEnd;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  auto it = handles_.find(loadLe64(bytes));
  if (it == handles_.end()) return sendStatus(packet, afc::kInvalidArg) ? Step::kNext : Step::kEnd;
  Handle& h = it->second;
  uint64_t length = std::min<uint64_t>(loadLe64(bytes + 8), afc::kMaxReadAnswer);

  // Faults keyed by the file: the first one whose offset is reached acts;
  // before that, reads stop short at the offset so it is met exactly.
  if (auto f = drop_at_.find(h.path); f != drop_at_.end()) {
    if (h.position >= f->second) return Step::kDrop;
    length = std::min(length, f->second - h.position);
  }
  if (auto f = stall_at_.find(h.path); f != stall_at_.end()) {
    if (h.position >= f->second) return Step::kStall;
    length = std::min(length, f->second - h.position);
  }
  if (auto f = read_error_at_.find(h.path); f != read_error_at_.end()) {
    if (h.position >= f->second)
      return sendStatus(packet, afc::kReadError) ? Step::kNext : Step::kEnd;
    length = std::min(length, f->second - h.position);
  }

  if (buffer_.size() < length) buffer_.resize(length);
  int64_t n = h.file->readAt(buffer_.data(), length, h.position);
  if (n < 0) return sendStatus(packet, afc::kReadError) ? Step::kNext : Step::kEnd;
  // --cut-packet: the answer that holds OFFSET announces all its bytes, but
  // the connection closes after those before OFFSET.
  if (auto f = cut_packet_at_.find(h.path);
      f != cut_packet_at_.end() && f->second >= h.position &&
      f->second < h.position + static_cast<uint64_t>(n)) {
    sendPart(packet, afc::kData, buffer_.data(), static_cast<size_t>(n),
             afc::kHeaderSize + (f->second - h.position));
    return Step::kDrop;
  }
  h.position += static_cast<uint64_t>(n);
  return send(packet, afc::kData, buffer_.data(), static_cast<size_t>(n)) ? Step::kNext
                                                                          : Step::kEnd;
}

AfcServer::Step AfcServer::fileSeek(uint64_t packet, const std::string& data) {
  if (data.size() < 24) return sendStatus(packet, afc::kInvalidArg) ? Step::kNext : Step::kEnd;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  auto it = handles_.find(loadLe64(bytes));
  uint64_t whence = loadLe64(bytes + 8);
  auto offset = static_cast<int64_t>(loadLe64(bytes + 16));
  if (it == handles_.end() || whence > 2)
    return sendStatus(packet, afc::kInvalidArg) ? Step::kNext : Step::kEnd;
  Handle& h = it->second;
  int64_t base = whence == 0   ? 0
                 : whence == 1 ? static_cast<int64_t>(h.position)
                               : static_cast<int64_t>(h.file->size());
  // Reject overflow and positions before the start.
  if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0)
    return sendStatus(packet, afc::kInvalidArg) ? Step::kNext : Step::kEnd;
  h.position = static_cast<uint64_t>(base + offset);
  return sendStatus(packet, afc::kSuccess) ? Step::kNext : Step::kEnd;
}

AfcServer::Step AfcServer::fileTell(uint64_t packet, const std::string& data) {
  if (data.size() < 8) return sendStatus(packet, afc::kInvalidArg) ? Step::kNext : Step::kEnd;
  auto it = handles_.find(loadLe64(reinterpret_cast<const unsigned char*>(data.data())));
  if (it == handles_.end()) return sendStatus(packet, afc::kInvalidArg) ? Step::kNext : Step::kEnd;
  unsigned char out[8];
  storeLe64(out, it->second.position);
  return send(packet, afc::kFileTellResult, out, sizeof out) ? Step::kNext : Step::kEnd;
}

AfcServer::Step AfcServer::fileClose(uint64_t packet, const std::string& data) {
  if (data.size() < 8) return sendStatus(packet, afc::kInvalidArg) ? Step::kNext : Step::kEnd;
  bool known = handles_.erase(loadLe64(reinterpret_cast<const unsigned char*>(data.data()))) > 0;
  return sendStatus(packet, known ? afc::kSuccess : afc::kInvalidArg) ? Step::kNext : Step::kEnd;
}

bool AfcServer::sendStatus(uint64_t packet, uint64_t status) {
  unsigned char out[8];
  storeLe64(out, status);
  return send(packet, afc::kStatus, out, sizeof out);
}

bool AfcServer::send(uint64_t packet, uint64_t operation, const void* data, size_t size) {
  // The header alone is "this packet"; the data follows as the rest of the
  // entire length, which clients read in a loop however the socket splits it.
  unsigned char header[afc::kHeaderSize];
  std::memcpy(header, kMagic, 8);
  storeLe64(header + 8, afc::kHeaderSize + size);
  storeLe64(header + 16, afc::kHeaderSize);
  storeLe64(header + 24, packet);
  storeLe64(header + 32, operation);
  return stream_.writeAll({{header, sizeof header}, {data, size}});
}

bool AfcServer::sendPart(uint64_t packet, uint64_t operation, const void* data, size_t size,
                         uint64_t bytes) {
  unsigned char header[afc::kHeaderSize];
  std::memcpy(header, kMagic, 8);
  storeLe64(header + 8, afc::kHeaderSize + size);
  storeLe64(header + 16, afc::kHeaderSize);
  storeLe64(header + 24, packet);
  storeLe64(header + 32, operation);
  const size_t in_header = static_cast<size_t>(std::min<uint64_t>(bytes, afc::kHeaderSize));
  const size_t in_data = static_cast<size_t>(std::min<uint64_t>(bytes - in_header, size));
  return stream_.writeAll({{header, in_header}, {data, in_data}});
}

}  // namespace emulated_phone
