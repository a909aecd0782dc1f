#include <errno.h>
#include <libgen.h>
#include <sys/stat.h>

#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string>

#include "oskavel.h"
#include "temp_file.h"

namespace {

void report_remote_status(const char* message, int status, const char* remote_path) {
  fputs(message, stderr);
  fprintf(stderr, " status=%d path=", status);
  print_safe_path(stderr, remote_path);
  fputc('\n', stderr);
}

// Lines about the local side carry the local path as it is.
void report_local(const char* message, const char* local_path) {
  fprintf(stderr, "%s: %s\n", message, local_path);
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

}  // namespace

int read_remote_info(phone::AfcClient& connection, const char* remote_path, RemoteInfo* info) {
  phone::FileInfo values;
  const int status = connection.fileInfo(remote_path, &values);
  if (status != 0) return status;
  for (const auto& [key, value] : values) {
    const char* text = value.c_str();
    char* end = nullptr;
    errno = 0;
    if (key == "st_ifmt") {
      info->is_regular = value == "S_IFREG";
    } else if (key == "st_size") {
      const unsigned long long size = strtoull(text, &end, 10);
      if (errno == 0 && end != text && *end == '\0' && text[0] != '-') {
        info->has_size = true;
        info->size = size;
      }
    } else if (key == "st_mtime") {
      const long long mtime = strtoll(text, &end, 10);
      if (errno == 0 && end != text && *end == '\0' && mtime >= 0) {
        info->has_mtime = true;
        info->mtime_ns = mtime;
      }
    }
  }
  return 0;
}

bool has_local_copy(const ProgramState& state, const char* remote_path, const RemoteInfo& info) {
  if (!info.is_regular || !info.has_size || !info.has_mtime) return false;
  char local_path[kPathBufferSize];
  if (local_path_for_remote(state, remote_path, local_path, sizeof local_path) != 0) return false;
  struct stat local {};
  if (lstat(local_path, &local) != 0 || !S_ISREG(local.st_mode)) return false;
  constexpr int64_t kNanosecondsPerSecond = 1000000000;
  return static_cast<uint64_t>(local.st_size) == info.size &&
         static_cast<int64_t>(local.st_mtime) == info.mtime_ns / kNanosecondsPerSecond;
}

int local_path_for_remote(const ProgramState& state, const char* remote_path, char* out,
                          size_t size) {
  const char* rest = skip_leading_slashes(remote_path);
  if (size > 0) out[0] = '\0';
  if (has_parent_component(rest)) return -2;
  const int written = snprintf(out, size, "%s/%s", state.output, rest);
  if (written < 0 || static_cast<size_t>(written) >= size) {
    if (size > 0) out[0] = '\0';
    return -1;
  }
  return 0;
}

int mkdir_p(const char* path) {
  const size_t length = strlen(path);
  if (length == 0 || length >= kPathBufferSize) return -1;
  char tmp[kPathBufferSize];
  memcpy(tmp, path, length + 1);
  if (tmp[length - 1] == '/') tmp[length - 1] = '\0';

  for (char* p = tmp + 1; *p; ++p) {
    if (*p != '/') continue;
    *p = '\0';
    if (mkdir(tmp, kFolderMode) != 0 && errno != EEXIST) return -1;
    *p = '/';
  }
  if (mkdir(tmp, kFolderMode) != 0 && errno != EEXIST) return -1;
  return 0;
}

int ensure_parent_dir(const char* path) {
  const size_t length = strlen(path);
  if (length >= kPathBufferSize) return -1;
  char copy[kPathBufferSize];
  memcpy(copy, path, length + 1);
  return mkdir_p(dirname(copy));
}

int copy_file(const ProgramState& state, phone::AfcClient& connection, const char* remote_path) {
  std::unique_ptr<phone::AfcFile> file;
  int status = connection.openFile(remote_path, &file);
  if (status != 0 || !file) {
    report_remote_status("ERROR: не удалось открыть файл на iPhone", status, remote_path);
    return -1;
  }

  char local_path[kPathBufferSize];
  const int path_status =
      local_path_for_remote(state, remote_path, local_path, sizeof local_path);
  if (path_status == -2) {
    fputs("ERROR: путь с '..' не станет локальным path=", stderr);
    print_safe_path(stderr, remote_path);
    fputc('\n', stderr);
    return -1;
  }
  if (path_status != 0) {
    fputs("ERROR: слишком длинный путь path=", stderr);
    print_safe_path(stderr, state.output);
    fputc('/', stderr);
    print_safe_path(stderr, skip_leading_slashes(remote_path));
    fputc('\n', stderr);
    return -1;
  }

  RemoteInfo info;
  status = read_remote_info(connection, remote_path, &info);
  if (status != 0 || !info.has_size) {
    report_remote_status("ERROR: не удалось узнать размер файла на iPhone", status,
                         remote_path);
    return -1;
  }
  file->expectSize(info.size);

  if (ensure_parent_dir(local_path) != 0) {
    report_local("ERROR: не удалось создать папку", local_path);
    return -1;
  }

  TempFile local;
  if (!local.create(local_path)) {
    report_local("ERROR: не удалось создать файл", local_path);
    return -1;
  }

  char buffer[kChunkSize];
  uint64_t total = 0;
  for (;;) {
    uint32_t bytes_read = 0;
    status = file->read(buffer, kChunkSize, &bytes_read);
    if (status != 0) {
      report_remote_status("ERROR: ошибка чтения с iPhone", status, remote_path);
      return -1;
    }
    if (bytes_read == 0) break;
    total += bytes_read;
    if (total > info.size) break;  // more than the file holds: stale data
    if (!local.write(buffer, bytes_read)) {
      report_local("ERROR: ошибка записи файла", local_path);
      return -1;
    }
  }

  if (total != info.size) {
    // A count from a lost connection means nothing: say what happened.
    if (connection.lostStatus() != 0) {
      report_remote_status("ERROR: ошибка чтения с iPhone", connection.lostStatus(),
                           remote_path);
      return -1;
    }
    fprintf(stderr,
            "ERROR: размер файла не совпал с iPhone (получено %" PRIu64 ", ожидалось %" PRIu64
            ") path=",
            total, info.size);
    print_safe_path(stderr, remote_path);
    fputc('\n', stderr);
    return -1;
  }
  status = file->close();
  if (status != 0) {
    report_remote_status("ERROR: ошибка чтения с iPhone", status, remote_path);
    return -1;
  }
  switch (local.commit(local_path, info.has_mtime, info.mtime_ns)) {
    case TempFile::Commit::kDone:
      break;
    case TempFile::Commit::kWriteFailed:
      report_local("ERROR: ошибка записи файла", local_path);
      return -1;
    case TempFile::Commit::kNameFailed:
      report_local("ERROR: не удалось создать файл", local_path);
      return -1;
  }

  fputs("DOWNLOADED: ", stdout);
  print_report_text(stdout, remote_path);
  fputc('\n', stdout);
  return 0;
}
