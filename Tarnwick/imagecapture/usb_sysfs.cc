#include "usb_sysfs.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <vector>

namespace imagecapture {

std::optional<std::pair<int, int>> parseUsbPort(std::string_view port) {
  constexpr std::string_view prefix = "usb:";
  if (port.substr(0, prefix.size()) != prefix) return std::nullopt;
  port.remove_prefix(prefix.size());
  auto comma = port.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  int bus = 0, device = 0;
  auto a = std::from_chars(port.data(), port.data() + comma, bus);
  auto b = std::from_chars(port.data() + comma + 1, port.data() + port.size(), device);
  if (a.ec != std::errc() || a.ptr != port.data() + comma || b.ec != std::errc() ||
      b.ptr != port.data() + port.size())
    return std::nullopt;
  return std::pair{bus, device};
}

#if defined(__linux__)
namespace {

std::string readLine(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

}  // namespace

std::optional<std::string> usbDevicesSignature() {
  std::vector<std::string> parts;
  std::error_code error;
  // Devices, not their interfaces ("1-1:1.0"); the device number is new at
  // every attachment, also on the same port.
  for (std::filesystem::directory_iterator it("/sys/bus/usb/devices", error), end; !error && it != end;
       it.increment(error)) {
    std::string name = it->path().filename();
    if (name.find(':') != std::string::npos) continue;
    parts.push_back(name + "=" + readLine(it->path() / "busnum") + "," + readLine(it->path() / "devnum"));
  }
  error.clear();
  for (std::filesystem::recursive_directory_iterator it("/dev/bus/usb", error), end; !error && it != end;
       it.increment(error))
    parts.push_back(it->path().string());
  std::sort(parts.begin(), parts.end());
  std::string signature;
  for (const auto& part : parts) signature += part + ";";
  return signature;
}

std::optional<UsbStrings> readUsbStrings(int bus, int device) {
  std::error_code error;
  std::filesystem::directory_iterator it("/sys/bus/usb/devices", error);
  if (error) return std::nullopt;
  for (const auto& entry : it) {
    const auto& dir = entry.path();
    std::string busText = readLine(dir / "busnum");
    std::string devText = readLine(dir / "devnum");
    int busNumber = -1, deviceNumber = -1;
    std::from_chars(busText.data(), busText.data() + busText.size(), busNumber);
    std::from_chars(devText.data(), devText.data() + devText.size(), deviceNumber);
    if (busNumber != bus || deviceNumber != device) continue;
    return UsbStrings{readLine(dir / "idVendor"), readLine(dir / "idProduct"),
                      readLine(dir / "manufacturer"), readLine(dir / "product"),
                      readLine(dir / "serial")};
  }
  return std::nullopt;
}
#else
std::optional<std::string> usbDevicesSignature() { return std::nullopt; }
std::optional<UsbStrings> readUsbStrings(int, int) { return std::nullopt; }
#endif

}  // namespace imagecapture
