#include "ptp_codec.h"

#include <cstdio>

namespace imagecapture::ptp {

namespace {

void put16(Bytes& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}
void put32(Bytes& out, std::uint32_t value) {
  put16(out, static_cast<std::uint16_t>(value));
  put16(out, static_cast<std::uint16_t>(value >> 16));
}

std::optional<Message> parseMessage(std::span<const std::uint8_t> bytes, ContainerType type) {
  auto header = parseHeader(bytes);
  if (!header || header->type != static_cast<std::uint16_t>(type) ||
      header->length != bytes.size() || bytes.size() > kHeaderSize + 5 * 4 ||
      (bytes.size() - kHeaderSize) % 4 != 0)
    return std::nullopt;
  Message message{header->code, header->transactionId, {}};
  LeReader reader(bytes.subspan(kHeaderSize));
  while (reader.remaining() > 0) message.params.push_back(reader.u32());
  return message;
}

void appendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | cp >> 6));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | cp >> 12));
    out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | cp >> 18));
    out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// `count` decimal digits at `at`, or -1.
int digits(std::string_view text, std::size_t at, std::size_t count) {
  if (at + count > text.size()) return -1;
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

bool leapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && leapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

std::optional<ContainerHeader> parseHeader(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kHeaderSize) return std::nullopt;
  LeReader reader(bytes);
  ContainerHeader header;
  header.length = reader.u32();
  header.type = reader.u16();
  header.code = reader.u16();
  header.transactionId = reader.u32();
  return header;
}

Bytes commandContainer(std::uint16_t code, std::uint32_t transactionId,
                       std::span<const std::uint32_t> params) {
  const std::size_t count = params.size() < 5 ? params.size() : 5;
  Bytes out;
  put32(out, static_cast<std::uint32_t>(kHeaderSize + 4 * count));
  put16(out, static_cast<std::uint16_t>(ContainerType::kCommand));
  put16(out, code);
  put32(out, transactionId);
  for (std::size_t i = 0; i < count; ++i) put32(out, params[i]);
  return out;
}

Bytes dataHeader(std::uint16_t code, std::uint32_t transactionId, std::uint64_t payloadLength) {
  Bytes out;
  const std::uint64_t total = payloadLength + kHeaderSize;
  put32(out, total < kLengthUnknown ? static_cast<std::uint32_t>(total) : kLengthUnknown);
  put16(out, static_cast<std::uint16_t>(ContainerType::kData));
  put16(out, code);
  put32(out, transactionId);
  return out;
}

Bytes u16Array(std::span<const std::uint16_t> values) {
  Bytes out;
  put32(out, static_cast<std::uint32_t>(values.size()));
  for (std::uint16_t value : values) put16(out, value);
  return out;
}

std::optional<Message> parseResponse(std::span<const std::uint8_t> bytes) {
  return parseMessage(bytes, ContainerType::kResponse);
}

std::optional<Message> parseEvent(std::span<const std::uint8_t> bytes) {
  return parseMessage(bytes, ContainerType::kEvent);
}

std::string utf16ToUtf8(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    std::uint32_t unit = units[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      appendUtf8(out, 0xFFFD);
    } else {
      appendUtf8(out, unit);
    }
  }
  return out;
}

std::uint64_t LeReader::take(std::size_t n) {
  if (!ok_ || bytes_.size() - pos_ < n) {
    ok_ = false;
    return 0;
  }
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < n; ++i) value |= static_cast<std::uint64_t>(bytes_[pos_ + i]) << (8 * i);
  pos_ += n;
  return value;
}

std::string LeReader::string() {
  const std::size_t count = u8();
  if (!ok_ || bytes_.size() - pos_ < 2 * count) {
    ok_ = false;
    return {};
  }
  std::u16string units;
  for (std::size_t i = 0; i < count; ++i) {
    const char16_t unit = static_cast<char16_t>(u16());
    if (unit == 0) {
      // The rest of the count (normally nothing) is skipped.
      pos_ += 2 * (count - i - 1);
      break;
    }
    units.push_back(unit);
  }
  return utf16ToUtf8(units);
}

std::vector<std::uint16_t> LeReader::array16() {
  const std::uint32_t count = u32();
  if (!ok_ || (bytes_.size() - pos_) / 2 < count) {
    ok_ = false;
    return {};
  }
  std::vector<std::uint16_t> values(count);
  for (auto& value : values) value = u16();
  return values;
}

std::vector<std::uint32_t> LeReader::array32() {
  const std::uint32_t count = u32();
  if (!ok_ || (bytes_.size() - pos_) / 4 < count) {
    ok_ = false;
    return {};
  }
  std::vector<std::uint32_t> values(count);
  for (auto& value : values) value = u32();
  return values;
}

std::optional<DeviceInfo> parseDeviceInfo(std::span<const std::uint8_t> bytes) {
  LeReader reader(bytes);
  DeviceInfo info;
  info.standardVersion = reader.u16();
  info.vendorExtensionId = reader.u32();
  reader.u16();  // vendor extension version
  info.vendorExtensionDesc = reader.string();
  reader.u16();  // functional mode
  info.operations = reader.array16();
  info.events = reader.array16();
  reader.array16();  // device properties
  reader.array16();  // capture formats
  reader.array16();  // image formats
  info.manufacturer = reader.string();
  info.model = reader.string();
  info.deviceVersion = reader.string();
  info.serialNumber = reader.string();
  if (!reader.ok()) return std::nullopt;
  return info;
}

