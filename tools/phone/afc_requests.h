// The file-service requests Oskavel makes (read a folder, file information,
// open, read and close a file), one at a time over a byte stream to the
// phone. Each answer is received whole and checked (afc_packet.h) before any
// of it is used.
//
// An answer that is cut short, does not come within the stream's wait, is
// out of step or is not an answer to the request made means the stream can
// no longer be trusted: the connection counts as lost, and this request and
// every later one fail with kLost without touching the stream again.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace phone {

// The byte stream of one service connection.
class AfcStream {
 public:
  virtual ~AfcStream() = default;
  // Sends all of `size` bytes; false when the connection failed.
  virtual bool send(const char* data, size_t size) = 0;
  // Receives exactly `size` bytes; false when the connection ended or failed,
  // or the phone stopped sending for longer than the stream waits.
  virtual bool receive(char* data, size_t size) = 0;
};

class AfcRequests {
 public:
  // The status of a lost connection (libimobiledevice's AFC_E_MUX_ERROR).
  static constexpr int kLost = 30;

  explicit AfcRequests(std::unique_ptr<AfcStream> stream) : stream_(std::move(stream)) {}

  // Statuses: 0, the phone's own status, or kLost.
  int readFolder(const std::string& path, std::vector<std::string>* names);
  int fileInfo(const std::string& path, std::vector<std::pair<std::string, std::string>>* info);
  int openFile(const std::string& path, uint64_t* handle);
  // Up to `capacity` bytes from the file's position; *count 0 at its end.
  int readFile(uint64_t handle, char* buffer, uint32_t capacity, uint32_t* count);
  int closeFile(uint64_t handle);

  // 0 while the connection stands, else kLost.
  int lost() const { return lost_ ? kLost : 0; }

 private:
  struct Answer {
    uint64_t operation = 0;
    uint64_t size = 0;  // bytes of data, in data_ or in the caller's buffer
  };
  // Sends one request and receives its answer. The data of a kData answer
  // goes to `direct` when one is given (at most `capacity` bytes), all other
  // data to data_. 0, or kLost.
  int exchange(uint64_t operation, const std::string& request, Answer* answer,
               char* direct = nullptr, uint64_t capacity = 0);
  // The phone's status from a status answer; kLost when it holds none.
  int statusOf(const Answer& answer);
  int lose();

  std::unique_ptr<AfcStream> stream_;
  uint64_t packet_ = 0;
  bool lost_ = false;
  std::string data_;
};

}  // namespace phone
