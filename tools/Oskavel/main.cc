// Oskavel's entry point: the device-service operations run over
// libimobiledevice here.
#include "libimobiledevice_backend.h"
#include "oskavel.h"

int main(int argc, char** argv) {
  mobiledevice::SetBackend(mobiledevice::NewLibimobiledeviceBackend());
  const int status = oskavel_main(argc, argv);
  // Ends the library's event thread before the process exits.
  mobiledevice::SetBackend(nullptr);
  return status;
}
