#include "usbmux_handler.h"

namespace emulated_phone {

namespace {

PlistPtr deviceProperties(const Device& device) {
  PlistPtr p = newDict();
  setUint(p.get(), "ConnectionSpeed", 480000000);
  setString(p.get(), "ConnectionType", "USB");
  setUint(p.get(), "DeviceID", Device::kDeviceId);
  setUint(p.get(), "LocationID", 0x01100000);
  setUint(p.get(), "ProductID", 0x12a8);
  setString(p.get(), "SerialNumber", device.options().udid);
  setString(p.get(), "USBSerialNumber", device.options().udid);
  return p;
}

UsbmuxReply reply(PlistPtr answer, UsbmuxReply::Then then = UsbmuxReply::Then::kContinue) {
  UsbmuxReply r;
  r.answer = std::move(answer);
  r.then = then;
  return r;
}

}  // namespace

bool isAfcService(const std::string& name) {
  return name == "com.apple.afc" || name == "com.apple.crashreportcopymobile";
}

PlistPtr resultMessage(uint32_t number) {
  PlistPtr m = newDict();
  setString(m.get(), "MessageType", "Result");
  setUint(m.get(), "Number", number);
  return m;
}

PlistPtr attachedMessage(const Device& device) {
  PlistPtr m = newDict();
  setString(m.get(), "MessageType", "Attached");
  setUint(m.get(), "DeviceID", Device::kDeviceId);
  setItem(m.get(), "Properties", deviceProperties(device));
  return m;
}

PlistPtr detachedMessage() {
  PlistPtr m = newDict();
  setString(m.get(), "MessageType", "Detached");
  setUint(m.get(), "DeviceID", Device::kDeviceId);
  return m;
}

UsbmuxReply handleUsbmuxRequest(Device& device, plist_t request, Device::Clock::time_point now) {
  std::string type = stringItem(request, "MessageType").value_or("");
  const std::string& udid = device.options().udid;
  bool attached = device.attached(now);

  if (type == "ListDevices") {
    PlistPtr list(plist_new_array());
    if (attached) plist_array_append_item(list.get(), attachedMessage(device).release());
    PlistPtr answer = newDict();
    setItem(answer.get(), "DeviceList", std::move(list));
    return reply(std::move(answer));
  }
  if (type == "Listen") return reply(resultMessage(kResultOk), UsbmuxReply::Then::kListen);
  if (type == "ReadBUID") {
    PlistPtr answer = newDict();
    setString(answer.get(), "BUID", device.credentials().system_buid);
    return reply(std::move(answer));
  }
  if (type == "ReadPairRecord") {
    std::optional<std::string> record;
    if (stringItem(request, "PairRecordID") == udid) record = device.pairRecord();
    // usbmuxd answers a missing record with ENOENT.
    if (!record) return reply(resultMessage(2));
    PlistPtr answer = newDict();
    setData(answer.get(), "PairRecordData", *record);
    return reply(std::move(answer));
  }
  if (type == "SavePairRecord") {
    std::optional<std::string> data = dataItem(request, "PairRecordData");
    if (stringItem(request, "PairRecordID") != udid || !data || !parsePlist(*data))
      return reply(resultMessage(kResultBadDevice));
    device.savePairRecord(std::move(*data));
    return reply(resultMessage(kResultOk));
  }
  if (type == "DeletePairRecord") {
    if (stringItem(request, "PairRecordID") != udid) return reply(resultMessage(kResultBadDevice));
    device.deletePairRecord();
    return reply(resultMessage(kResultOk));
  }
  if (type == "Connect") {
    if (!attached || uintItem(request, "DeviceID") != Device::kDeviceId)
      return reply(resultMessage(kResultBadDevice));
    // The port comes in network byte order inside a host-order integer.
    uint64_t raw = uintItem(request, "PortNumber").value_or(0);
    auto port = static_cast<uint16_t>(((raw & 0xff) << 8) | ((raw >> 8) & 0xff));
    if (port == Device::kLockdownPort)
      return reply(resultMessage(kResultOk), UsbmuxReply::Then::kLockdown);
    std::optional<std::string> service = device.serviceAt(port);
    if (!service) return reply(resultMessage(kResultConnectionRefused));
    if (isAfcService(*service)) {
      switch (device.faults().afc_connect) {
        case AfcConnectFault::kRefuse:
          return reply(resultMessage(kResultConnectionRefused));
        case AfcConnectFault::kClose:
          return reply(resultMessage(kResultOk), UsbmuxReply::Then::kCloseAtOnce);
        case AfcConnectFault::kNone:
          break;
      }
    }
    UsbmuxReply r = reply(resultMessage(kResultOk), UsbmuxReply::Then::kService);
    r.service = *service;
    return r;
  }
  return reply(resultMessage(kResultBadCommand));
}

}  // namespace emulated_phone
