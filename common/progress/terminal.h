// The terminal a progress line is drawn on: an interface, with one real
// implementation over a file descriptor and a fake in the tests.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

namespace progress {

class Terminal {
 public:
  virtual ~Terminal() = default;
  // Its width now (it may change while a program runs).
  virtual size_t columns() = 0;
  // Whether this process is in the terminal's foreground: a program sent
  // to the background does not keep drawing over the shell.
  virtual bool inForeground() = 0;
  virtual void write(std::string_view bytes) = 0;
  // How many columns of the current row the progress line now covers (0:
  // none), so that a signal handler can erase it.
  virtual void covers(size_t columns) { (void)columns; }
};

// The terminal on `fd`, or none when `fd` is not a terminal.
std::unique_ptr<Terminal> terminalOn(int fd);

// Whether both descriptors are the same terminal, so that what one writes
// appears on the other's row.
bool isSameTerminal(int fd, int other_fd);

// Erases the progress line from the terminal (the last one made with
// terminalOn that is still there). Safe in a signal handler: call it from a
// handler that ends the program.
void eraseFromSignalHandler();

}  // namespace progress
