// Tarnwick: lists or downloads the photos and videos of a phone attached as a
// camera, or lists the devices that the device browser sees.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "arguments.h"
#include "main_run_loop.h"
#include "media_files.h"
#include "phone_importer.h"
#include "progress_line.h"
#include "ptp_image_capture.h"
#include "safe_publish.h"

namespace {

// How long the end of the run waits for the phone to let go: a transfer in
// progress is cancelled, the session closed.
constexpr std::chrono::milliseconds kStopGrace{3000};

// Standard output is line buffered: each line goes out as soon as it is
// complete, so whatever ends the run leaves every line already due.
void writeToOutput(std::string_view line) {
  std::string text(line);
  text += '\n';
  std::fwrite(text.data(), 1, text.size(), stdout);
}

// The downloads' progress line on standard error, only while it is a
// terminal; taken off that terminal around each report line that reaches
// it too, and at the end.
class TerminalProgress final : public tarnwick::ProgressDisplay {
 public:
  TerminalProgress()
      : line_(progress::terminalOn(STDERR_FILENO)),
        sharesOutput_(line_.active() && progress::isSameTerminal(STDOUT_FILENO, STDERR_FILENO)) {
    // A signal that ends the run takes the line off too.
    imagecapture::alsoOnInterrupt(progress::eraseFromSignalHandler);
  }
  void show(const progress::Status& status) override {
    line_.status() = status;
    line_.update(progress::Clock::now());
  }
  void end() override { line_.finish(); }

  void writeLine(std::string_view line) {
    if (sharesOutput_) line_.clear();
    writeToOutput(line);
    if (!sharesOutput_) return;
    std::fflush(stdout);
    line_.restore();
  }

 private:
  progress::ProgressLine line_;
  bool sharesOutput_;
};

// A run that went well fails after all when its report did not reach
// standard output (a full disk, a closed stream): the caller has no report.
// Any other status stays.
int statusAfterReport(int status) {
  if (status == 0 && (std::fflush(stdout) != 0 || std::ferror(stdout))) return 1;
  return status;
}

// With standard output closed, the next file opened (a download's temporary,
// the device) would take descriptor 1 and receive the report. It gets a
// descriptor that refuses writes instead, as a closed one does.
void keepStandardOutputTaken() {
  if (::fcntl(STDOUT_FILENO, F_GETFD) != -1 || errno != EBADF) return;
  const int fd = ::open("/dev/null", O_RDONLY);  // descriptor 1 itself, unless 0 was free too
  if (fd >= 0 && fd != STDOUT_FILENO) {
    ::dup2(fd, STDOUT_FILENO);
    if (fd != STDIN_FILENO) ::close(fd);
  }
}

std::string workingDirectory() {
  std::vector<char> buffer(4096);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (buffer.size() > (1u << 20)) return ".";
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

}  // namespace

int main(int argc, char** argv) {
  keepStandardOutputTaken();
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  tarnwick::supportedExtensions();
  auto arguments = tarnwick::Arguments::parse(
      std::span<const char* const>(argv + (argc > 0 ? 1 : 0), argc > 0 ? argc - 1 : 0),
      workingDirectory());
  if (!arguments) {
    writeToOutput(tarnwick::kUsage);
    return 64;
  }
  int status = 0;
  {
    auto& loop = runloop::RunLoop::current();
    imagecapture::MainRunLoop mainLoop(loop);
    imagecapture::PtpImageCapture library(loop);
    TerminalProgress progress;
    tarnwick::PhoneImporter importer(*std::move(arguments), library.makeDeviceBrowser(), mainLoop,
                                     [&](std::string_view line) { progress.writeLine(line); }, &progress);
    status = importer.run();
    progress.end();
    // A transfer still running at the deadline is cancelled and leaves
    // nothing behind. A worker stuck in a call that does not return is not
    // waited for: the run is over, its report is written.
    if (!library.stop(kStopGrace)) std::exit(statusAfterReport(status));
  }
  return statusAfterReport(status);
}
