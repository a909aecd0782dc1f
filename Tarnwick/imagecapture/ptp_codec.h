// What travels between the computer and a PTP phone, as bytes: containers,
// DeviceInfo, ObjectInfo, strings, dates and events. Pure and bounds-checked:
// whatever a phone sends, a parser reads only inside the bytes it was given
// and answers "nothing" for what it cannot read.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace imagecapture::ptp {

using Bytes = std::vector<std::uint8_t>;

enum class ContainerType : std::uint16_t { kCommand = 1, kData = 2, kResponse = 3, kEvent = 4 };

// Operations this client sends.
enum class Operation : std::uint16_t {
  kGetDeviceInfo = 0x1001,
  kOpenSession = 0x1002,
  kCloseSession = 0x1003,
  kGetStorageIds = 0x1004,
  kGetObjectHandles = 0x1007,
  kGetObjectInfo = 0x1008,
  kGetObject = 0x1009,
  // The phone's own.
  kKeepAwake = 0x9004,                // each later request keeps it awake 20 minutes
  kGetObjectInfos64 = 0x9005,         // every ObjectInfo of a store, 64-bit sizes
  kGetObjectSize64 = 0x9006,          // an object's size as a u64
  kGetPartialObject64 = 0x9007,       // a range at a 64-bit offset, of a 64-bit length
  kSetMtpMode = 0x9008,               // lists objects of 4 GiB or more
  kSetHostSupportedFormats = 0x900E,  // the formats the computer takes
};

// Response codes this client acts on; any other is reported by its number.
enum class ResponseCode : std::uint16_t {
  kOk = 0x2001,
  kGeneralError = 0x2002,
  kSessionNotOpen = 0x2003,
  kInvalidTransactionId = 0x2004,
  kOperationNotSupported = 0x2005,
  kIncompleteTransfer = 0x2007,
  kInvalidStorageId = 0x2008,
  kInvalidObjectHandle = 0x2009,
  kAccessDenied = 0x200F,
  kDeviceBusy = 0x2019,
  kInvalidParameter = 0x201D,
  kSessionAlreadyOpen = 0x201E,
  kTransactionCancelled = 0x201F,
};

enum class EventCode : std::uint16_t {
  kStoreAdded = 0x4004,
  kStoreRemoved = 0x4005,
};

constexpr std::uint16_t kFormatAssociation = 0x3001;  // a folder
constexpr std::uint16_t kAssociationGenericFolder = 1;
// What this computer takes: the formats of the media files it imports and
// their sidecars (undefined), HEIF (two codes) and HEVC. A phone told so
// sends the originals, whatever its transfer setting.
inline constexpr std::uint16_t kHostSupportedFormats[] = {
    0x3000, 0x300B, 0x300D, 0x3801, 0x380B, 0x380D, 0x3811,  // undefined, MPEG-4, QuickTime, JPEG, PNG, TIFF, DNG
    0xB401, 0xB402, 0xB421};                                 // HEIF, HEIF, HEVC
// The storage a phone shows until it is unlocked and trusts the computer.
constexpr std::uint32_t kPlaceholderStorage = 0xFEEDFACE;
constexpr std::size_t kHeaderSize = 12;
// Container lengths that do not give the length: the data runs to the end of
// the transfer (a phone writes 0xFFFFFFFE for more than 4 GiB).
constexpr std::uint32_t kLengthUnknown = 0xFFFFFFFE;
// Whether a data container of `payloadLength` bytes states its length.
constexpr bool lengthFitsHeader(std::uint64_t payloadLength) {
  return payloadLength < kLengthUnknown - kHeaderSize;
}

struct ContainerHeader {
  std::uint32_t length = 0;
  std::uint16_t type = 0;
  std::uint16_t code = 0;
  std::uint32_t transactionId = 0;
  // Whether `length` holds the whole container's length.
  bool lengthKnown() const { return length < kLengthUnknown; }
};

// The first 12 bytes as a header; nothing when fewer are given.
std::optional<ContainerHeader> parseHeader(std::span<const std::uint8_t> bytes);

// A command container with up to five parameters.
Bytes commandContainer(std::uint16_t code, std::uint32_t transactionId,
                       std::span<const std::uint32_t> params);
