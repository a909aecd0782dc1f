#include "fake_phone.h"

#include <algorithm>

#include "run_loop.h"

namespace phone {

namespace {
std::string parentOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Notifications still queued when the subscription ends are dropped.
class FakeSubscription : public Subscription {
 public:
  explicit FakeSubscription(std::shared_ptr<bool> active) : active_(std::move(active)) {}
  ~FakeSubscription() override { *active_ = false; }

 private:
  std::shared_ptr<bool> active_;
};
}  // namespace

class FakePhone::FakeFolder : public AfcFolder {
 public:
  FakeFolder(FakePhone& phone, std::string path) : phone_(phone), path_(std::move(path)) {
    ++phone_.open_folders_;
  }
  ~FakeFolder() override {
    phone_.log("closeFolder");
    --phone_.open_folders_;
  }
  int read(std::optional<std::string>* name) override {
    phone_.log("readFolder");
    name->reset();
    const Node& node = phone_.nodes_[path_];
    if (node.read_dir_error_after >= 0 &&
        next_ >= static_cast<size_t>(node.read_dir_error_after)) {
      return node.read_dir_error_status;
    }
    if (next_ < node.entries.size()) *name = node.entries[next_++];
    return 0;
  }

 private:
  FakePhone& phone_;
  std::string path_;
  size_t next_ = 0;
};

class FakePhone::FakeFile : public AfcFile {
 public:
  FakeFile(FakePhone& phone, std::string path) : phone_(phone), path_(std::move(path)) {
    ++phone_.open_files_;
  }
  ~FakeFile() override {
    if (open_) close();
  }
  void expectSize(uint64_t) override {}
  int read(char* buffer, uint32_t capacity, uint32_t* count) override {
    phone_.log("readFile");
    *count = 0;
    const Node& node = phone_.nodes_[path_];
    if (node.read_error_at >= 0 && offset_ >= static_cast<uint64_t>(node.read_error_at)) {
      return node.read_error_status;
    }
    uint64_t end = node.content.size() + static_cast<uint64_t>(node.stale_extra);
    if (node.read_error_at >= 0) end = std::min<uint64_t>(end, node.read_error_at);
    const uint64_t n = std::min<uint64_t>(capacity, end - std::min(end, offset_));
    for (uint64_t i = 0; i < n; ++i) {
      const uint64_t at = offset_ + i;
      buffer[i] = at < node.content.size() ? node.content[at] : '\xEE';
    }
    offset_ += n;
    *count = static_cast<uint32_t>(n);
    return 0;
  }
  int close() override {
    phone_.log("closeFile");
    open_ = false;
    --phone_.open_files_;
    return phone_.nodes_[path_].close_status;
  }

 private:
  FakePhone& phone_;
  std::string path_;
  uint64_t offset_ = 0;
  bool open_ = true;
};

class FakePhone::FakeAfcClient : public AfcClient {
 public:
  FakeAfcClient(FakePhone& phone, std::string service)
      : phone_(phone), service_(std::move(service)) {}
  ~FakeAfcClient() override { phone_.log("closeAfc"); }

  int openFolder(const std::string& path, std::unique_ptr<AfcFolder>* out) override {
    phone_.log("openFolder " + path);
    if (path == "/") {
      auto it = phone_.script_.root_status.find(service_);
      if (it != phone_.script_.root_status.end() && it->second != 0) return it->second;
    }
    auto it = phone_.nodes_.find(path);
    if (it == phone_.nodes_.end()) return kNotFound;
    if (it->second.open_status != 0) return it->second.open_status;
    if (!it->second.is_directory) return kIsAFile;
    *out = std::make_unique<FakeFolder>(phone_, path);
    return 0;
  }
  int openFile(const std::string& path, std::unique_ptr<AfcFile>* out) override {
    phone_.log("openFile " + path);
    auto it = phone_.nodes_.find(path);
    if (it == phone_.nodes_.end()) return kNotFound;
    if (it->second.open_status != 0) return it->second.open_status;
    *out = std::make_unique<FakeFile>(phone_, path);
    return 0;
  }
  int fileInfo(const std::string& path, FileInfo* out) override {
    phone_.log("fileInfo " + path);
    auto it = phone_.nodes_.find(path);
    if (it == phone_.nodes_.end()) return kNotFound;
    const Node& node = it->second;
    if (node.info_status != 0) return node.info_status;
    const uint64_t size = node.reported_size ? *node.reported_size : node.content.size();
    out->emplace_back("st_size", std::to_string(size));
    out->emplace_back("st_ifmt", node.is_directory ? "S_IFDIR" : "S_IFREG");
    out->emplace_back("st_mtime", std::to_string(node.mtime_ns));
    return 0;
  }
  int lostStatus() const override { return 0; }
  bool notAFolder(int status) const override {
    return status == kNotFound || status == kIsAFile;
  }

