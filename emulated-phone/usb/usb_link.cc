#include "usb_link.h"

#include <algorithm>
#include <cerrno>

#include "byte_order.h"

namespace emulated_phone::usb {

namespace {

constexpr size_t kPacket = 512;
constexpr size_t kHeader = 12;
// Still-image class requests on endpoint 0.
constexpr uint8_t kClassOut = 0x21, kClassIn = 0xA1;
constexpr uint8_t kCancelRequest = 0x64, kGetDeviceStatus = 0x67;

const unsigned char* raw(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

}  // namespace

void UsbLink::complete(const Urb& urb, int status, std::string data, size_t at) {
  Completion c;
  c.id = urb.id;
  c.status = status;
  c.at = at;
  c.actual = data.size();
  c.data = std::move(data);
  done_.push_back(std::move(c));
}

int UsbLink::submit(Urb urb) {
  if (unplugged_) return -ENODEV;
  if (urb.type == kUrbTypeControl) {
    control(urb);
  } else if (urb.endpoint == kBulkOut) {
    from_host_ += urb.out;
    complete(urb, 0, "");
    done_.back().actual = urb.out.size();
    takeContainers();
  } else if (urb.endpoint == kBulkIn) {
    bulk_in_.push_back(std::move(urb));
  } else if (urb.endpoint == kInterruptIn) {
    interrupt_in_.push_back(std::move(urb));
  } else {
    return -ENOENT;
  }
  pump();
  return 0;
}

void UsbLink::control(const Urb& urb) {
  if (urb.out.size() < 8) {
    complete(urb, -EPIPE, "");
    return;
  }
  const uint8_t type = raw(urb.out)[0], request = raw(urb.out)[1];
  const uint16_t length = loadLe16(raw(urb.out) + 6);
  if (type == kClassIn && request == kGetDeviceStatus) {
    // Always "OK", whatever is going on.
    std::string status("\x04\x00\x01\x20", 4);
    status.resize(std::min<size_t>(status.size(), std::min<size_t>(length, urb.length - 8)));
    complete(urb, 0, status, 8);
    return;
  }
  if (type == kClassOut && request == kCancelRequest && length >= 6) {
    auto data = std::find_if(to_host_.begin(), to_host_.end(),
                             [](const InMessage& m) { return containerType(m.head) == ptp::kData; });
    if (data != to_host_.end()) {
      cancel(data);
    } else {
      cancel_next_ = true;
    }
  }
  // Any other request (Reset 0x66 among them) is taken and done nothing with.
  complete(urb, 0, "", 8);
  done_.back().actual = std::min<size_t>(length, urb.out.size() - 8);
}

// The data phase ends with a zero-length packet where it stands, and the
// response that follows it says IncompleteTransfer.
void UsbLink::cancel(std::deque<InMessage>::iterator data) {
  data->cancelled = true;
  for (auto it = data + 1; it != to_host_.end(); ++it) {
    if (containerType(it->head) != ptp::kResponse) continue;
    it->head = response(ptp::kIncompleteTransfer, containerTransaction(it->head));
    break;
  }
}

void UsbLink::takeContainers() {
  while (!unplugged_ && from_host_.size() >= kHeader) {
    const uint32_t length = containerLength(from_host_);
    if (length < kHeader) {  // garbage: drop it
      from_host_.clear();
      return;
    }
    if (from_host_.size() < length) return;
    std::string bytes = from_host_.substr(0, length);
    from_host_.erase(0, length);
    Command command;
    if (containerType(bytes) == ptp::kCommand && parseCommand(bytes, &command)) {
      pending_command_.clear();  // a data phase that never came is given up
      if (PtpPhone::takesData(command.code)) {
        pending_command_ = bytes;
        continue;
      }
    } else if (containerType(bytes) == ptp::kData && !pending_command_.empty()) {
      parseCommand(pending_command_, &command);
      pending_command_.clear();
      command.has_data = true;
      command.data_code = containerCode(bytes);
      command.data = bytes.substr(kHeader);
    } else {
      continue;  // a data phase nobody waits for is dropped
    }
    answer(std::move(command));
  }
}

void UsbLink::answer(Command command) {
  Answer answer = phone_.handle(command);
  if (answer.unplug) {
    unplug();
    return;
  }
  const size_t first = to_host_.size();
  for (auto& m : answer.messages) to_host_.push_back(std::move(m));
  if (cancel_next_) {
    auto data = std::find_if(to_host_.begin() + static_cast<std::ptrdiff_t>(first), to_host_.end(),
                             [](const InMessage& m) { return containerType(m.head) == ptp::kData; });
    if (data != to_host_.end()) {
      cancel(data);
      cancel_next_ = false;
    }
  }
  queueEvents();
}

void UsbLink::queueEvents() {
  for (auto& e : phone_.takeEvents()) events_.push_back(std::move(e));
}

void UsbLink::tick() {
  if (unplugged_) return;
  queueEvents();
  pump();
}

double UsbLink::nextWake() const {
  if (unplugged_) return -1;
  const double phone = phone_.nextEventAt();
  if (hold_until_ < 0 || hold_until_ <= clock_()) return phone;  // a held message goes with the next URB
  return phone < 0 ? hold_until_ : std::min(phone, hold_until_);
}

// Whether the message in front still waits for its first byte.
bool UsbLink::held() {
  if (to_host_.empty() || sent_ > 0 || to_host_.front().delay <= 0 || to_host_.front().cancelled) return false;
  if (hold_until_ < 0) hold_until_ = clock_() + to_host_.front().delay;
  return clock_() < hold_until_;
}

void UsbLink::pump() {
  while (!unplugged_ && !stalled_ && !held() && !bulk_in_.empty()) {
    const Urb& urb = bulk_in_.front();
    if (zero_packet_due_) {
      zero_packet_due_ = false;
      complete(urb, 0, "");
      bulk_in_.pop_front();
      continue;
    }
    if (to_host_.empty()) break;
    InMessage& m = to_host_.front();
    if (m.cancelled) {
      // What was sent stays sent; a zero-length packet ends the transfer.
      to_host_.pop_front();
      sent_ = 0;
      hold_until_ = -1;
      complete(urb, 0, "");
      bulk_in_.pop_front();
      continue;
    }
    // This transfer: the header alone when it is split off, else the rest.
    const bool header_alone = m.split_header && sent_ < kHeader;
    const uint64_t end = header_alone ? kHeader : m.size();
    const uint64_t n = std::min<uint64_t>(urb.length, end - sent_);
    const uint64_t head = m.head.size();
    const uint64_t body_from = std::max<uint64_t>(sent_, head) - head;
    const uint64_t body_to = std::max<uint64_t>(sent_ + n, head) - head;
    const int64_t body = static_cast<int64_t>(body_to - body_from);
    if (m.object_data && body > 0) {
      if (faults_.stall_at_object_bytes >= 0 && object_bytes_ + body > faults_.stall_at_object_bytes) {
        stalled_ = true;  // nothing more comes; the URB stays pending
        break;
      }
      if (faults_.unplug_after_object_bytes >= 0 && object_bytes_ + body > faults_.unplug_after_object_bytes) {
        unplug();
        return;
      }
    }
    std::string data(static_cast<size_t>(n), '\0');
    if (sent_ < head) m.head.copy(data.data(), static_cast<size_t>(std::min<uint64_t>(n, head - sent_)), sent_);
    uint64_t piece = n;
    if (body > 0) {
      const size_t at = static_cast<size_t>(head > sent_ ? head - sent_ : 0);
      const int64_t got = m.body.file->readAt(data.data() + at, static_cast<size_t>(body), m.body.offset + body_from);
      if (got != body) {  // the file shrank or failed under us: end the transfer short
        const uint64_t kept = static_cast<uint64_t>(std::max<int64_t>(got, 0));
        data.resize(at + kept);
        piece = data.size();
        m.body.length = body_from + kept;
      }
      object_bytes_ += body;
    }
    sent_ += piece;
    bytes_in_ += piece;
    if (sent_ >= (header_alone ? kHeader : m.size())) {
      const uint64_t transfer = header_alone ? kHeader : m.split_header ? m.size() - kHeader : m.size();
      zero_packet_due_ = transfer > 0 && transfer % kPacket == 0 && piece == urb.length;
      if (sent_ >= m.size()) {
        to_host_.pop_front();
        sent_ = 0;
        hold_until_ = -1;
      }
    }
    complete(urb, 0, std::move(data));
    bulk_in_.pop_front();
  }
  while (!unplugged_ && !interrupt_in_.empty() && !events_.empty()) {
    std::string event = events_.front();
    events_.pop_front();
    if (event.size() > interrupt_in_.front().length) event.resize(interrupt_in_.front().length);
    complete(interrupt_in_.front(), 0, std::move(event));
    interrupt_in_.pop_front();
  }
}

bool UsbLink::reap(Completion* out, int* error) {
  if (!done_.empty()) {
    *out = std::move(done_.front());
    done_.pop_front();
    return true;
  }
  *error = unplugged_ ? ENODEV : EAGAIN;
  return false;
}

int UsbLink::discard(uint64_t id) {
  for (auto* queue : {&bulk_in_, &interrupt_in_}) {
    for (auto it = queue->begin(); it != queue->end(); ++it) {
      if (it->id != id) continue;
      complete(*it, -ENOENT, "");
      queue->erase(it);
      return 0;
    }
  }
  return unplugged_ ? -ENODEV : -EINVAL;
}

void UsbLink::forget(uint64_t id) {
  for (auto* queue : {&bulk_in_, &interrupt_in_})
    std::erase_if(*queue, [id](const Urb& urb) { return urb.id == id; });
  std::erase_if(done_, [id](const Completion& c) { return c.id == id; });
}

void UsbLink::unplug() {
  if (unplugged_) return;
  unplugged_ = true;
  for (auto* queue : {&bulk_in_, &interrupt_in_}) {
    for (const auto& urb : *queue) complete(urb, -ENODEV, "");
    queue->clear();
  }
  to_host_.clear();
}

void UsbLink::plugIn() {
  bulk_in_.clear();
  interrupt_in_.clear();
  to_host_.clear();
  events_.clear();
  done_.clear();
  from_host_.clear();
  pending_command_.clear();
  sent_ = 0;
  hold_until_ = -1;
  zero_packet_due_ = false;
  cancel_next_ = false;
  unplugged_ = false;
  stalled_ = false;
  object_bytes_ = 0;
  faults_ = CableFaults{};
  phone_.plugIn();
}

}  // namespace emulated_phone::usb
