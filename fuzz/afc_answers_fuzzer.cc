// libFuzzer target: Oskavel's file-service client against a phone that
// answers arbitrary bytes. Every request of the walk and the copy is made
// in turn over the same stream; whatever comes back, an answer is used only
// whole, a read never reports more than it asked for, and once the
// connection counts as lost nothing more is read from the phone.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "afc_packet.h"
#include "afc_requests.h"

namespace {

class FuzzedStream : public phone::AfcStream {
 public:
  FuzzedStream(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool send(const char*, std::size_t) override { return true; }
  bool receive(char* out, std::size_t size) override {
    if (size_ - at_ < size) return false;
    std::memcpy(out, data_ + at_, size);
    at_ += size;
    return true;
  }
  std::size_t at() const { return at_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The pure checks alone, on the input as one answer.
  if (size >= phone::afc::kHeaderSize) {
    phone::afc::AnswerHeader header;
    phone::afc::checkHeader(data, 1, &header);
    const std::string_view rest(reinterpret_cast<const char*>(data) + phone::afc::kHeaderSize,
                                size - phone::afc::kHeaderSize);
    phone::afc::parseNames(rest);
    phone::afc::parseKeyValues(rest);
    phone::afc::readNumber(rest);
  }

  auto owned = std::make_unique<FuzzedStream>(data, size);
  FuzzedStream* stream = owned.get();
  phone::AfcRequests requests(std::move(owned));
  std::vector<std::string> names;
  std::vector<std::pair<std::string, std::string>> info;
  std::uint64_t handle = 0;
  char buffer[4096];
  for (int round = 0; round < 8; ++round) {
    requests.readFolder("/DCIM", &names);
    requests.fileInfo("/DCIM/a.JPG", &info);
    requests.openFile("/DCIM/a.JPG", &handle);
    std::uint32_t count = 0;
    requests.readFile(handle, buffer, sizeof buffer, &count);
    if (count > sizeof buffer) __builtin_trap();
    requests.closeFile(handle);
    if (requests.lost() != 0) {
      const std::size_t at = stream->at();
      requests.readFolder("/", &names);
      if (stream->at() != at || !names.empty()) __builtin_trap();
      break;
    }
  }
  return 0;
}
