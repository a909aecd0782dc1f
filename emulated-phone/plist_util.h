// Small owning wrapper and accessors for libplist values.
#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace emulated_phone {

struct PlistDeleter {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// Parses an XML or binary property list; null when it is neither.
PlistPtr parsePlist(std::string_view bytes);
// The XML form of a property list.
std::string toXml(plist_t node);

// Typed reads of a dictionary item; nullopt when missing or of another type.
std::optional<std::string> stringItem(plist_t dict, const char* key);
std::optional<uint64_t> uintItem(plist_t dict, const char* key);
std::optional<std::string> dataItem(plist_t dict, const char* key);

PlistPtr newDict();
void setString(plist_t dict, const char* key, std::string_view value);
void setUint(plist_t dict, const char* key, uint64_t value);
void setBool(plist_t dict, const char* key, bool value);
void setData(plist_t dict, const char* key, std::string_view bytes);
// Hands `value` over to the dictionary.
void setItem(plist_t dict, const char* key, PlistPtr value);

}  // namespace emulated_phone
