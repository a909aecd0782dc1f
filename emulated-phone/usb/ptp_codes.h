// The PTP codes the phone speaks: operations (the standard ones it answers,
// Apple's own and the one MTP operation it has), responses, events, object
// formats and container types.
#pragma once

#include <cstdint>

namespace emulated_phone::usb::ptp {

enum Operation : uint16_t {
  kGetDeviceInfo = 0x1001,
  kOpenSession = 0x1002,
  kCloseSession = 0x1003,
  kGetStorageIds = 0x1004,
  kGetStorageInfo = 0x1005,
  kGetNumObjects = 0x1006,
  kGetObjectHandles = 0x1007,
  kGetObjectInfo = 0x1008,
  kGetObject = 0x1009,
  kGetThumb = 0x100A,
  kDeleteObject = 0x100B,
  kResetDevice = 0x1010,
  kGetDevicePropDesc = 0x1014,
  kGetDevicePropValue = 0x1015,
  kSetDevicePropValue = 0x1016,
  kGetPartialObject = 0x101B,
  kGetFilesystemManifest = 0x1023,
  // Apple's own.
  kAppleNumObjects = 0x9001,
  kAppleObjectInfos = 0x9002,
  kAppleKeepAwake = 0x9004,
  kAppleObjectInfos64 = 0x9005,
  kAppleObjectSize64 = 0x9006,
  kAppleGetPartialObject64 = 0x9007,
  kAppleMtpMode = 0x9008,
  kAppleSetHostSupportedFormats = 0x900E,
  // MTP.
  kMtpGetObjectPropList = 0x9805,
};

enum Response : uint16_t {
  kOk = 0x2001,
  kGeneralError = 0x2002,
  kSessionNotOpen = 0x2003,
  kInvalidTransactionId = 0x2004,
  kOperationNotSupported = 0x2005,
  kIncompleteTransfer = 0x2007,
  kInvalidStorageId = 0x2008,
  kInvalidObjectHandle = 0x2009,
  kDevicePropNotSupported = 0x200A,
  kAccessDenied = 0x200F,
  kNoThumbnailPresent = 0x2010,
  kDeviceBusy = 0x2019,
  kInvalidParentObject = 0x201A,
  kInvalidParameter = 0x201D,
  kSessionAlreadyOpen = 0x201E,
};

enum Event : uint16_t {
  kStoreAdded = 0x4004,
  kStoreRemoved = 0x4005,
  kAppleLibraryReady = 0xC001,  // the phone has enumerated its library
};

enum Format : uint16_t {
  kUndefined = 0x3000,
  kAssociation = 0x3001,  // a folder
  kMpeg = 0x300B,
  kQuickTime = 0x300D,
  kExifJpeg = 0x3801,
  kTiffEp = 0x3802,
  kGif = 0x3807,
  kPng = 0x380B,
  kTiff = 0x380D,
  kDng = 0x3811,
  kHeif = 0xB401,
  kHeif2 = 0xB402,
  kHevc = 0xB421,
};

enum ContainerType : uint16_t { kCommand = 1, kData = 2, kResponse = 3, kEvent = 4 };

enum ObjectProp : uint16_t {
  kPropStorageId = 0xDC01,
  kPropObjectFormat = 0xDC02,
  kPropProtectionStatus = 0xDC03,
  kPropObjectSize = 0xDC04,
  kPropObjectFileName = 0xDC07,
  kPropDateCreated = 0xDC08,
  kPropDateModified = 0xDC09,
  kPropParentObject = 0xDC0B,
};

enum DataType : uint16_t { kTypeU16 = 0x0004, kTypeU32 = 0x0006, kTypeU64 = 0x0008, kTypeString = 0xFFFF };

constexpr uint32_t kStorageId = 0x00010001;
constexpr uint32_t kPlaceholderStorageId = 0xFEEDFACE;
constexpr uint32_t kAllStorages = 0xFFFFFFFF;
constexpr uint32_t kEventTransaction = 0xFFFFFFFF;

}  // namespace emulated_phone::usb::ptp
