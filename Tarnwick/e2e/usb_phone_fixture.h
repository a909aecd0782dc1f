// The fixture of Tarnwick's end-to-end tests: a served folder that
// emulated-phone-usb shows as an iPhone on USB (PTP through umockdev; the
// real libusb below Tarnwick), an output folder, and Tarnwick run as the
// emulator's child. No root needed.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "e2e_process.h"

namespace tarnwick_e2e {

namespace fs = std::filesystem;

constexpr std::time_t kMay1 = 1714557600;  // 2024-05-01T10:00:00Z

class UsbPhoneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(EMULATED_PHONE_USB, X_OK) != 0) GTEST_SKIP() << "no emulated-phone-usb";
    char pattern[] = "/tmp/tarnwick_usb.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    phone_ = root_ / "phone";
    out_ = root_ / "out";
    fs::create_directories(phone_ / "DCIM" / "100APPLE");
    fs::create_directories(out_);
  }
  void TearDown() override {
    if (!root_.empty()) fs::remove_all(root_);
  }

  void put(const std::string& relative, const std::string& bytes, std::time_t modified) {
    fs::path path = phone_ / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
    struct timespec times[2] = {{modified, 0}, {modified, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
  }
  // The emulator with `phone_options`, running `inner` (a shell command).
  std::string underPhone(const std::string& phone_options, const std::string& inner,
                         const std::string& zone = "UTC") const {
    return "TZ=" + zone + " exec timeout -s KILL 150 " EMULATED_PHONE_USB " --root " + phone_.string() +
           " " + phone_options + " -- " + inner;
  }
  // The phone and the computer share `zone` unless the phone's options say otherwise.
  std::string command(const std::string& phone_options, const std::string& arguments,
                      const std::string& zone = "UTC") const {
    return underPhone(phone_options, TARNWICK_BINARY " " + arguments, zone);
  }
  Result run(const std::string& phone_options, const std::string& arguments,
             const std::string& zone = "UTC") const {
    return finish(spawnShell(command(phone_options, arguments, zone)));
  }
  std::string download() const { return "download --output " + out_.string() + " --timeout 30"; }

  std::set<std::string> outNames() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(out_)) names.insert(entry.path().filename());
    return names;
  }
  static std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  fs::path root_, phone_, out_;
};

}  // namespace tarnwick_e2e
