#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "oskavel.h"

namespace {

template <typename F>
std::string Printed(F print, const char* text) {
  char* data = nullptr;
  size_t size = 0;
  FILE* stream = open_memstream(&data, &size);
  print(stream, text);
  fclose(stream);
  std::string result(data, size);
  free(data);
  return result;
}

TEST(PrintSafePathTest, EscapesEverythingOutsidePrintableAscii) {
  EXPECT_EQ(Printed(print_safe_path, "/DCIM/IMG 1~.JPG"), "/DCIM/IMG 1~.JPG");
  EXPECT_EQ(Printed(print_safe_path, "a\\b"), "a\\b");  // backslash stays raw
  EXPECT_EQ(Printed(print_safe_path, "a\tb\n\x7f"), "a\\x09b\\x0A\\x7F");
  // Two escapes per Cyrillic letter, upper-case hex digits.
  EXPECT_EQ(Printed(print_safe_path, "Фото"), "\\xD0\\xA4\\xD0\\xBE\\xD1\\x82\\xD0\\xBE");
  EXPECT_EQ(Printed(print_safe_path, "\xff\xfe.JPG"), "\\xFF\\xFE.JPG");
  EXPECT_EQ(Printed(print_safe_path, ""), "");
}

TEST(PrintReportTextTest, EscapesOnlyControlBytes) {
  EXPECT_EQ(Printed(print_report_text, "Фото\xff.JPG"), "Фото\xff.JPG");
  EXPECT_EQ(Printed(print_report_text, "ctl\x01\x1f.JPG"), "ctl\\x01\\x1F.JPG");
  EXPECT_EQ(Printed(print_report_text, "a\nFILE: b\r\x7f~ "), "a\\x0AFILE: b\\x0D\\x7F~ ");
}

}  // namespace
