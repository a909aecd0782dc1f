// emulated-phone-usb's command line: what to serve, as which phone, with
// which faults, and the command to run under it.
#pragma once

#include <string>
#include <vector>

#include "ptp_phone.h"
#include "usb_link.h"

namespace emulated_phone::usb {

struct PhoneOptions {
  std::string root;
  std::string time_zone;  // the phone's; empty: this program's own
  PhoneSetup phone;
  CableFaults cable;
  UsbSetup usb;
  std::string second_root;   // a second phone on the bus, serving this folder
  double replug_after = -1;  // < 0: never
  double replug_gap_ms = 1000;
  std::vector<std::string> command;
};

extern const char kPhoneUsage[];

// Parses argv[1..]. On an unusable command line returns false and says why
// in *error.
bool parsePhoneOptions(const std::vector<std::string>& args, PhoneOptions* out, std::string* error);

}  // namespace emulated_phone::usb
