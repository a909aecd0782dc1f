#include "ptp_transactions.h"

#include <algorithm>
#include <utility>

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

void PtpTransactions::startRead(std::vector<std::uint8_t>& buffer, std::size_t size) {
  if (buffer.size() < size) buffer.resize(size);
  started_.push_back({usb_.startReceive(std::span<std::uint8_t>(buffer.data(), size)), &buffer, size});
}

PtpTransactions::Piece PtpTransactions::next(std::size_t want) {
  if (started_.empty()) startRead(buffer_, std::min(want, kChunk));
  Started read = started_.front();
  started_.pop_front();
  return {usb_.finishReceive(read.ticket), read.buffer->data(), read.size};
}

PtpOutcome PtpTransactions::once(std::uint16_t code, std::span<const std::uint32_t> params,
                                 const ptp::Bytes* dataOut, DataSink* dataIn) {
  currentId_ = nextId_++;
  const bool leftovers = std::exchange(leftovers_, false);
  const std::size_t packet = std::max<std::size_t>(usb_.packetSize(), 8);
  // The reads of the answer are started before the command goes, so that
  // request and answer take one round trip where the bus allows: the first
  // piece (a data phase's start, or the response), and after a data phase
  // that fits it, the response.
  std::size_t first = packet;
  if (dataIn) {
    first = roundUp(kFirstRead, packet);
    if (auto expected = dataIn->expectedLength())
      first = std::max(first, roundUp(std::min<std::uint64_t>(*expected + ptp::kHeaderSize, kChunk), packet));
  }
  startRead(buffer_, first);
  if (dataIn) startRead(response_, packet);
  PtpOutcome outcome;
  const ptp::Bytes command = ptp::commandContainer(code, currentId_, params);
  if (UsbResult sent = usb_.send(command); !sent.ok()) {
    outcome = failed(sent);
  } else if (dataOut) {
    ptp::Bytes data = ptp::dataHeader(code, currentId_, dataOut->size());
    data.insert(data.end(), dataOut->begin(), dataOut->end());
    if (UsbResult sentData = usb_.send(data); !sentData.ok()) outcome = failed(sentData);
    else outcome = readAnswer(code, currentId_, dataIn, first, leftovers);
  } else {
    outcome = readAnswer(code, currentId_, dataIn, first, leftovers);
  }
  // A read started for a piece that did not come (a response without data).
  while (!started_.empty()) {
    usb_.cancelReceive(started_.front().ticket);
    started_.pop_front();
  }
  return outcome;
}

PtpOutcome PtpTransactions::dropLeftovers(std::uint32_t id, const Piece& first) {
  auto bytes = [](const Piece& piece) { return std::span<const std::uint8_t>(piece.data, piece.result.length); };
  // The phone stops sending what it still sends: a zero-length packet and a
  // response end it. Where only a response was left, nothing is sent any
  // more (a Cancel now would cut the next data phase short).
  if (!ptp::parseResponse(bytes(first))) {
    auto header = ptp::parseHeader(bytes(first));
    const bool data = header && header->type == static_cast<std::uint16_t>(ptp::ContainerType::kData);
    usb_.cancel(data ? header->transactionId : id);
  }
  for (Piece piece = first;; piece = next(kChunk)) {
    if (!piece.result.ok()) return failed(piece.result);
    auto message = ptp::parseResponse(bytes(piece));
    if (!message || message->transactionId != id) continue;
    PtpOutcome outcome;
    outcome.kind = PtpOutcome::Kind::kAnswered;
    outcome.response = std::move(*message);
    outcome.leftoversDropped = true;
    return outcome;
  }
}

PtpOutcome PtpTransactions::readAnswer(std::uint16_t code, std::uint32_t id, DataSink* dataIn, std::size_t first,
                                       bool leftovers) {
  const std::size_t packet = std::max<std::size_t>(usb_.packetSize(), 8);
  // The next container that is not a zero-length packet.
  auto container = [&](std::size_t want) {
    Piece piece;
    for (int i = 0; i <= kZeroLengthPackets; ++i) {
      piece = next(want);
      if (!piece.result.ok() || piece.result.length > 0) break;
    }
    return piece;
  };
  auto response = [&](PtpOutcome outcome, const Piece& piece) {
    auto message = ptp::parseResponse(std::span<const std::uint8_t>(piece.data, piece.result.length));
    if (!message) return broken("телефон прислал не ответ PTP");
    if (message->transactionId != id) return broken("телефон ответил на другой запрос");
    outcome.kind = PtpOutcome::Kind::kAnswered;
    outcome.response = std::move(*message);
    return outcome;
  };

  PtpOutcome outcome;
  Piece piece = container(first);
  if (!piece.result.ok()) return failed(piece.result);
  auto header = ptp::parseHeader(std::span<const std::uint8_t>(piece.data, piece.result.length));
  if (leftovers) {
    // Ours: a whole response, or the start of a data phase, to this request.
    const bool ours =
        header && header->transactionId == id &&
        (ptp::parseResponse(std::span<const std::uint8_t>(piece.data, piece.result.length)) ||
         (header->type == static_cast<std::uint16_t>(ptp::ContainerType::kData) && header->code == code));
    if (!ours) return dropLeftovers(id, piece);
  }
  if (!header) return broken("ответ телефона короче заголовка PTP");
  if (header->type == static_cast<std::uint16_t>(ptp::ContainerType::kResponse)) return response(std::move(outcome), piece);
  if (header->type != static_cast<std::uint16_t>(ptp::ContainerType::kData) || header->transactionId != id ||
      (header->lengthKnown() && header->length < ptp::kHeaderSize))
    return broken("телефон прислал не данные PTP");

  outcome.dataPhase = true;
  if (header->lengthKnown()) outcome.announced = header->length - ptp::kHeaderSize;
  if (dataIn) dataIn->begin(outcome.announced);
  auto deliver = [&](const std::uint8_t* from, std::size_t length) {
    std::uint64_t n = length;
    if (outcome.announced) n = std::min<std::uint64_t>(n, *outcome.announced - outcome.received);
    if (n > 0 && dataIn && !outcome.sinkFailed &&
        !dataIn->write(std::span<const std::uint8_t>(from, static_cast<std::size_t>(n))))
      outcome.sinkFailed = true;
    outcome.received += n;
  };
  deliver(piece.data + ptp::kHeaderSize, piece.result.length - ptp::kHeaderSize);
  // A header that came alone is followed by its payload, or, when the phone
  // had nothing to send after all, by the response.
  bool headerAlone = piece.result.length == ptp::kHeaderSize;
  bool ended = piece.result.length < piece.requested && !headerAlone;
  while (!ended && !(outcome.announced && outcome.received >= *outcome.announced)) {
    std::size_t want = PtpTransactions::kChunk;
    if (outcome.announced) want = std::min(want, roundUp(*outcome.announced - outcome.received, packet));
    piece = next(want);
    if (!piece.result.ok()) return failed(piece.result);
    const std::span<const std::uint8_t> bytes(piece.data, piece.result.length);
    if (headerAlone) {
      headerAlone = false;
      auto following = ptp::parseHeader(bytes);
      if (following && following->type == static_cast<std::uint16_t>(ptp::ContainerType::kResponse) &&
          following->length == bytes.size() && following->transactionId == id && ptp::parseResponse(bytes))
        return response(std::move(outcome), piece);
    }
    deliver(piece.data, piece.result.length);
    ended = piece.result.length < piece.requested;
  }
  piece = container(packet);
  if (!piece.result.ok()) return failed(piece.result);
  return response(std::move(outcome), piece);
}

}  // namespace imagecapture
