// Writing downloads so that nothing is ever overwritten and nothing
// half-written ever appears under a real name: each file is written to a
// temporary file in the destination folder, then published under the first
// free name with a link (or, where the file system has no hard links, a
// rename that refuses to replace).
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace imagecapture {

// "IMG_0001.HEIC" for 0, "IMG_0001 (2).HEIC" for 2, "README (1)" for 1.
std::string numberedName(std::string_view name, int number);

class PartialFile;

struct PublishEntry {
  PartialFile* file;  // finished
  std::string name;   // the name on the phone
};

// A temporary file in a folder; removed again unless it is published.
// Where the system offers it (Linux: O_TMPFILE) the file has no name at all
// until it is published, so not even a killed process leaves it behind;
// elsewhere it is a hidden file that is removed on failure, at the end of
// the run and on SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE.
class PartialFile {
 public:
  enum class Kind { kUnnamedIfPossible, kNamed };

  // Creates a new, empty temporary file for `name` in `folder`. On failure
  // returns nothing and sets `error` to a description naming the folder.
  static std::optional<PartialFile> create(const std::string& folder, std::string_view name,
                                           std::string& error,
                                           Kind kind = Kind::kUnnamedIfPossible);
  PartialFile(PartialFile&& other) noexcept;
  PartialFile& operator=(PartialFile&&) = delete;
  PartialFile(const PartialFile&) = delete;
  ~PartialFile();

  int fd() const { return fd_; }
  bool unnamed() const { return path_.empty(); }
  // The hidden name of a named temporary; empty for an unnamed one.
  const std::string& path() const { return path_; }
  // Starts writing what has been written so far to disk, without waiting,
  // so that `finish` has little left to wait for. Cheap to call often.
  void startWriteback();
  // Flushes the data to disk and sets the modification time (when given).
  bool finish(std::optional<std::time_t> modified, std::string& error);

 private:
  PartialFile(std::string folder, std::string path, int fd)
      : folder_(std::move(folder)), path_(std::move(path)), fd_(fd) {}
  friend std::optional<std::string> publishGroup(const std::string&, std::vector<PublishEntry>&,
                                                 std::string&, int, int*);
  void discard();
  std::string folder_;
  std::string path_;
  int fd_ = -1;
  bool published_ = false;
  long long writtenBack_ = 0;
};

// Publishes the files under their names, all with the same number: the
// `preferred` number if every name is free with it, else the first number
// for which every name is free (0 is the name itself). Returns the name that
// the first entry was given, and sets `number` when given, or returns
// nothing (with `error` set); the temporaries are gone either way once the
// PartialFiles are destroyed.
std::optional<std::string> publishGroup(const std::string& folder, std::vector<PublishEntry>& entries,
                                        std::string& error, int preferred = 0, int* number = nullptr);

// Removes the named temporaries still there when the process is interrupted
// by SIGINT, SIGTERM, SIGHUP, SIGQUIT or SIGPIPE, then lets the signal end it
// as usual. A signal that was ignored when the process started (nohup, a
// background job of a script) stays ignored.
void installInterruptCleanup();

// Runs `step` too when an interrupting signal ends the process, before it
// ends. It must be safe in a signal handler.
void alsoOnInterrupt(void (*step)());

// While one lives, on any thread, an interrupting signal does not end the
// process: it ends it (its temporaries removed) when the last one goes. For
// the moment from a download's publishing to its report line, so that a
// file that took its name always has its line.
class InterruptsHeld {
 public:
  InterruptsHeld();
  ~InterruptsHeld();
  InterruptsHeld(const InterruptsHeld&) = delete;
  InterruptsHeld& operator=(const InterruptsHeld&) = delete;
};

// Removes the named temporaries that are still there, for a process that
// ends without waiting for the transfer that writes them.
void removeNamedTemporaries();

}  // namespace imagecapture
