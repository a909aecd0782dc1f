#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string>

#include "oskavel.h"

namespace {

// A remote file open for reading; closed on every way out.
class RemoteFile {
 public:
  RemoteFile(AFCConnectionRef connection, AFCFileRef file)
      : connection_(connection), file_(file) {}
  RemoteFile(const RemoteFile&) = delete;
  RemoteFile& operator=(const RemoteFile&) = delete;
  ~RemoteFile() {
    if (open_) AFCFileRefClose(connection_, file_);
  }
  int Close() {
    open_ = false;
    return AFCFileRefClose(connection_, file_);
  }

 private:
  AFCConnectionRef connection_;
  AFCFileRef file_;
  bool open_ = true;
};

// The local copy is written to a temporary file beside its final name and
// renamed over it only once it is complete; on every other way out the
// temporary file is removed, so an earlier complete copy stays untouched.
class TempFile {
 public:
  TempFile() = default;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (file_) fclose(file_);
    if (!path_.empty() && !committed_) unlink(path_.c_str());
  }

  bool Create(const char* final_path) {
    std::string folder = final_path;
    const auto slash = folder.rfind('/');
    folder = slash == std::string::npos ? std::string(".") : folder.substr(0, slash + 1);
    std::string pattern = folder + (folder.back() == '/' ? "" : "/") + ".oskavel-XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd < 0) return false;
    path_ = pattern;
    // The permissions "wb" would have given: 0666 less the creation mask.
    fchmod(fd, 0666 & ~CreationMask());
    file_ = fdopen(fd, "wb");
    if (file_ == nullptr) {
      close(fd);
      return false;
    }
    // Chunks arrive in 64 KiB: each goes to the file in one write, not as a
    // stream buffer's worth and a remainder.
    setvbuf(file_, nullptr, _IONBF, 0);
    return true;
  }

  FILE* file() { return file_; }

  // Flushes, gives the file the phone's modification time and closes it;
  // -1 when any write or the close failed.
  int Finish(bool has_mtime, int64_t mtime_ns) {
    FILE* file = file_;
    file_ = nullptr;
    bool ok = fflush(file) == 0 && ferror(file) == 0;
    if (ok && has_mtime) {
      struct timespec times[2];
      times[0].tv_sec = 0;
      times[0].tv_nsec = UTIME_OMIT;
      times[1].tv_sec = static_cast<time_t>(mtime_ns / 1000000000);
      times[1].tv_nsec = static_cast<long>(mtime_ns % 1000000000);
      futimens(fileno(file), times);  // a time that cannot be set loses no data
    }
    if (fclose(file) != 0) ok = false;
    return ok ? 0 : -1;
  }

  int CommitAs(const char* final_path) {
    if (rename(path_.c_str(), final_path) != 0) return -1;
    committed_ = true;
    return 0;
  }

 private:
  static mode_t CreationMask() {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
  }

  std::string path_;
  FILE* file_ = nullptr;
  bool committed_ = false;
};

void report_remote(const char* prefix, int status, const char* remote_path) {
  fprintf(stderr, prefix, status);
  print_safe_path(stderr, remote_path);
  fputc('\n', stderr);
}

// Lines about the local side carry the local path as it is.
void report_local(const char* prefix, const char* local_path) {
  fprintf(stderr, "%s%s\n", prefix, local_path);
}

const char* skip_leading_slashes(const char* path) {
  while (*path == '/') ++path;
  return path;
}

bool has_parent_component(const char* path) {
  const char* p = path;
  while (*p) {
    const char* end = strchr(p, '/');
    const size_t length = end ? static_cast<size_t>(end - p) : strlen(p);
    if (length == 2 && p[0] == '.' && p[1] == '.') return true;
    if (!end) break;
    p = end + 1;
  }
  return false;
}

// Size and modification time of the remote file.
struct RemoteInfo {
  bool has_size = false;
  uint64_t size = 0;
  bool has_mtime = false;
  int64_t mtime_ns = 0;
};

int read_remote_info(AFCConnectionRef connection, const char* remote_path, RemoteInfo* info) {
  AFCDictionaryRef values = nullptr;
  const int status = AFCFileInfoOpen(connection, remote_path, &values);
  if (status != 0) return status;
  const char* key = nullptr;
  const char* value = nullptr;
  while (AFCKeyValueRead(values, &key, &value) == 0 && key != nullptr && value != nullptr) {
    char* end = nullptr;
    errno = 0;
    if (strcmp(key, "st_size") == 0) {
      const unsigned long long size = strtoull(value, &end, 10);
      if (errno == 0 && end != value && *end == '\0' && value[0] != '-') {
        info->has_size = true;
        info->size = size;
      }
    } else if (strcmp(key, "st_mtime") == 0) {
      const long long mtime = strtoll(value, &end, 10);
      if (errno == 0 && end != value && *end == '\0' && mtime >= 0) {
        info->has_mtime = true;
        info->mtime_ns = mtime;
      }
    }
  }
  AFCKeyValueClose(values);
  return 0;
}

}  // namespace

