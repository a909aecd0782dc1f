// Report lines are safe whatever a device sends: a name or a message from
// the device can neither end a line nor forge another one.
#pragma once

#include <string>
#include <string_view>

namespace tarnwick {

// `text` with every control byte (0x00-0x1F, 0x7F) written as \xHH in
// upper-case hex; every other byte, UTF-8 included, stays as it is.
std::string escapeControlBytes(std::string_view text);

}  // namespace tarnwick
