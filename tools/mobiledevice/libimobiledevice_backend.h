// The backend over libimobiledevice, libusbmuxd and libplist: finds phones
// through usbmuxd (its socket, or USBMUXD_SOCKET_ADDRESS as libusbmuxd reads
// it), talks lockdown for pairing, sessions and services, and AFC for files.
#pragma once

#include <memory>

#include "backend.h"

namespace mobiledevice {

std::unique_ptr<Backend> NewLibimobiledeviceBackend();

}  // namespace mobiledevice
