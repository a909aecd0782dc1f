// A scripted phone for in-process tests of the importer: a file tree in
// memory, a status for every step, and a log of the calls made, so tests can
// produce the branches a real phone will not produce on demand.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "backend.h"

namespace mobiledevice {

class FakeBackend : public Backend {
 public:
  // One notification handed to the callback (in order, from the run loop).
  struct Event {
    bool has_info = true;
    bool has_device = true;
    uint32_t kind = ADNCI_MSG_CONNECTED;
  };

  // How starting one service goes.
  struct ServiceScript {
    int secure_status = 0;
    bool secure_gives_connection = true;
    bool secure_context = false;
    int plain_status = 0;
    int plain_socket = 41;
    int afc_open_status = 0;
    bool afc_gives_connection = true;
  };

  struct Node {
    bool is_directory = false;
    std::vector<std::string> entries;  // folder entries, raw, in order
    std::string content;               // file bytes
    int open_status = 0;               // folder open / file open fails with it
    int read_dir_error_after = -1;     // folder read fails after that many entries
    int read_dir_error_status = 1;
    int64_t read_error_at = -1;        // file read fails once this many bytes were served
    int read_error_status = 4;
    int64_t stale_extra = 0;           // bytes of garbage served past the end
    int close_status = 0;
    int info_status = 0;
    std::optional<uint64_t> reported_size;  // st_size, when it should lie
    int64_t mtime_ns = 1700000000LL * 1000000000LL;
  };

  struct Script {
    int subscribe_status = 0;
    std::vector<Event> events = {Event{}};
    int connect_status = 0;
    bool paired = true;
    int validate_status = 0;
    int session_status = 0;
    std::optional<std::string> device_name = std::string("Fake iPhone");
    bool device_name_not_string = false;
    ServiceScript service;                          // any service not listed below
    std::map<std::string, ServiceScript> services;  // by name
    std::map<std::string, int> root_status;         // folder "/" status by service
  };

  FakeBackend();
  ~FakeBackend() override;

  Script& script() { return script_; }

  // Files and folders; parents are created and listed as needed.
  void AddFolder(const std::string& path);
  void AddFile(const std::string& path, const std::string& content);
  // A raw entry listed in a folder (whatever bytes it holds).
  void AddEntry(const std::string& folder, const std::string& name);
  Node& node(const std::string& path) { return nodes_[path]; }

  // Every operation made, in order ("AFCFileRefOpen /DCIM/a.JPG" ...).
  const std::vector<std::string>& calls() const { return calls_; }
  size_t Count(const std::string& prefix) const;
  int open_directories() const { return open_directories_; }
  int open_files() const { return static_cast<int>(files_.size()); }
  int open_connections() const { return open_connections_; }
  Device* device() { return &device_; }

  int Subscribe(am_device_notification_callback callback, void* context,
                Notification** out) override;
  int Connect(Device* device) override;
  bool IsPaired(Device* device) override;
  int ValidatePairing(Device* device) override;
  int StartSession(Device* device) override;
  int StopSession(Device* device) override;
  int Disconnect(Device* device) override;
  CFTypeRef CopyValue(Device* device, const char* domain, const char* key) override;
  int SecureStartService(Device* device, const char* name, ServiceConnection** out) override;
  int ServiceSocket(ServiceConnection* service) override;
  void* ServiceSecureContext(ServiceConnection* service) override;
  int StartService(Device* device, const char* name, int* socket, uint32_t* unknown) override;
  int AFCOpen(int socket, unsigned int io_timeout, AFCConnection** out) override;
  int AFCSetSecureContext(AFCConnection* connection, void* context) override;
  int AFCClose(AFCConnection* connection) override;
  int DirectoryOpen(AFCConnection* connection, const char* path, AFCDirectory** out) override;
  int DirectoryRead(AFCConnection* connection, AFCDirectory* directory, char** name) override;
  int DirectoryClose(AFCConnection* connection, AFCDirectory* directory) override;
  int FileInfo(AFCConnection* connection, const char* path, KeyValues* out) override;
  int FileOpen(AFCConnection* connection, const char* path, uint64_t mode,
               AFCFileRef* out) override;
  int FileRead(AFCConnection* connection, AFCFileRef file, void* buffer, uint32_t capacity,
               uint32_t* count) override;
  int FileClose(AFCConnection* connection, AFCFileRef file) override;

 private:
  struct FakeDevice : Device {};
  struct FakeNotification : Notification {};
  struct FakeService : ServiceConnection {
    std::string name;
    int socket = 0;
    bool secure_context = false;
  };
  struct FakeConnection : AFCConnection {
    std::string service;
    bool open = true;
  };
  struct FakeDirectory : AFCDirectory {
    std::string path;
    size_t next = 0;
    std::string current;
  };
  struct OpenFile {
    std::string path;
    uint64_t offset = 0;
  };

  void Log(std::string call) { calls_.push_back(std::move(call)); }
  const ServiceScript& ServiceFor(const std::string& name) const;
  FakeConnection* Connection(AFCConnection* connection);
  void ListInParent(const std::string& path);

  Script script_;
  std::map<std::string, Node> nodes_;
  std::vector<std::string> calls_;
  FakeDevice device_;
  FakeNotification notification_;
  std::vector<std::unique_ptr<FakeService>> services_;
  std::map<int, std::string> sockets_;  // socket -> service name
  std::vector<std::unique_ptr<FakeConnection>> connections_;
  std::map<AFCDirectory*, std::unique_ptr<FakeDirectory>> directories_;
  std::map<AFCFileRef, OpenFile> files_;
  AFCFileRef next_file_ = 100;
  int open_directories_ = 0;
  int open_connections_ = 0;
};

}  // namespace mobiledevice
