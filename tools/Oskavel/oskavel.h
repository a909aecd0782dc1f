// Oskavel: imports the photos and videos of an attached iPhone over its file
// service (AFC). Plain functions over one ProgramState; every call to the
// phone goes through the interface of phone.h.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "phone.h"
#include "report.h"

// Sizes the program works in.
constexpr size_t kPathBufferSize = 1024;  // a path has at most 1023 bytes
constexpr uint32_t kChunkSize = 65536;    // file data moves in 64 KiB chunks
constexpr size_t kNameBufferSize = 512;   // a device name has at most 511 bytes

constexpr int32_t kDefaultTimeoutSeconds = 10;
constexpr char kDefaultStartPath[] = "/DCIM";
constexpr char kDefaultService[] = "com.apple.afc";
constexpr double kWaitSliceSeconds = 0.2;
constexpr mode_t kFolderMode = 0755;

// Results of open_afc_service besides the phone's own statuses.
constexpr int kServiceNameNotText = -100;
constexpr int kServiceWithoutSocket = -101;

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitOutputLost = 1;  // the report could not be written
constexpr int kExitSubscribeFailed = 2;
constexpr int kExitNoDevice = 3;
constexpr int kExitConnectFailed = 4;
constexpr int kExitNotPaired = 5;
constexpr int kExitValidateFailed = 6;
constexpr int kExitSessionFailed = 7;
constexpr int kExitNoFileService = 8;
constexpr int kExitFilesFailed = 10;
constexpr int kExitListingFailed = 11;
constexpr int kExitUsage = 64;

// Everything one run knows: the settings (texts borrowed from the argument
// vector), the walk's counts and the attached device.
struct ProgramState {
  const char* command = nullptr;
  int32_t limit = 0;
  const char* output = nullptr;
  const char* start_path = kDefaultStartPath;
  const char* service_name = nullptr;
  // download: a file whose local copy already has the phone's size and
  // modification time is not copied again.
  bool skip_existing = false;

  int32_t seen = 0;
  int32_t downloaded = 0;
  int32_t failed = 0;
  // A folder could not be read or the connection was lost: the walk missed
  // what it could not see, and the run must not end as a success.
  bool walk_incomplete = false;

  std::string device;  // as the device callback recorded it
  int discovered = 0;
};

// Command line (args.cc).
int parse_args(ProgramState& state, int argc, char** argv, int32_t& timeout);

// Device attachment and the file service (device.cc).
void device_callback(ProgramState& state, const phone::Notification* info);
int open_afc_service(phone::Session& session, const char* service_name,
                     std::unique_ptr<phone::AfcClient>* connection);

// Media walk and listing (walk.cc).
void traverse(ProgramState& state, phone::AfcClient& connection, const char* path);
bool should_stop_for_limit(const ProgramState& state);
// Writes the child path; -1 (and an empty out) when it would not fit.
int join_remote_path(const char* parent, const char* name, char* out, size_t size);
int is_media_file(const char* path);
int list_directory(phone::AfcClient& connection, const char* path);

// File copy and local paths (copy.cc).
// What the phone's file-info answer says of a path.
struct RemoteInfo {
  // "st_ifmt": S_IFREG, S_IFDIR, S_IFLNK, another type, or none given.
  enum class Kind { kUnknown, kFile, kFolder, kLink, kOther };
  Kind kind = Kind::kUnknown;
  bool has_size = false;
  uint64_t size = 0;
  bool has_mtime = false;
  int64_t mtime_ns = 0;  // since 1970
};
int read_remote_info(phone::AfcClient& connection, const char* remote_path, RemoteInfo* info);
// Whether the local copy of the remote file is a regular file with the
// phone's size and, to the second, its modification time.
bool has_local_copy(const ProgramState& state, const char* remote_path, const RemoteInfo& info);
// `known`: the phone's file-info answer when the caller has it already.
int copy_file(const ProgramState& state, phone::AfcClient& connection, const char* remote_path,
              const RemoteInfo* known = nullptr);
// Writes the local path; -1 when it would not fit (out left empty), -2 when
// the remote path has a ".." component and so must never become a local one.
int local_path_for_remote(const ProgramState& state, const char* remote_path, char* out,
                          size_t size);
int ensure_parent_dir(const char* path);
int mkdir_p(const char* path);

// Service probe (services.cc).
int command_services(phone::Session& session);

// The whole program (driver.cc); returns the exit status. Every line goes
// through report.h; main ends with finish_output.
int oskavel_main(phone::Phone& phone, int argc, char** argv);
