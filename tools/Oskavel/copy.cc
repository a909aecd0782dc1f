#include <errno.h>
#include <libgen.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "oskavel.h"
#include "temp_file.h"

namespace {

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
      info->kind = value == "S_IFREG"   ? RemoteInfo::Kind::kFile
                   : value == "S_IFDIR" ? RemoteInfo::Kind::kFolder
                   : value == "S_IFLNK" ? RemoteInfo::Kind::kLink
                                        : RemoteInfo::Kind::kOther;
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
  if (info.kind != RemoteInfo::Kind::kFile || !info.has_size || !info.has_mtime) return false;
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

int copy_file(const ProgramState& state, phone::AfcClient& connection, const char* remote_path,
              const RemoteInfo* known) {
  std::unique_ptr<phone::AfcFile> file;
  int status = connection.openFile(remote_path, &file);
  if (status != 0 || !file) {
    report_remote(RemoteFailure::kFileOpen, status, remote_path);
    return -1;
  }

  char local_path[kPathBufferSize];
  const int path_status =
      local_path_for_remote(state, remote_path, local_path, sizeof local_path);
  if (path_status == -2) {
    report_parent_component(remote_path);
    return -1;
  }
  if (path_status != 0) {
    report_long_local_path(state.output, remote_path);
    return -1;
  }

  RemoteInfo info;
  if (known != nullptr && known->has_size) {
    info = *known;
  } else {
    status = read_remote_info(connection, remote_path, &info);
    if (status != 0 || !info.has_size) {
      report_remote(RemoteFailure::kFileSize, status, remote_path);
      return -1;
    }
  }
  file->expectSize(info.size);

  if (ensure_parent_dir(local_path) != 0) {
    report_local(LocalFailure::kFolder, local_path);
    return -1;
  }

  TempFile local;
  if (!local.create(local_path)) {
    report_local(LocalFailure::kFile, local_path);
    return -1;
  }

  char buffer[kChunkSize];
  uint64_t total = 0;
  for (;;) {
    uint32_t bytes_read = 0;
    status = file->read(buffer, kChunkSize, &bytes_read);
    if (status != 0) {
      report_remote(RemoteFailure::kFileRead, status, remote_path);
      return -1;
    }
    if (bytes_read == 0) break;
    total += bytes_read;
    if (total > info.size) break;  // more than the file holds: stale data
    if (!local.write(buffer, bytes_read)) {
      report_local(LocalFailure::kWrite, local_path);
      return -1;
    }
  }

  if (total != info.size) {
    // A count from a lost connection means nothing: say what happened.
    if (connection.lostStatus() != 0) {
      report_remote(RemoteFailure::kFileRead, connection.lostStatus(), remote_path);
      return -1;
    }
    report_size_mismatch(total, info.size, remote_path);
    return -1;
  }
  status = file->close();
  if (status != 0) {
    report_remote(RemoteFailure::kFileRead, status, remote_path);
    return -1;
  }
  switch (local.commit(local_path, info.has_mtime, info.mtime_ns)) {
    case TempFile::Commit::kDone:
      break;
    case TempFile::Commit::kWriteFailed:
      report_local(LocalFailure::kWrite, local_path);
      return -1;
    case TempFile::Commit::kNameFailed:
      report_local(LocalFailure::kFile, local_path);
      return -1;
  }

  report_downloaded(remote_path);
  return 0;
}
