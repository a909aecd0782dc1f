#include "arguments.h"

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <string>

namespace tarnwick {

std::optional<double> parseSeconds(std::string_view text) {
  // strtod skips leading blanks; the whole text must be the number.
  if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) return std::nullopt;
  std::string copy(text);  // strtod needs a terminated string
  char* end = nullptr;
  // The program never calls setlocale, so this reads in the C locale.
  double value = std::strtod(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size()) return std::nullopt;
  return value;
}

std::optional<std::int64_t> parseInteger(std::string_view text) {
  // from_chars takes a minus sign but no plus sign.
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return std::nullopt;
  }
  if (text.empty()) return std::nullopt;
  std::int64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

namespace {

std::string absoluteFolder(const std::string& path, const std::string& workingDirectory) {
  if (!path.empty() && path.front() == '/') return path;
  if (path.empty()) return workingDirectory;
  if (!workingDirectory.empty() && workingDirectory.back() == '/') return workingDirectory + path;
  return workingDirectory + "/" + path;
}

}  // namespace

std::optional<Arguments> Arguments::parse(std::span<const char* const> words,
                                          const std::string& workingDirectory) {
  std::optional<std::string> command;
  std::optional<std::string> output;
  double timeout = 60.0;
  std::optional<std::int64_t> limit;
  bool skipExisting = false;
  bool letPhoneConvert = false;

  for (std::size_t i = 0; i < words.size(); ++i) {
    std::string_view word = words[i] ? words[i] : "";
    if (word == "list" || word == "download" || word == "debug") {
      command = std::string(word);
    } else if (word == "--skip-existing") {
      skipExisting = true;
    } else if (word == "--let-phone-convert") {
      letPhoneConvert = true;
    } else if (word == "--output" || word == "--timeout" || word == "--limit") {
      if (++i >= words.size() || words[i] == nullptr) return std::nullopt;
      std::string_view value = words[i];
      if (word == "--output") {
        output = absoluteFolder(std::string(value), workingDirectory);
      } else if (word == "--timeout") {
        auto seconds = parseSeconds(value);
        if (!seconds) return std::nullopt;
        timeout = *seconds;
      } else {
        auto number = parseInteger(value);
        if (!number) return std::nullopt;
        limit = *number;
      }
    } else {
      return std::nullopt;
    }
  }
  if (!command) return std::nullopt;
  if (*command == "download" && !output) return std::nullopt;
  if (skipExisting && *command != "download") return std::nullopt;
  if (letPhoneConvert && *command == "debug") return std::nullopt;
  return Arguments{*command, output, timeout, limit, skipExisting, letPhoneConvert};
}

}  // namespace tarnwick
