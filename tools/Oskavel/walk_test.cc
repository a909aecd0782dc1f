#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

using oskavel_testing::Capture;
using oskavel_testing::Output;

TEST(IsMediaFileTest, JudgesTheTextAfterTheLastDot) {
  for (const char* yes : {"IMG_0001.HEIC", "a.JPG", "clip.Mp4", ".heic", "/DCIM/x.jpeg",
                          "a.b.png", "x.dng", "x.TIF", "x.tiff", "x.mov", "x.m4v", "x.heif"}) {
    EXPECT_EQ(is_media_file(yes), 1) << yes;
  }
  for (const char* no : {"IMG_0001.AAE", "IMG_0001", "name.", "", "x.jpgx", "x.jp",
                         "x.abcdefghijklmnop", "/DCIM/100APPLE.JPG/README", "x.JPG ",
                         "x.m4a", "x.jpg\xff"}) {
    EXPECT_EQ(is_media_file(no), 0) << no;
  }
  // 15 bytes after the dot are examined, 16 are not.
  EXPECT_EQ(is_media_file("x.abcdefghijklmno"), 0);
}

TEST(JoinRemotePathTest, JoinsWithOneSlashAndNeverCuts) {
  char out[1024];
  ASSERT_EQ(join_remote_path("/", "DCIM", out, sizeof out), 0);
  EXPECT_STREQ(out, "/DCIM");
  ASSERT_EQ(join_remote_path("/DCIM", "100APPLE", out, sizeof out), 0);
  EXPECT_STREQ(out, "/DCIM/100APPLE");

  const std::string parent = "/" + std::string(1000, 'p');
  const std::string fits(1023 - parent.size() - 1, 'n');
  ASSERT_EQ(join_remote_path(parent.c_str(), fits.c_str(), out, sizeof out), 0);
  EXPECT_EQ(std::string(out).size(), 1023u);
  const std::string one_more = fits + "n";
  EXPECT_EQ(join_remote_path(parent.c_str(), one_more.c_str(), out, sizeof out), -1);
  EXPECT_STREQ(out, "");
}

class WalkTest : public oskavel_testing::OskavelTest {
 protected:
  Output Walk(const char* path) {
    AFCConnectionRef connection = Connect();
    Output output = Capture([&] { traverse(connection, path); });
    AFCConnectionClose(connection);
    EXPECT_EQ(phone().open_directories(), 0);
    return output;
  }

  void AddCameraRoll() {
    phone().AddFile("/DCIM/100APPLE/IMG_0001.JPG", "1");
    phone().AddFile("/DCIM/100APPLE/IMG_0001.AAE", "x");
    phone().AddFile("/DCIM/100APPLE/IMG_0002.HEIC", "2");
    phone().AddFile("/DCIM/101APPLE/IMG_0003.MOV", "3");
    phone().AddFile("/DCIM/101APPLE/notes", "n");
    phone().AddFile("/DCIM/IMG_0004.png", "4");
    phone().AddFile("/DCIM/IMG_0005.mp4", "5");
  }
};

TEST_F(WalkTest, ListPrintsEveryMediaFileDepthFirstInTheDevicesOrder) {
  AddCameraRoll();
  phone().node("/DCIM/100APPLE").entries.insert(
      phone().node("/DCIM/100APPLE").entries.begin(), {".", ".."});
  const Output output = Walk("/DCIM");
  EXPECT_EQ(output.out,
            "FILE: /DCIM/100APPLE/IMG_0001.JPG\n"
            "FILE: /DCIM/100APPLE/IMG_0002.HEIC\n"
            "FILE: /DCIM/101APPLE/IMG_0003.MOV\n"
            "FILE: /DCIM/IMG_0004.png\n"
            "FILE: /DCIM/IMG_0005.mp4\n");
  EXPECT_EQ(output.err, "");
  EXPECT_EQ(g_seen, 5);
  EXPECT_EQ(g_downloaded + g_failed, 0);
  // "." and ".." are never opened.
  EXPECT_EQ(phone().Count("AFCDirectoryOpen /DCIM/100APPLE/."), 0u);
}

