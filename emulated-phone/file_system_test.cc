#include "file_system.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "posix_file_system.h"

namespace emulated_phone {
namespace {

TEST(NormalizeRemotePath, StaysInsideTheRoot) {
  EXPECT_EQ(normalizeRemotePath(""), "/");
  EXPECT_EQ(normalizeRemotePath("/"), "/");
  EXPECT_EQ(normalizeRemotePath("//DCIM///100APPLE/"), "/DCIM/100APPLE");
  EXPECT_EQ(normalizeRemotePath("DCIM/./a"), "/DCIM/a");
  EXPECT_EQ(normalizeRemotePath("/DCIM/.."), "/");
  EXPECT_EQ(normalizeRemotePath("/../../etc/passwd"), "/etc/passwd");
  EXPECT_EQ(normalizeRemotePath("/a/b/../../../c"), "/c");
  EXPECT_EQ(normalizeRemotePath("/a/...b/..."), "/a/...b/...");
}

class PosixFileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/ep-fs-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    std::filesystem::create_directories(root_ + "/DCIM/b");
    std::filesystem::create_directories(root_ + "/DCIM/a");
    std::ofstream(root_ + "/DCIM/file.JPG") << "0123456789";
  }
  void TearDown() override { std::filesystem::remove_all(root_); }
  std::string root_;
};

TEST_F(PosixFileSystemTest, ListsInNameOrderWithoutDots) {
  PosixFileSystem fs(root_);
  std::vector<std::string> names;
  ASSERT_EQ(fs.list("/DCIM", &names), FsStatus::kOk);
  EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "file.JPG"}));
  EXPECT_EQ(fs.list("/DCIM/file.JPG", &names), FsStatus::kNotFolder);
  EXPECT_EQ(fs.list("/none", &names), FsStatus::kNotFound);
}

TEST_F(PosixFileSystemTest, OpensFilesNotFolders) {
  PosixFileSystem fs(root_);
  std::unique_ptr<OpenFile> file;
  EXPECT_EQ(fs.open("/DCIM", &file), FsStatus::kIsFolder);
  EXPECT_EQ(fs.open("/DCIM/none", &file), FsStatus::kNotFound);
  ASSERT_EQ(fs.open("/DCIM/file.JPG", &file), FsStatus::kOk);
  EXPECT_EQ(file->size(), 10u);
  char buf[16];
  EXPECT_EQ(file->readAt(buf, sizeof buf, 4), 6);
  EXPECT_EQ(std::string(buf, 6), "456789");
  EXPECT_EQ(file->readAt(buf, sizeof buf, 10), 0);
  EXPECT_EQ(file->readAt(buf, sizeof buf, 1000), 0);
  FileFacts facts;
  ASSERT_EQ(fs.facts("/", &facts), FsStatus::kOk);
  EXPECT_TRUE(facts.is_folder);
  ASSERT_EQ(fs.facts("/DCIM/file.JPG", &facts), FsStatus::kOk);
  EXPECT_FALSE(facts.is_folder);
  EXPECT_FALSE(facts.is_link);
  EXPECT_EQ(facts.size, 10u);
  // A link: what it leads to, and the link itself.
  std::filesystem::create_directory_symlink("..", root_ + "/DCIM/up");
  ASSERT_EQ(fs.facts("/DCIM/up", &facts), FsStatus::kOk);
  EXPECT_TRUE(facts.is_folder);
  EXPECT_TRUE(facts.is_link);
  EXPECT_EQ(facts.link_target, "..");
}

}  // namespace
}  // namespace emulated_phone
