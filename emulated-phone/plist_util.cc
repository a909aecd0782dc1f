#include "plist_util.h"

#include <cstdlib>
#include <limits>

namespace emulated_phone {

PlistPtr parsePlist(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return nullptr;
  plist_t node = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &node);
  return PlistPtr(node);
}

std::string toXml(plist_t node) {
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(node, &xml, &length);
  std::string out;
  out.reserve(length);
  // libplist writes control bytes raw and its reader turns them into blanks;
  // as character references they come through intact. Tab, line feed and
  // carriage return survive as they are (and lay out the document).
  for (uint32_t i = 0; xml && i < length; ++i) {
    auto c = static_cast<unsigned char>(xml[i]);
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
      out += "&#" + std::to_string(c) + ";";
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  free(xml);
  return out;
}

std::optional<std::string> stringItem(plist_t dict, const char* key) {
  plist_t item = dict ? plist_dict_get_item(dict, key) : nullptr;
  if (!item || plist_get_node_type(item) != PLIST_STRING) return std::nullopt;
  char* value = nullptr;
  plist_get_string_val(item, &value);
  std::string out(value ? value : "");
  free(value);
  return out;
}

std::optional<uint64_t> uintItem(plist_t dict, const char* key) {
  plist_t item = dict ? plist_dict_get_item(dict, key) : nullptr;
  if (!item || plist_get_node_type(item) != PLIST_UINT) return std::nullopt;
  uint64_t value = 0;
  plist_get_uint_val(item, &value);
  return value;
}

std::optional<std::string> dataItem(plist_t dict, const char* key) {
  plist_t item = dict ? plist_dict_get_item(dict, key) : nullptr;
  if (!item || plist_get_node_type(item) != PLIST_DATA) return std::nullopt;
  char* value = nullptr;
  uint64_t length = 0;
  plist_get_data_val(item, &value, &length);
  std::string out(value ? value : "", value ? length : 0);
  free(value);
  return out;
}

PlistPtr newDict() { return PlistPtr(plist_new_dict()); }

void setString(plist_t dict, const char* key, std::string_view value) {
  // plist_new_string wants a NUL-terminated copy.
  std::string copy(value);
  plist_dict_set_item(dict, key, plist_new_string(copy.c_str()));
}

void setUint(plist_t dict, const char* key, uint64_t value) {
  plist_dict_set_item(dict, key, plist_new_uint(value));
}

void setBool(plist_t dict, const char* key, bool value) {
  plist_dict_set_item(dict, key, plist_new_bool(value ? 1 : 0));
}

void setData(plist_t dict, const char* key, std::string_view bytes) {
  plist_dict_set_item(dict, key, plist_new_data(bytes.data(), bytes.size()));
}

void setItem(plist_t dict, const char* key, PlistPtr value) {
  plist_dict_set_item(dict, key, value.release());
}

}  // namespace emulated_phone
