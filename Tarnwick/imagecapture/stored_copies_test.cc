#include "stored_copies.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>

#include "safe_publish.h"

namespace imagecapture {
namespace {

namespace fs = std::filesystem;

constexpr std::time_t kTaken = 1714557600;  // 2024-05-01T10:00:00Z
const std::string kBytes = "12345";

class StoredCopiesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/stored_copies_test.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A file as a download leaves it: its bytes, the capture time as its
  // modification time (`nanoseconds` past the second).
  static void put(const fs::path& path, const std::string& bytes = kBytes,
                  std::time_t modified = kTaken, long nanoseconds = 0) {
    std::ofstream(path, std::ios::binary) << bytes;
    struct timespec times[2] = {{modified, 0}, {modified, nanoseconds}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
  }
  static bool holds(const fs::path& folder, std::string_view name,
                    std::optional<std::uint64_t> size = kBytes.size(),
                    std::optional<Date> date = Date(std::chrono::seconds(kTaken))) {
    return StoredCopies::read(folder).holds(name, size, date);
  }

  fs::path dir_;
};

TEST_F(StoredCopiesTest, NamesThatStandForTheDeviceFileAndTheirNumbers) {
  struct Case {
    std::string deviceName;
    std::string stored;
    std::optional<int> number;  // as held; nothing when it does not count
  };
  const std::vector<Case> cases = {
      {"IMG_0001.HEIC", "IMG_0001.HEIC", 0},
      {"IMG_0001.HEIC", numberedName("IMG_0001.HEIC", 1), 1},
      {"IMG_0001.HEIC", numberedName("IMG_0001.HEIC", 12), 12},
      {"README", numberedName("README", 1), 1},              // "README (1)"
      {".hidden", numberedName(".hidden", 1), 1},            // ".hidden (1)"
      {"a.b.c", numberedName("a.b.c", 1), 1},                // "a.b (1).c"
      {"IMG_0001.HEIC", "IMG_0001 (01).HEIC", {}},
      {"IMG_0001.HEIC", "IMG_0001 (0).HEIC", {}},
      {"IMG_0001.HEIC", "IMG_0001 (-1).HEIC", {}},
      {"IMG_0001.HEIC", "IMG_0001(1).HEIC", {}},
      {"IMG_0001.HEIC", "IMG_0001 (1).JPG", {}},
      {"IMG_0001.HEIC", "IMG_0001.HEIC (1)", {}},
      {"IMG_0001.HEIC", "img_0001.heic", {}},
      {"a.b.c", "a.b.c (1)", {}},
      {"a.b.c", "a (1).b.c", {}},
      {"IMG_0001.HEIC", "IMG_0001 (1) (1).HEIC", {}},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    fs::path folder = dir_ / std::to_string(i);
    fs::create_directory(folder);
    put(folder / c.stored);
    EXPECT_EQ(StoredCopies::read(folder).heldAs(c.deviceName, kBytes.size(), Date(std::chrono::seconds(kTaken))),
              c.number)
        << c.deviceName << " as " << c.stored;
  }
}

TEST_F(StoredCopiesTest, OnlyARegularFileOfTheSameSizeAndTimeCounts) {
  put(dir_ / "IMG_0001.HEIC");
  EXPECT_TRUE(holds(dir_, "IMG_0001.HEIC"));
  EXPECT_FALSE(holds(dir_, "IMG_0001.HEIC", kBytes.size() + 1));
  EXPECT_FALSE(holds(dir_, "IMG_0001.HEIC", kBytes.size() - 1));
  // The capture time read in another zone: a whole number of quarter
  // hours off, at most 26 hours; nothing else, however far.
  const std::pair<std::int64_t, bool> captured[] = {
      {kTaken + 1, false},        {kTaken - 1, false},
      {kTaken - 900, true},       {kTaken + 899, false},
      {kTaken - 26 * 3600, true}, {kTaken + 26 * 3600 + 900, false},
      {kTaken + 5 * 3600 + 2700, true},  // Nepal, UTC+05:45
      {std::numeric_limits<std::int64_t>::min(), false}};
  for (const auto& [when, held] : captured)
    EXPECT_EQ(holds(dir_, "IMG_0001.HEIC", kBytes.size(), Date(std::chrono::seconds(when))), held) << when;
  EXPECT_FALSE(holds(dir_, "IMG_0001.HEIC", std::nullopt));
  EXPECT_FALSE(holds(dir_, "IMG_0001.HEIC", kBytes.size(), std::nullopt));
  EXPECT_FALSE(holds(dir_, "IMG_0009.HEIC"));

  // Whole seconds: a time set by another program with a fraction still counts.
  put(dir_ / "IMG_0002.JPG", kBytes, kTaken, 999999999);
  EXPECT_TRUE(holds(dir_, "IMG_0002.JPG"));

  // A folder, or a link to a file that would count, is not a stored copy.
  fs::create_directory(dir_ / "IMG_0003.PNG");
  put(dir_ / "elsewhere.PNG");
  fs::create_symlink("elsewhere.PNG", dir_ / "IMG_0004.PNG");
  EXPECT_FALSE(holds(dir_, "IMG_0003.PNG"));
  EXPECT_FALSE(holds(dir_, "IMG_0004.PNG"));

  // Among several names for the file, any one that matches counts; the
  // closest in time first, then the lowest number.
  put(dir_ / "IMG_0005.MOV", "other size");
  put(dir_ / "IMG_0005 (1).MOV", kBytes, kTaken + 60);
  EXPECT_FALSE(holds(dir_, "IMG_0005.MOV"));
  put(dir_ / "IMG_0005 (3).MOV", kBytes, kTaken + 3600);
  put(dir_ / "IMG_0005 (4).MOV");
  put(dir_ / "IMG_0005 (2).MOV");
  EXPECT_EQ(StoredCopies::read(dir_).heldAs("IMG_0005.MOV", kBytes.size(), Date(std::chrono::seconds(kTaken))),
            2);
}

TEST_F(StoredCopiesTest, AFolderThatCannotBeReadHoldsNothing) {
  EXPECT_FALSE(holds(dir_ / "missing", "IMG_0001.HEIC"));
  put(dir_ / "IMG_0001.HEIC");
  EXPECT_FALSE(holds(dir_ / "IMG_0001.HEIC", "IMG_0001.HEIC"));  // a file, not a folder
}

}  // namespace
}  // namespace imagecapture
