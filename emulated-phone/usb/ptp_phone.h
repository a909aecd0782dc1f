// The phone's camera face: a PTP responder (with Apple's and MTP's
// operations as a current iPhone offers them) over the served folder. It
// turns one command container into the containers the phone sends back on
// the bulk-in pipe, and knows nothing of USB: the link below it
// (usb_link.h) moves the bytes and decides when they flow.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "file_system.h"

namespace emulated_phone::usb {

constexpr uint32_t kStorageId = 0x00010001;
constexpr uint32_t kUntrustedStorageId = 0xfeedface;

struct PhoneSetup {
  std::string manufacturer = "Apple Inc.";
  std::string model = "Apple iPhone";
  std::string serial = "00008110000A1B2C3D4E5F60";
  bool trusted = true;                // false: storage 0xfeedface until trust()
  long catalogue_answers_before_unplug = -1;  // -1: never
  bool unplug_at_session_open = false;
  std::map<uint16_t, int> busy;       // operation code -> how many DeviceBusy answers
  std::set<std::string> conversion_fails;  // names whose transfer ends after 12 bytes
  std::set<std::string> duplicated;   // names listed twice in their folder
  int64_t modification_shift = 0;    // ModificationDate = capture time + this (seconds)
  bool trace = false;                 // each command and its answer on stderr
};

// A region of a served file that a data phase carries after its header.
struct FileRegion {
  std::shared_ptr<OpenFile> file;
  uint64_t offset = 0;
  uint64_t length = 0;
};

// One device-to-host container: `head` (header and any in-memory payload),
// then the optional file region.
struct InMessage {
  std::string head;
  FileRegion body;
  bool object_data = false;  // counts towards the object-byte faults
  uint64_t size() const { return head.size() + body.length; }
};

struct Command {
  uint16_t code = 0;
  uint32_t transaction = 0;
  std::vector<uint32_t> params;
};

struct Answer {
  std::vector<InMessage> messages;
  bool unplug = false;  // the cable is pulled instead of answering
};

// Wall-clock time in the process's own time zone (set it to the phone's) as
// PTP writes dates: "YYYYMMDDThhmmss".
std::string ptpDate(int64_t unix_seconds);
// UTF-8 to a PTP string (length byte, UTF-16LE, terminating zero).
std::string ptpString(const std::string& utf8);
// A container: length, type, code, transaction, then 32-bit params or payload.
std::string container(uint16_t type, uint16_t code, uint32_t transaction,
                      const std::string& payload);
// Parses a command container; false if it is not one.
bool parseCommand(const std::string& bytes, Command* out);

class PtpPhone {
 public:
  PtpPhone(std::shared_ptr<FileSystem> files, PhoneSetup setup);

  // Whether the operation carries a data phase from the host.
  static bool takesData(uint16_t code);
  Answer handle(const Command& command);

  // The phone is trusted from now on: the interrupt events it sends.
  std::vector<std::string> trust();
  bool trusted() const { return setup_.trusted; }
  // Plugged in again: no session is open and the unplug faults are spent
  // (trust, like a real phone's, is kept).
  void plugIn();

 private:
  struct Object {
    std::string path;      // in the file system
    std::string name;
    uint32_t parent = 0;   // handle, 0 at the root
    bool folder = false;
    uint64_t size = 0;
    int64_t modified = 0;  // seconds
  };
  Answer answer(const Command& command);
  void scan();
  void scanFolder(const std::string& path, uint32_t parent);
  const Object* find(uint32_t handle) const;
  uint32_t reportedParent(const Object& object) const;
  std::string objectInfo(const Object& object) const;
  std::string propList(const std::vector<uint32_t>& handles) const;
  std::string deviceInfo() const;
  std::string storageInfo() const;
  Answer data(const Command& c, const std::string& payload, uint16_t response = 0x2001) const;
  Answer object(const Command& c, const Object& o, uint64_t offset, uint64_t length,
                bool partial);

  std::shared_ptr<FileSystem> files_;
  PhoneSetup setup_;
  bool session_ = false;
  bool scanned_ = false;
  std::vector<Object> objects_;  // handle = kFirstHandle + index
  long catalogue_answers_ = 0;
};

}  // namespace emulated_phone::usb
