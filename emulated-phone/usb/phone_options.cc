#include "phone_options.h"

#include <cerrno>
#include <cstdlib>

namespace emulated_phone::usb {

const char kPhoneUsage[] =
    "Usage: emulated-phone-usb --root DIR [--time-zone TZ] [--serial SERIAL]\n"
    "         [--trust-after SECONDS | --never-trust] [--enumerate-after SECONDS]\n"
    "         [--automatic [--movie-delay SECONDS]] [--refuse-apple-ops]\n"
    "         [--large PATH:BYTES] [--announce NAME:BYTES] [--show-name NAME=SHOWN]\n"
    "         [--dates NAME=CAPTURE,MODIFICATION] [--unplug-after-bytes N]\n"
    "         [--unplug-after-answers N] [--unplug-at-session-open] [--stall-at-bytes N]\n"
    "         [--busy OPCODE:N] [--conversion-fails NAME] [--duplicate NAME]\n"
    "         [--modification-shift SECONDS] [--link usb2|usb3] [--no-usbmux] [--trace]\n"
    "         [--second-phone DIR] [--replug-after SECONDS [--replug-gap MS]]\n"
    "         -- COMMAND [ARGUMENT...]\n";

namespace {

bool seconds(const std::string& text, double* out) {
  char* end = nullptr;
  errno = 0;
  *out = std::strtod(text.c_str(), &end);
  return !text.empty() && errno == 0 && *end == '\0' && *out >= 0;
}

bool count(const std::string& text, uint64_t* out) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  *out = std::strtoull(text.c_str(), &end, 10);
  return errno == 0 && *end == '\0';
}

// "KEY<sep>VALUE" split at the last separator (names may hold it).
bool splitLast(const std::string& text, char separator, std::string* key, std::string* value) {
  const auto at = text.rfind(separator);
  if (at == std::string::npos || at == 0) return false;
  *key = text.substr(0, at);
  *value = text.substr(at + 1);
  return true;
}

// A path under the root: no empty name, no "." or "..".
bool relativePath(std::string path, std::string* out) {
  while (!path.empty() && path.front() == '/') path.erase(0, 1);
  if (path.empty() || path.back() == '/') return false;
  size_t from = 0;
  for (;;) {
    const auto slash = path.find('/', from);
    const std::string part = path.substr(from, slash == std::string::npos ? std::string::npos : slash - from);
    if (part.empty() || part == "." || part == "..") return false;
    if (slash == std::string::npos) break;
    from = slash + 1;
  }
  *out = path;
  return true;
}

}  // namespace

bool parsePhoneOptions(const std::vector<std::string>& args, PhoneOptions* o, std::string* error) {
  auto bad = [&](const std::string& option, const std::string& value) {
    *error = "bad value for " + option + ": " + value;
    return false;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--") {
      o->command.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      break;
    }
    if (a == "--unplug-at-session-open") {
      o->phone.unplug_at_session_open = true;
      continue;
    }
    if (a == "--never-trust") {
      o->phone.trust_after = -1;
      continue;
    }
    if (a == "--trace") {
      o->phone.trace = true;
      continue;
    }
    if (a == "--automatic") {
      o->phone.automatic = true;
      continue;
    }
    if (a == "--no-usbmux") {
      o->usb.usbmux = false;
      continue;
    }
    if (a == "--refuse-apple-ops") {
      o->phone.refuse_apple_ops = true;
      continue;
    }
    if (a.rfind("--", 0) != 0) {
      *error = "unexpected argument: " + a;
      return false;
    }
    if (i + 1 >= args.size()) {
      *error = a + " needs a value";
      return false;
    }
    const std::string& v = args[++i];
    std::string key, rest;
    double n = 0;
    uint64_t bytes = 0;
    if (a == "--root") {
      o->root = v;
    } else if (a == "--second-phone") {
      o->second_root = v;
    } else if (a == "--time-zone") {
      o->time_zone = v;
    } else if (a == "--serial") {
      o->phone.serial = o->usb.serial = v;
    } else if (a == "--conversion-fails") {
      o->phone.conversion_fails.insert(v);
    } else if (a == "--duplicate") {
      o->phone.catalogue.duplicated.insert(v);
    } else if (a == "--link") {
      if (v == "usb2") {
        o->usb.link_bytes_per_second = 35e6;
      } else if (v == "usb3") {
        o->usb.link_bytes_per_second = 400e6;
        o->usb.speed_mbps = 5000;
      } else {
        return bad(a, v);
      }
    } else if (a == "--busy") {
      char* end = nullptr;
      if (!splitLast(v, ':', &key, &rest) || !count(rest, &bytes) || bytes > 1000000) return bad(a, v);
      const unsigned long code = std::strtoul(key.c_str(), &end, 16);
      if (*end != '\0' || code == 0 || code > 0xffff) return bad(a, v);
      o->phone.busy[static_cast<uint16_t>(code)] = static_cast<int>(bytes);
    } else if (a == "--modification-shift") {
      char* end = nullptr;
      errno = 0;
      o->phone.modification_shift = std::strtoll(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || errno != 0) return bad(a, v);
    } else if (a == "--large") {
      if (!splitLast(v, ':', &key, &rest) || !count(rest, &bytes) || !relativePath(key, &key)) return bad(a, v);
      o->phone.catalogue.large[key] = bytes;
    } else if (a == "--announce") {
      if (!splitLast(v, ':', &key, &rest) || !count(rest, &bytes)) return bad(a, v);
      o->phone.announce[key] = bytes;
    } else if (a == "--show-name") {
      std::u16string shown;
      if (!splitLast(v, '=', &key, &rest) || rest.empty() || !utf16WithEscapes(rest, &shown)) return bad(a, v);
      o->phone.show_names[key] = shown;
    } else if (a == "--dates") {
      // NAME=CAPTURE,MODIFICATION: NAME up to the first "=", CAPTURE up to the next ",".
      const auto equals = v.find('=');
      const auto comma = equals == std::string::npos ? std::string::npos : v.find(',', equals);
      if (equals == 0 || comma == std::string::npos) return bad(a, v);
      o->phone.dates[v.substr(0, equals)] = {v.substr(equals + 1, comma - equals - 1), v.substr(comma + 1)};
    } else if (!seconds(v, &n)) {
      return bad(a, v);
    } else if (a == "--trust-after") {
      o->phone.trust_after = n;
    } else if (a == "--enumerate-after") {
      o->phone.enumerate_after = n;
    } else if (a == "--movie-delay") {
      o->phone.movie_delay = n;
    } else if (a == "--replug-after") {
      o->replug_after = n;
    } else if (a == "--replug-gap") {
      o->replug_gap_ms = n;
    } else if (a == "--unplug-after-bytes") {
      o->cable.unplug_after_object_bytes = static_cast<int64_t>(n);
    } else if (a == "--stall-at-bytes") {
      o->cable.stall_at_object_bytes = static_cast<int64_t>(n);
    } else if (a == "--unplug-after-answers") {
      o->phone.catalogue_answers_before_unplug = static_cast<long>(n);
    } else {
      *error = "unknown option: " + a;
      return false;
    }
  }
  if (o->root.empty()) {
    *error = "--root is required";
    return false;
  }
  if (o->command.empty()) {
    *error = "no command after --";
    return false;
  }
  return true;
}

}  // namespace emulated_phone::usb