std::optional<ObjectInfo> parseObjectInfo(std::span<const std::uint8_t> bytes, bool wideSize) {
  LeReader reader(bytes);
  ObjectInfo info;
  info.storageId = reader.u32();
  info.format = reader.u16();
  reader.u16();  // protection status
  if (wideSize) {
    info.size = reader.u64();
  } else if (const std::uint32_t size = reader.u32(); size != 0xFFFFFFFFu) {
    info.size = size;
  }
  reader.u16();                               // thumb format
  for (int i = 0; i < 6; ++i) reader.u32();  // thumb size, thumb and image dimensions, bit depth
  info.parent = reader.u32();
  info.associationType = reader.u16();
  reader.u32();  // association description
  reader.u32();  // sequence number
  info.filename = reader.string();
  info.captureDate = reader.string();
  info.modificationDate = reader.string();
  if (!reader.ok()) return std::nullopt;
  return info;  // keywords, when there, are not read
}

std::optional<std::vector<ObjectRecord>> parseObjectInfoRecords(std::span<const std::uint8_t> bytes) {
  std::vector<ObjectRecord> records;
  if (bytes.size() == 4 && LeReader(bytes).u32() == 0) return records;  // an empty store
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (bytes.size() - at < 8) return std::nullopt;
    LeReader head(bytes.subspan(at, 8));
    const std::uint32_t handle = head.u32();
    const std::uint32_t length = head.u32();
    at += 8;
    if (handle == 0 || bytes.size() - at < length) return std::nullopt;
    auto info = parseObjectInfo(bytes.subspan(at, length), true);
    if (!info) return std::nullopt;
    records.push_back({handle, std::move(*info)});
    at += length;
  }
  if (records.empty()) return std::nullopt;  // not even the empty store's four bytes
  return records;
}

std::optional<std::vector<std::uint32_t>> parseU32Array(std::span<const std::uint8_t> bytes) {
  LeReader reader(bytes);
  auto values = reader.array32();
  if (!reader.ok()) return std::nullopt;
  return values;
}

std::optional<WallTime> parseDate(std::string_view text) {
  WallTime time;
  time.year = digits(text, 0, 4);
  time.month = digits(text, 4, 2);
  time.day = digits(text, 6, 2);
  time.hour = digits(text, 9, 2);
  time.minute = digits(text, 11, 2);
  time.second = digits(text, 13, 2);
  if (text.size() < 15 || text[8] != 'T' || time.year < 0 || time.month < 1 || time.month > 12 ||
      time.day < 1 || time.day > daysInMonth(time.year, time.month) || time.hour < 0 ||
      time.hour > 23 || time.minute < 0 || time.minute > 59 || time.second < 0 || time.second > 59)
    return std::nullopt;
  std::size_t at = 15;
  if (at < text.size() && text[at] == '.') {
    if (digits(text, at + 1, 1) < 0) return std::nullopt;
    at += 2;
  }
  if (at < text.size() && text[at] == 'Z') {
    time.offsetMinutes = 0;
    ++at;
  } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    const int hours = digits(text, at + 1, 2);
    const int minutes = digits(text, at + 3, 2);
    if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59) return std::nullopt;
    time.offsetMinutes = (text[at] == '-' ? -1 : 1) * (hours * 60 + minutes);
    at += 5;
  }
  if (at != text.size()) return std::nullopt;
  return time;
}

std::string describeResponse(std::uint16_t code) {
  const char* meaning = "неизвестный код";
  switch (static_cast<ResponseCode>(code)) {
    case ResponseCode::kOk: meaning = "успешно"; break;
    case ResponseCode::kGeneralError: meaning = "общая ошибка"; break;
    case ResponseCode::kSessionNotOpen: meaning = "сессия не открыта"; break;
    case ResponseCode::kInvalidTransactionId: meaning = "неверный номер запроса"; break;
    case ResponseCode::kOperationNotSupported: meaning = "операция не поддерживается"; break;
    case ResponseCode::kIncompleteTransfer: meaning = "передача не завершена"; break;
    case ResponseCode::kInvalidStorageId: meaning = "нет такого хранилища"; break;
    case ResponseCode::kInvalidObjectHandle: meaning = "нет такого файла"; break;
    case ResponseCode::kAccessDenied: meaning = "доступ запрещён"; break;
    case ResponseCode::kDeviceBusy: meaning = "устройство занято"; break;
    case ResponseCode::kInvalidParameter: meaning = "неверный параметр"; break;
    case ResponseCode::kSessionAlreadyOpen: meaning = "сессия уже открыта"; break;
    case ResponseCode::kTransactionCancelled: meaning = "запрос отменён"; break;
  }
  char number[8];
  std::snprintf(number, sizeof number, "%04X", static_cast<unsigned>(code));
  return std::string("телефон ответил PTP 0x") + number + " (" + meaning + ")";
}

}  // namespace imagecapture::ptp
