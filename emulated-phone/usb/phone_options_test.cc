#include "phone_options.h"

#include <gtest/gtest.h>

#include <functional>

namespace emulated_phone::usb {
namespace {

PhoneOptions parsed(std::vector<std::string> args, bool* ok = nullptr, std::string* error = nullptr) {
  args.insert(args.begin(), {"--root", "/r"});
  args.insert(args.end(), {"--", "cmd", "--trace"});
  PhoneOptions o;
  std::string e;
  const bool good = parsePhoneOptions(args, &o, &e);
  if (ok) *ok = good;
  if (error) *error = e;
  return o;
}

// Options whose values are split or decoded, and those no end-to-end test
// passes (the others are read wherever those tests use them).
TEST(PhoneOptionsTest, OptionsWithCompoundValues) {
  struct Case {
    std::vector<std::string> args;
    std::function<void(const PhoneOptions&)> check;
  };
  const std::vector<Case> cases = {
      {{"--large", "/DCIM/202405__/IMG_0100.MOV:5368709120", "--large", "a:b:1"}, [](const PhoneOptions& o) {
         EXPECT_EQ(o.phone.catalogue.large.at("DCIM/202405__/IMG_0100.MOV"), 5368709120u);
         EXPECT_EQ(o.phone.catalogue.large.at("a:b"), 1u);
       }},
      {{"--announce", "IMG:1.JPG:0"}, [](const PhoneOptions& o) { EXPECT_EQ(o.phone.announce.at("IMG:1.JPG"), 0u); }},
      {{"--show-name", "IMG_0001.JPG=\\uD800x.JPG"}, [](const PhoneOptions& o) {
         EXPECT_EQ(o.phone.show_names.at("IMG_0001.JPG"), std::u16string(1, char16_t(0xD800)) + u"x.JPG");
       }},
      {{"--dates", "IMG_0001.JPG=,20240101T000000,x"}, [](const PhoneOptions& o) {
         EXPECT_EQ(o.phone.dates.at("IMG_0001.JPG"), std::make_pair(std::string(), std::string("20240101T000000,x")));
       }},
      {{"--modification-shift", "-3600", "--duplicate", "a", "--conversion-fails", "b"}, [](const PhoneOptions& o) {
         EXPECT_EQ(o.phone.modification_shift, -3600);
         EXPECT_EQ(o.phone.catalogue.duplicated.count("a"), 1u);
         EXPECT_EQ(o.phone.conversion_fails.count("b"), 1u);
       }},
      {{"--link", "usb3"}, [](const PhoneOptions& o) {
         EXPECT_EQ(o.usb.link_bytes_per_second, 400e6);
         EXPECT_EQ(o.usb.speed_mbps, 5000);
       }},
      {{"--serial", "S", "--unplug-after-bytes", "10"}, [](const PhoneOptions& o) {
         EXPECT_EQ(o.usb.serial, "S");  // and the phone's
         EXPECT_EQ(o.phone.serial, "S");
         EXPECT_EQ(o.cable.unplug_after_object_bytes, 10);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    bool ok = false;
    std::string error;
    const PhoneOptions o = parsed(c.args, &ok, &error);
    ASSERT_TRUE(ok) << error;
    c.check(o);
  }
}

TEST(PhoneOptionsTest, UnusableCommandLines) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--large", "../x:1"}, {"--large", "x:-1"}, {"--large", "x"}, {"--announce", ":5"},
           {"--show-name", "a=\\uZZZZ"}, {"--show-name", "a="}, {"--dates", "a=no comma"}, {"--busy", "0:1"},
           {"--link", "usb4"}, {"--trust-after", "-1"}, {"--movie-delay", "x"}, {"--modification-shift", ""},
           {"--bogus", "1"}, {"stray"}, {"--root"}}) {
    bool ok = true;
    parsed(args, &ok);
    EXPECT_FALSE(ok) << args[0];
  }
  PhoneOptions o;
  std::string error;
  EXPECT_FALSE(parsePhoneOptions({"--root", "/r"}, &o, &error));
  EXPECT_EQ(error, "no command after --");
  PhoneOptions fresh;
  EXPECT_FALSE(parsePhoneOptions({"--", "cmd"}, &fresh, &error));
  EXPECT_EQ(error, "--root is required");
}

}  // namespace
}  // namespace emulated_phone::usb