TEST_F(WalkTest, LimitStopsTheWalkWithoutTouchingTheDeviceAgain) {
  AddCameraRoll();
  g_limit = 3;
  const Output output = Walk("/DCIM");
  EXPECT_EQ(output.out,
            "FILE: /DCIM/100APPLE/IMG_0001.JPG\n"
            "FILE: /DCIM/100APPLE/IMG_0002.HEIC\n"
            "FILE: /DCIM/101APPLE/IMG_0003.MOV\n");
  EXPECT_EQ(g_seen, 3);
  // After the third file only the open folders are closed.
  const auto& calls = phone().calls();
  auto third = std::find(calls.begin(), calls.end(),
                         "AFCDirectoryOpen /DCIM/101APPLE/IMG_0003.MOV");
  ASSERT_NE(third, calls.end());
  for (auto it = third + 1; it != calls.end() - 1; ++it) {
    EXPECT_EQ(*it, "AFCDirectoryClose");
  }
  EXPECT_EQ(calls.back(), "AFCConnectionClose");
}

TEST_F(WalkTest, ANegativeLimitMeansNoLimit) {
  AddCameraRoll();
  g_limit = -1;
  Walk("/DCIM");
  EXPECT_EQ(g_seen, 5);
}

TEST_F(WalkTest, AMissingStartPathFindsNothingAndAMediaPathIsOneFile) {
  AddCameraRoll();
  EXPECT_EQ(Walk("/DCIM/999APPLE").out, "");
  EXPECT_EQ(g_seen, 0);
  EXPECT_EQ(Walk("/DCIM/101APPLE/IMG_0003.MOV").out, "FILE: /DCIM/101APPLE/IMG_0003.MOV\n");
  EXPECT_EQ(g_seen, 1);
}

TEST_F(WalkTest, FolderThatCannotBeOpenedIsJudgedByItsName) {
  phone().AddFolder("/DCIM/Locked.JPG");
  phone().node("/DCIM/Locked.JPG").open_status = 10;
  phone().AddFolder("/DCIM/Locked");
  phone().node("/DCIM/Locked").open_status = 10;
  EXPECT_EQ(Walk("/DCIM").out, "FILE: /DCIM/Locked.JPG\n");

  g_command = "download";
  g_seen = 0;
  g_output = "/nonexistent-oskavel-output";
  const Output output = Walk("/DCIM");
  EXPECT_EQ(g_seen, 1);
  EXPECT_EQ(g_failed, 1);
  EXPECT_EQ(output.err,
            "ERROR: не удалось открыть файл на iPhone status=10 path=/DCIM/Locked.JPG\n");
}

TEST_F(WalkTest, AFolderReadErrorSilentlyEndsThatFolder) {
  AddCameraRoll();
  phone().node("/DCIM/100APPLE").read_dir_error_after = 1;
  const Output output = Walk("/DCIM");
  EXPECT_EQ(output.out,
            "FILE: /DCIM/100APPLE/IMG_0001.JPG\n"
            "FILE: /DCIM/101APPLE/IMG_0003.MOV\n"
            "FILE: /DCIM/IMG_0004.png\n"
            "FILE: /DCIM/IMG_0005.mp4\n");
  EXPECT_EQ(output.err, "");
}

TEST_F(WalkTest, UnsafeNamesAreNeverJoinedAndReportedOnce) {
  phone().AddFile("/DCIM/ok.JPG", "1");
  for (const char* name : {"", "..", "a/b.JPG", "../x.JPG", "."}) {
    phone().AddEntry("/DCIM", name);
  }
  const Output output = Walk("/DCIM");
  EXPECT_EQ(output.out, "FILE: /DCIM/ok.JPG\n");
  EXPECT_EQ(output.err,
            "ERROR: пропущено небезопасное имя в папке path=/DCIM name=\n"
            "ERROR: пропущено небезопасное имя в папке path=/DCIM name=a/b.JPG\n"
            "ERROR: пропущено небезопасное имя в папке path=/DCIM name=../x.JPG\n");
  EXPECT_EQ(g_seen, 1);  // list counts only FILE: lines
  for (const auto& call : phone().calls()) {
    EXPECT_EQ(call.find("/DCIM/a/"), std::string::npos) << call;
    EXPECT_EQ(call.find("/DCIM/../"), std::string::npos) << call;
    EXPECT_NE(call, "AFCDirectoryOpen /DCIM/");
  }
}

