#include "report_text.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

TEST(ReportText, ControlBytesAreEscapedAndEverythingElseStaysRaw) {
  using namespace std::string_literals;
  EXPECT_EQ(escapeControlBytes("A\nDONE: downloaded=9 failed=0\r\nB.JPG"),
            "A\\x0ADONE: downloaded=9 failed=0\\x0D\\x0AB.JPG");
  EXPECT_EQ(escapeControlBytes("\x00\x01\x1F\x20\x7E\x7F"s), "\\x00\\x01\\x1F ~\\x7F");
  // UTF-8 and bytes above 0x7F, valid or not, and the backslash are raw.
  EXPECT_EQ(escapeControlBytes("Фото \\x0A \xC3\xA9\x80\xFF"), "Фото \\x0A \xC3\xA9\x80\xFF");
}

}  // namespace
}  // namespace tarnwick
