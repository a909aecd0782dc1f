#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

using oskavel_testing::Capture;
using oskavel_testing::Exists;
using oskavel_testing::ListFolder;
using oskavel_testing::Output;
using oskavel_testing::ReadFile;

std::string Pattern(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
  return data;
}

class CopyTest : public oskavel_testing::OskavelTest {
 protected:
  void SetUp() override {
    OskavelTest::SetUp();
    old_mask_ = umask(022);
    out_ = ScratchDir() + "/out";
    state_.command = "download";
    state_.output = out_.c_str();
  }
  void TearDown() override {
    umask(old_mask_);
    OskavelTest::TearDown();
  }

  Output Copy(const char* remote, int expected_status) {
    auto connection = Connect();
    int status = -9;
    Output output = Capture([&] { status = copy_file(state_, *connection, remote); });
    EXPECT_EQ(status, expected_status);
    EXPECT_EQ(phone().openFiles(), 0);  // the remote file is closed on every way out
    connection.reset();
    return output;
  }

  std::string out_;
  mode_t old_mask_ = 0;
};

TEST_F(CopyTest, EmptyFileIntoAFreshFolderCreatesEveryFolder) {
  phone().addFile("/DCIM/100APPLE/IMG_0001.JPG", "");
  const Output output = Copy("/DCIM/100APPLE/IMG_0001.JPG", 0);
  EXPECT_EQ(output.out, "DOWNLOADED: /DCIM/100APPLE/IMG_0001.JPG\n");
  EXPECT_EQ(output.err, "");
  const std::string local = out_ + "/DCIM/100APPLE/IMG_0001.JPG";
  ASSERT_TRUE(Exists(local));
  EXPECT_EQ(ReadFile(local), "");
  for (const std::string& folder : {out_, out_ + "/DCIM", out_ + "/DCIM/100APPLE"}) {
    struct stat st {};
    ASSERT_EQ(stat(folder.c_str(), &st), 0) << folder;
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0755u) << folder;
  }
  struct stat st {};
  ASSERT_EQ(stat(local.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);  // as "wb" would create it
  EXPECT_EQ(ListFolder(out_ + "/DCIM/100APPLE"), std::vector<std::string>{"IMG_0001.JPG"});
}

TEST_F(CopyTest, ReadsInChunksOf64KiBUntilAnEmptyRead) {
  const std::string exact = Pattern(65536);
  const std::string more = Pattern(65536 * 2 + 1);
  phone().addFile("/DCIM/exact.JPG", exact);
  phone().addFile("/DCIM/more.JPG", more);
  Copy("/DCIM/exact.JPG", 0);
  EXPECT_EQ(phone().count("readFile"), 2u);
  EXPECT_EQ(ReadFile(out_ + "/DCIM/exact.JPG"), exact);
  Copy("/DCIM/more.JPG", 0);
  EXPECT_EQ(phone().count("readFile"), 6u);
  EXPECT_EQ(ReadFile(out_ + "/DCIM/more.JPG"), more);
}

