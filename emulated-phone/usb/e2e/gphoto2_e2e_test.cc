// emulated-phone-usb seen from outside, by gphoto2 (libgphoto2 2.5's PTP
// driver): what a generic client can show of the phone.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;
  std::string output;  // standard output and error
};

Outcome shell(const std::string& command) {
  Outcome r;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return r;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) r.output.append(buffer, n);
  const int status = ::pclose(p);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// The bytes of libgphoto2's debug hexdumps between two lines of its log.
std::string hexdumped(const std::string& log, const std::string& from, const std::string& to) {
  std::string bytes;
  const size_t start = log.find(from), end = log.find(to, start);
  if (start == std::string::npos || end == std::string::npos) return bytes;
  std::istringstream lines(log.substr(start, end - start));
  for (std::string line; std::getline(lines, line);) {
    // "0000  d2 03 00 00 02 00 05 90-05 00 00 00 01 00 00 00  ........"
    if (line.size() < 8 || line.compare(4, 2, "  ") != 0) continue;
    for (size_t at = 6; at + 2 <= line.size() && at < 6 + 48; at += 3)
      if (std::isxdigit(static_cast<unsigned char>(line[at]))) bytes.push_back(static_cast<char>(std::stoi(line.substr(at, 2), nullptr, 16)));
  }
  return bytes;
}

uint32_t u32(const std::string& d, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(d.at(at + i));
  return v;
}

class Gphoto2Test : public ::testing::Test {
 protected:
  void SetUp() override {
    if (shell("command -v gphoto2").status != 0) GTEST_SKIP() << "no gphoto2";
    char pattern[] = "/tmp/phone_usb_gphoto2.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    // Current iOS: DCIM holding month folders.
    put("phone/DCIM/202305__/IMG_0001.HEIC", "heic one");
    put("phone/DCIM/202305__/IMG_0001.AAE", "<plist/>");
    put("phone/DCIM/202405__/IMG_0002.MOV", "movie two");
    fs::create_directories(root_ / "out");
  }
  void TearDown() override {
    if (!root_.empty()) fs::remove_all(root_);
  }
  void put(const std::string& relative, const std::string& bytes) {
    fs::create_directories((root_ / relative).parent_path());
    std::ofstream(root_ / relative, std::ios::binary) << bytes;
  }
  Outcome gphoto2(const std::string& phone_options, const std::string& arguments) {
    return shell("cd " + (root_ / "out").string() + " && LANG=C timeout -s KILL 60 " EMULATED_PHONE_USB " --root " +
                 (root_ / "phone").string() + " " + phone_options + " -- gphoto2 " + arguments);
  }
  fs::path root_;
};

TEST_F(Gphoto2Test, ListingAsAGenericClientSeesIt) {
  const std::string large = " --large DCIM/202405__/IMG_0100.MOV:5368709120";
  struct Case {
    std::string options;
    std::vector<std::string> shown, hidden;
  };
  const std::vector<Case> cases = {
      // usbmuxd holds interface 0 of the active configuration; libgphoto2 claims it.
      {"", {"Could not claim the USB device"}, {"IMG_0001"}},
      // HEIC with the JPEG format code to a host that declared nothing; no
      // object of 4 GiB before the host switches large listing on.
      {"--no-usbmux" + large,
       {"'/store_00010001/202305__'", "IMG_0001.HEIC ", "1 KB image/jpeg", "IMG_0002.MOV"},
       {"IMG_0100.MOV", "IMG_0001.JPG"}},
      // "Automatic": the photo converted to JPEG, with the converter's estimate.
      {"--no-usbmux --automatic", {"IMG_0001.JPG ", "5 KB image/jpeg", "IMG_0001.AAE"}, {"HEIC"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    const Outcome run = gphoto2(c.options, "-L");
    for (const std::string& s : c.shown) EXPECT_NE(run.output.find(s), std::string::npos) << s << "\n" << run.output;
    for (const std::string& s : c.hidden) EXPECT_EQ(run.output.find(s), std::string::npos) << s;
  }
}

TEST_F(Gphoto2Test, BulkCatalogueHoldsEveryObject) {
  // gphoto2 sends any operation; its debug log shows the data phase.
  const Outcome run = gphoto2("--no-usbmux --large DCIM/202405__/IMG_0100.MOV:5368709120",
                          "--debug --set-config opcode=0x9005,0x00010001,0x0,0x0");
  ASSERT_EQ(run.status, 0) << run.output;
  const std::string data = hexdumped(run.output, "Reading PTP_OC 0x9005 (Unknown PTP_OC) data",
                                     "Reading PTP_OC 0x9005 (Unknown PTP_OC) response");
  ASSERT_GT(data.size(), 12u);
  std::vector<std::string> names;
  for (size_t at = 12; at + 8 <= data.size(); at += 8 + u32(data, at + 4)) {
    std::string name;
    const size_t units = static_cast<unsigned char>(data.at(at + 8 + 56));
    for (size_t i = 0; i + 1 < units; ++i) name.push_back(data.at(at + 8 + 57 + 2 * i));
    names.push_back(std::to_string(u32(data, at)) + " " + name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"1 DCIM", "2 202305__", "4 IMG_0001.HEIC", "3 IMG_0001.AAE",
                                              "5 202405__", "7 IMG_0100.MOV", "6 IMG_0002.MOV"}));
}

}  // namespace
