// A scripted phone for in-process tests of the program: a file tree in
// memory, a status for every step, and a log of the calls made, so tests can
// produce what no phone emulation produces on demand (stale bytes past the
// end of a file, a false size, every status at every step).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "phone.h"

namespace phone {

class FakePhone : public Phone {
 public:
  static constexpr int kNotFound = 8;  // the phone's "object not found"
  static constexpr int kIsAFile = 4;   // reading a file as a folder

  // One notification handed to the callback (in order, from the run loop).
  struct Event {
    bool has_info = true;
    bool has_device = true;
    uint32_t kind = kAttached;
  };

  // How starting one service goes.
  struct ServiceScript {
    int secure_status = 0;
    bool secure_gives_service = true;
    int plain_status = 0;
    bool plain_gives_service = true;
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
    ServiceScript service;                          // any service not listed below
    std::map<std::string, ServiceScript> services;  // by name
    std::map<std::string, int> root_status;         // folder "/" status by service
  };

  static constexpr char kDevice[] = "fake-udid";

  FakePhone();
  ~FakePhone() override;

  Script& script() { return script_; }

  // Files and folders; parents are created and listed as needed.
  void addFolder(const std::string& path);
  void addFile(const std::string& path, const std::string& content);
  // A raw entry listed in a folder (whatever bytes it holds).
  void addEntry(const std::string& folder, const std::string& name);
  Node& node(const std::string& path) { return nodes_[path]; }

  // Every call made, in order ("openFile /DCIM/a.JPG", "closeAfc", ...).
  const std::vector<std::string>& calls() const { return calls_; }
  size_t count(const std::string& prefix) const;
  // Handles not closed yet.
  int openFolders() const { return open_folders_; }
  int openFiles() const { return open_files_; }

  int subscribe(NotificationCallback callback, std::unique_ptr<Subscription>* out) override;
  int connect(const std::string& device, std::unique_ptr<Connection>* out) override;

 private:
  class FakeConnection;
  class FakeSession;
  class FakeService;
  class FakeAfcClient;
  class FakeFolder;
  class FakeFile;

  void log(std::string call) { calls_.push_back(std::move(call)); }
  const ServiceScript& serviceFor(const std::string& name) const;
  void listInParent(const std::string& path);

  Script script_;
  std::map<std::string, Node> nodes_;
  std::vector<std::string> calls_;
  int open_folders_ = 0;
  int open_files_ = 0;
};

}  // namespace phone
