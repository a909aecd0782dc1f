#include "object_reader.h"

#include <algorithm>

namespace imagecapture {

PtpOutcome readObjectRange(PtpTransactions& ptp, std::uint32_t handle, std::uint64_t offset,
                           std::uint64_t length, DataSink& sink, std::uint64_t range) {
  PtpOutcome total;
  total.kind = PtpOutcome::Kind::kAnswered;
  total.response.code = static_cast<std::uint16_t>(ptp::ResponseCode::kOk);
  total.announced = length;
  range = std::max<std::uint64_t>(range, 1);
  while (total.received < length) {
    const std::uint64_t at = offset + total.received;
    const std::uint64_t part = std::min(range, length - total.received);
    const std::uint32_t params[] = {handle, static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(at >> 32),
                                    static_cast<std::uint32_t>(part), static_cast<std::uint32_t>(part >> 32)};
    PtpOutcome outcome = ptp.transact(ptp::Operation::kGetPartialObject64, params, &sink);
    const bool whole = outcome.ok() && !outcome.sinkFailed && outcome.announced == part && outcome.received == part;
    total.kind = outcome.kind;
    total.response = std::move(outcome.response);
    total.error = std::move(outcome.error);
    total.dataPhase = total.dataPhase || outcome.dataPhase;
    total.sinkFailed = total.sinkFailed || outcome.sinkFailed;
    total.received += outcome.received;
    if (!whole) break;
  }
  return total;
}

PtpOutcome readObject(PtpTransactions& ptp, std::uint32_t handle, std::optional<std::uint64_t> size,
                      bool ranges, DataSink& sink) {
  if (ranges && size && !ptp::lengthFitsHeader(*size)) {
    PtpOutcome outcome = readObjectRange(ptp, handle, 0, *size, sink);
    if (!outcome.answered() || outcome.dataPhase ||
        outcome.response.code != static_cast<std::uint16_t>(ptp::ResponseCode::kOperationNotSupported))
      return outcome;
  }
  const std::uint32_t which[] = {handle};
  PtpOutcome outcome = ptp.transact(ptp::Operation::kGetObject, which, &sink);
  if (outcome.dataPhase && !outcome.announced) outcome.announced = size;
  return outcome;
}

}  // namespace imagecapture
