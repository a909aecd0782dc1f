#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "test_support.h"

namespace {

using oskavel_testing::Capture;

// What a phone or a file name puts into a line can neither break it nor
// forge another: result lines and local paths escape control bytes,
// remote paths in ERROR: lines every byte outside printable ASCII.
TEST(ReportTest, EachLineEscapesWhatItCarries) {
  struct Row {
    std::function<void()> write;
    std::string out, err;
  };
  const std::string evil = "a\nERROR: x\x1b[2J\x7f~\\ Ф\xff";
  const Row rows[] = {
      {[&] { report_file(evil.c_str()); }, "FILE: a\\x0AERROR: x\\x1B[2J\\x7F~\\ Ф\xff\n", ""},
      {[&] { report_entry(evil); }, "ENTRY: a\\x0AERROR: x\\x1B[2J\\x7F~\\ Ф\xff\n", ""},
      {[&] { report_local(LocalFailure::kWrite, ("/out/" + evil).c_str()); }, "",
       "ERROR: ошибка записи файла: /out/a\\x0AERROR: x\\x1B[2J\\x7F~\\ Ф\xff\n"},
      {[&] { report_long_local_path("/o\tut", "//DCIM/a\n.JPG"); }, "",
       "ERROR: слишком длинный путь path=/o\\x09ut/DCIM/a\\x0A.JPG\n"},
      {[&] { report_remote(RemoteFailure::kFileRead, 30, evil.c_str()); }, "",
       "ERROR: ошибка чтения с iPhone status=30 "
       "path=a\\x0AERROR: x\\x1B[2J\\x7F~\\ \\xD0\\xA4\\xFF\n"},
      {[&] { report_unsafe_name("/DCIM\x01", "a/b\t"); }, "",
       "ERROR: пропущено небезопасное имя в папке path=/DCIM\\x01 name=a/b\\x09\n"},
      {[&] { report_long_remote_path("/", "n\r"); }, "",
       "ERROR: слишком длинный путь path=/n\\x0D\n"},
      // Texts from the command line are written as given.
      {[&] { report_ls_failed(true, "/Mis\tsing", 8); }, "",
       "ERROR: не удалось открыть папку /Mis\tsing status=8\n"},
      {[&] { report_service("com.apple.afc", 0, 0); }, "SERVICE: com.apple.afc status=0 root_status=0\n",
       ""},
      {[&] { report_service("x", -3, std::nullopt); }, "SERVICE: x status=-3\n", ""},
      // A device name that is missing, too long or not text is unknown.
      {[&] { report_device("Ива\tн"); }, "DEVICE: Ива\\x09н\n", ""},
      {[&] { report_device(std::string(511, 'n')); }, "DEVICE: " + std::string(511, 'n') + "\n", ""},
      {[&] { report_device(std::string(512, 'n')); }, "DEVICE: unknown\n", ""},
      {[&] { report_device(std::string("Bad\xff")); }, "DEVICE: unknown\n", ""},
      {[&] { report_device(std::nullopt); }, "DEVICE: unknown\n", ""},
  };
  for (const Row& row : rows) {
    const auto output = Capture(row.write);
    EXPECT_EQ(output.out, row.out) << &row - rows;
    EXPECT_EQ(output.err, row.err) << &row - rows;
  }
}

TEST(IsUtf8Test, AcceptsOnlyWellFormedText) {
  for (const char* yes : {"", "plain", "Фото", "\xe2\x82\xac", "\xf0\x9f\x93\xb7", "\xf4\x8f\xbf\xbf"}) {
    EXPECT_TRUE(is_utf8(yes)) << yes;
  }
  for (const char* no : {"\xff", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                         "\xd0", "\xe2\x82", "a\x80"}) {
    EXPECT_FALSE(is_utf8(no)) << no;
  }
  EXPECT_FALSE(is_utf8(std::string("a\0b", 3)));
}

}  // namespace