TEST_F(WalkTest, UnsafeNamesCountAsFailedDownloads) {
  const std::string out = ScratchDir();
  g_command = "download";
  g_output = out.c_str();
  phone().AddFile("/DCIM/ok.JPG", "1");
  phone().AddEntry("/DCIM", "../escape.JPG");
  phone().AddEntry("/DCIM/\x01odd", "x/y");  // lists the folder in /DCIM too
  const Output output = Walk("/DCIM");
  EXPECT_EQ(output.out, "DOWNLOADED: /DCIM/ok.JPG\n");
  EXPECT_EQ(output.err,
            "ERROR: пропущено небезопасное имя в папке path=/DCIM name=../escape.JPG\n"
            "ERROR: пропущено небезопасное имя в папке path=/DCIM/\\x01odd name=x/y\n");
  EXPECT_EQ(g_seen, 3);
  EXPECT_EQ(g_downloaded, 1);
  EXPECT_EQ(g_failed, 2);
}

TEST_F(WalkTest, TooLongChildPathIsReportedWhole) {
  const std::string folder = "/DCIM/" + std::string(1000, 'f');
  const std::string name = std::string(30, 'n') + ".JPG";
  phone().AddFolder(folder);
  phone().AddEntry(folder, name);
  const Output output = Walk("/DCIM");
  EXPECT_EQ(output.out, "");
  EXPECT_EQ(output.err, "ERROR: слишком длинный путь path=" + folder + "/" + name + "\n");
  EXPECT_EQ(g_seen, 0);

  g_command = "download";
  Walk("/DCIM");
  EXPECT_EQ(g_seen, 1);
  EXPECT_EQ(g_failed, 1);
}

TEST_F(WalkTest, ControlBytesInNamesCannotBreakFileLines) {
  phone().AddFile("/DCIM/ctl\x01\x1f\n.JPG", "1");
  phone().AddFile("/DCIM/Фото.JPG", "2");
  EXPECT_EQ(Walk("/DCIM").out,
            "FILE: /DCIM/ctl\\x01\\x1F\\x0A.JPG\n"
            "FILE: /DCIM/Фото.JPG\n");
}

TEST_F(WalkTest, ListDirectoryPrintsEveryEntryUnfiltered) {
  phone().AddEntry("/DCIM", ".");
  phone().AddEntry("/DCIM", "..");
  phone().AddFile("/DCIM/b.txt", "");
  phone().AddFolder("/DCIM/100APPLE");
  phone().AddEntry("/DCIM", "a/b\t");
  AFCConnectionRef connection = Connect();
  int status = -9;
  const Output output = Capture([&] { status = list_directory(connection, "/DCIM"); });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(output.out,
            "LS: /DCIM\nENTRY: .\nENTRY: ..\nENTRY: b.txt\nENTRY: 100APPLE\nENTRY: a/b\\x09\n");
  EXPECT_EQ(output.err, "");
  EXPECT_EQ(phone().open_directories(), 0);
  AFCConnectionClose(connection);
}

TEST_F(WalkTest, ListDirectoryReportsOpenAndReadFailures) {
  phone().AddFile("/DCIM/a.JPG", "");
  phone().AddFile("/DCIM/b.JPG", "");
  AFCConnectionRef connection = Connect();
  int status = 0;
  Output output = Capture([&] { status = list_directory(connection, "/Missing"); });
  EXPECT_EQ(status, -1);
  EXPECT_EQ(output.out, "");
  EXPECT_EQ(output.err, "ERROR: не удалось открыть папку /Missing status=8\n");
  // The path of an error line is written as given, only the result lines escape.
  output = Capture([&] { status = list_directory(connection, "/Mis\tsing\xff"); });
  EXPECT_EQ(output.err, "ERROR: не удалось открыть папку /Mis\tsing\xff status=8\n");

  phone().node("/DCIM").read_dir_error_after = 1;
  phone().node("/DCIM").read_dir_error_status = 20;
  output = Capture([&] { status = list_directory(connection, "/DCIM"); });
  EXPECT_EQ(status, -1);
  EXPECT_EQ(output.out, "LS: /DCIM\nENTRY: a.JPG\n");
  EXPECT_EQ(output.err, "ERROR: чтение папки /DCIM status=20\n");
  EXPECT_EQ(phone().open_directories(), 0);
  AFCConnectionClose(connection);
}

}  // namespace