TEST_F(CopyTest, CopyAgainReplacesTheFileAndTakesThePhonesTime) {
  phone().addFile("/DCIM/a.JPG", "first version, longer");
  Copy("/DCIM/a.JPG", 0);
  phone().addFile("/DCIM/a.JPG", "second");
  phone().node("/DCIM/a.JPG").mtime_ns = 1600000000LL * 1000000000LL + 250000000;
  Copy("/DCIM/a.JPG", 0);
  EXPECT_EQ(ReadFile(out_ + "/DCIM/a.JPG"), "second");
  struct stat st {};
  ASSERT_EQ(stat((out_ + "/DCIM/a.JPG").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1600000000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 250000000);
  EXPECT_EQ(ListFolder(out_ + "/DCIM"), std::vector<std::string>{"a.JPG"});
}

TEST_F(CopyTest, ReadErrorMidwayKeepsTheEarlierCompleteCopyAndLeavesNoTemporary) {
  const std::string data = Pattern(300000);
  phone().addFile("/DCIM/Фото\t1.JPG", data);
  Copy("/DCIM/Фото\t1.JPG", 0);
  phone().node("/DCIM/Фото\t1.JPG").read_error_at = 131072;
  phone().node("/DCIM/Фото\t1.JPG").read_error_status = 30;
  const Output output = Copy("/DCIM/Фото\t1.JPG", -1);
  EXPECT_EQ(output.out, "");
  EXPECT_EQ(output.err,
            "ERROR: ошибка чтения с iPhone status=30 "
            "path=/DCIM/\\xD0\\xA4\\xD0\\xBE\\xD1\\x82\\xD0\\xBE\\x091.JPG\n");
  EXPECT_EQ(ReadFile(out_ + "/DCIM/Фото\t1.JPG"), data);
  EXPECT_EQ(ListFolder(out_ + "/DCIM"), std::vector<std::string>{"Фото\t1.JPG"});
}

TEST_F(CopyTest, ReadErrorOnAFirstCopyLeavesNothing) {
  phone().addFile("/DCIM/a.JPG", Pattern(100000));
  phone().node("/DCIM/a.JPG").read_error_at = 70000;
  Copy("/DCIM/a.JPG", -1);
  EXPECT_EQ(ListFolder(out_ + "/DCIM"), std::vector<std::string>{});
}

TEST_F(CopyTest, StaleBytesPastTheEndAreNotACompleteCopy) {
  // A dropped connection can hand back an old buffer as if it were data.
  phone().addFile("/DCIM/a.JPG", "complete");
  Copy("/DCIM/a.JPG", 0);
  phone().addFile("/DCIM/a.JPG", Pattern(300000));
  phone().node("/DCIM/a.JPG").stale_extra = 15712;
  const Output output = Copy("/DCIM/a.JPG", -1);
  EXPECT_EQ(output.err,
            "ERROR: размер файла не совпал с iPhone (получено 315712, ожидалось 300000) "
            "path=/DCIM/a.JPG\n");
  EXPECT_EQ(ReadFile(out_ + "/DCIM/a.JPG"), "complete");
  EXPECT_EQ(ListFolder(out_ + "/DCIM"), std::vector<std::string>{"a.JPG"});
}

TEST_F(CopyTest, EndOfFileBeforeTheReportedSizeIsNotACompleteCopy) {
  phone().addFile("/DCIM/a.JPG", "short");
  phone().node("/DCIM/a.JPG").reported_size = 6;
  const Output output = Copy("/DCIM/a.JPG", -1);
  EXPECT_EQ(output.err,
            "ERROR: размер файла не совпал с iPhone (получено 5, ожидалось 6) path=/DCIM/a.JPG\n");
  EXPECT_FALSE(Exists(out_ + "/DCIM/a.JPG"));
}

TEST_F(CopyTest, FailedRemoteCloseOrMissingInfoIsAFailure) {
  phone().addFile("/DCIM/a.JPG", "data");
  phone().node("/DCIM/a.JPG").close_status = 20;
  Output output = Copy("/DCIM/a.JPG", -1);
  EXPECT_EQ(output.err, "ERROR: ошибка чтения с iPhone status=20 path=/DCIM/a.JPG\n");
  EXPECT_FALSE(Exists(out_ + "/DCIM/a.JPG"));

  phone().node("/DCIM/a.JPG").close_status = 0;
  phone().node("/DCIM/a.JPG").info_status = 8;
  output = Copy("/DCIM/a.JPG", -1);
  EXPECT_EQ(output.err,
            "ERROR: не удалось узнать размер файла на iPhone status=8 path=/DCIM/a.JPG\n");
  EXPECT_EQ(ListFolder(out_ + "/DCIM"), std::vector<std::string>{});
}

TEST_F(CopyTest, RemoteOpenFailureNamesThePathSafely) {
  const Output output = Copy("/DCIM/Missing\x01.JPG", -1);
  EXPECT_EQ(output.err,
            "ERROR: не удалось открыть файл на iPhone status=8 path=/DCIM/Missing\\x01.JPG\n");
  EXPECT_FALSE(Exists(out_));
}

TEST_F(CopyTest, LocalObstaclesGiveTheirOwnMessages) {
  phone().addFile("/DCIM/100APPLE/sub/a.JPG", "a");
  phone().addFile("/DCIM/100APPLE/c.JPG", "c");
  phone().addFile("/DCIM/100APPLE/t\tc.JPG", "t");
  phone().addFile("/DCIM/b.JPG", "b");
  ASSERT_EQ(mkdir_p((out_ + "/DCIM/b.JPG").c_str()), 0);  // a folder where the file goes
  FILE* blocker = fopen((out_ + "/DCIM/100APPLE").c_str(), "wb");  // a file where a folder goes
  ASSERT_NE(blocker, nullptr);
  fclose(blocker);

  Output output = Copy("/DCIM/100APPLE/sub/a.JPG", -1);
  EXPECT_EQ(output.err,
            "ERROR: не удалось создать папку: " + out_ + "/DCIM/100APPLE/sub/a.JPG\n");
  // The file in the way is accepted as a folder; creating the file in it fails.
  output = Copy("/DCIM/100APPLE/c.JPG", -1);
  EXPECT_EQ(output.err, "ERROR: не удалось создать файл: " + out_ + "/DCIM/100APPLE/c.JPG\n");
  // A local path holds the phone's names: its control bytes are escaped.
  output = Copy("/DCIM/100APPLE/t\tc.JPG", -1);
  EXPECT_EQ(output.err, "ERROR: не удалось создать файл: " + out_ + "/DCIM/100APPLE/t\\x09c.JPG\n");
  output = Copy("/DCIM/b.JPG", -1);
  EXPECT_EQ(output.err, "ERROR: не удалось создать файл: " + out_ + "/DCIM/b.JPG\n");
  EXPECT_EQ(ListFolder(out_ + "/DCIM"), (std::vector<std::string>{"100APPLE", "b.JPG"}));
  EXPECT_EQ(ListFolder(out_ + "/DCIM/b.JPG"), std::vector<std::string>{});
}

TEST_F(CopyTest, RemotePathWithParentComponentNeverBecomesLocal) {
  phone().addFile("/DCIM/../../escape.JPG", "x");
  const Output output = Copy("/DCIM/../../escape.JPG", -1);
  EXPECT_EQ(output.err, "ERROR: путь с '..' не станет локальным path=/DCIM/../../escape.JPG\n");
  EXPECT_FALSE(Exists(out_));
  EXPECT_EQ(ListFolder(out_ + "/.."), std::vector<std::string>{});
}

TEST_F(CopyTest, TooLongLocalPathIsReportedWholeAndNothingIsWritten) {
  const std::string remote = "/DCIM/" + std::string(1010, 'n') + ".JPG";
  phone().addFile(remote, "x");
  const Output output = Copy(remote.c_str(), -1);
  EXPECT_EQ(output.err, "ERROR: слишком длинный путь path=" + out_ + remote + "\n");
  EXPECT_FALSE(Exists(out_));
}

TEST_F(CopyTest, LocalPathStripsLeadingSlashesAndRefusesToCut) {
  state_.output = "/out/";
  char out[64];
  ASSERT_EQ(local_path_for_remote(state_, "///DCIM/a.JPG", out, sizeof out), 0);
  EXPECT_STREQ(out, "/out//DCIM/a.JPG");  // a trailing slash doubles, which is harmless
  state_.output = "rel";
  ASSERT_EQ(local_path_for_remote(state_, "DCIM/..a/b..", out, sizeof out), 0);
  EXPECT_STREQ(out, "rel/DCIM/..a/b..");
  EXPECT_EQ(local_path_for_remote(state_, "/DCIM/..", out, sizeof out), -2);
  EXPECT_EQ(local_path_for_remote(state_, "../x", out, sizeof out), -2);
  char small[12];
  EXPECT_EQ(local_path_for_remote(state_, "/DCIM/a.JPG", small, sizeof small), -1);
  EXPECT_STREQ(small, "");
  state_.output = nullptr;
}

class MkdirTest : public oskavel_testing::OskavelTest {};

TEST_F(MkdirTest, CreatesEveryLevelAndAcceptsWhatExists) {
  const std::string root = ScratchDir();
  EXPECT_EQ(mkdir_p((root + "/a/b/c/").c_str()), 0);
  EXPECT_TRUE(Exists(root + "/a/b/c"));
  EXPECT_EQ(mkdir_p((root + "/a/b/c").c_str()), 0);
  EXPECT_EQ(ensure_parent_dir((root + "/x/y/file.JPG").c_str()), 0);
  EXPECT_TRUE(Exists(root + "/x/y"));
  EXPECT_FALSE(Exists(root + "/x/y/file.JPG"));
  EXPECT_EQ(ensure_parent_dir("file-in-the-current-folder.JPG"), 0);  // parent "."
}

TEST_F(MkdirTest, RefusesEmptyAndOverlongPathsAndFilesInTheWay) {
  const std::string root = ScratchDir();
  EXPECT_EQ(mkdir_p(""), -1);
  const std::string long_path = root + "/" + std::string(1024, 'l');
  EXPECT_EQ(mkdir_p(long_path.c_str()), -1);
  EXPECT_EQ(ensure_parent_dir((long_path + "/f").c_str()), -1);
  FILE* file = fopen((root + "/file").c_str(), "wb");
  ASSERT_NE(file, nullptr);
  fclose(file);
  EXPECT_EQ(mkdir_p((root + "/file/sub").c_str()), -1);
  EXPECT_EQ(mkdir_p((root + "/file").c_str()), 0);  // an existing entry is accepted
}

}  // namespace
