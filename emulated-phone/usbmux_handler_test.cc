#include "usbmux_handler.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "byte_order.h"
#include "fd_stream.h"
#include "unique_fd.h"
#include "usbmux_protocol.h"

namespace emulated_phone {
namespace {

using Clock = Device::Clock;

std::unique_ptr<Device> makeDevice(const Faults& faults, Clock::time_point started = Clock::now()) {
  Options o;
  o.faults = faults;
  Credentials c;
  c.system_buid = "BUID-1";
  PlistPtr record = newDict();
  setString(record.get(), "HostID", "H");
  c.pair_record = toXml(record.get());
  return std::make_unique<Device>(o, std::move(c), started);
}

PlistPtr message(const char* type) {
  PlistPtr m = newDict();
  setString(m.get(), "MessageType", type);
  return m;
}

PlistPtr connect(uint64_t device_id, uint16_t port) {
  PlistPtr m = message("Connect");
  setUint(m.get(), "DeviceID", device_id);
  // As libusbmuxd sends it: the port in network byte order.
  setUint(m.get(), "PortNumber", static_cast<uint16_t>((port >> 8) | (port << 8)));
  return m;
}

uint64_t resultOf(const UsbmuxReply& r) { return uintItem(r.answer.get(), "Number").value_or(99); }

TEST(UsbmuxHandler, ListsTheDeviceUntilItDetaches) {
  Faults faults;
  faults.detach_after_seconds = 1;
  auto started = Clock::now();
  auto device = makeDevice(faults, started);
  UsbmuxReply r = handleUsbmuxRequest(*device, message("ListDevices").get(), started);
  plist_t list = plist_dict_get_item(r.answer.get(), "DeviceList");
  ASSERT_EQ(plist_array_get_size(list), 1u);
  plist_t entry = plist_array_get_item(list, 0);
  EXPECT_EQ(stringItem(entry, "MessageType"), "Attached");
  plist_t props = plist_dict_get_item(entry, "Properties");
  EXPECT_EQ(stringItem(props, "SerialNumber"), "00008110-000A1B2C3D4E5F60");
  EXPECT_EQ(stringItem(props, "ConnectionType"), "USB");

  auto later = started + std::chrono::seconds(1);
  r = handleUsbmuxRequest(*device, message("ListDevices").get(), later);
  EXPECT_EQ(plist_array_get_size(plist_dict_get_item(r.answer.get(), "DeviceList")), 0u);
  EXPECT_EQ(resultOf(handleUsbmuxRequest(*device, connect(1, 62078).get(), later)),
            kResultBadDevice);
}

TEST(UsbmuxHandler, PairRecordsOnlyForThisPhone) {
  auto device = makeDevice({});
  PlistPtr read = message("ReadPairRecord");
  setString(read.get(), "PairRecordID", "someone-else");
  EXPECT_EQ(resultOf(handleUsbmuxRequest(*device, read.get(), Clock::now())), 2u);
  setString(read.get(), "PairRecordID", "00008110-000A1B2C3D4E5F60");
  UsbmuxReply r = handleUsbmuxRequest(*device, read.get(), Clock::now());
  EXPECT_TRUE(dataItem(r.answer.get(), "PairRecordData"));

  // A record that is not a property list is refused and the old one kept.
  PlistPtr save = message("SavePairRecord");
  setString(save.get(), "PairRecordID", "00008110-000A1B2C3D4E5F60");
  setData(save.get(), "PairRecordData", "garbage");
  EXPECT_EQ(resultOf(handleUsbmuxRequest(*device, save.get(), Clock::now())), kResultBadDevice);
  EXPECT_TRUE(device->pairRecord());

  PlistPtr remove = message("DeletePairRecord");
  setString(remove.get(), "PairRecordID", "00008110-000A1B2C3D4E5F60");
  EXPECT_EQ(resultOf(handleUsbmuxRequest(*device, remove.get(), Clock::now())), kResultOk);
  EXPECT_EQ(resultOf(handleUsbmuxRequest(*device, read.get(), Clock::now())), 2u);
}

TEST(UsbmuxHandler, ConnectRoutesByPort) {
  Faults faults;
  auto device = makeDevice(faults);
  auto now = Clock::now();
  UsbmuxReply r = handleUsbmuxRequest(*device, connect(1, 62078).get(), now);
  EXPECT_EQ(resultOf(r), kResultOk);
  EXPECT_EQ(r.then, UsbmuxReply::Then::kLockdown);
  EXPECT_EQ(resultOf(handleUsbmuxRequest(*device, connect(2, 62078).get(), now)),
            kResultBadDevice);
  EXPECT_EQ(resultOf(handleUsbmuxRequest(*device, connect(1, 50000).get(), now)),
            kResultConnectionRefused);
  uint16_t afc = device->registerService("com.apple.afc");
  r = handleUsbmuxRequest(*device, connect(1, afc).get(), now);
  EXPECT_EQ(r.then, UsbmuxReply::Then::kService);
  EXPECT_EQ(r.service, "com.apple.afc");
}

TEST(UsbmuxHandler, AfcConnectFaultsSpareOtherServices) {
  Faults refuse;
  refuse.afc_connect = AfcConnectFault::kRefuse;
  auto device = makeDevice(refuse);
  auto now = Clock::now();
  uint16_t afc = device->registerService("com.apple.afc");
  uint16_t relay = device->registerService("com.apple.mobile.file_relay");
  EXPECT_EQ(resultOf(handleUsbmuxRequest(*device, connect(1, afc).get(), now)),
            kResultConnectionRefused);
  EXPECT_EQ(handleUsbmuxRequest(*device, connect(1, relay).get(), now).then,
            UsbmuxReply::Then::kService);
  Faults close;
  close.afc_connect = AfcConnectFault::kClose;
  auto device2 = makeDevice(close);
  afc = device2->registerService("com.apple.afc");
  UsbmuxReply r = handleUsbmuxRequest(*device2, connect(1, afc).get(), now);
  EXPECT_EQ(resultOf(r), kResultOk);
  EXPECT_EQ(r.then, UsbmuxReply::Then::kCloseAtOnce);
}

TEST(UsbmuxHandler, BuidListenAndUnknown) {
  auto device = makeDevice({});
  UsbmuxReply r = handleUsbmuxRequest(*device, message("ReadBUID").get(), Clock::now());
  EXPECT_EQ(stringItem(r.answer.get(), "BUID"), "BUID-1");
  r = handleUsbmuxRequest(*device, message("Listen").get(), Clock::now());
  EXPECT_EQ(resultOf(r), kResultOk);
  EXPECT_EQ(r.then, UsbmuxReply::Then::kListen);
  EXPECT_EQ(resultOf(handleUsbmuxRequest(*device, message("Frob").get(), Clock::now())),
            kResultBadCommand);
}

TEST(UsbmuxProtocol, FramesRoundTripAndBadLengthsAreRejected) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  UniqueFd a(fds[0]), b(fds[1]);
  FdStream left(a.get()), right(b.get());
  ASSERT_TRUE(writeUsbmuxPlist(left, 7, message("Listen").get()));
  UsbmuxMessage m;
  ASSERT_TRUE(readUsbmuxMessage(right, &m));
  EXPECT_EQ(m.tag, 7u);
  EXPECT_EQ(m.type, kUsbmuxPlistMessage);
  EXPECT_EQ(m.version, 1u);
  EXPECT_EQ(stringItem(parsePlist(m.payload).get(), "MessageType"), "Listen");

  for (uint32_t length : {0u, 15u, kUsbmuxMaxMessage + 1}) {
    unsigned char header[16] = {};
    storeLe32(header, length);
    ASSERT_TRUE(left.writeAll({{header, sizeof header}}));
    EXPECT_FALSE(readUsbmuxMessage(right, &m)) << length;
  }
  // A header alone (length 16) is a message with no payload.
  unsigned char header[16] = {};
  storeLe32(header, 16);
  ASSERT_TRUE(left.writeAll({{header, sizeof header}}));
  EXPECT_TRUE(readUsbmuxMessage(right, &m));
  EXPECT_TRUE(m.payload.empty());
}

}  // namespace
}  // namespace emulated_phone
