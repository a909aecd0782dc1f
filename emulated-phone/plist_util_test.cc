#include "plist_util.h"

#include <gtest/gtest.h>

namespace emulated_phone {
namespace {

TEST(PlistUtil, AnyNameBytesSurviveTheXmlRoundTrip) {
  for (std::string name : {std::string("ctl\x01\x1f.name"), std::string("\xff\xfe raw"),
                           std::string("a<b>&c\t\r\n"), std::string("Телефон"),
                           std::string(600, 'x')}) {
    PlistPtr dict = newDict();
    setString(dict.get(), "DeviceName", name);
    PlistPtr back = parsePlist(toXml(dict.get()));
    EXPECT_EQ(stringItem(back.get(), "DeviceName"), name);
  }
}

TEST(PlistUtil, TypedReadsRefuseOtherTypes) {
  PlistPtr dict = newDict();
  setString(dict.get(), "s", "text");
  setUint(dict.get(), "u", 7);
  setData(dict.get(), "d", std::string("\0\1", 2));
  EXPECT_EQ(stringItem(dict.get(), "u"), std::nullopt);
  EXPECT_EQ(uintItem(dict.get(), "s"), std::nullopt);
  EXPECT_EQ(dataItem(dict.get(), "d"), std::string("\0\1", 2));
  EXPECT_EQ(stringItem(dict.get(), "missing"), std::nullopt);
  EXPECT_EQ(stringItem(nullptr, "s"), std::nullopt);
  EXPECT_EQ(parsePlist(""), nullptr);
  EXPECT_EQ(parsePlist("not a plist"), nullptr);
}

}  // namespace
}  // namespace emulated_phone
