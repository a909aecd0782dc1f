#include "arguments.h"

#include <gtest/gtest.h>

#include <vector>

namespace tarnwick {
namespace {

std::optional<Arguments> parseWords(std::vector<const char*> words) {
  return Arguments::parse(words, "/home/u");
}

TEST(ArgumentsParse, DefaultsAndTheRequiredPieces) {
  EXPECT_FALSE(parseWords({}));
  EXPECT_FALSE(parseWords({"--timeout", "5"}));  // no command word
  EXPECT_FALSE(parseWords({"download"}));        // the folder is required

  auto debug = parseWords({"debug"});
  ASSERT_TRUE(debug);
  EXPECT_EQ(debug->timeoutSeconds, 60.0);  // not the 10 of the usage text
  EXPECT_FALSE(debug->limit);
  EXPECT_FALSE(debug->outputDirectory);
  EXPECT_FALSE(debug->skipExisting);
}

TEST(ArgumentsParse, SkipExistingIsAWordOfDownloadOnly) {
  for (auto words : std::vector<std::vector<const char*>>{
           {"download", "--output", "/x", "--skip-existing"},
           {"--skip-existing", "download", "--output", "/x"},
           {"--skip-existing", "--skip-existing", "--output", "/x", "download"}}) {
    auto parsed = parseWords(words);
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(parsed->skipExisting);
    EXPECT_EQ(parsed->outputDirectory, "/x");
  }
  EXPECT_FALSE(parseWords({"download", "--output", "/x"})->skipExisting);
  EXPECT_FALSE(parseWords({"list", "--skip-existing"}));
  EXPECT_FALSE(parseWords({"--skip-existing", "debug"}));
  // Taken over by download, though: the last command word decides.
  EXPECT_FALSE(parseWords({"download", "--output", "/x", "--skip-existing", "list"}));
  // It takes no value: the next word is read as a word of its own.
  EXPECT_FALSE(parseWords({"download", "--output", "/x", "--skip-existing", "5"}));
  auto valueOfOutput = parseWords({"download", "--output", "--skip-existing"});
  ASSERT_TRUE(valueOfOutput);
  EXPECT_FALSE(valueOfOutput->skipExisting);
  EXPECT_EQ(valueOfOutput->outputDirectory, "/home/u/--skip-existing");
}

TEST(ArgumentsParse, LetPhoneConvertIsAWordOfListAndDownload) {
  EXPECT_TRUE(parseWords({"list", "--let-phone-convert"})->letPhoneConvert);
  EXPECT_TRUE(parseWords({"--let-phone-convert", "download", "--output", "/x", "--skip-existing"})->letPhoneConvert);
  EXPECT_FALSE(parseWords({"list"})->letPhoneConvert);
  EXPECT_FALSE(parseWords({"debug", "--let-phone-convert"}));
}

TEST(ArgumentsParse, OrderRepetitionAndLastWordWins) {
  auto a = parseWords({"--timeout", "5", "list"});
  auto b = parseWords({"list", "--timeout", "5"});
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->command, b->command);
  EXPECT_EQ(a->timeoutSeconds, 5.0);
  EXPECT_EQ(b->timeoutSeconds, 5.0);

  auto replaced = parseWords({"list", "download", "--output", "/x"});
  ASSERT_TRUE(replaced);
  EXPECT_EQ(replaced->command, "download");
  EXPECT_EQ(replaced->outputDirectory, "/x");

  auto repeated = parseWords({"list", "--timeout", "10", "--timeout", "30", "--limit", "1",
                              "--limit", "7"});
  ASSERT_TRUE(repeated);
  EXPECT_EQ(repeated->timeoutSeconds, 30.0);
  EXPECT_EQ(repeated->limit, 7);
}

TEST(ArgumentsParse, OptionValuesAreTakenAsTheyStand) {
  auto a = parseWords({"download", "--output", "list"});
  ASSERT_TRUE(a);
  EXPECT_EQ(a->command, "download");
  EXPECT_EQ(a->outputDirectory, "/home/u/list");

  auto b = parseWords({"download", "--output", "--limit"});
  ASSERT_TRUE(b);
  EXPECT_EQ(b->outputDirectory, "/home/u/--limit");
  EXPECT_FALSE(b->limit);

  auto c = parseWords({"list", "--output", "/abs/dir"});
  ASSERT_TRUE(c);
  EXPECT_EQ(c->outputDirectory, "/abs/dir");  // kept, though list does not use it
}

TEST(ArgumentsParse, RejectsUnknownWordsAndMissingValues) {
  EXPECT_FALSE(parseWords({"LIST"}));
  EXPECT_FALSE(parseWords({"list", "--Output", "/x"}));
  EXPECT_FALSE(parseWords({"list", "extra"}));
  EXPECT_FALSE(parseWords({"list", "--timeout"}));
  EXPECT_FALSE(parseWords({"list", "--limit"}));
  EXPECT_FALSE(parseWords({"download", "--output"}));
  EXPECT_FALSE(parseWords({"list", ""}));
}

TEST(ArgumentsParse, TimeoutMustBeAWholeNumberText) {
  for (const char* bad : {"abc", "5s", "", " 5", "5 ", "\t5", "1,5"})
    EXPECT_FALSE(parseWords({"list", "--timeout", bad})) << "'" << bad << "'";
  for (auto [text, value] : std::vector<std::pair<const char*, double>>{
           {"0", 0.0}, {"-1", -1.0}, {"2.5", 2.5}, {"1e2", 100.0}, {"+3", 3.0}, {".5", 0.5}}) {
    auto parsed = parseWords({"list", "--timeout", text});
    ASSERT_TRUE(parsed) << text;
    EXPECT_EQ(parsed->timeoutSeconds, value) << text;
  }
}

TEST(ArgumentsParse, LimitMustBeASigned64BitInteger) {
  for (const char* bad : {"2.5", "abc", "", " 1", "1 ", "+-1", "-+1", "+", "-",
                          "9223372036854775808", "-9223372036854775809", "0x10", "1e3"})
    EXPECT_FALSE(parseWords({"list", "--limit", bad})) << "'" << bad << "'";
  for (auto [text, value] : std::vector<std::pair<const char*, std::int64_t>>{
           {"0", 0}, {"-5", -5}, {"+4", 4}, {"007", 7},
           {"9223372036854775807", INT64_MAX}, {"-9223372036854775808", INT64_MIN}}) {
    auto parsed = parseWords({"list", "--limit", text});
    ASSERT_TRUE(parsed) << text;
    EXPECT_EQ(parsed->limit, value) << text;
  }
}

TEST(ArgumentsParse, RelativeFolderJoinsTheWorkingDirectoryOnce) {
  EXPECT_EQ(Arguments::parse(std::vector<const char*>{"download", "--output", "a/b"}, "/w/")
                ->outputDirectory,
            "/w/a/b");
  EXPECT_EQ(Arguments::parse(std::vector<const char*>{"download", "--output", ""}, "/w")
                ->outputDirectory,
            "/w");
}

}  // namespace
}  // namespace tarnwick
