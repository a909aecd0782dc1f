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
    auto connection = Connect();
    Output output = Capture([&] { traverse(state_, *connection, path); });
    connection.reset();
    EXPECT_EQ(phone().openFolders(), 0);
    return output;
  }

  void AddCameraRoll() {
    phone().addFile("/DCIM/100APPLE/IMG_0001.JPG", "1");
    phone().addFile("/DCIM/100APPLE/IMG_0001.AAE", "x");
    phone().addFile("/DCIM/100APPLE/IMG_0002.HEIC", "2");
    phone().addFile("/DCIM/101APPLE/IMG_0003.MOV", "3");
    phone().addFile("/DCIM/101APPLE/notes", "n");
    phone().addFile("/DCIM/IMG_0004.png", "4");
    phone().addFile("/DCIM/IMG_0005.mp4", "5");
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
  EXPECT_EQ(state_.seen, 5);
  EXPECT_EQ(state_.downloaded + state_.failed, 0);
  // "." and ".." are never opened.
  EXPECT_EQ(phone().count("openFolder /DCIM/100APPLE/."), 0u);
}

TEST_F(WalkTest, LimitStopsTheWalkWithoutTouchingTheDeviceAgain) {
  AddCameraRoll();
  state_.limit = 3;
  const Output output = Walk("/DCIM");
  EXPECT_EQ(output.out,
            "FILE: /DCIM/100APPLE/IMG_0001.JPG\n"
            "FILE: /DCIM/100APPLE/IMG_0002.HEIC\n"
            "FILE: /DCIM/101APPLE/IMG_0003.MOV\n");
  EXPECT_EQ(state_.seen, 3);
  // After the third file only the open folders are closed.
  const auto& calls = phone().calls();
  auto third = std::find(calls.begin(), calls.end(), "fileInfo /DCIM/101APPLE/IMG_0003.MOV");
  ASSERT_NE(third, calls.end());
  for (auto it = third + 1; it != calls.end() - 1; ++it) {
    EXPECT_EQ(*it, "closeFolder");
  }
  EXPECT_EQ(calls.back(), "closeAfc");
}

TEST_F(WalkTest, ANegativeLimitMeansNoLimit) {
  AddCameraRoll();
  state_.limit = -1;
  Walk("/DCIM");
  EXPECT_EQ(state_.seen, 5);
}

TEST_F(WalkTest, AMissingStartPathFindsNothingAndAMediaPathIsOneFile) {
  AddCameraRoll();
  EXPECT_EQ(Walk("/DCIM/999APPLE").out, "");
  EXPECT_EQ(state_.seen, 0);
  EXPECT_EQ(Walk("/DCIM/101APPLE/IMG_0003.MOV").out, "FILE: /DCIM/101APPLE/IMG_0003.MOV\n");
  EXPECT_EQ(state_.seen, 1);
}

// Only a file or a missing path fails to open as a folder in silence; any
// other failure is reported, ends that folder, and the run must not pass
// for complete.
TEST_F(WalkTest, FolderThatCannotBeOpenedOrReadIsReported) {
  AddCameraRoll();
  phone().addFolder("/DCIM/Locked.JPG");
  phone().node("/DCIM/Locked.JPG").open_status = 10;
  phone().node("/DCIM/100APPLE").read_dir_error_after = 1;
  Output output = Walk("/DCIM");
  EXPECT_EQ(output.out,
            "FILE: /DCIM/100APPLE/IMG_0001.JPG\n"
            "FILE: /DCIM/101APPLE/IMG_0003.MOV\n"
            "FILE: /DCIM/IMG_0004.png\n"
            "FILE: /DCIM/IMG_0005.mp4\n");
  EXPECT_EQ(output.err,
            "ERROR: ошибка чтения папки на iPhone status=1 path=/DCIM/100APPLE\n"
            "ERROR: не удалось открыть папку на iPhone status=10 path=/DCIM/Locked.JPG\n");
  EXPECT_EQ(state_.seen, 4);
  EXPECT_TRUE(state_.walk_incomplete);

  // In download each counts as a failure.
  state_ = ProgramState();
  state_.command = "download";
  const std::string out = ScratchDir();
  state_.output = out.c_str();
  phone().node("/DCIM/101APPLE").open_status = 10;
  output = Walk("/DCIM");
  EXPECT_EQ(state_.downloaded, 3);
  EXPECT_EQ(state_.failed, 3);  // the three folders
  EXPECT_EQ(state_.seen, 6);
}

