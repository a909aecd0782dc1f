#include "afc_requests.h"

#include <algorithm>
#include <climits>

#include "afc_packet.h"

namespace phone {

namespace {
constexpr uint64_t kPart = 64u << 10;
}  // namespace

int AfcRequests::lose() {
  lost_ = true;
  data_.clear();
  data_.shrink_to_fit();
  return kLost;
}

int AfcRequests::exchange(uint64_t operation, const std::string& request, Answer* answer,
                          char* direct, uint64_t capacity) {
  if (lost_) return kLost;
  const uint64_t packet = ++packet_;
  const std::string bytes =
      afc::encodeRequest(packet, static_cast<afc::Operation>(operation), request);
  if (!stream_->send(bytes.data(), bytes.size())) return lose();

  unsigned char header[afc::kHeaderSize];
  if (!stream_->receive(reinterpret_cast<char*>(header), sizeof header)) return lose();
  afc::AnswerHeader checked;
  if (afc::checkHeader(header, packet, &checked) != afc::HeaderCheck::kOk) return lose();
  answer->operation = checked.operation;
  answer->size = checked.data_size;
  if (direct != nullptr && checked.operation == afc::kData) {
    // More than asked for is not an answer to this request.
    if (checked.data_size > capacity) return lose();
    if (checked.data_size > 0 && !stream_->receive(direct, checked.data_size)) return lose();
    return 0;
  }
  // Memory is taken as the data arrives, not as the header announces it.
  data_.clear();
  while (data_.size() < checked.data_size) {
    const size_t have = data_.size();
    const size_t part = static_cast<size_t>(std::min<uint64_t>(checked.data_size - have, kPart));
    data_.resize(have + part);
    if (!stream_->receive(data_.data() + have, part)) return lose();
  }
  return 0;
}

int AfcRequests::statusOf(const Answer& answer) {
  if (answer.operation != afc::kStatus) return lose();
  const auto status = afc::readNumber(data_);
  // A status that is no number, or none an int holds, is no answer at all
  // (cut down to an int it could even read as success).
  if (!status || *status > static_cast<uint64_t>(INT_MAX)) return lose();
  return static_cast<int>(*status);
}

int AfcRequests::readFolder(const std::string& path, std::vector<std::string>* names) {
  names->clear();
  Answer answer;
  if (exchange(afc::kReadDir, afc::pathData(path), &answer) != 0) return kLost;
  if (answer.operation != afc::kData) return statusOf(answer);
  auto parsed = afc::parseNames(data_);
  if (!parsed) return lose();
  *names = std::move(*parsed);
  return 0;
}

int AfcRequests::fileInfo(const std::string& path,
                          std::vector<std::pair<std::string, std::string>>* info) {
  info->clear();
  Answer answer;
  if (exchange(afc::kGetFileInfo, afc::pathData(path), &answer) != 0) return kLost;
  if (answer.operation != afc::kData) return statusOf(answer);
  auto parsed = afc::parseKeyValues(data_);
  if (!parsed) return lose();
  *info = std::move(*parsed);
  return 0;
}

int AfcRequests::openFile(const std::string& path, uint64_t* handle) {
  Answer answer;
  if (exchange(afc::kFileOpen, afc::openData(afc::kOpenReadOnly, path), &answer) != 0) {
    return kLost;
  }
  if (answer.operation != afc::kFileOpenResult) {
    const int status = statusOf(answer);
    // Success without a handle answers nothing.
    return status == 0 ? lose() : status;
  }
  const auto number = afc::readNumber(data_);
  if (!number) return lose();
  *handle = *number;
  return 0;
}

int AfcRequests::readFile(uint64_t handle, char* buffer, uint32_t capacity, uint32_t* count) {
  *count = 0;
  Answer answer;
  if (exchange(afc::kFileRead, afc::readData(handle, capacity), &answer, buffer, capacity) != 0) {
    return kLost;
  }
  if (answer.operation != afc::kData) return statusOf(answer);
  *count = static_cast<uint32_t>(answer.size);
  return 0;
}

int AfcRequests::closeFile(uint64_t handle) {
  Answer answer;
  if (exchange(afc::kFileClose, afc::handleData(handle), &answer) != 0) return kLost;
  return statusOf(answer);
}

}  // namespace phone
