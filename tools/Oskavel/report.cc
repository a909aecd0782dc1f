#include "report.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cinttypes>
#include <memory>

#include "oskavel.h"
#include "progress_line.h"
#include "utf8.h"

namespace {

FILE* g_out = stdout;
FILE* g_err = stderr;

// The progress line of a walk, while standard error is a terminal.
std::unique_ptr<progress::ProgressLine> g_progress;
// Standard output is that terminal too.
bool g_progress_shares_out = false;

// Takes the progress line off the terminal while one line goes to
// `stream`, when that is the terminal, and draws it again after.
class ProgressAside {
 public:
  explicit ProgressAside(FILE* stream)
      : stream_(stream),
        shared_(g_progress != nullptr && (stream == g_err || g_progress_shares_out)) {
    if (shared_) g_progress->clear();
  }
  ~ProgressAside() {
    if (!shared_) return;
    fflush(stream_);
    g_progress->restore();
  }
  ProgressAside(const ProgressAside&) = delete;
  ProgressAside& operator=(const ProgressAside&) = delete;

 private:
  FILE* stream_;
  bool shared_;
};

void progress_update() { g_progress->update(progress::Clock::now()); }

constexpr unsigned char kFirstPrintable = 0x20;
constexpr unsigned char kLastPrintable = 0x7E;
constexpr unsigned char kDelete = 0x7F;

// Writes `text`, every byte for which `escaped` holds as \xHH; the bytes
// between go out in runs, not one by one.
template <typename Escaped>
void print_escaped(FILE* stream, const char* text, Escaped escaped) {
  const char* run = text;
  for (const char* p = text; *p; ++p) {
    const auto byte = static_cast<unsigned char>(*p);
    if (!escaped(byte)) continue;
    fwrite(run, 1, static_cast<size_t>(p - run), stream);
    fprintf(stream, "\\x%02X", byte);
    run = p + 1;
  }
  fputs(run, stream);
}

// Every byte outside blank..tilde as \xHH: remote paths in ERROR: lines.
void print_safe_path(FILE* stream, const char* text) {
  print_escaped(stream, text, [](unsigned char byte) {
    return byte < kFirstPrintable || byte > kLastPrintable;
  });
}

// Control bytes as \xHH, everything else raw: result lines and local paths.
void print_report_text(FILE* stream, const char* text) {
  print_escaped(stream, text,
                [](unsigned char byte) { return byte < kFirstPrintable || byte == kDelete; });
}

// "TAG: text" on standard output.
void result_line(const char* tag, const char* text) {
  const ProgressAside aside(g_out);
  fputs(tag, g_out);
  print_report_text(g_out, text);
  fputc('\n', g_out);
}

// "message: local path" on standard error.
void local_line(const char* message, const char* local_path) {
  const ProgressAside aside(g_err);
  fputs(message, g_err);
  fputs(": ", g_err);
  print_report_text(g_err, local_path);
  fputc('\n', g_err);
}

}  // namespace

void report_use_streams(FILE* out, FILE* err) {
  g_out = out;
  g_err = err;
}

