// The AFC file service: a 40-byte header ("CFA6LPAA", entire length, this
// packet's length, packet number, operation; little-endian 64-bit) and the
// operation's data. Serves a FileSystem read-only, with the faults of the
// command line applied on the way.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "file_system.h"
#include "options.h"
#include "stop_signal.h"
#include "stream.h"

namespace emulated_phone {

namespace afc {
enum Operation : uint64_t {
  kStatus = 1,
  kData = 2,
  kReadDir = 3,
  kGetFileInfo = 10,
  kGetDevInfo = 11,
  kFileOpen = 13,
  kFileOpenResult = 14,
  kFileRead = 15,
  kFileSeek = 17,
  kFileTell = 18,
  kFileTellResult = 19,
  kFileClose = 20,
};
enum Status : uint64_t {
  kSuccess = 0,
  kUnknownError = 1,
  kHeaderInvalid = 2,
  kNoResources = 3,
  kReadError = 4,
  kInvalidArg = 7,
  kNotFound = 8,
  kIsFolder = 9,
  kPermissionDenied = 10,
  kNotSupported = 15,
};
constexpr size_t kHeaderSize = 40;
constexpr uint64_t kMaxReadAnswer = 8u << 20;
}  // namespace afc

// The extra names that --hostile-names adds to a folder's listing.
const std::vector<std::string>& hostileNames();

class AfcServer {
 public:
  enum class End {
    kPeerClosed,   // end of stream or a malformed request
    kDropped,      // --drop-at: close the connection now
    kStalled,      // --stall, --stall-listing: stop answering, keep the connection
    kStopped,      // the emulator is stopping
  };

  AfcServer(Stream& stream, FileSystem& files, const Faults& faults, const StopSignal& stop);
  End run();

 private:
  struct Handle {
    std::string path;
    std::unique_ptr<OpenFile> file;
    uint64_t position = 0;
  };
  enum class Step { kNext, kEnd, kDrop, kStall };

  Step serve(uint64_t packet, uint64_t operation, const std::string& data);
  Step readDir(uint64_t packet, const std::string& raw_path);
  Step fileInfo(uint64_t packet, const std::string& raw_path);
  Step devInfo(uint64_t packet);
  Step fileOpen(uint64_t packet, const std::string& data);
  Step fileRead(uint64_t packet, const std::string& data);
  Step fileSeek(uint64_t packet, const std::string& data);
  Step fileTell(uint64_t packet, const std::string& data);
  Step fileClose(uint64_t packet, const std::string& data);

  bool isHostile(const std::string& raw_path) const;
  bool sendStatus(uint64_t packet, uint64_t status);
  bool send(uint64_t packet, uint64_t operation, const void* data, size_t size);
  // The first `bytes` bytes of a packet (header included) that announces
  // `size` bytes of data.
  bool sendPart(uint64_t packet, uint64_t operation, const void* data, size_t size,
                uint64_t bytes);

  Stream& stream_;
  FileSystem& files_;
  const Faults& faults_;
  const StopSignal& stop_;
  std::map<uint64_t, Handle> handles_;
  uint64_t next_handle_ = 1;
  std::vector<char> buffer_;  // reused for every read answer
  std::map<std::string, uint64_t> readdir_status_, read_error_at_, drop_at_, stall_at_,
      cut_packet_at_, cut_listing_at_, stall_listing_at_;
  std::set<std::string> out_of_step_;
};

}  // namespace emulated_phone
