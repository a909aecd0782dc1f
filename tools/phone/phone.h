// The attached iPhone as Oskavel sees it: notifications about phones coming
// and going, and for one phone a connection, a session, its services and the
// file service (AFC) with its folders and files.
//
// Abstract so it can be mocked out for tests: libimobiledevice_phone.cc is
// the one real implementation, fake_phone.cc a scripted phone for the tests.
// Every handle is an object that closes itself when it goes out of scope, so
// whatever way a run ends, the file service is closed before the session is
// stopped, and the session before the phone is disconnected.
//
// Statuses are integers, 0 for success; anything else is the library's or
// the phone's own code, passed through unchanged so it can be reported.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace phone {

// What a device notification says. The kinds keep the values the program
// reports and tests by.
enum NotificationKind : uint32_t {
  kAttached = 1,
  kDetached = 2,
  kPaired = 3,
};

struct Notification {
  std::string device;  // the phone's identifier; empty when none came with it
  uint32_t kind = kAttached;
};

// Called on the thread that subscribed, from inside that thread's run loop
// (common/runloop), once per notification; none when the library delivered
// a notification without any record.
using NotificationCallback = std::function<void(const Notification* notification)>;

// Ends the subscription when destroyed: no notification is delivered after.
class Subscription {
 public:
  virtual ~Subscription() = default;
};

// An open folder; closed when destroyed.
class AfcFolder {
 public:
  virtual ~AfcFolder() = default;
  // The next entry's name ("." and ".." included), or nothing at the end.
  virtual int read(std::optional<std::string>* name) = 0;
};

// A file open for reading; closed when destroyed unless close() ran.
class AfcFile {
 public:
  virtual ~AfcFile() = default;
  // The size the phone gave for the file: reads are asked of the phone so
  // that none reaches more than one byte past it, and the end is known
  // without a read of its own when the phone has no more.
  virtual void expectSize(uint64_t size) = 0;
  // Up to `capacity` bytes; *count 0 at the end of the file.
  virtual int read(char* buffer, uint32_t capacity, uint32_t* count) = 0;
  virtual int close() = 0;
};

// "st_size", "st_mtime" (nanoseconds since 1970), ... as the phone sends them.
using FileInfo = std::vector<std::pair<std::string, std::string>>;

// An open file-service connection; closed when destroyed.
class AfcClient {
 public:
  virtual ~AfcClient() = default;
  virtual int openFolder(const std::string& path, std::unique_ptr<AfcFolder>* out) = 0;
  virtual int openFile(const std::string& path, std::unique_ptr<AfcFile>* out) = 0;
  virtual int fileInfo(const std::string& path, FileInfo* out) = 0;
  // 0 while the connection stands; once it is known to be lost, the status
  // that reported the loss, and every later call fails at once with it.
  virtual int lostStatus() const = 0;
  // Whether a failed folder open means only that the path is a file or does
  // not exist (the answers a phone gives then), not that a folder failed.
  virtual bool notAFolder(int status) const = 0;
};

// A started device service. The file-service connection opened on it does
// not depend on it staying alive.
class Service {
 public:
  virtual ~Service() = default;
  // Status 0 with no client is possible; callers check both.
  virtual int openAfc(std::unique_ptr<AfcClient>* out) = 0;
};

// A session on the phone; stopped when destroyed.
class Session {
 public:
  virtual ~Session() = default;
  // The phone's name; nothing when it has none or it is not text.
  virtual std::optional<std::string> deviceName() = 0;
  // The service started the secure way, and the plain way. Status 0 with no
  // service is possible; callers check both.
  virtual int startSecureService(const std::string& name, std::unique_ptr<Service>* out) = 0;
  virtual int startService(const std::string& name, std::unique_ptr<Service>* out) = 0;
};

// A connection to one phone; disconnected when destroyed.
class Connection {
 public:
  virtual ~Connection() = default;
  // Whether this computer is paired with the phone; asks the phone to pair
  // when it is not (the phone then shows "Trust this computer?").
  virtual bool isPaired() = 0;
  virtual int validatePairing() = 0;
  virtual int startSession(std::unique_ptr<Session>* out) = 0;
};

class Phone {
 public:
  virtual ~Phone() = default;
  virtual int subscribe(NotificationCallback callback, std::unique_ptr<Subscription>* out) = 0;
  virtual int connect(const std::string& device, std::unique_ptr<Connection>* out) = 0;
};

}  // namespace phone
