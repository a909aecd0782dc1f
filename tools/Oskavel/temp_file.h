// A copy in progress: written into a temporary file in the destination
// folder that takes the final name, replacing whatever was there, only once
// it is complete. Until then nothing is left behind on any way out:
// - where the system offers it (Linux: O_TMPFILE, with /proc mounted to
//   name the file through at the end), the file has no name at all until
//   it is complete, so not even a killed process leaves it;
// - elsewhere it is a hidden ".oskavel-XXXXXX" file, removed on failure and
//   on SIGINT, SIGTERM, SIGHUP and SIGQUIT (the process then ends as the
//   signal would).
// Only this process's own temporary is ever removed.
#pragma once

#include <cstdint>
#include <string>

class TempFile {
 public:
  // Installs the signal handlers that remove a hidden temporary. Call once
  // at start, before any copy.
  static void removeOnSignals();

  TempFile() = default;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile();

  enum class Kind { kUnnamedIfPossible, kHidden };
  // A new, empty temporary beside `final_path`, with the permissions a new
  // file gets (0666 less the creation mask).
  bool create(const std::string& final_path, Kind kind = Kind::kUnnamedIfPossible);
  bool write(const char* data, size_t size);
  enum class Commit { kDone, kWriteFailed, kNameFailed };
  // Gives the file the modification time (nanoseconds since 1970; a time
  // that cannot be set loses no data), closes it and names it `final_path`.
  // On failure the temporary is gone and an earlier file stays as it was.
  Commit commit(const std::string& final_path, bool has_mtime, int64_t mtime_ns);

 private:
  bool linkUnnamed(const std::string& folder);
  void discard();

  int fd_ = -1;
  std::string path_;  // the hidden name, while there is one
};
