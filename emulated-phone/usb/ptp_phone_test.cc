#include "ptp_phone.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <map>

namespace emulated_phone::usb {
namespace {

// A scripted folder tree: paths to contents ("/" ends a folder).
class TreeFs : public FileSystem {
 public:
  explicit TreeFs(std::map<std::string, std::string> files) : files_(std::move(files)) {}
  FsStatus facts(const std::string& path, FileFacts* out) override {
    if (files_.count(path + "/")) {
      out->is_folder = true;
      return FsStatus::kOk;
    }
    auto it = files_.find(path);
    if (it == files_.end()) return FsStatus::kNotFound;
    out->is_folder = false;
    out->size = it->second.size();
    out->modified_ns = 1714557600ull * 1000000000u;
    return FsStatus::kOk;
  }
  FsStatus list(const std::string& path, std::vector<std::string>* names) override {
    std::string prefix = path == "/" ? "/" : path + "/";
    for (const auto& [name, _] : files_) {
      if (name.rfind(prefix, 0) != 0 || name == prefix) continue;
      std::string rest = name.substr(prefix.size());
      auto slash = rest.find('/');
      if (slash == std::string::npos || slash + 1 == rest.size()) names->push_back(rest.substr(0, slash));
    }
    return FsStatus::kOk;
  }
  FsStatus open(const std::string& path, std::unique_ptr<OpenFile>* out) override {
    struct Text : OpenFile {
      std::string text;
      int64_t readAt(void* data, size_t size, uint64_t offset) override {
        size_t n = offset >= text.size() ? 0 : std::min(size, text.size() - offset);
        text.copy(static_cast<char*>(data), n, offset);
        return static_cast<int64_t>(n);
      }
      uint64_t size() const override { return text.size(); }
    };
    auto file = std::make_unique<Text>();
    file->text = files_.at(path);
    *out = std::move(file);
    return FsStatus::kOk;
  }

 private:
  std::map<std::string, std::string> files_;
};

uint32_t u32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
  return v;
}
uint16_t u16(const std::string& s, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1]) << 8);
}

class PtpPhoneTest : public ::testing::Test {
 protected:
  PtpPhoneTest() {
    ::setenv("TZ", "Asia/Tokyo", 1);
    ::tzset();
  }
  void make(PhoneSetup setup = {}) {
    phone_ = std::make_unique<PtpPhone>(
        std::make_shared<TreeFs>(std::map<std::string, std::string>{
            {"/DCIM/", ""}, {"/DCIM/100APPLE/", ""}, {"/DCIM/100APPLE/IMG_0001.HEIC", "heic"},
            {"/DCIM/100APPLE/IMG_0001.AAE", "aae"}, {"/202311_a/", ""},
            {"/202311_a/IMG_0002.JPG", "jpeg bytes"}}),
        std::move(setup));
  }
  Answer run(uint16_t code, std::vector<uint32_t> params = {}) {
    return phone_->handle(Command{code, ++transaction_, std::move(params)});
  }
  static uint16_t responseCode(const Answer& a) { return u16(a.messages.back().head, 6); }
  std::vector<uint32_t> handles(uint32_t parent) {
    Answer a = run(0x1007, {kStorageId, 0, parent});
    std::vector<uint32_t> out;
    const std::string& d = a.messages.front().head;
    for (uint32_t i = 0; i < u32(d, 12); ++i) out.push_back(u32(d, 16 + 4 * i));
    return out;
  }
  std::unique_ptr<PtpPhone> phone_;
  uint32_t transaction_ = 0;
};

TEST(PtpEncodingTest, StringsAndDates) {
  EXPECT_EQ(ptpString(""), std::string(1, '\0'));
  EXPECT_EQ(ptpString("Aé"), std::string("\x03" "A\0\xe9\0\0\0", 7));
  EXPECT_EQ(ptpString("\xff"), std::string("\x02\xfd\xff\0\0", 5));  // not UTF-8: U+FFFD
  ::setenv("TZ", "America/New_York", 1);
  ::tzset();
  EXPECT_EQ(ptpDate(1714557600), "20240501T060000");  // the phone's wall clock
}