 private:
  FakePhone& phone_;
  std::string service_;
};

class FakePhone::FakeService : public Service {
 public:
  FakeService(FakePhone& phone, std::string name) : phone_(phone), name_(std::move(name)) {}
  int openAfc(std::unique_ptr<AfcClient>* out) override {
    phone_.log("openAfc " + name_);
    const ServiceScript& s = phone_.serviceFor(name_);
    if (s.afc_open_status != 0) return s.afc_open_status;
    if (s.afc_gives_connection) *out = std::make_unique<FakeAfcClient>(phone_, name_);
    return 0;
  }

 private:
  FakePhone& phone_;
  std::string name_;
};

class FakePhone::FakeSession : public Session {
 public:
  explicit FakeSession(FakePhone& phone) : phone_(phone) {}
  ~FakeSession() override { phone_.log("stopSession"); }
  std::optional<std::string> deviceName() override {
    phone_.log("deviceName");
    return phone_.script_.device_name;
  }
  int startSecureService(const std::string& name, std::unique_ptr<Service>* out) override {
    phone_.log("startSecureService " + name);
    const ServiceScript& s = phone_.serviceFor(name);
    if (s.secure_status != 0) return s.secure_status;
    if (s.secure_gives_service) *out = std::make_unique<FakeService>(phone_, name);
    return 0;
  }
  int startService(const std::string& name, std::unique_ptr<Service>* out) override {
    phone_.log("startService " + name);
    const ServiceScript& s = phone_.serviceFor(name);
    if (s.plain_status != 0) return s.plain_status;
    if (s.plain_gives_service) *out = std::make_unique<FakeService>(phone_, name);
    return 0;
  }

 private:
  FakePhone& phone_;
};

class FakePhone::FakeConnection : public Connection {
 public:
  explicit FakeConnection(FakePhone& phone) : phone_(phone) {}
  ~FakeConnection() override { phone_.log("disconnect"); }
  bool isPaired() override {
    phone_.log("isPaired");
    return phone_.script_.paired;
  }
  int validatePairing() override {
    phone_.log("validatePairing");
    return phone_.script_.validate_status;
  }
  int startSession(std::unique_ptr<Session>* out) override {
    phone_.log("startSession");
    if (phone_.script_.session_status != 0) return phone_.script_.session_status;
    *out = std::make_unique<FakeSession>(phone_);
    return 0;
  }

 private:
  FakePhone& phone_;
};

FakePhone::FakePhone() { nodes_["/"].is_directory = true; }
FakePhone::~FakePhone() = default;

size_t FakePhone::count(const std::string& prefix) const {
  return static_cast<size_t>(std::count_if(calls_.begin(), calls_.end(), [&](const auto& c) {
    return c.compare(0, prefix.size(), prefix) == 0;
  }));
}

void FakePhone::listInParent(const std::string& path) {
  if (path == "/") return;
  const std::string parent = parentOf(path);
  if (!nodes_.count(parent)) addFolder(parent);
  auto& entries = nodes_[parent].entries;
  const std::string name = nameOf(path);
  if (std::find(entries.begin(), entries.end(), name) == entries.end()) {
    entries.push_back(name);
  }
}

void FakePhone::addFolder(const std::string& path) {
  nodes_[path].is_directory = true;
  listInParent(path);
}

void FakePhone::addFile(const std::string& path, const std::string& content) {
  Node& node = nodes_[path];
  node.is_directory = false;
  node.content = content;
  listInParent(path);
}

void FakePhone::addEntry(const std::string& folder, const std::string& name) {
  if (!nodes_.count(folder)) addFolder(folder);
  nodes_[folder].entries.push_back(name);
}

const FakePhone::ServiceScript& FakePhone::serviceFor(const std::string& name) const {
  auto it = script_.services.find(name);
  return it == script_.services.end() ? script_.service : it->second;
}

int FakePhone::subscribe(NotificationCallback callback, std::unique_ptr<Subscription>* out) {
  log("subscribe");
  if (script_.subscribe_status != 0) return script_.subscribe_status;
  auto active = std::make_shared<bool>(true);
  *out = std::make_unique<FakeSubscription>(active);
  // Delivered from the subscriber's run loop, as a phone's messages would be.
  for (const Event& event : script_.events) {
    runloop::RunLoop::current().post([callback, event, active] {
      if (!*active) return;
      Notification notification{event.has_device ? kDevice : "", event.kind};
      callback(event.has_info ? &notification : nullptr);
    });
  }
  return 0;
}

int FakePhone::connect(const std::string& device, std::unique_ptr<Connection>* out) {
  log("connect " + device);
  if (script_.connect_status != 0) return script_.connect_status;
  *out = std::make_unique<FakeConnection>(*this);
  return 0;
}

}  // namespace phone
