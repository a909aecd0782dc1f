// Well-formed UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing
// above U+10FFFF. What a phone sends as a name is read with these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace utf8 {

// The length of the well-formed character that `text` starts with, with
// its code point in *code_point; 0 when `text` does not start with one.
size_t decode(std::string_view text, uint32_t* code_point);

// Whether all of `text` is well-formed characters.
bool isWellFormed(std::string_view text);

}  // namespace utf8
