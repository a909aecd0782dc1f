// The emulator process: makes the phone's credentials, listens on the
// usbmuxd socket, serves each connection on a thread of its own, and stops
// cleanly on SIGTERM or SIGINT.
#pragma once

#include "options.h"

namespace emulated_phone {

// Runs until a stop signal; returns the process exit status.
int runEmulator(const Options& options);

}  // namespace emulated_phone