// The header of a data container carrying `payloadLength` bytes.
Bytes dataHeader(std::uint16_t code, std::uint32_t transactionId, std::uint64_t payloadLength);

// A UINT16 array dataset: the count, then the values.
Bytes u16Array(std::span<const std::uint16_t> values);

// A response or an event: the code and its parameters.
struct Message {
  std::uint16_t code = 0;
  std::uint32_t transactionId = 0;
  std::vector<std::uint32_t> params;
};

// A whole response container (`bytes` is exactly the container); nothing
// when it is not one.
std::optional<Message> parseResponse(std::span<const std::uint8_t> bytes);
// An event from the interrupt endpoint; nothing when it is not one.
std::optional<Message> parseEvent(std::span<const std::uint8_t> bytes);

// UTF-16 code units to UTF-8; a surrogate without its partner becomes U+FFFD.
std::string utf16ToUtf8(std::u16string_view units);

// Little-endian reads from a buffer. A read past the end yields 0 (or an
// empty value) and marks the reader failed; everything after that too.
class LeReader {
 public:
  explicit LeReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint8_t u8() { return static_cast<std::uint8_t>(take(1)); }
  std::uint16_t u16() { return static_cast<std::uint16_t>(take(2)); }
  std::uint32_t u32() { return static_cast<std::uint32_t>(take(4)); }
  std::uint64_t u64() { return take(8); }
  // A PTP string: a count of UTF-16 units (with the closing NUL), the units.
  // Read up to its first NUL, as UTF-8.
  std::string string();
  std::vector<std::uint16_t> array16();
  std::vector<std::uint32_t> array32();
  bool ok() const { return ok_; }
  std::size_t remaining() const { return ok_ ? bytes_.size() - pos_ : 0; }

 private:
  std::uint64_t take(std::size_t n);
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

struct DeviceInfo {
  std::uint16_t standardVersion = 0;
  std::uint32_t vendorExtensionId = 0;
  std::string vendorExtensionDesc;
  std::vector<std::uint16_t> operations;
  std::vector<std::uint16_t> events;
  std::string manufacturer;
  std::string model;
  std::string deviceVersion;
  std::string serialNumber;
};
std::optional<DeviceInfo> parseDeviceInfo(std::span<const std::uint8_t> bytes);

struct ObjectInfo {
  std::uint32_t storageId = 0;
  std::uint16_t format = 0;
  // Absent where a 32-bit field says 0xFFFFFFFF: 4 GiB or more.
  std::optional<std::uint64_t> size;
  std::uint32_t parent = 0;
  std::uint16_t associationType = 0;
  std::string filename;
  std::string captureDate;
  std::string modificationDate;
  bool isFolder() const {
    return format == kFormatAssociation || associationType == kAssociationGenericFolder;
  }
};
// `wideSize`: ObjectCompressedSize is a u64, as in the phone's bulk catalogue.
std::optional<ObjectInfo> parseObjectInfo(std::span<const std::uint8_t> bytes, bool wideSize = false);

// The phone's bulk catalogue (kGetObjectInfos64): records back to back, no
// count, each a u32 handle, the u32 length of its dataset and the ObjectInfo
// with a 64-bit size; four zero bytes when the store is empty. Nothing when
// any record cannot be read.
struct ObjectRecord {
  std::uint32_t handle = 0;
  ObjectInfo info;
};
std::optional<std::vector<ObjectRecord>> parseObjectInfoRecords(std::span<const std::uint8_t> bytes);

// A UINT32 array dataset (storage IDs, object handles).
std::optional<std::vector<std::uint32_t>> parseU32Array(std::span<const std::uint8_t> bytes);

// A PTP date "YYYYMMDDThhmmss", with optional tenths ".s" and an optional
// zone "Z" or "+hhmm"/"-hhmm"; the fields as written.
struct WallTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  std::optional<int> offsetMinutes;  // east of UTC, when the text gives a zone
  bool operator==(const WallTime&) const = default;
};
// Nothing for an empty text or anything that is not such a date.
std::optional<WallTime> parseDate(std::string_view text);

// A response code as a cause: "телефон ответил PTP 0x2019 (устройство занято)".
std::string describeResponse(std::uint16_t code);

}  // namespace imagecapture::ptp
