#include "e2e_process.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>


extern char** environ;

namespace tarnwick_e2e {

const std::string kNotFound =
    "ERROR: телефон не найден через системный импорт фото или не успел отдать список файлов. "
    "Проверьте кабель, разблокируйте телефон и выберите режим USB «Передача фото/PTP».";

namespace {

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace

Child spawnShell(const std::string& script) {
  Child child;
  int fds[2];
  if (::pipe(fds) != 0) return child;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addclose(&actions, fds[1]);
  const char* argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
  if (posix_spawn(&child.pid, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ) != 0)
    child.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  child.out = fds[0];
  return child;
}

Result finish(Child child) {
  Result result;
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(child.out, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
  ::close(child.out);
  int status = 0;
  if (child.pid > 0 && ::waitpid(child.pid, &status, 0) == child.pid)
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.lines = splitLines(text);
  return result;
}

}  // namespace tarnwick_e2e