int local_path_for_remote(const char* remote_path, char* out, size_t size) {
  const char* rest = skip_leading_slashes(remote_path);
  if (size > 0) out[0] = '\0';
  if (has_parent_component(rest)) return -2;
  const int written = snprintf(out, size, "%s/%s", g_output, rest);
  if (written < 0 || static_cast<size_t>(written) >= size) {
    if (size > 0) out[0] = '\0';
    return -1;
  }
  return 0;
}

int mkdir_p(const char* path) {
  const size_t length = strlen(path);
  if (length == 0 || length >= 1024) return -1;
  char tmp[1024];
  memcpy(tmp, path, length + 1);
  if (tmp[length - 1] == '/') tmp[length - 1] = '\0';

  for (char* p = tmp + 1; *p; ++p) {
    if (*p != '/') continue;
    *p = '\0';
    if (mkdir(tmp, 0755) != 0 && errno != EEXIST) return -1;
    *p = '/';
  }
  if (mkdir(tmp, 0755) != 0 && errno != EEXIST) return -1;
  return 0;
}

int ensure_parent_dir(const char* path) {
  const size_t length = strlen(path);
  if (length >= 1024) return -1;
  char copy[1024];
  memcpy(copy, path, length + 1);
  return mkdir_p(dirname(copy));
}

int copy_file(AFCConnectionRef connection, const char* remote_path) {
  AFCFileRef file = 0;
  int status = AFCFileRefOpen(connection, remote_path, kAFCFileModeRead, &file);
  if (status != 0) {
    report_remote("ERROR: не удалось открыть файл на iPhone status=%d path=", status,
                  remote_path);
    return -1;
  }
  RemoteFile remote(connection, file);

  char local_path[1024];
  const int path_status = local_path_for_remote(remote_path, local_path, sizeof local_path);
  if (path_status == -2) {
    fputs("ERROR: путь с '..' не станет локальным path=", stderr);
    print_safe_path(stderr, remote_path);
    fputc('\n', stderr);
    return -1;
  }
  if (path_status != 0) {
    fputs("ERROR: слишком длинный путь path=", stderr);
    print_safe_path(stderr, g_output);
    fputc('/', stderr);
    print_safe_path(stderr, skip_leading_slashes(remote_path));
    fputc('\n', stderr);
    return -1;
  }

  RemoteInfo info;
  status = read_remote_info(connection, remote_path, &info);
  if (status != 0 || !info.has_size) {
    report_remote("ERROR: не удалось узнать размер файла на iPhone status=%d path=", status,
                  remote_path);
    return -1;
  }

  if (ensure_parent_dir(local_path) != 0) {
    report_local("ERROR: не удалось создать папку: ", local_path);
    return -1;
  }

  TempFile local;
  if (!local.Create(local_path)) {
    report_local("ERROR: не удалось создать файл: ", local_path);
    return -1;
  }

  char buffer[65536];
  uint64_t total = 0;
  for (;;) {
    uint32_t bytes_read = 0;
    status = AFCFileRefRead(connection, file, buffer, sizeof buffer, &bytes_read);
    if (status != 0) {
      report_remote("ERROR: ошибка чтения с iPhone status=%d path=", status, remote_path);
      return -1;
    }
    if (bytes_read == 0) break;
    total += bytes_read;
    if (total > info.size) break;  // more than the file holds: stale data
    if (fwrite(buffer, 1, bytes_read, local.file()) != bytes_read) {
      report_local("ERROR: ошибка записи файла: ", local_path);
      return -1;
    }
  }

  if (total != info.size) {
    fprintf(stderr,
            "ERROR: размер файла не совпал с iPhone (получено %" PRIu64 ", ожидалось %" PRIu64
            ") path=",
            total, info.size);
    print_safe_path(stderr, remote_path);
    fputc('\n', stderr);
    return -1;
  }
  status = remote.Close();
  if (status != 0) {
    report_remote("ERROR: ошибка чтения с iPhone status=%d path=", status, remote_path);
    return -1;
  }
  if (local.Finish(info.has_mtime, info.mtime_ns) != 0) {
    report_local("ERROR: ошибка записи файла: ", local_path);
    return -1;
  }
  if (local.CommitAs(local_path) != 0) {
    report_local("ERROR: не удалось создать файл: ", local_path);
    return -1;
  }

  fputs("DOWNLOADED: ", stdout);
  print_report_text(stdout, remote_path);
  fputc('\n', stdout);
  return 0;
}
