// The emulator's command line: what to serve, as which phone, with which
// faults switched on.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace emulated_phone {

enum class PairAnswer { kAccept, kRefuse, kPending };
enum class AfcConnectFault { kNone, kRefuse, kClose };

struct Faults {
  bool not_paired = false;
  PairAnswer pair = PairAnswer::kAccept;
  std::optional<std::string> validate_error;  // lockdown error name
  std::optional<std::string> session_error;   // lockdown error name
  std::set<std::string> refused_services;
  AfcConnectFault afc_connect = AfcConnectFault::kNone;
  std::map<std::string, uint64_t> readdir_status;  // remote path -> AFC status
  std::set<std::string> hostile_names;             // remote folders
  std::map<std::string, uint64_t> read_error_at;   // remote file -> offset
  std::map<std::string, uint64_t> drop_at;
  std::map<std::string, uint64_t> stall_at;
  std::map<std::string, uint64_t> cut_packet_at;
  // READ_DIR answers of remote folders: bytes sent (header included) before
  // the connection closes, or before the phone stops sending.
  std::map<std::string, uint64_t> cut_listing_at;
  std::map<std::string, uint64_t> stall_listing_at;
  std::set<std::string> out_of_step;            // remote folders
  std::optional<unsigned> stall_close_ms;       // a stall ends with the connection closed
  bool service_tls = false;                     // services ask for TLS
  std::optional<double> detach_after_seconds;
  unsigned latency_ms = 0;
};

struct Options {
  std::string root;
  std::string socket_path;
  std::string name = "Emulated iPhone";
  std::string udid = "00008110-000A1B2C3D4E5F60";
  std::string product_version = "17.5";
  Faults faults;
};

// Parses argv[1..]. On failure returns false and sets *error.
bool parseOptions(const std::vector<std::string>& args, Options* out, std::string* error);

extern const char kUsage[];

}  // namespace emulated_phone
