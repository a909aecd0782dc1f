#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace emulated_phone {

const char kUsage[] =
    "usage: emulated-phone --root DIR --socket PATH [--name NAME] [--udid UDID]\n"
    "                      [--product-version VER] [fault options]\n"
    "faults: --not-paired  --pair=refuse|pending  --validate-error[=NAME]\n"
    "        --session-error[=NAME]  --refuse-service NAME\n"
    "        --afc-no-connection[=refuse|close]  --readdir-status PATH=CODE\n"
    "        --hostile-names PATH  --read-error PATH@OFFSET  --drop-at PATH@OFFSET\n"
    "        --stall PATH@OFFSET  --cut-packet PATH@OFFSET\n"
    "        --cut-listing PATH@BYTES  --stall-listing PATH@BYTES  --out-of-step PATH\n"
    "        --stall-then-close MS  --service-tls\n"
    "        --detach-after SECONDS  --latency-ms N\n";

namespace {

bool parseUint(std::string_view text, uint64_t* out) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *out = value;
  return true;
}

// "PATH<sep>NUMBER", split at the last separator so the path may contain it.
bool parsePathNumber(std::string_view text, char sep, std::string* path, uint64_t* number) {
  size_t at = text.rfind(sep);
  if (at == std::string_view::npos || at == 0) return false;
  if (!parseUint(text.substr(at + 1), number)) return false;
  *path = std::string(text.substr(0, at));
  return true;
}

}  // namespace

bool parseOptions(const std::vector<std::string>& args, Options* out, std::string* error) {
  Options o;
  Faults& f = o.faults;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](std::string* v) {
      if (i + 1 >= args.size()) {
        *error = arg + " needs a value";
        return false;
      }
      *v = args[++i];
      return true;
    };
    std::string v;
    if (arg == "--root") {
      if (!value(&o.root)) return false;
    } else if (arg == "--socket") {
      if (!value(&o.socket_path)) return false;
    } else if (arg == "--name") {
      if (!value(&o.name)) return false;
    } else if (arg == "--udid") {
      if (!value(&o.udid)) return false;
    } else if (arg == "--product-version") {
      if (!value(&o.product_version)) return false;
    } else if (arg == "--not-paired") {
      f.not_paired = true;
    } else if (arg == "--pair=refuse") {
      f.pair = PairAnswer::kRefuse;
    } else if (arg == "--pair=pending") {
      f.pair = PairAnswer::kPending;
    } else if (arg == "--validate-error") {
      f.validate_error = "InvalidHostID";
    } else if (arg.starts_with("--validate-error=") && arg.size() > 17) {
      f.validate_error = arg.substr(17);
    } else if (arg == "--session-error") {
      f.session_error = "InvalidHostID";
    } else if (arg.starts_with("--session-error=") && arg.size() > 16) {
      f.session_error = arg.substr(16);
    } else if (arg == "--refuse-service") {
      if (!value(&v)) return false;
      f.refused_services.insert(v);
    } else if (arg == "--afc-no-connection" || arg == "--afc-no-connection=refuse") {
      f.afc_connect = AfcConnectFault::kRefuse;
    } else if (arg == "--afc-no-connection=close") {
      f.afc_connect = AfcConnectFault::kClose;
    } else if (arg == "--readdir-status") {
      if (!value(&v)) return false;
      std::string path;
      uint64_t code = 0;
      if (!parsePathNumber(v, '=', &path, &code)) {
        *error = "--readdir-status wants PATH=CODE, got " + v;
        return false;
      }
      f.readdir_status[path] = code;
    } else if (arg == "--hostile-names") {
      if (!value(&v)) return false;
      f.hostile_names.insert(v);
    } else if (arg == "--out-of-step") {
      if (!value(&v)) return false;
      f.out_of_step.insert(v);
    } else if (arg == "--service-tls") {
      f.service_tls = true;
    } else if (arg == "--stall-then-close") {
      if (!value(&v)) return false;
      uint64_t ms = 0;
      if (!parseUint(v, &ms) || ms > 600000) {
        *error = "--stall-then-close wants milliseconds (at most 600000), got " + v;
        return false;
      }
      f.stall_close_ms = static_cast<unsigned>(ms);
    } else if (arg == "--cut-listing" || arg == "--stall-listing") {
      if (!value(&v)) return false;
      std::string path;
      uint64_t bytes = 0;
      if (!parsePathNumber(v, '@', &path, &bytes)) {
        *error = arg + " wants PATH@BYTES, got " + v;
        return false;
      }
      (arg == "--cut-listing" ? f.cut_listing_at : f.stall_listing_at)[path] = bytes;
    } else if (arg == "--read-error" || arg == "--drop-at" || arg == "--stall" ||
               arg == "--cut-packet") {
      if (!value(&v)) return false;
      std::string path;
      uint64_t offset = 0;
      if (!parsePathNumber(v, '@', &path, &offset)) {
        *error = arg + " wants PATH@OFFSET, got " + v;
        return false;
      }
      auto& table = arg == "--read-error" ? f.read_error_at
                    : arg == "--drop-at"  ? f.drop_at
                    : arg == "--stall"    ? f.stall_at
                                          : f.cut_packet_at;
      table[path] = offset;
    } else if (arg == "--detach-after") {
      if (!value(&v)) return false;
      char* end = nullptr;
      errno = 0;
      double seconds = std::strtod(v.c_str(), &end);
      if (v.empty() || *end != '\0' || errno != 0 || !std::isfinite(seconds) || seconds < 0 ||
          seconds > 1e6) {
        *error = "--detach-after wants a number of seconds, got " + v;
        return false;
      }
      f.detach_after_seconds = seconds;
    } else if (arg == "--latency-ms") {
      if (!value(&v)) return false;
      uint64_t ms = 0;
      if (!parseUint(v, &ms) || ms > 600000) {
        *error = "--latency-ms wants milliseconds (at most 600000), got " + v;
        return false;
      }
      f.latency_ms = static_cast<unsigned>(ms);
    } else {
      *error = "unknown option: " + arg;
      return false;
    }
  }
  if (o.root.empty() || o.socket_path.empty()) {
    *error = "--root and --socket are required";
    return false;
  }
  *out = std::move(o);
  return true;
}

}  // namespace emulated_phone
