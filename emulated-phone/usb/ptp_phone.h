// The phone's camera face: a PTP responder over the served folder that
// answers as a current iPhone does (its standard operations, Apple's own,
// MTP's GetObjectPropList for one object), with the faults of the command
// line on the way. It turns one command (and the data phase the host sent
// with it) into the containers the phone sends back on the bulk-in pipe,
// and its trust sequence into events; it knows nothing of USB: the link
// below it (usb_link.h) moves the bytes and decides when they flow.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "catalogue.h"
#include "file_system.h"
#include "ptp_codes.h"
#include "ptp_wire.h"

namespace emulated_phone::usb {

using ptp::kPlaceholderStorageId;
using ptp::kStorageId;

// Seconds on a steady clock; tests pass their own.
using Clock = std::function<double()>;
double steadySeconds();

struct PhoneSetup {
  std::string manufacturer = "Apple Inc.";
  std::string model = "Apple iPhone";
  std::string serial = "00008110000A1B2C3D4E5F60";
  // The phone trusts the computer this long after it started (< 0: never),
  // but not before a session is open; it then enumerates its library for
  // `enumerate_after` seconds before it offers its store.
  double trust_after = 0;
  double enumerate_after = 0;
  bool automatic = false;   // "Automatic" transfer mode: HEIC and movies converted
  double movie_delay = 0;   // a converted movie's wait before each range
  bool refuse_apple_ops = false;  // 0x9000-0x9FFF answer OperationNotSupported
  CatalogueSetup catalogue;       // duplicated names, synthetic large files
  std::map<std::string, uint64_t> announce;               // name -> size announced
  std::map<std::string, std::u16string> show_names;       // name -> name shown
  std::map<std::string, std::pair<std::string, std::string>> dates;  // name -> capture, modification
  std::set<std::string> conversion_fails;  // names whose transfer ends after 12 bytes
  int64_t modification_shift = 0;          // seconds added to ModificationDate
  long catalogue_answers_before_unplug = -1;  // -1: never
  bool unplug_at_session_open = false;
  std::map<uint16_t, int> busy;  // operation code -> how many DeviceBusy answers
  bool trace = false;            // each command and its answer on stderr
  // A photo's Exif DateTimeOriginal ("YYYY:MM:DD HH:MM:SS"); none: file times only.
  std::function<std::optional<std::string>(OpenFile&)> exif_date;
};

// A region of a served file that a data phase carries after its header.
struct FileRegion {
  std::shared_ptr<OpenFile> file;
  uint64_t offset = 0;
  uint64_t length = 0;
};

// One device-to-host container: `head` (header and any in-memory payload),
// then the optional file region. A header may announce more than follows:
// the transfer then ends short.
struct InMessage {
  std::string head;
  FileRegion body;
  bool object_data = false;   // counts towards the object-byte faults
  bool split_header = false;  // the 12-byte header is a transfer of its own
  double delay = 0;           // seconds before its first byte goes
  bool cancelled = false;     // set by the link: the host cancelled it
  uint64_t size() const { return head.size() + body.length; }
};

struct Answer {
  std::vector<InMessage> messages;
  bool unplug = false;  // the cable is pulled instead of answering
};

class PtpPhone {
 public:
  PtpPhone(std::shared_ptr<FileSystem> files, PhoneSetup setup, Clock clock = steadySeconds);

  // Whether the operation carries a data phase from the host.
  static bool takesData(uint16_t code);
  Answer handle(const Command& command);

  // The events due by now (the trust sequence), in order.
  std::vector<std::string> takeEvents();
  // When the next event falls due; < 0 when none is planned.
  double nextEventAt() const;
  // Plugged in again: no session is open, the host's declarations are
  // forgotten and the unplug faults are spent (trust is kept).
  void plugIn();

 private:
  enum class Store { kPlaceholder, kEnumerating, kReady };
  // How an object is shown to this host.
  struct Shown {
    std::u16string name;
    uint16_t format = 0;
    uint64_t size = 0;       // announced
    uint64_t made_size = 0;  // a converted object's bytes (0: the file's own)
    bool movie = false;
  };

  Answer answer(const Command& c);
  Answer serve(const Command& c);
  Answer getDeviceInfo(const Command& c);
  Answer openSession(const Command& c);
  Answer closeSession(const Command& c);
  Answer getStorageIds(const Command& c);
  Answer getStorageInfo(const Command& c);
  Answer getObjectHandles(const Command& c);
  Answer getObjectInfo(const Command& c);
  Answer getObject(const Command& c);
  Answer getThumb(const Command& c);
  Answer getPartialObject(const Command& c);
  Answer getFilesystemManifest(const Command& c);
  Answer appleNumObjects(const Command& c);
  Answer appleObjectInfos(const Command& c);
  Answer appleObjectSize64(const Command& c);
  Answer appleGetPartialObject64(const Command& c);
  Answer appleMtpMode(const Command& c);
  Answer appleSetHostSupportedFormats(const Command& c);
  Answer mtpGetObjectPropList(const Command& c);

  void advance();
  // The trust sequence starts at `earliest`, or when the phone trusts the computer.
  void planTrust(double earliest);
  const Catalogue& catalogue();
  const CatalogueObject* visible(uint32_t handle);
  bool storageKnown(uint32_t storage, bool or_all) const;
  // The objects a listing request names (storage, format, association);
  // 0 or the response code that refuses it.
  uint16_t select(uint32_t storage, uint32_t format, uint32_t association, std::vector<uint32_t>* out);
  Shown show(const CatalogueObject& o) const;
  std::pair<std::string, std::string> datesOf(const CatalogueObject& o);
  std::string objectInfo(const CatalogueObject& o, bool wide);
  // A data phase of the object's bytes [offset, offset + length), judged
  // against the announced size when `range`.
  Answer objectData(const Command& c, const CatalogueObject& o, uint64_t offset, uint64_t length,
                    bool range, bool count_in_answer);
  Answer data(const Command& c, const std::string& payload, uint16_t code = ptp::kOk) const;

  std::shared_ptr<FileSystem> files_;
  PhoneSetup setup_;
  Clock clock_;
  double started_ = 0;
  uint32_t session_ = 0;  // its id; 0: none open
  uint32_t last_transaction_ = 0;
  Store store_ = Store::kPlaceholder;
  double removed_at_ = -1, added_at_ = -1;  // the trust sequence's times
  std::vector<std::string> events_;
  bool host_heif_ = false, host_hevc_ = false;  // declared with 0x900E
  bool split_headers_ = false;
  bool large_listing_ = false;
  std::optional<Catalogue> catalogue_;
  std::map<uint32_t, std::string> capture_dates_;  // from Exif, by handle
  long catalogue_answers_ = 0;
};

}  // namespace emulated_phone::usb
