#include "usb_link.h"

#include <algorithm>
#include <cerrno>

namespace emulated_phone::usb {

namespace {

constexpr size_t kPacket = 512;

uint32_t length32(const std::string& s) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[i]);
  return v;
}

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
    // Class requests on endpoint 0: a PTP device status of "OK", nothing else.
    std::string data;
    if (urb.out.size() >= 8 && static_cast<unsigned char>(urb.out[1]) == 0x67 && urb.length >= 12)
      data = std::string("\x04\x00\x01\x20", 4);
    complete(urb, 0, data, 8);
    return 0;
  }
  if (urb.endpoint == kBulkOut) {
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

void UsbLink::takeContainers() {
  while (!unplugged_ && from_host_.size() >= 12) {
    uint32_t length = length32(from_host_);
    if (length < 12) {  // garbage: drop it
      from_host_.clear();
      return;
    }
    if (from_host_.size() < length) return;
    std::string bytes = from_host_.substr(0, length);
    from_host_.erase(0, length);
    uint16_t type = static_cast<uint16_t>(static_cast<unsigned char>(bytes[4]) |
                                          static_cast<unsigned char>(bytes[5]) << 8);
    Command command;
    if (type == 1 && parseCommand(bytes, &command)) {
      if (PtpPhone::takesData(command.code)) {
        pending_command_ = bytes;
        continue;
      }
    } else if (type == 2 && !pending_command_.empty()) {
      parseCommand(pending_command_, &command);
      pending_command_.clear();
    } else {
      continue;
    }
    Answer answer = phone_.handle(command);
    if (answer.unplug) {
      unplug();
      return;
    }
    for (auto& m : answer.messages) to_host_.push_back(std::move(m));
  }
}

void UsbLink::pump() {
  while (!unplugged_ && !stalled_ && !bulk_in_.empty()) {
    const Urb& urb = bulk_in_.front();
    if (zero_packet_due_) {
      zero_packet_due_ = false;
      complete(urb, 0, "");
      bulk_in_.pop_front();
      continue;
    }
    if (to_host_.empty()) break;
    InMessage& m = to_host_.front();
    uint64_t n = std::min<uint64_t>(urb.length, m.size() - sent_);
    // The part of this piece that comes from the file.
    uint64_t head = m.head.size();
    uint64_t body_from = std::max<uint64_t>(sent_, head) - head;
    uint64_t body_to = std::max<uint64_t>(sent_ + n, head) - head;
    int64_t body = static_cast<int64_t>(body_to - body_from);
    if (m.object_data && body > 0) {
      if (faults_.stall_at_object_bytes >= 0 && object_bytes_ + body > faults_.stall_at_object_bytes) {
        stalled_ = true;  // nothing more comes; the URB stays pending
        break;
      }
      if (faults_.unplug_after_object_bytes >= 0 &&
          object_bytes_ + body > faults_.unplug_after_object_bytes) {
        unplug();
        return;
      }
    }
    std::string data(static_cast<size_t>(n), '\0');
    if (sent_ < head) m.head.copy(data.data(), std::min<uint64_t>(n, head - sent_), sent_);
    if (body > 0) {
      size_t at = static_cast<size_t>(head > sent_ ? head - sent_ : 0);
      int64_t got = m.body.file->readAt(data.data() + at, static_cast<size_t>(body),
                                        m.body.offset + body_from);
      if (got != body) {  // the file shrank or failed under us: end the transfer short
        data.resize(at + static_cast<size_t>(std::max<int64_t>(got, 0)));
        n = data.size();
        m.body.length = body_from + static_cast<uint64_t>(std::max<int64_t>(got, 0));
      }
      object_bytes_ += body;
    }
    sent_ += n;
    bytes_in_ += n;
    if (sent_ >= m.size()) {
      zero_packet_due_ = m.size() % kPacket == 0 && n == urb.length;
      to_host_.pop_front();
      sent_ = 0;
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

void UsbLink::queueEvents(const std::vector<std::string>& events) {
  for (const auto& e : events) events_.push_back(e);
  pump();
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
  zero_packet_due_ = false;
  unplugged_ = false;
  stalled_ = false;
  object_bytes_ = 0;
  faults_ = CableFaults{};
  phone_.plugIn();
}

}  // namespace emulated_phone::usb
