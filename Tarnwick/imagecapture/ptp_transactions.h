// PTP transactions over a UsbTransport: a command, an optional data phase to
// the phone, an optional data phase from the phone, and the response.
//
// - Transaction IDs: each transaction takes the next one; the session sets
//   it to 0 for what goes before and with OpenSession.
// - Data from the phone is streamed into a DataSink as it arrives, of any
//   length: the container's length when it gives one, else (more than
//   4 GiB) up to the short packet that ends the transfer. A header sent as
//   its own transfer ("split headers") is read as one with its payload.
//   A sink that fails does not stop the reading: the rest of the data phase
//   is read and dropped, so the session goes on.
// - DeviceBusy is answered again later: the request is repeated a few
//   times, each with a new transaction ID, before the code is reported.
// - Any response code is reported as it came; the caller decides.
// - A run that ended in the middle of an answer (it was killed) leaves the
//   phone sending it. The first request of a run may say so
//   (expectLeftovers): what comes before its own answer is then read and
//   dropped, the phone told with the class Cancel request to stop sending
//   it, and the outcome says that something was dropped.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ptp_codec.h"
#include "usb_transport.h"

namespace imagecapture {

class DataSink {
 public:
  virtual ~DataSink() = default;
  // The length the data is expected to have, if known: the first piece
  // read is sized for it (the length that comes is what counts).
  virtual std::optional<std::uint64_t> expectedLength() const { return std::nullopt; }
  // A data phase of `length` payload bytes begins (nothing: not given).
  virtual void begin(std::optional<std::uint64_t> /*length*/) {}
  // False when the sink failed; it is then given nothing more.
  virtual bool write(std::span<const std::uint8_t> bytes) = 0;
};

// Keeps the data in memory, up to a cap (then it fails).
class BufferSink final : public DataSink {
 public:
  explicit BufferSink(std::size_t cap = 64u << 20) : cap_(cap) {}
  bool write(std::span<const std::uint8_t> bytes) override;
  const ptp::Bytes& bytes() const { return bytes_; }

 private:
  std::size_t cap_;
  ptp::Bytes bytes_;
};

struct PtpOutcome {
  enum class Kind {
    kAnswered,  // `response` holds the phone's answer
    kGone,      // the device went away
    kStopped,   // the transport was stopped
    kBroken,    // the phone's bytes made no sense, or the USB failed; `error` says how
  };
  Kind kind = Kind::kBroken;
  ptp::Message response;
  std::string error;
  bool dataPhase = false;                  // the phone sent a data container
  std::optional<std::uint64_t> announced;  // its payload length, when given
  std::uint64_t received = 0;              // payload bytes that came
  bool sinkFailed = false;
  bool leftoversDropped = false;  // an earlier run's answer came first

  bool answered() const { return kind == Kind::kAnswered; }
  bool ok() const {
    return answered() && response.code == static_cast<std::uint16_t>(ptp::ResponseCode::kOk);
  }
  // The data phase ended before the length its header gave.
  bool shortData() const { return announced && received < *announced; }
};

class PtpTransactions {
 public:
  // Pieces of at most this many bytes are read at a time.
  static constexpr std::size_t kChunk = 1u << 20;
  static constexpr int kBusyRetries = 6;

  explicit PtpTransactions(UsbTransport& usb);

  PtpOutcome transact(ptp::Operation operation, std::span<const std::uint32_t> params = {},
                      DataSink* dataIn = nullptr);
  PtpOutcome transact(std::uint16_t code, std::span<const std::uint32_t> params,
                      const ptp::Bytes* dataOut, DataSink* dataIn);

  void setNextTransactionId(std::uint32_t id) { nextId_ = id; }
  // The next transaction is the first of a run: what an earlier run left
  // unread may come before its answer.
  void expectLeftovers() { leftovers_ = true; }
  std::uint32_t nextTransactionId() const { return nextId_; }
  // The ID of the transaction last sent (the one a Cancel names).
  std::uint32_t currentTransactionId() const { return currentId_; }

 private:
  PtpOutcome once(std::uint16_t code, std::span<const std::uint32_t> params, const ptp::Bytes* dataOut,
                  DataSink* dataIn);
  PtpOutcome readAnswer(std::uint16_t code, std::uint32_t id, DataSink* dataIn, std::size_t first, bool leftovers);
  // One transfer of the answer: a read started with the command, or a new one.
  struct Piece {
    UsbResult result;
    const std::uint8_t* data = nullptr;
    std::size_t requested = 0;
  };
  Piece next(std::size_t want);
  // Reads and drops what comes before the answer to `id`, from `piece`
  // on, then gives that answer, a response (a data phase of ours could not
  // be told from the leftovers: the request is to be made again).
  PtpOutcome dropLeftovers(std::uint32_t id, const Piece& piece);
  void startRead(std::vector<std::uint8_t>& buffer, std::size_t size);
  // Fills the outcome's kind from a failed USB result.
  static PtpOutcome failed(const UsbResult& result);

  UsbTransport& usb_;
  std::vector<std::uint8_t> buffer_;    // the answer's pieces
  std::vector<std::uint8_t> response_;  // the piece after the first, started with it
  struct Started {
    UsbTransport::Ticket ticket;
    std::vector<std::uint8_t>* buffer;
    std::size_t size;
  };
  std::deque<Started> started_;
  std::uint32_t nextId_ = 0;
  std::uint32_t currentId_ = 0;
  bool leftovers_ = false;
};

}  // namespace imagecapture
