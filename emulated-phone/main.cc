// emulated-phone: serves a local folder as an attached iPhone's AFC file
// system on a usbmuxd socket. See README.md for the options.
#include <cstdio>
#include <string>
#include <vector>

#include "emulator.h"
#include "options.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(emulated_phone::kUsage, stdout);
    return 0;
  }
  emulated_phone::Options options;
  std::string error;
  if (!emulated_phone::parseOptions(args, &options, &error)) {
    std::fprintf(stderr, "emulated-phone: %s\n%s", error.c_str(), emulated_phone::kUsage);
    return 64;
  }
  return emulated_phone::runEmulator(options);
}
