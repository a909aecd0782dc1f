#include <cctype>
#include <cstring>

#include "oskavel.h"

namespace {

const char* const allowed[] = {"heic", "heif", "jpg", "jpeg", "png", "dng",
                               "tif",  "tiff", "mov", "mp4",  "m4v", nullptr};

bool is_command(const char* command) {
  return g_command != nullptr && strcmp(g_command, command) == 0;
}

// In download, an entry that could not be handled is a failed file, so that
// g_seen stays the sum of g_downloaded and g_failed.
void count_as_failed_download() {
  if (!is_command("download")) return;
  ++g_seen;
  ++g_failed;
}

// A name from the phone is joined into a path only when it is one name: not
// empty and without "/". ("." and ".." are skipped before this.)
bool is_safe_entry_name(const char* name) {
  return name[0] != '\0' && strchr(name, '/') == nullptr;
}

void report_unsafe_name(const char* folder, const char* name) {
  fputs("ERROR: пропущено небезопасное имя в папке path=", stderr);
  print_safe_path(stderr, folder);
  fputs(" name=", stderr);
  print_safe_path(stderr, name);
  fputc('\n', stderr);
  count_as_failed_download();
}

void report_long_path(const char* parent, const char* name) {
  fputs("ERROR: слишком длинный путь path=", stderr);
  if (strcmp(parent, "/") != 0) print_safe_path(stderr, parent);
  fputc('/', stderr);
  print_safe_path(stderr, name);
  fputc('\n', stderr);
  count_as_failed_download();
}

}  // namespace

bool should_stop_for_limit() { return g_limit > 0 && g_seen >= g_limit; }

int join_remote_path(const char* parent, const char* name, char* out, size_t size) {
  const int written = strcmp(parent, "/") == 0 ? snprintf(out, size, "/%s", name)
                                               : snprintf(out, size, "%s/%s", parent, name);
  if (written < 0 || static_cast<size_t>(written) >= size) {
    if (size > 0) out[0] = '\0';
    return -1;
  }
  return 0;
}

int is_media_file(const char* path) {
  const char* dot = strrchr(path, '.');
  if (dot == nullptr || dot[1] == '\0') return 0;
  const char* extension = dot + 1;
  char lowered[16];
  const size_t length = strlen(extension);
  if (length >= sizeof lowered) return 0;
  for (size_t i = 0; i < length; ++i) {
    lowered[i] = static_cast<char>(tolower(static_cast<unsigned char>(extension[i])));
  }
  lowered[length] = '\0';
  for (const char* const* entry = allowed; *entry != nullptr; ++entry) {
    if (strcmp(lowered, *entry) == 0) return 1;
  }
  return 0;
}

void traverse(AFCConnectionRef connection, const char* path) {
  if (should_stop_for_limit()) return;

  AFCDirectoryRef directory = nullptr;
  const int status = AFCDirectoryOpen(connection, path, &directory);
  if (status != 0 || directory == nullptr) {
    if (!is_media_file(path)) return;
    ++g_seen;
    if (is_command("list")) {
      fputs("FILE: ", stdout);
      print_report_text(stdout, path);
      fputc('\n', stdout);
    } else if (is_command("download")) {
      if (copy_file(connection, path) == 0) {
        ++g_downloaded;
      } else {
        ++g_failed;
      }
    }
    return;
  }

  for (;;) {
    if (should_stop_for_limit()) break;
    char* name = nullptr;
    if (AFCDirectoryRead(connection, directory, &name) != 0 || name == nullptr) break;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    if (!is_safe_entry_name(name)) {
      report_unsafe_name(path, name);
      continue;
    }
    char child[1024];
    if (join_remote_path(path, name, child, sizeof child) != 0) {
      report_long_path(path, name);
      continue;
    }
    traverse(connection, child);
  }
  AFCDirectoryClose(connection, directory);
}

int list_directory(AFCConnectionRef connection, const char* path) {
  AFCDirectoryRef directory = nullptr;
  int status = AFCDirectoryOpen(connection, path, &directory);
  if (status != 0 || directory == nullptr) {
    fprintf(stderr, "ERROR: не удалось открыть папку %s status=%d\n", path, status);
    return -1;
  }
  fputs("LS: ", stdout);
  print_report_text(stdout, path);
  fputc('\n', stdout);
  for (;;) {
    char* name = nullptr;
    status = AFCDirectoryRead(connection, directory, &name);
    if (status != 0) {
      fprintf(stderr, "ERROR: чтение папки %s status=%d\n", path, status);
      AFCDirectoryClose(connection, directory);
      return -1;
    }
    if (name == nullptr) break;
    fputs("ENTRY: ", stdout);
    print_report_text(stdout, name);
    fputc('\n', stdout);
  }
  AFCDirectoryClose(connection, directory);
  return 0;
}
