// Reads through the emulated phone with the end-to-end tests' client (real
// libimobiledevice), and prints throughput next to a local baseline.
//
//   emulated_phone_bench EMULATOR_BINARY ROOT
// ROOT holds big.bin and small/ (made by bench/emulated-phone/run).
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "e2e/phone_client.h"
#include "testing/emulator_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using emulated_phone::testing::PhoneClient;

double seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// Baseline: the same file read locally with pread in the same chunk size.
double localMegabytesPerSecond(const std::string& path, size_t chunk) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  std::vector<char> buffer(chunk);
  uint64_t total = 0;
  auto began = Clock::now();
  for (;;) {
    ssize_t n = ::pread(fd, buffer.data(), chunk, static_cast<off_t>(total));
    if (n <= 0) break;
    total += static_cast<uint64_t>(n);
  }
  double s = seconds(began);
  ::close(fd);
  return total / 1e6 / s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s EMULATOR_BINARY ROOT\n", argv[0]);
    return 64;
  }
  std::string root = argv[2];
  emulated_phone::EmulatorProcess emulator(argv[1], root);
  if (!emulator.ok()) {
    std::fprintf(stderr, "emulator: %s\n", emulator.error().c_str());
    return 1;
  }
  emulated_phone::testing::useUsbmuxdAddress(emulator.usbmuxd_address());
  PhoneClient client("00008110-000A1B2C3D4E5F60");
  if (client.open() != IDEVICE_E_SUCCESS || client.connectLockdown() != LOCKDOWN_E_SUCCESS ||
      client.startSession() != LOCKDOWN_E_SUCCESS ||
      client.startService("com.apple.afc", nullptr) != LOCKDOWN_E_SUCCESS ||
      client.openAfc() != AFC_E_SUCCESS) {
    std::fprintf(stderr, "cannot open the AFC service\n");
    return 1;
  }

  int status = 0;
  localMegabytesPerSecond(root + "/big.bin", 1u << 20);  // fills the page cache
  for (uint32_t chunk : {65536u, 1u << 20}) {
    double local = localMegabytesPerSecond(root + "/big.bin", chunk);
    uint64_t total = 0;
    auto began = Clock::now();
    afc_error_t rc = client.readFile("/big.bin", chunk,
                                     [&](const char*, uint32_t size) { total += size; });
    double s = seconds(began);
    double mbps = total / 1e6 / s;
    std::printf("big file, %7u-byte reads: %llu bytes in %.2f s = %.0f MB/s"
                " (local pread %.0f MB/s, ratio %.2f)%s\n",
                chunk, static_cast<unsigned long long>(total), s, mbps, local,
                local > 0 ? mbps / local : 0, rc == AFC_E_SUCCESS ? "" : " READ FAILED");
    if (rc != AFC_E_SUCCESS) status = 1;
  }

  std::vector<std::string> names;
  auto began = Clock::now();
  if (client.listFolder("/small", &names) != AFC_E_SUCCESS) {
    std::fprintf(stderr, "cannot list /small\n");
    return 1;
  }
  size_t files = 0;
  uint64_t total = 0;
  for (const std::string& name : names) {
    if (name == "." || name == "..") continue;
    if (client.readFile("/small/" + name, 65536,
                        [&](const char*, uint32_t size) { total += size; }) != AFC_E_SUCCESS) {
      status = 1;
      continue;
    }
    ++files;
  }
  double s = seconds(began);
  std::printf("small files: %zu files, %llu bytes in %.2f s = %.0f files/s, %.1f MB/s\n", files,
              static_cast<unsigned long long>(total), s, files / s, total / 1e6 / s);
  client.stopSession();
  return status;
}
