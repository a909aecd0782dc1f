// Runs the Tarnwick binary (or a shell script around it) as a child and
// collects its report lines and exit status.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tarnwick_e2e {

extern const std::string kNotFound;

struct Result {
  int status = -1;
  std::vector<std::string> lines;
};

struct Child {
  pid_t pid = -1;
  int out = -1;
};

// Starts `sh -c script` with its standard output on a pipe.
Child spawnShell(const std::string& script);
// Reads the child's output to the end and waits for it.
Result finish(Child child);

}  // namespace tarnwick_e2e
