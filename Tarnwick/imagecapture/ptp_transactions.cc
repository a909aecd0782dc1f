#include "ptp_transactions.h"

#include <algorithm>

namespace imagecapture {

namespace {

// The first piece read of an answer: a response, or the start of a data
// phase that is small unless a file comes.
constexpr std::size_t kFirstRead = 16u << 10;
// Zero-length packets passed over before a container (one ends a transfer
// that filled whole packets).
constexpr int kZeroLengthPackets = 3;

PtpOutcome broken(std::string error) {
  PtpOutcome outcome;
  outcome.kind = PtpOutcome::Kind::kBroken;
  outcome.error = std::move(error);
  return outcome;
}

std::size_t roundUp(std::uint64_t value, std::size_t unit) {
  return static_cast<std::size_t>((value + unit - 1) / unit * unit);
}

}  // namespace

bool BufferSink::write(std::span<const std::uint8_t> bytes) {
  if (bytes.size() > cap_ - bytes_.size()) return false;
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return true;
}

PtpTransactions::PtpTransactions(UsbTransport& usb) : usb_(usb) {}

PtpOutcome PtpTransactions::failed(const UsbResult& result) {
  PtpOutcome outcome;
  switch (result.status) {
    case UsbStatus::kGone: outcome.kind = PtpOutcome::Kind::kGone; break;
    case UsbStatus::kStopped: outcome.kind = PtpOutcome::Kind::kStopped; break;
    default: outcome.kind = PtpOutcome::Kind::kBroken; break;
  }
  outcome.error = "USB: " + result.error;
  return outcome;
}

PtpOutcome PtpTransactions::transact(ptp::Operation operation, std::span<const std::uint32_t> params,
                                     DataSink* dataIn) {
  return transact(static_cast<std::uint16_t>(operation), params, nullptr, dataIn);
}

PtpOutcome PtpTransactions::transact(std::uint16_t code, std::span<const std::uint32_t> params,
                                     const ptp::Bytes* dataOut, DataSink* dataIn) {
  const std::uint32_t first = nextId_;
  std::chrono::milliseconds wait{100};
  for (int attempt = 0;; ++attempt) {
    PtpOutcome outcome = once(code, params, dataOut, dataIn);
    if (!outcome.answered() || outcome.dataPhase || attempt == kBusyRetries ||
        outcome.response.code != static_cast<std::uint16_t>(ptp::ResponseCode::kDeviceBusy))
      return outcome;
    if (!usb_.pause(wait)) {
      outcome.kind = PtpOutcome::Kind::kStopped;
      return outcome;
    }
    wait = std::min(wait * 2, std::chrono::milliseconds(1000));
    if (first == 0) nextId_ = 0;  // what must go with ID 0 goes again with 0
  }
}

PtpOutcome PtpTransactions::once(std::uint16_t code, std::span<const std::uint32_t> params,
                                 const ptp::Bytes* dataOut, DataSink* dataIn) {
  currentId_ = nextId_++;
  const ptp::Bytes command = ptp::commandContainer(code, currentId_, params);
  if (UsbResult sent = usb_.send(command); !sent.ok()) return failed(sent);
  if (dataOut) {
    ptp::Bytes data = ptp::dataHeader(code, currentId_, dataOut->size());
    data.insert(data.end(), dataOut->begin(), dataOut->end());
    if (UsbResult sent = usb_.send(data); !sent.ok()) return failed(sent);
  }
  return readAnswer(currentId_, dataIn);
}

PtpOutcome PtpTransactions::readAnswer(std::uint32_t id, DataSink* dataIn) {
  const std::size_t packet = std::max<std::size_t>(usb_.packetSize(), 8);
  // The buffer grows to the largest piece asked for (a file's: kChunk).
  auto receive = [&](std::size_t want) {
    want = std::min(want, kChunk);
    if (buffer_.size() < want) buffer_.resize(want);
    return usb_.receive(std::span<std::uint8_t>(buffer_.data(), want));
  };
  // The next container that is not a zero-length packet.
  auto receiveContainer = [&](std::size_t want, UsbResult& result) {
    for (int i = 0; i <= kZeroLengthPackets; ++i) {
      result = receive(want);
      if (!result.ok() || result.length > 0) return;
    }
  };
  auto response = [&](PtpOutcome outcome, std::size_t length) {
    auto message = ptp::parseResponse(std::span<const std::uint8_t>(buffer_.data(), length));
    if (!message) return broken("телефон прислал не ответ PTP");
    if (message->transactionId != id) return broken("телефон ответил на другой запрос");
    outcome.kind = PtpOutcome::Kind::kAnswered;
    outcome.response = std::move(*message);
    return outcome;
  };

  PtpOutcome outcome;
  UsbResult r;
  receiveContainer(roundUp(kFirstRead, packet), r);
  if (!r.ok()) return failed(r);
  auto header = ptp::parseHeader(std::span<const std::uint8_t>(buffer_.data(), r.length));
  if (!header) return broken("ответ телефона короче заголовка PTP");
  if (header->type == static_cast<std::uint16_t>(ptp::ContainerType::kResponse))
    return response(std::move(outcome), r.length);
  if (header->type != static_cast<std::uint16_t>(ptp::ContainerType::kData) ||
      header->transactionId != id || (header->lengthKnown() && header->length < ptp::kHeaderSize))
    return broken("телефон прислал не данные PTP");

  outcome.dataPhase = true;
  if (header->lengthKnown()) outcome.announced = header->length - ptp::kHeaderSize;
  if (dataIn) dataIn->begin(outcome.announced);
  auto deliver = [&](std::size_t from, std::size_t length) {
    std::uint64_t n = length;
    if (outcome.announced) n = std::min<std::uint64_t>(n, *outcome.announced - outcome.received);
    if (n > 0 && dataIn && !outcome.sinkFailed &&
        !dataIn->write(std::span<const std::uint8_t>(buffer_.data() + from, static_cast<std::size_t>(n))))
      outcome.sinkFailed = true;
    outcome.received += n;
  };
  std::size_t want = roundUp(kFirstRead, packet);
  deliver(ptp::kHeaderSize, r.length - ptp::kHeaderSize);
  // A header that came alone is followed by its payload, or, when the phone
  // had nothing to send after all, by the response.
  bool headerAlone = r.length == ptp::kHeaderSize;
  bool ended = r.length < want && !headerAlone;
  while (!ended && !(outcome.announced && outcome.received >= *outcome.announced)) {
    want = PtpTransactions::kChunk;
    if (outcome.announced) want = std::min(want, roundUp(*outcome.announced - outcome.received, packet));
    r = receive(want);
    if (!r.ok()) return failed(r);
    if (headerAlone) {
      headerAlone = false;
      auto next = ptp::parseHeader(std::span<const std::uint8_t>(buffer_.data(), r.length));
      if (next && next->type == static_cast<std::uint16_t>(ptp::ContainerType::kResponse) &&
          next->length == r.length && next->transactionId == id && ptp::parseResponse(
              std::span<const std::uint8_t>(buffer_.data(), r.length)))
        return response(std::move(outcome), r.length);
    }
    deliver(0, r.length);
    ended = r.length < want;
  }
  receiveContainer(packet, r);
  if (!r.ok()) return failed(r);
  return response(std::move(outcome), r.length);
}

}  // namespace imagecapture
