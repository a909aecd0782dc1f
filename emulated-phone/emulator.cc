#include "emulator.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "connection.h"
#include "connection_set.h"
#include "credentials.h"
#include "device.h"
#include "posix_file_system.h"
#include "stop_signal.h"
#include "tls_server.h"
#include "unique_fd.h"

namespace emulated_phone {

namespace {

int g_signal_pipe_write = -1;

extern "C" void onStopSignal(int) {
  int saved = errno;
  char byte = 1;
  if (g_signal_pipe_write >= 0) (void)!::write(g_signal_pipe_write, &byte, 1);
  errno = saved;
}

// Creates the listening socket; a stale socket file left by an earlier run
// is replaced, anything else at the path is left alone.
UniqueFd listenAt(const std::string& path, std::string* error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    *error = "socket path too long (at most " + std::to_string(sizeof address.sun_path - 1) +
             " bytes): " + path;
    return UniqueFd();
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      *error = "not a socket, left alone: " + path;
      return UniqueFd();
    }
    ::unlink(path.c_str());
  }
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd.get(), 64) != 0) {
    *error = "cannot listen on " + path + ": " + std::strerror(errno);
    return UniqueFd();
  }
  return fd;
}

}  // namespace

int runEmulator(const Options& options) {
  struct stat root_facts {};
  if (::stat(options.root.c_str(), &root_facts) != 0 || !S_ISDIR(root_facts.st_mode)) {
    std::fprintf(stderr, "emulated-phone: not a folder: %s\n", options.root.c_str());
    return 1;
  }
  std::string error;
  Credentials credentials;
  if (!generateCredentials(!options.faults.not_paired, &credentials, &error)) {
    std::fprintf(stderr, "emulated-phone: %s\n", error.c_str());
    return 1;
  }
  std::unique_ptr<TlsServer> tls =
      TlsServer::create(credentials.device_key.get(), credentials.device_cert.get(), &error);
  if (!tls) {
    std::fprintf(stderr, "emulated-phone: TLS: %s\n", error.c_str());
    return 1;
  }
  PosixFileSystem files(options.root);
  StopSignal stop;
  ConnectionSet connections;

  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("emulated-phone: pipe");
    return 1;
  }
  UniqueFd signal_read(pipe_fds[0]), signal_write(pipe_fds[1]);
  g_signal_pipe_write = signal_write.get();
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  UniqueFd listener = listenAt(options.socket_path, &error);
  if (!listener.valid()) {
    std::fprintf(stderr, "emulated-phone: %s\n", error.c_str());
    return 1;
  }
  // The phone counts its time (--detach-after) from the moment it is ready.
  Device device(options, std::move(credentials), Device::Clock::now());
  std::printf("%s\n", options.socket_path.c_str());
  std::fflush(stdout);

  Services services{device, *tls, files, stop};
  for (;;) {
    pollfd polled[2] = {{listener.get(), POLLIN, 0}, {signal_read.get(), POLLIN, 0}};
    if (::poll(polled, 2, -1) < 0) {
      if (errno == EINTR) continue;
      std::perror("emulated-phone: poll");
      break;
    }
    if (polled[1].revents) break;
    if (!(polled[0].revents & POLLIN)) continue;
    int fd = ::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    connections.reap();
    if (!connections.start(fd, [&services](int client) { serveConnection(client, services); })) {
      // Out of threads: this client is turned away, the others go on.
      std::fprintf(stderr, "emulated-phone: cannot serve a connection: no thread\n");
    }
  }

  stop.raise();
  listener.reset();
  ::unlink(options.socket_path.c_str());
  if (!connections.stopAll(std::chrono::seconds(3))) {
    // A thread that does not end would outlive what it uses: leave at once.
    std::fprintf(stderr, "emulated-phone: connections did not end, exiting anyway\n");
    std::fflush(stderr);
    _exit(0);
  }
  g_signal_pipe_write = -1;
  return 0;
}

}  // namespace emulated_phone