TEST_F(WalkTest, UnsafeNamesAreNeverJoinedAndReportedOnce) {
  phone().addFile("/DCIM/ok.JPG", "1");
  for (const char* name : {"", "..", "a/b.JPG", "../x.JPG", "."}) {
    phone().addEntry("/DCIM", name);
  }
  const Output output = Walk("/DCIM");
  EXPECT_EQ(output.out, "FILE: /DCIM/ok.JPG\n");
  EXPECT_EQ(output.err,
            "ERROR: пропущено небезопасное имя в папке path=/DCIM name=\n"
            "ERROR: пропущено небезопасное имя в папке path=/DCIM name=a/b.JPG\n"
            "ERROR: пропущено небезопасное имя в папке path=/DCIM name=../x.JPG\n");
  EXPECT_EQ(state_.seen, 1);  // list counts only FILE: lines
  for (const auto& call : phone().calls()) {
    EXPECT_EQ(call.find("/DCIM/a/"), std::string::npos) << call;
    EXPECT_EQ(call.find("/DCIM/../"), std::string::npos) << call;
    EXPECT_NE(call, "openFolder /DCIM/");
  }
}

TEST_F(WalkTest, UnsafeNamesCountAsFailedDownloads) {
  const std::string out = ScratchDir();
  state_.command = "download";
  state_.output = out.c_str();
  phone().addFile("/DCIM/ok.JPG", "1");
  phone().addEntry("/DCIM", "../escape.JPG");
  phone().addEntry("/DCIM/\x01odd", "x/y");  // lists the folder in /DCIM too
  const Output output = Walk("/DCIM");
  EXPECT_EQ(output.out, "DOWNLOADED: /DCIM/ok.JPG\n");
  EXPECT_EQ(output.err,
            "ERROR: пропущено небезопасное имя в папке path=/DCIM name=../escape.JPG\n"
            "ERROR: пропущено небезопасное имя в папке path=/DCIM/\\x01odd name=x/y\n");
  EXPECT_EQ(state_.seen, 3);
  EXPECT_EQ(state_.downloaded, 1);
  EXPECT_EQ(state_.failed, 2);
}

TEST_F(WalkTest, TooLongChildPathIsReportedWhole) {
  const std::string folder = "/DCIM/" + std::string(1000, 'f');
  const std::string name = std::string(30, 'n') + ".JPG";
  phone().addFolder(folder);
  phone().addEntry(folder, name);
  const Output output = Walk("/DCIM");
  EXPECT_EQ(output.out, "");
  EXPECT_EQ(output.err, "ERROR: слишком длинный путь path=" + folder + "/" + name + "\n");
  EXPECT_EQ(state_.seen, 0);

  state_.command = "download";
  Walk("/DCIM");
  EXPECT_EQ(state_.seen, 1);
  EXPECT_EQ(state_.failed, 1);
}

TEST_F(WalkTest, ControlBytesInNamesCannotBreakFileLines) {
  phone().addFile("/DCIM/ctl\x01\x1f\n.JPG", "1");
  phone().addFile("/DCIM/Фото.JPG", "2");
  EXPECT_EQ(Walk("/DCIM").out,
            "FILE: /DCIM/ctl\\x01\\x1F\\x0A.JPG\n"
            "FILE: /DCIM/Фото.JPG\n");
}

TEST_F(WalkTest, ListDirectoryPrintsEveryEntryUnfiltered) {
  phone().addEntry("/DCIM", ".");
  phone().addEntry("/DCIM", "..");
  phone().addFile("/DCIM/b.txt", "");
  phone().addFolder("/DCIM/100APPLE");
  phone().addEntry("/DCIM", "a/b\t");
  auto connection = Connect();
  int status = -9;
  const Output output = Capture([&] { status = list_directory(*connection, "/DCIM"); });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(output.out,
            "LS: /DCIM\nENTRY: .\nENTRY: ..\nENTRY: b.txt\nENTRY: 100APPLE\nENTRY: a/b\\x09\n");
  EXPECT_EQ(output.err, "");
  EXPECT_EQ(phone().openFolders(), 0);
  connection.reset();
}

TEST_F(WalkTest, ListDirectoryReportsOpenAndReadFailures) {
  phone().addFile("/DCIM/a.JPG", "");
  phone().addFile("/DCIM/b.JPG", "");
  auto connection = Connect();
  int status = 0;
  Output output = Capture([&] { status = list_directory(*connection, "/Missing"); });
  EXPECT_EQ(status, -1);
  EXPECT_EQ(output.out, "");
  EXPECT_EQ(output.err, "ERROR: не удалось открыть папку /Missing status=8\n");
  // The path of an error line is written as given, only the result lines escape.
  output = Capture([&] { status = list_directory(*connection, "/Mis\tsing\xff"); });
  EXPECT_EQ(output.err, "ERROR: не удалось открыть папку /Mis\tsing\xff status=8\n");

  phone().node("/DCIM").read_dir_error_after = 1;
  phone().node("/DCIM").read_dir_error_status = 20;
  output = Capture([&] { status = list_directory(*connection, "/DCIM"); });
  EXPECT_EQ(status, -1);
  EXPECT_EQ(output.out, "LS: /DCIM\nENTRY: a.JPG\n");
  EXPECT_EQ(output.err, "ERROR: чтение папки /DCIM status=20\n");
  EXPECT_EQ(phone().openFolders(), 0);
  connection.reset();
}

}  // namespace
