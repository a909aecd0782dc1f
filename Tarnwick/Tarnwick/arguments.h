// The parsed command line of Tarnwick.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tarnwick {

struct Arguments {
  std::string command;                         // "list", "download" or "debug"
  std::optional<std::string> outputDirectory;  // absolute folder path
  double timeoutSeconds = 60.0;
  std::optional<std::int64_t> limit;
  // download only: files the folder already holds are not transferred again.
  bool skipExisting = false;
  // list and download: the computer declares no formats it takes, so the
  // phone's own transfer setting chooses (it may convert HEIC to JPEG).
  bool letPhoneConvert = false;

  // Reads the words after the program path; nothing when they are not usable.
  // Relative output folders are taken below `workingDirectory`.
  static std::optional<Arguments> parse(std::span<const char* const> words,
                                        const std::string& workingDirectory);
};

// Written, with a line end, when the command line is not accepted. Its
// numbers are examples, not defaults: an absent --timeout is 60 seconds for
// every command, an absent --limit means every file.
inline constexpr std::string_view kUsage =
    "Usage:\n"
    "  Tarnwick list [--timeout 60] [--limit 20]\n"
    "  Tarnwick download --output /path/to/folder [--timeout 300] [--limit 0]\n"
    "  Tarnwick debug [--timeout 10]";

// Whole-text number readers used by the parser.
std::optional<double> parseSeconds(std::string_view text);
std::optional<std::int64_t> parseInteger(std::string_view text);

}  // namespace tarnwick
