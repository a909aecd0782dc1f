#include "fake_backend.h"

#include <algorithm>
#include <cstring>

#include "run_loop.h"

namespace mobiledevice {

namespace {
constexpr int kNotFound = 8;     // the phone's "object not found"
constexpr int kIsAFile = 4;      // reading a file as a folder
constexpr int kBadHandle = 7;    // invalid argument
constexpr int kNoSocket = 30;    // connection refused

std::string ParentOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}
}  // namespace

FakeBackend::FakeBackend() { nodes_["/"].is_directory = true; }
FakeBackend::~FakeBackend() = default;

size_t FakeBackend::Count(const std::string& prefix) const {
  return static_cast<size_t>(std::count_if(calls_.begin(), calls_.end(), [&](const auto& c) {
    return c.compare(0, prefix.size(), prefix) == 0;
  }));
}

void FakeBackend::ListInParent(const std::string& path) {
  if (path == "/") return;
  const std::string parent = ParentOf(path);
  if (!nodes_.count(parent)) AddFolder(parent);
  auto& entries = nodes_[parent].entries;
  const std::string name = NameOf(path);
  if (std::find(entries.begin(), entries.end(), name) == entries.end()) {
    entries.push_back(name);
  }
}

void FakeBackend::AddFolder(const std::string& path) {
  nodes_[path].is_directory = true;
  ListInParent(path);
}

void FakeBackend::AddFile(const std::string& path, const std::string& content) {
  Node& node = nodes_[path];
  node.is_directory = false;
  node.content = content;
  ListInParent(path);
}

void FakeBackend::AddEntry(const std::string& folder, const std::string& name) {
  if (!nodes_.count(folder)) AddFolder(folder);
  nodes_[folder].entries.push_back(name);
}

const FakeBackend::ServiceScript& FakeBackend::ServiceFor(const std::string& name) const {
  auto it = script_.services.find(name);
  return it == script_.services.end() ? script_.service : it->second;
}

FakeBackend::FakeConnection* FakeBackend::Connection(AFCConnection* connection) {
  for (auto& c : connections_) {
    if (c.get() == connection && c->open) return c.get();
  }
  return nullptr;
}

int FakeBackend::Subscribe(am_device_notification_callback callback, void* context,
                           Notification** out) {
  Log("AMDeviceNotificationSubscribe");
  if (script_.subscribe_status != 0) return script_.subscribe_status;
  *out = &notification_;
  // Delivered from the subscriber's run loop, as a phone's messages would be.
  for (const Event& event : script_.events) {
    Device* device = event.has_device ? &device_ : nullptr;
    runloop::RunLoop::current().post([callback, context, event, device] {
      am_device_notification_callback_info info{device, event.kind};
      callback(event.has_info ? &info : nullptr, context);
    });
  }
  return 0;
}

int FakeBackend::Connect(Device*) {
  Log("AMDeviceConnect");
  return script_.connect_status;
}

bool FakeBackend::IsPaired(Device*) {
  Log("AMDeviceIsPaired");
  return script_.paired;
}

int FakeBackend::ValidatePairing(Device*) {
  Log("AMDeviceValidatePairing");
  return script_.validate_status;
}

int FakeBackend::StartSession(Device*) {
  Log("AMDeviceStartSession");
  return script_.session_status;
}

int FakeBackend::StopSession(Device*) {
  Log("AMDeviceStopSession");
  return 0;
}

int FakeBackend::Disconnect(Device*) {
  Log("AMDeviceDisconnect");
  return 0;
}

CFTypeRef FakeBackend::CopyValue(Device*, const char* domain, const char* key) {
  Log(std::string("AMDeviceCopyValue ") + (domain ? domain : "-") + " " + key);
  if (std::strcmp(key, "DeviceName") != 0) return nullptr;
  if (script_.device_name_not_string) return CreateOpaqueValue();
  if (!script_.device_name) return nullptr;
  return CFStringCreateWithCString(kCFAllocatorDefault, script_.device_name->c_str(),
                                   kCFStringEncodingUTF8);
}

int FakeBackend::SecureStartService(Device*, const char* name, ServiceConnection** out) {
  Log(std::string("AMDeviceSecureStartService ") + name);
  const ServiceScript& s = ServiceFor(name);
  if (s.secure_status != 0) return s.secure_status;
  if (!s.secure_gives_connection) return 0;
  auto service = std::make_unique<FakeService>();
  service->name = name;
  service->socket = 20 + static_cast<int>(services_.size());
  service->secure_context = s.secure_context;
  sockets_[service->socket] = name;
  *out = service.get();
  services_.push_back(std::move(service));
  return 0;
}

int FakeBackend::ServiceSocket(ServiceConnection* service) {
  return static_cast<FakeService*>(service)->socket;
}

void* FakeBackend::ServiceSecureContext(ServiceConnection* service) {
  auto* s = static_cast<FakeService*>(service);
  return s->secure_context ? s : nullptr;
}

int FakeBackend::StartService(Device*, const char* name, int* socket, uint32_t* unknown) {
  Log(std::string("AMDeviceStartService ") + name);
  const ServiceScript& s = ServiceFor(name);
  *unknown = 0;
  if (s.plain_status != 0) return s.plain_status;
  *socket = s.plain_socket;
  if (s.plain_socket != 0) sockets_[s.plain_socket] = name;
  return 0;
}

