#include "transfer_check.h"

namespace imagecapture {

std::optional<std::string> transferShortfall(std::optional<std::uint64_t> announced,
                                             std::uint64_t received) {
  if (!announced || *announced == kUnknownPtpSize || *announced == received) return std::nullopt;
  return "устройство отдало " + std::to_string(received) + " байт из " + std::to_string(*announced);
}

}  // namespace imagecapture
