// The packets of the phone's file service (AFC): a 40-byte header, then the
// data. The header is "CFA6LPAA", the entire length, this packet's length
// (the header and the fixed part of its data), the packet number and the
// operation, each a little-endian 64-bit number; an answer carries the number
// of the request it answers.
//
// Pure functions over bytes: every length an answer declares is checked
// before a byte of its data is used, and data that does not hold what its
// operation calls for is refused whole, never used in part.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace phone::afc {

constexpr size_t kHeaderSize = 40;
// The largest answer accepted: a folder of 100,000 long names fits many times.
constexpr uint64_t kMaxAnswerData = 64u << 20;

enum Operation : uint64_t {
  kStatus = 1,
  kData = 2,
  kReadDir = 3,
  kGetFileInfo = 10,
  kFileOpen = 13,
  kFileOpenResult = 14,
  kFileRead = 15,
  kFileClose = 20,
};

constexpr uint64_t kOpenReadOnly = 1;

// A request: header and data, ready to send.
std::string encodeRequest(uint64_t packet, Operation operation, std::string_view data);
// The data of the requests Oskavel makes.
std::string pathData(std::string_view path);                        // READ_DIR, GET_FILE_INFO
std::string openData(uint64_t mode, std::string_view path);         // FILE_OPEN
std::string readData(uint64_t handle, uint64_t length);             // FILE_READ
std::string handleData(uint64_t handle);                            // FILE_CLOSE

struct AnswerHeader {
  uint64_t operation = 0;
  uint64_t data_size = 0;  // bytes that follow the 40-byte header
};

enum class HeaderCheck {
  kOk,
  kNotAfc,     // no "CFA6LPAA": the stream is not where a packet begins
  kBadLength,  // lengths that contradict each other or exceed kMaxAnswerData
  kOutOfStep,  // the answer of another request
};

// Checks the 40 bytes of an answer's header against the request it answers.
HeaderCheck checkHeader(const unsigned char* header, uint64_t expected_packet, AnswerHeader* out);

uint64_t loadLe64(const unsigned char* bytes);

// The first 64-bit number of an answer's data (a status, a file handle);
// nothing when the data is shorter.
std::optional<uint64_t> readNumber(std::string_view data);

// A folder listing: names each ended by a NUL. Nothing when the last name
// has no end (the listing is not whole).
std::optional<std::vector<std::string>> parseNames(std::string_view data);

// File information: keys and values, each ended by a NUL, in pairs. Nothing
// when a text has no end or a key has no value.
std::optional<std::vector<std::pair<std::string, std::string>>> parseKeyValues(
    std::string_view data);

}  // namespace phone::afc