TEST_F(PtpPhoneTest, CatalogueAsACurrentIphoneReportsIt) {
  make();
  EXPECT_EQ(responseCode(run(0x1004)), 0x2003);  // no session yet
  EXPECT_EQ(responseCode(run(0x1002, {1})), 0x2001);
  std::vector<uint32_t> root = handles(0xFFFFFFFF);
  ASSERT_EQ(root.size(), 2u);  // 202311_a and DCIM
  auto info = [&](uint32_t h) { return run(0x1008, {h}).messages.front().head.substr(12); };
  // Month folders hang from object 1, DCIM from the storage id.
  EXPECT_EQ(u32(info(root[0]), 38), 1u);
  EXPECT_EQ(u16(info(root[0]), 4), 0x3001);
  EXPECT_EQ(u32(info(root[1]), 38), kStorageId);
  std::vector<uint32_t> month = handles(root[0]);
  ASSERT_EQ(month.size(), 1u);
  std::string jpeg = info(month[0]);
  EXPECT_EQ(u16(jpeg, 4), 0x3801);
  EXPECT_EQ(u32(jpeg, 8), 10u);
  EXPECT_EQ(u32(jpeg, 38), root[0]);
  // Name, capture and modification dates in the phone's zone.
  EXPECT_EQ(jpeg.substr(52), ptpString("IMG_0002.JPG") + ptpString("20240501T190000") +
                                 ptpString("20240501T190000") + ptpString(""));
  std::vector<uint32_t> camera = handles(handles(root[1])[0]);
  ASSERT_EQ(camera.size(), 2u);
  EXPECT_EQ(u16(info(camera[0]), 4), 0x3000);  // AAE and HEIC: undefined
  EXPECT_EQ(u16(info(camera[1]), 4), 0x3000);
  EXPECT_EQ(handles(0).size(), 6u);  // parent 0: the whole storage
}

TEST_F(PtpPhoneTest, PartialObjectAndFailedConversion) {
  PhoneSetup setup;
  setup.conversion_fails.insert("IMG_0001.HEIC");
  make(setup);
  run(0x1002, {1});
  uint32_t jpeg = handles(handles(0xFFFFFFFF)[0])[0];
  Answer piece = run(0x101B, {jpeg, 5, 100});
  ASSERT_EQ(piece.messages.size(), 2u);
  EXPECT_EQ(u32(piece.messages[0].head, 0), 12u + 5u);
  EXPECT_EQ(piece.messages[0].body.offset, 5u);
  EXPECT_EQ(piece.messages[0].body.length, 5u);
  EXPECT_EQ(u32(piece.messages[1].head, 12), 5u);  // the bytes sent
  uint32_t heic = handles(0)[5];
  Answer failed = run(0x1009, {heic});
  ASSERT_EQ(failed.messages.size(), 2u);
  EXPECT_EQ(failed.messages[0].size(), 12u);
  EXPECT_EQ(responseCode(failed), 0x2007);
}

TEST_F(PtpPhoneTest, UntrustedUntilTrustThenEvents) {
  PhoneSetup setup;
  setup.trusted = false;
  make(setup);
  run(0x1002, {1});
  EXPECT_EQ(u32(run(0x1004).messages.front().head, 16), kUntrustedStorageId);
  EXPECT_TRUE(run(0x1007, {0xFFFFFFFF, 0, 0xFFFFFFFF}).messages.front().head.size() == 16);
  std::vector<std::string> events = phone_->trust();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(u16(events[0], 6), 0x4005);
  EXPECT_EQ(u32(events[0], 12), kUntrustedStorageId);
  EXPECT_EQ(u16(events[1], 6), 0x4004);
  EXPECT_EQ(u32(events[1], 12), kStorageId);
  EXPECT_EQ(handles(0).size(), 6u);
}

TEST_F(PtpPhoneTest, BusyAndUnplugFaults) {
  PhoneSetup setup;
  setup.busy[0x1002] = 1;
  setup.catalogue_answers_before_unplug = 1;
  make(setup);
  EXPECT_EQ(responseCode(run(0x1002, {1})), 0x2019);
  EXPECT_EQ(responseCode(run(0x1002, {1})), 0x2001);
  EXPECT_FALSE(run(0x1007, {kStorageId, 0, 0xFFFFFFFF}).unplug);
  EXPECT_TRUE(run(0x1008, {0x10}).unplug);
}

}  // namespace
}  // namespace emulated_phone::usb