void report_prepare_streams() {
  // A stream closed at start keeps its number, held by a descriptor that
  // cannot be written: else the first socket or file the run opens would
  // take it and receive the report's lines. Writing fails instead.
  for (FILE* stream : {g_out, g_err}) {
    const int fd = fileno(stream);
    if (fd < 0 || fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int held = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (held >= 0 && held != fd) {
      dup2(held, fd);
      close(held);
    }
  }
  setvbuf(g_out, nullptr, _IOLBF, BUFSIZ);
  setvbuf(g_err, nullptr, _IOLBF, BUFSIZ);
}

void progress_begin(const char* start_path) {
  const int err = fileno(g_err);
  auto terminal = progress::terminalOn(err);
  if (terminal == nullptr) return;
  g_progress_shares_out = progress::isSameTerminal(fileno(g_out), err);
  g_progress = std::make_unique<progress::ProgressLine>(std::move(terminal));
  g_progress->status().label = start_path;
  progress_update();
}

void progress_folder(std::string_view remote_folder) {
  if (g_progress == nullptr) return;
  g_progress->status().label.assign(remote_folder);
  progress_update();
}

void progress_bytes(uint64_t count) {
  if (g_progress == nullptr) return;
  g_progress->status().bytes_done += count;
  progress_update();
}

void progress_file_done() {
  if (g_progress == nullptr) return;
  ++g_progress->status().files_done;
  progress_update();
}

void progress_end() { g_progress.reset(); }

void progress_erase_from_signal() { progress::eraseFromSignalHandler(); }

int finish_output(int status) {
  // Written and flushed without error, and closed: only then did the
  // report reach its reader.
  const bool flushed = fflush(g_out) == 0;
  const bool clean = flushed && ferror(g_out) == 0;
  const bool closed = fclose(g_out) == 0;
  if (status == kExitOk && !(clean && closed)) return kExitOutputLost;
  return status;
}

void report_device(const std::optional<std::string>& name) {
  const bool usable = name && name->size() < kNameBufferSize && is_utf8(*name);
  result_line("DEVICE: ", usable ? name->c_str() : "unknown");
}

void report_file(const char* remote_path) { result_line("FILE: ", remote_path); }

void report_downloaded(const char* remote_path) { result_line("DOWNLOADED: ", remote_path); }

void report_skipped(const char* remote_path) { result_line("SKIPPED: ", remote_path); }

void report_done(int32_t media, int32_t downloaded, int32_t failed) {
  const ProgressAside aside(g_out);
  fprintf(g_out, "DONE: media=%d downloaded=%d failed=%d\n", media, downloaded, failed);
}

void report_ls(const char* path) { result_line("LS: ", path); }

void report_entry(const std::string& name) { result_line("ENTRY: ", name.c_str()); }

void report_service(const char* name, int status, std::optional<int> root_status) {
  const ProgressAside aside(g_out);
  fprintf(g_out, "SERVICE: %s status=%d", name, status);
  if (root_status) fprintf(g_out, " root_status=%d", *root_status);
  fputc('\n', g_out);
}

void usage() {
  const ProgressAside aside(g_err);
  fputs(
      "Usage:\n"
      "  Oskavel list [--timeout 10] [--limit 20]\n"
      "  Oskavel download --output /path/to/folder [--timeout 60] [--limit 0]\n"
      "  Oskavel ls [--path /] [--timeout 10] [--service com.apple.afc]\n"
      "  Oskavel services [--timeout 10]\n",
      g_err);
}

void report_call_failed(const char* call, int status) {
  const ProgressAside aside(g_err);
  fprintf(g_err, "ERROR: %s status=%d\n", call, status);
}

void report_no_device() {
  const ProgressAside aside(g_err);
  fputs("ERROR: MobileDevice не увидел iPhone. Finder может видеть устройство, но AFC-доступ "
        "пока не открыт.\n",
        g_err);
}

void report_not_paired() {
  const ProgressAside aside(g_err);
  fputs("ERROR: iPhone не спарен с этим Mac. Разблокируйте iPhone и нажмите 'Доверять'.\n", g_err);
}

void report_no_file_service(const char* service_name, int status) {
  const ProgressAside aside(g_err);
  fprintf(g_err, "ERROR: не удалось открыть AFC-сервис %s status=%d\n", service_name, status);
}

void report_ls_failed(bool opening, const char* path, int status) {
  const ProgressAside aside(g_err);
  fprintf(g_err, opening ? "ERROR: не удалось открыть папку %s status=%d\n"
                         : "ERROR: чтение папки %s status=%d\n",
          path, status);
}

void report_remote(RemoteFailure what, int status, const char* remote_path) {
  const ProgressAside aside(g_err);
  const char* message = "";
  switch (what) {
    case RemoteFailure::kFolderOpen:
      message = "ERROR: не удалось открыть папку на iPhone";
      break;
    case RemoteFailure::kFolderRead:
      message = "ERROR: ошибка чтения папки на iPhone";
      break;
    case RemoteFailure::kFileOpen:
      message = "ERROR: не удалось открыть файл на iPhone";
      break;
    case RemoteFailure::kFileSize:
      message = "ERROR: не удалось узнать размер файла на iPhone";
      break;
    case RemoteFailure::kFileRead:
      message = "ERROR: ошибка чтения с iPhone";
      break;
  }
  fprintf(g_err, "%s status=%d path=", message, status);
  print_safe_path(g_err, remote_path);
  fputc('\n', g_err);
}

void report_size_mismatch(uint64_t received, uint64_t expected, const char* remote_path) {
  const ProgressAside aside(g_err);
  fprintf(g_err,
          "ERROR: размер файла не совпал с iPhone (получено %" PRIu64 ", ожидалось %" PRIu64
          ") path=",
          received, expected);
  print_safe_path(g_err, remote_path);
  fputc('\n', g_err);
}

void report_unsafe_name(const char* folder, const std::string& name) {
  const ProgressAside aside(g_err);
  fputs("ERROR: пропущено небезопасное имя в папке path=", g_err);
  print_safe_path(g_err, folder);
  fputs(" name=", g_err);
  print_safe_path(g_err, name.c_str());
  fputc('\n', g_err);
}

void report_long_remote_path(const char* parent, const std::string& name) {
  const ProgressAside aside(g_err);
  fputs("ERROR: слишком длинный путь path=", g_err);
  if (std::string(parent) != "/") print_safe_path(g_err, parent);
  fputc('/', g_err);
  print_safe_path(g_err, name.c_str());
  fputc('\n', g_err);
}

void report_long_local_path(const char* output, const char* remote_path) {
  const ProgressAside aside(g_err);
  while (*remote_path == '/') ++remote_path;
  fputs("ERROR: слишком длинный путь path=", g_err);
  print_report_text(g_err, output);
  fputc('/', g_err);
  print_report_text(g_err, remote_path);
  fputc('\n', g_err);
}

void report_parent_component(const char* remote_path) {
  const ProgressAside aside(g_err);
  fputs("ERROR: путь с '..' не станет локальным path=", g_err);
  print_safe_path(g_err, remote_path);
  fputc('\n', g_err);
}

void report_local(LocalFailure what, const char* local_path) {
  switch (what) {
    case LocalFailure::kFolder:
      local_line("ERROR: не удалось создать папку", local_path);
      break;
    case LocalFailure::kFile:
      local_line("ERROR: не удалось создать файл", local_path);
      break;
    case LocalFailure::kWrite:
      local_line("ERROR: ошибка записи файла", local_path);
      break;
  }
}

bool is_utf8(const std::string& text) {
  return text.find('\0') == std::string::npos && utf8::isWellFormed(text);
}
