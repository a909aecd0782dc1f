// Oskavel's entry point: the phone is reached through libimobiledevice.
#include <signal.h>

#include "libimobiledevice_phone.h"
#include "oskavel.h"
#include "temp_file.h"

int main(int argc, char** argv) {
  // A phone that goes away leaves a dead socket: writing to it must be an
  // error the program reports, never a signal that ends it.
  signal(SIGPIPE, SIG_IGN);
  report_prepare_streams();
  TempFile::removeOnSignals(progress_erase_from_signal);
  int status = 0;
  {
    auto phone = phone::newLibimobiledevicePhone();
    status = oskavel_main(*phone, argc, argv);
  }
  return finish_output(status);
}
