#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

using oskavel_testing::Capture;

class ParseArgsTest : public oskavel_testing::OskavelTest {
 protected:
  int Parse(std::vector<std::string> words) {
    words_ = std::move(words);
    words_.insert(words_.begin(), "Oskavel");
    argv_.clear();
    for (auto& word : words_) argv_.push_back(word.data());
    argv_.push_back(nullptr);
    return parse_args(state_, static_cast<int>(words_.size()), argv_.data(), timeout_);
  }

  std::vector<std::string> words_;
  std::vector<char*> argv_;
  int32_t timeout_ = -7;
};

TEST_F(ParseArgsTest, DefaultsAreWrittenBeforeAnythingIsChecked) {
  state_.limit = 99;
  EXPECT_EQ(Parse({}), -1);
  EXPECT_EQ(timeout_, 10);
  EXPECT_EQ(state_.limit, 0);

  ASSERT_EQ(Parse({"ls"}), 0);
  EXPECT_STREQ(state_.command, "ls");
  EXPECT_STREQ(state_.start_path, "/DCIM");  // ls lists /DCIM unless told otherwise
  EXPECT_EQ(state_.service_name, nullptr);
  EXPECT_EQ(state_.output, nullptr);
}

TEST_F(ParseArgsTest, UnusableCommandLinesFail) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"LIST"},
      {"List"},
      {"import"},
      {"list", "--bogus", "1"},
      {"list", "extra"},
      {"list", "--timeout"},  // an option word as the last argument
      {"list", "--limit", "3", "--path"},
      {"download"},
      {"download", "--limit", "3"},
      {"services", "-t", "5"},
      // --skip-existing takes no value and belongs to download alone.
      {"list", "--skip-existing"},
      {"--skip-existing", "download", "--output", "/o"},
      {"ls", "--skip-existing"},
      {"services", "--skip-existing"},
      {"download", "--output", "/o", "--skip-existing", "yes"},
  };
  for (const auto& words : bad) {
    SCOPED_TRACE(::testing::PrintToString(words));
    state_.output = nullptr;
    EXPECT_EQ(Parse(words), -1);
  }
}

TEST_F(ParseArgsTest, OptionsTakeTheNextWordWhateverItLooksLike) {
  ASSERT_EQ(Parse({"download", "--output", "--limit", "--path", "--service", "--service",
                   "--timeout"}),
            0);
  EXPECT_STREQ(state_.output, "--limit");
  EXPECT_STREQ(state_.start_path, "--service");
  EXPECT_STREQ(state_.service_name, "--timeout");
  EXPECT_EQ(state_.limit, 0);
  EXPECT_EQ(timeout_, 10);
}

TEST_F(ParseArgsTest, NumbersReadLikeAtoi) {
  ASSERT_EQ(Parse({"list", "--timeout", "abc", "--limit", "-5"}), 0);
  EXPECT_EQ(timeout_, 0);
  EXPECT_EQ(state_.limit, -5);
  ASSERT_EQ(Parse({"list", "--timeout", "  42x", "--limit", "+3"}), 0);
  EXPECT_EQ(timeout_, 42);
  EXPECT_EQ(state_.limit, 3);
}

TEST_F(ParseArgsTest, LaterOptionsOverrideEarlierOnesAndEveryCommandTakesAll) {
  ASSERT_EQ(Parse({"services", "--limit", "1", "--limit", "2", "--output", "/a", "--output",
                   "/b", "--path", "/x", "--service", "s"}),
            0);
  EXPECT_EQ(state_.limit, 2);
  EXPECT_STREQ(state_.output, "/b");
  EXPECT_STREQ(state_.start_path, "/x");
  EXPECT_STREQ(state_.service_name, "s");
  state_.output = nullptr;
  EXPECT_EQ(Parse({"list", "--output", "/ignored"}), 0);
  state_.output = nullptr;
  EXPECT_EQ(Parse({"download", "--limit", "0", "--output", "/o"}), 0);
  EXPECT_FALSE(state_.skip_existing);
  EXPECT_EQ(Parse({"download", "--skip-existing", "--output", "/o", "--skip-existing"}), 0);
  EXPECT_TRUE(state_.skip_existing);
  EXPECT_STREQ(state_.output, "/o");
}

TEST_F(ParseArgsTest, UsageTextIsExact) {
  const auto output = Capture([] { usage(); });
  EXPECT_EQ(output.out, "");
  EXPECT_EQ(output.err,
            "Usage:\n"
            "  Oskavel list [--timeout 10] [--limit 20]\n"
            "  Oskavel download --output /path/to/folder [--timeout 60] [--limit 0]\n"
            "  Oskavel ls [--path /] [--timeout 10] [--service com.apple.afc]\n"
            "  Oskavel services [--timeout 10]\n");
}

}  // namespace
