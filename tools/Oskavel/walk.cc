#include <cctype>
#include <cstring>

#include "oskavel.h"

namespace {

constexpr size_t kExtensionBufferSize = 16;

const char* const allowed[] = {"heic", "heif", "jpg", "jpeg", "png", "dng",
                               "tif",  "tiff", "mov", "mp4",  "m4v", nullptr};

bool is_command(const ProgramState& state, const char* command) {
  return state.command != nullptr && strcmp(state.command, command) == 0;
}

// In download, an entry that could not be handled is a failed file, so that
// seen stays the sum of downloaded and failed.
void count_as_failed_download(ProgramState& state) {
  if (!is_command(state, "download")) return;
  ++state.seen;
  ++state.failed;
}

// A name from the phone is joined into a path only when it is one name: not
// empty and without "/". ("." and ".." are skipped before this.)
bool is_safe_entry_name(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos;
}

void report_unsafe_name(ProgramState& state, const char* folder, const std::string& name) {
  fputs("ERROR: пропущено небезопасное имя в папке path=", stderr);
  print_safe_path(stderr, folder);
  fputs(" name=", stderr);
  print_safe_path(stderr, name.c_str());
  fputc('\n', stderr);
  count_as_failed_download(state);
}

void report_long_path(ProgramState& state, const char* parent, const std::string& name) {
  fputs("ERROR: слишком длинный путь path=", stderr);
  if (strcmp(parent, "/") != 0) print_safe_path(stderr, parent);
  fputc('/', stderr);
  print_safe_path(stderr, name.c_str());
  fputc('\n', stderr);
  count_as_failed_download(state);
}

// A folder the walk could not see into: whatever it holds was missed.
void report_folder(ProgramState& state, bool opening, int status, const char* path) {
  fputs(opening ? "ERROR: не удалось открыть папку на iPhone"
                : "ERROR: ошибка чтения папки на iPhone",
        stderr);
  fprintf(stderr, " status=%d path=", status);
  print_safe_path(stderr, path);
  fputc('\n', stderr);
  state.walk_incomplete = true;
  count_as_failed_download(state);
}

// After a lost connection nothing more can be learned: the walk stops.
bool connection_lost(ProgramState& state, const phone::AfcClient& connection) {
  if (connection.lostStatus() == 0) return false;
  state.walk_incomplete = true;
  return true;
}

void download_file(ProgramState& state, phone::AfcClient& connection, const char* path) {
  if (copy_file(state, connection, path) == 0) {
    ++state.downloaded;
  } else {
    ++state.failed;
    connection_lost(state, connection);
  }
}

}  // namespace

bool should_stop_for_limit(const ProgramState& state) {
  return state.limit > 0 && state.seen >= state.limit;
}

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
  char lowered[kExtensionBufferSize];
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

void traverse(ProgramState& state, phone::AfcClient& connection, const char* path) {
  if (should_stop_for_limit(state) || connection_lost(state, connection)) return;

  // With --skip-existing a media file costs one question to the phone, as
  // in list: its file-info answer says that it is a file, and gives the
  // size and time that tell whether the local copy is already there.
  if (state.skip_existing && is_command(state, "download") && is_media_file(path)) {
    RemoteInfo info;
    if (read_remote_info(connection, path, &info) == 0 && info.is_regular) {
      ++state.seen;
      if (has_local_copy(state, path, info)) {
        fputs("SKIPPED: ", stdout);
        print_report_text(stdout, path);
        fputc('\n', stdout);
      } else {
        download_file(state, connection, path);
      }
      return;
    }
    // Not a file, or no answer: the path is walked as always.
  }

  std::unique_ptr<phone::AfcFolder> directory;
  int status = connection.openFolder(path, &directory);
  if (status != 0 && !connection.notAFolder(status)) {
    report_folder(state, true, status, path);
    return;
  }
  if (status != 0 || !directory) {
    if (!is_media_file(path)) return;
    ++state.seen;
    if (is_command(state, "list")) {
      fputs("FILE: ", stdout);
      print_report_text(stdout, path);
      fputc('\n', stdout);
    } else if (is_command(state, "download")) {
      download_file(state, connection, path);
    }
    return;
  }

  for (;;) {
    if (should_stop_for_limit(state) || connection_lost(state, connection)) break;
    std::optional<std::string> name;
    status = directory->read(&name);
    if (status != 0) {
      report_folder(state, false, status, path);
      break;
    }
    if (!name) break;
    if (*name == "." || *name == "..") continue;
    if (!is_safe_entry_name(*name)) {
      report_unsafe_name(state, path, *name);
      continue;
    }
    char child[kPathBufferSize];
    if (join_remote_path(path, name->c_str(), child, sizeof child) != 0) {
      report_long_path(state, path, *name);
      continue;
    }
    traverse(state, connection, child);
  }
}

int list_directory(phone::AfcClient& connection, const char* path) {
  std::unique_ptr<phone::AfcFolder> directory;
  int status = connection.openFolder(path, &directory);
  if (status != 0 || !directory) {
    fprintf(stderr, "ERROR: не удалось открыть папку %s status=%d\n", path, status);
    return -1;
  }
  fputs("LS: ", stdout);
  print_report_text(stdout, path);
  fputc('\n', stdout);
  for (;;) {
    std::optional<std::string> name;
    status = directory->read(&name);
    if (status != 0) {
      fprintf(stderr, "ERROR: чтение папки %s status=%d\n", path, status);
      return -1;
    }
    if (!name) break;
    fputs("ENTRY: ", stdout);
    print_report_text(stdout, name->c_str());
    fputc('\n', stdout);
  }
  return 0;
}
