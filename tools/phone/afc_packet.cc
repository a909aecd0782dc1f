#include "afc_packet.h"

#include <cstring>

namespace phone::afc {

namespace {

constexpr char kMagic[] = "CFA6LPAA";
constexpr size_t kMagicSize = 8;
constexpr size_t kNumberSize = 8;

void appendLe64(std::string* out, uint64_t value) {
  for (size_t i = 0; i < kNumberSize; ++i) {
    out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  }
}

}  // namespace

uint64_t loadLe64(const unsigned char* bytes) {
  uint64_t value = 0;
  for (size_t i = kNumberSize; i > 0; --i) value = (value << 8) | bytes[i - 1];
  return value;
}

std::string encodeRequest(uint64_t packet, Operation operation, std::string_view data) {
  const uint64_t length = kHeaderSize + data.size();
  std::string out;
  out.reserve(length);
  out.append(kMagic, kMagicSize);
  appendLe64(&out, length);  // entire length
  appendLe64(&out, length);  // this packet: no payload beyond its data
  appendLe64(&out, packet);
  appendLe64(&out, operation);
  out.append(data);
  return out;
}

std::string pathData(std::string_view path) {
  std::string out(path);
  out.push_back('\0');
  return out;
}

std::string openData(uint64_t mode, std::string_view path) {
  std::string out;
  appendLe64(&out, mode);
  out.append(path);
  out.push_back('\0');
  return out;
}

std::string readData(uint64_t handle, uint64_t length) {
  std::string out;
  appendLe64(&out, handle);
  appendLe64(&out, length);
  return out;
}

std::string handleData(uint64_t handle) {
  std::string out;
  appendLe64(&out, handle);
  return out;
}

HeaderCheck checkHeader(const unsigned char* header, uint64_t expected_packet, AnswerHeader* out) {
  if (std::memcmp(header, kMagic, kMagicSize) != 0) return HeaderCheck::kNotAfc;
  const uint64_t entire = loadLe64(header + 8);
  const uint64_t this_length = loadLe64(header + 16);
  const uint64_t packet = loadLe64(header + 24);
  if (this_length < kHeaderSize || entire < this_length) return HeaderCheck::kBadLength;
  if (entire - kHeaderSize > kMaxAnswerData) return HeaderCheck::kBadLength;
  if (packet != expected_packet) return HeaderCheck::kOutOfStep;
  out->operation = loadLe64(header + 32);
  out->data_size = entire - kHeaderSize;
  return HeaderCheck::kOk;
}

std::optional<uint64_t> readNumber(std::string_view data) {
  if (data.size() < kNumberSize) return std::nullopt;
  return loadLe64(reinterpret_cast<const unsigned char*>(data.data()));
}

std::optional<std::vector<std::string>> parseNames(std::string_view data) {
  std::vector<std::string> names;
  while (!data.empty()) {
    const size_t end = data.find('\0');
    if (end == std::string_view::npos) return std::nullopt;
    names.emplace_back(data.substr(0, end));
    data.remove_prefix(end + 1);
  }
  return names;
}

std::optional<std::vector<std::pair<std::string, std::string>>> parseKeyValues(
    std::string_view data) {
  std::vector<std::pair<std::string, std::string>> pairs;
  while (!data.empty()) {
    const size_t key_end = data.find('\0');
    if (key_end == std::string_view::npos) return std::nullopt;
    const size_t value_end = data.find('\0', key_end + 1);
    if (value_end == std::string_view::npos) return std::nullopt;
    pairs.emplace_back(data.substr(0, key_end), data.substr(key_end + 1, value_end - key_end - 1));
    data.remove_prefix(value_end + 1);
  }
  return pairs;
}

}  // namespace phone::afc
