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

TEST(PhoneOptionsTest, Defaults) {
  bool ok = false;
  const PhoneOptions o = parsed({}, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(o.root, "/r");
  EXPECT_EQ(o.command, (std::vector<std::string>{"cmd", "--trace"}));  // after "--": the command's
  EXPECT_FALSE(o.phone.trace);
  EXPECT_EQ(o.phone.trust_after, 0);  // trusted at once
  EXPECT_EQ(o.phone.enumerate_after, 0);
  EXPECT_FALSE(o.phone.automatic);    // "Keep Originals"
  EXPECT_FALSE(o.phone.refuse_apple_ops);
  EXPECT_TRUE(o.usb.usbmux);
  EXPECT_EQ(o.replug_after, -1);
}

TEST(PhoneOptionsTest, EachOption) {
  struct Case {
    std::vector<std::string> args;
    std::function<void(const PhoneOptions&)> check;
  };
  const std::vector<Case> cases = {
      {{"--never-trust"}, [](const PhoneOptions& o) { EXPECT_LT(o.phone.trust_after, 0); }},
      {{"--trust-after", "2.5", "--enumerate-after", "4"}, [](const PhoneOptions& o) {
         EXPECT_EQ(o.phone.trust_after, 2.5);
         EXPECT_EQ(o.phone.enumerate_after, 4);
       }},
      {{"--automatic", "--movie-delay", "1.5"}, [](const PhoneOptions& o) {
         EXPECT_TRUE(o.phone.automatic);
         EXPECT_EQ(o.phone.movie_delay, 1.5);
       }},
      {{"--refuse-apple-ops", "--no-usbmux"}, [](const PhoneOptions& o) {
         EXPECT_TRUE(o.phone.refuse_apple_ops);
         EXPECT_FALSE(o.usb.usbmux);
       }},
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
      {{"--busy", "0x1002:3", "--busy", "1007:1"}, [](const PhoneOptions& o) {
         EXPECT_EQ(o.phone.busy.at(0x1002), 3);
         EXPECT_EQ(o.phone.busy.at(0x1007), 1);
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
