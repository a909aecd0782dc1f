// For the end-to-end tests of the progress line: a program run with its
// standard streams on a pseudo-terminal, and the rows a person would see.
#pragma once

#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

namespace progress_testing {

struct TerminalRun {
  int status = -1;     // 128 + N when signal N ended it
  std::string bytes;   // every byte the terminal received
};

// Runs `child` (which execs the program) on a terminal of 24 rows and 40
// columns; `meanwhile` gets its pid while it runs.
inline TerminalRun onTerminal(const std::function<void()>& child,
                              const std::function<void(pid_t)>& meanwhile = {}) {
  struct winsize size {};
  size.ws_row = 24;
  size.ws_col = 40;
  int terminal = -1;
  const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, &size);
  if (pid == 0) {
    child();
    ::_exit(127);
  }
  TerminalRun run;
  if (pid < 0) return run;
  if (meanwhile) meanwhile(pid);
  char buffer[4096];
  for (ssize_t n; (n = ::read(terminal, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR);)
    if (n > 0) run.bytes.append(buffer, static_cast<std::size_t>(n));
  ::close(terminal);
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

// The rows a terminal shows after `bytes`, blanks at their ends cut.
inline std::vector<std::string> screen(const std::string& bytes) {
  std::vector<std::string> rows(1);
  std::size_t column = 0;
  for (char c : bytes) {
    if (c == '\r' || c == '\n') {
      column = 0;
      if (c == '\n') rows.emplace_back();
      continue;
    }
    if (rows.back().size() <= column) rows.back().resize(column + 1, ' ');
    rows.back()[column++] = c;
  }
  for (auto& row : rows) row.erase(row.find_last_not_of(' ') + 1);
  return rows;
}

}  // namespace progress_testing