int FakeBackend::AFCOpen(int socket, unsigned int, AFCConnection** out) {
  Log("AFCConnectionOpen " + std::to_string(socket));
  auto it = sockets_.find(socket);
  if (it == sockets_.end()) return kNoSocket;
  const ServiceScript& s = ServiceFor(it->second);
  if (s.afc_open_status != 0) return s.afc_open_status;
  if (!s.afc_gives_connection) return 0;
  auto connection = std::make_unique<FakeConnection>();
  connection->service = it->second;
  *out = connection.get();
  connections_.push_back(std::move(connection));
  ++open_connections_;
  return 0;
}

int FakeBackend::AFCSetSecureContext(AFCConnection*, void*) {
  Log("AFCConnectionSetSecureContext");
  return 0;
}

int FakeBackend::AFCClose(AFCConnection* connection) {
  Log("AFCConnectionClose");
  FakeConnection* c = Connection(connection);
  if (!c) return kBadHandle;
  c->open = false;
  --open_connections_;
  return 0;
}

int FakeBackend::DirectoryOpen(AFCConnection* connection, const char* path,
                               AFCDirectory** out) {
  Log(std::string("AFCDirectoryOpen ") + path);
  FakeConnection* c = Connection(connection);
  if (!c) return kBadHandle;
  if (std::strcmp(path, "/") == 0) {
    auto it = script_.root_status.find(c->service);
    if (it != script_.root_status.end() && it->second != 0) return it->second;
  }
  auto it = nodes_.find(path);
  if (it == nodes_.end()) return kNotFound;
  if (it->second.open_status != 0) return it->second.open_status;
  if (!it->second.is_directory) return kIsAFile;
  auto directory = std::make_unique<FakeDirectory>();
  directory->path = path;
  *out = directory.get();
  directories_.emplace(directory.get(), std::move(directory));
  ++open_directories_;
  return 0;
}

int FakeBackend::DirectoryRead(AFCConnection* connection, AFCDirectory* directory,
                               char** name) {
  Log("AFCDirectoryRead");
  if (!Connection(connection)) return kBadHandle;
  auto it = directories_.find(directory);
  if (it == directories_.end()) return kBadHandle;
  FakeDirectory& d = *it->second;
  const Node& node = nodes_[d.path];
  if (node.read_dir_error_after >= 0 &&
      d.next >= static_cast<size_t>(node.read_dir_error_after)) {
    return node.read_dir_error_status;
  }
  if (d.next >= node.entries.size()) return 0;
  d.current = node.entries[d.next++];
  *name = d.current.data();
  return 0;
}

int FakeBackend::DirectoryClose(AFCConnection*, AFCDirectory* directory) {
  Log("AFCDirectoryClose");
  if (!directories_.erase(directory)) return kBadHandle;
  --open_directories_;
  return 0;
}

int FakeBackend::FileInfo(AFCConnection* connection, const char* path, KeyValues* out) {
  Log(std::string("AFCFileInfoOpen ") + path);
  if (!Connection(connection)) return kBadHandle;
  auto it = nodes_.find(path);
  if (it == nodes_.end()) return kNotFound;
  const Node& node = it->second;
  if (node.info_status != 0) return node.info_status;
  const uint64_t size = node.reported_size ? *node.reported_size : node.content.size();
  out->emplace_back("st_size", std::to_string(size));
  out->emplace_back("st_ifmt", node.is_directory ? "S_IFDIR" : "S_IFREG");
  out->emplace_back("st_mtime", std::to_string(node.mtime_ns));
  return 0;
}

int FakeBackend::FileOpen(AFCConnection* connection, const char* path, uint64_t mode,
                          AFCFileRef* out) {
  Log(std::string("AFCFileRefOpen ") + path);
  if (!Connection(connection) || mode != 1) return kBadHandle;
  auto it = nodes_.find(path);
  if (it == nodes_.end()) return kNotFound;
  if (it->second.open_status != 0) return it->second.open_status;
  const AFCFileRef handle = next_file_++;
  files_[handle] = OpenFile{path, 0};
  *out = handle;
  return 0;
}

int FakeBackend::FileRead(AFCConnection* connection, AFCFileRef file, void* buffer,
                          uint32_t capacity, uint32_t* count) {
  Log("AFCFileRefRead");
  if (!Connection(connection)) return kBadHandle;
  auto it = files_.find(file);
  if (it == files_.end()) return kBadHandle;
  OpenFile& open = it->second;
  const Node& node = nodes_[open.path];
  if (node.read_error_at >= 0 && open.offset >= static_cast<uint64_t>(node.read_error_at)) {
    return node.read_error_status;
  }
  uint64_t end = node.content.size() + static_cast<uint64_t>(node.stale_extra);
  if (node.read_error_at >= 0) end = std::min<uint64_t>(end, node.read_error_at);
  const uint64_t n = std::min<uint64_t>(capacity, end - std::min(end, open.offset));
  auto* out = static_cast<char*>(buffer);
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t at = open.offset + i;
    out[i] = at < node.content.size() ? node.content[at] : '\xEE';
  }
  open.offset += n;
  *count = static_cast<uint32_t>(n);
  return 0;
}

int FakeBackend::FileClose(AFCConnection*, AFCFileRef file) {
  Log("AFCFileRefClose");
  auto it = files_.find(file);
  if (it == files_.end()) return kBadHandle;
  const int status = nodes_[it->second.path].close_status;
  files_.erase(it);
  return status;
}

}  // namespace mobiledevice
