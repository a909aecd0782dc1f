// One client connection to the emulated usbmuxd socket, from its first
// request to its end: usbmuxd queries, then perhaps a Listen, or a Connect
// after which the socket carries lockdown or a service.
#pragma once

#include "device.h"
#include "file_system.h"
#include "stop_signal.h"
#include "tls_server.h"
#include "unique_fd.h"

namespace emulated_phone {

struct Services {
  Device& device;
  TlsServer& tls;
  FileSystem& files;
  const StopSignal& stop;
};

void serveConnection(int fd, const Services& services);

}  // namespace emulated_phone
