#include "safe_publish.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

namespace imagecapture {
namespace {

namespace fs = std::filesystem;

// Every case runs with unnamed temporaries (where the system has them) and
// with named ones.
class SafePublishTest : public ::testing::TestWithParam<PartialFile::Kind> {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/safe_publish_test.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  static void put(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }
  static std::string read(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::set<std::string> names() const {
    std::set<std::string> result;
    for (const auto& entry : fs::directory_iterator(dir_)) result.insert(entry.path().filename());
    return result;
  }
  PartialFile written(std::string_view name, const std::string& text,
                      std::optional<std::time_t> modified = std::nullopt) {
    std::string error;
    auto part = PartialFile::create(dir_, name, error, GetParam());
    EXPECT_TRUE(part) << error;
    EXPECT_EQ(::write(part->fd(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
    EXPECT_TRUE(part->finish(modified, error)) << error;
    return std::move(*part);
  }

  std::string dir_;
};

TEST(NumberedName, NumberGoesBeforeTheExtension) {
  EXPECT_EQ(numberedName("IMG_0001.HEIC", 0), "IMG_0001.HEIC");
  EXPECT_EQ(numberedName("IMG_0001.HEIC", 1), "IMG_0001 (1).HEIC");
  EXPECT_EQ(numberedName("a.b.mov", 12), "a.b (12).mov");
  EXPECT_EQ(numberedName("README", 2), "README (2)");
  EXPECT_EQ(numberedName(".hidden", 1), ".hidden (1)");
}

TEST_P(SafePublishTest, TakenNamesAreNeverOverwrittenAndTheFreeNameIsReported) {
  put(fs::path(dir_) / "IMG_0001.JPG", "old");
  put(fs::path(dir_) / "IMG_0001 (1).JPG", "old1");
  auto part = written("IMG_0001.JPG", "new", 1714557600);
  std::vector<PublishEntry> entries{{&part, "IMG_0001.JPG"}};
  std::string error;
  EXPECT_EQ(publishGroup(dir_, entries, error), "IMG_0001 (2).JPG");
  EXPECT_EQ(read(fs::path(dir_) / "IMG_0001.JPG"), "old");
  EXPECT_EQ(read(fs::path(dir_) / "IMG_0001 (1).JPG"), "old1");
  EXPECT_EQ(read(fs::path(dir_) / "IMG_0001 (2).JPG"), "new");
  struct stat st {};
  ASSERT_EQ(::stat((fs::path(dir_) / "IMG_0001 (2).JPG").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1714557600);
  EXPECT_EQ(names().size(), 3u);  // no temporary left

  // A preferred number (a Live Photo's partner's) is used when its name is
  // free, else the first free one.
  auto movie = written("IMG_0001.MOV", "movie");
  std::vector<PublishEntry> pair{{&movie, "IMG_0001.MOV"}};
  int number = -1;
  EXPECT_EQ(publishGroup(dir_, pair, error, 2, &number), "IMG_0001 (2).MOV");
  EXPECT_EQ(number, 2);
  auto again = written("IMG_0001.MOV", "again");
  std::vector<PublishEntry> taken{{&again, "IMG_0001.MOV"}};
  EXPECT_EQ(publishGroup(dir_, taken, error, 2, &number), "IMG_0001.MOV");
  EXPECT_EQ(number, 0);
}

TEST_P(SafePublishTest, SidecarsShareTheNumberThatIsFreeForAllOfTheGroup) {
  // The photo's name is free at 1, but its sidecar's is not: both go to 2.
  put(fs::path(dir_) / "IMG_0001.HEIC", "old");
  put(fs::path(dir_) / "IMG_0001 (1).AAE", "old sidecar");
  auto photo = written("IMG_0001.HEIC", "photo");
  auto sidecar = written("IMG_0001.AAE", "edits");
  std::vector<PublishEntry> entries{{&photo, "IMG_0001.HEIC"}, {&sidecar, "IMG_0001.AAE"}};
  std::string error;
  EXPECT_EQ(publishGroup(dir_, entries, error), "IMG_0001 (2).HEIC");
  EXPECT_EQ(names(), (std::set<std::string>{"IMG_0001.HEIC", "IMG_0001 (1).AAE",
                                            "IMG_0001 (2).HEIC", "IMG_0001 (2).AAE"}));
  EXPECT_EQ(read(fs::path(dir_) / "IMG_0001 (2).AAE"), "edits");
}

TEST_P(SafePublishTest, UnpublishedTemporaryIsRemoved) {
  {
    auto part = written("IMG_0002.MOV", "half");
    if (part.unnamed()) {
      EXPECT_TRUE(names().empty());  // never visible at all
    } else {
      EXPECT_EQ(names().size(), 1u);
      EXPECT_EQ(names().begin()->front(), '.');  // hidden while it is written
    }
  }
  EXPECT_TRUE(names().empty());
}

TEST_P(SafePublishTest, LongNonAsciiNamesGetAValidTemporaryAndKeepTheirName) {
  std::string name = "a";  // so that byte 64 falls inside a two-byte character
  for (int i = 0; i < 40; ++i) name += "фото";
  name = name.substr(0, 249) + ".JPG";
  std::string error;
  auto created = PartialFile::create(dir_, name, error, PartialFile::Kind::kNamed);
  ASSERT_TRUE(created) << error;
  PartialFile part = std::move(*created);
  ASSERT_TRUE(part.finish(std::nullopt, error)) << error;
  std::string temporary = fs::path(part.path()).filename();
  EXPECT_LT(temporary.size(), 100u);
  // Only whole characters were kept: as many lead bytes as continuations.
  std::size_t leads = 0, continuations = 0;
  for (char c : temporary.substr(1, temporary.find(".part-") - 1)) {
    leads += (static_cast<unsigned char>(c) & 0xE0) == 0xC0;
    continuations += (static_cast<unsigned char>(c) & 0xC0) == 0x80;
  }
  EXPECT_GT(leads, 0u);
  EXPECT_EQ(leads, continuations);
  std::vector<PublishEntry> entries{{&part, name}};
  EXPECT_EQ(publishGroup(dir_, entries, error), name) << error;
}

TEST_P(SafePublishTest, MissingOrUnwritableFolderIsDescribedWithItsPath) {
  std::string error;
  EXPECT_FALSE(PartialFile::create(dir_ + "/missing", "a.jpg", error, GetParam()));
  EXPECT_NE(error.find(dir_ + "/missing"), std::string::npos) << error;
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;

  if (::geteuid() != 0) {  // root writes anywhere
    ::chmod(dir_.c_str(), 0500);
    EXPECT_FALSE(PartialFile::create(dir_, "a.jpg", error, GetParam()));
    ::chmod(dir_.c_str(), 0700);
  }
}

TEST_P(SafePublishTest, NamesThatWouldLeaveTheFolderAreRefused) {
  std::string error;
  for (const char* bad : {"", ".", "..", "../x.jpg", "a/b.jpg"})
    EXPECT_FALSE(PartialFile::create(dir_, bad, error, GetParam())) << bad;
  EXPECT_TRUE(names().empty());
}

TEST_P(SafePublishTest, ADanglingLinkAtTheNameIsNotFollowed) {
  fs::create_symlink(dir_ + "/elsewhere.jpg", fs::path(dir_) / "IMG_0003.JPG");
  auto part = written("IMG_0003.JPG", "data");
  std::vector<PublishEntry> entries{{&part, "IMG_0003.JPG"}};
  std::string error;
  EXPECT_EQ(publishGroup(dir_, entries, error), "IMG_0003 (1).JPG");
  EXPECT_FALSE(fs::exists(fs::path(dir_) / "elsewhere.jpg"));
}

TEST_P(SafePublishTest, TheSameFileCannotBePublishedTwice) {
  auto part = written("IMG_0004.JPG", "once");
  std::vector<PublishEntry> entries{{&part, "IMG_0004.JPG"}};
  std::string error;
  EXPECT_EQ(publishGroup(dir_, entries, error), "IMG_0004.JPG");
  EXPECT_FALSE(publishGroup(dir_, entries, error));
  EXPECT_EQ(names(), std::set<std::string>{"IMG_0004.JPG"});
}

// A signal that comes while a file's line is on its way ends the process
// once the line is written; one ignored from the start (nohup) stays ignored.
TEST(InterruptCleanupDeathTest, AHeldSignalEndsTheProcessWhenTheHoldGoes) {
  auto heldThenLine = [] {
    installInterruptCleanup();
    std::optional<InterruptsHeld> held(std::in_place);
    std::raise(SIGTERM);
    std::fputs("line written\n", stderr);
    held.reset();
    std::fputs("after the hold\n", stderr);
  };
  EXPECT_EXIT(heldThenLine(), ::testing::KilledBySignal(SIGTERM), "line written\n$");
  EXPECT_EXIT((std::signal(SIGHUP, SIG_IGN), installInterruptCleanup(), std::raise(SIGHUP), std::exit(0)),
              ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Temporaries, SafePublishTest,
                         ::testing::Values(PartialFile::Kind::kUnnamedIfPossible,
                                           PartialFile::Kind::kNamed),
                         [](const auto& info) {
                           return info.param == PartialFile::Kind::kNamed ? "Named" : "Unnamed";
                         });

}  // namespace
}  // namespace imagecapture
