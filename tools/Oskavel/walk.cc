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

void skip_unsafe_name(ProgramState& state, const char* folder, const std::string& name) {
  report_unsafe_name(folder, name);
  count_as_failed_download(state);
}

void skip_long_path(ProgramState& state, const char* parent, const std::string& name) {
  report_long_remote_path(parent, name);
  count_as_failed_download(state);
}

// A folder the walk could not see into: whatever it holds was missed.
void report_folder(ProgramState& state, bool opening, int status, const char* path) {
  report_remote(opening ? RemoteFailure::kFolderOpen : RemoteFailure::kFolderRead, status, path);
  state.walk_incomplete = true;
  count_as_failed_download(state);
}

// After a lost connection nothing more can be learned: the walk stops.
bool connection_lost(ProgramState& state, const phone::AfcClient& connection) {
  if (connection.lostStatus() == 0) return false;
  state.walk_incomplete = true;
  return true;
}

void download_file(ProgramState& state, phone::AfcClient& connection, const char* path,
                   const RemoteInfo* info) {
  if (copy_file(state, connection, path, info) == 0) {
    ++state.downloaded;
  } else {
    ++state.failed;
    connection_lost(state, connection);
  }
}

// A path that is not a folder: a media file is listed or copied. `info` is
// the phone's answer about it, when there is one.
void handle_file(ProgramState& state, phone::AfcClient& connection, const char* path,
                 const RemoteInfo* info) {
  if (!is_media_file(path)) return;
  ++state.seen;
  if (is_command(state, "list")) {
    report_file(path);
  } else if (is_command(state, "download")) {
    // With --skip-existing the file-info answer that every path gets tells
    // whether the local copy is already there: a skipped file costs no
    // more than it does in list.
    if (state.skip_existing && info != nullptr && has_local_copy(state, path, *info)) {
      report_skipped(path);
    } else {
      download_file(state, connection, path, info);
    }
  }
}

// Walks an open folder entry by entry; each subfolder is walked whole
// before the next entry. The entries are the whole listing: a listing the
// phone did not send whole fails to open.
void walk_folder(ProgramState& state, phone::AfcClient& connection, const char* path,
                 phone::AfcFolder& directory) {
  for (;;) {
    if (should_stop_for_limit(state) || connection_lost(state, connection)) break;
    std::optional<std::string> name;
    const int status = directory.read(&name);
    if (status != 0) {
      report_folder(state, false, status, path);
      break;
    }
    if (!name) break;
    if (*name == "." || *name == "..") continue;
    if (!is_safe_entry_name(*name)) {
      skip_unsafe_name(state, path, *name);
      continue;
    }
    char child[kPathBufferSize];
    if (join_remote_path(path, name->c_str(), child, sizeof child) != 0) {
      skip_long_path(state, path, *name);
      continue;
    }
    traverse(state, connection, child);
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

  // The phone's file-info answer says what the path is. A link is neither
  // listed nor walked: a link to a parent folder would list its photos
  // again, two would never end.
  RemoteInfo info;
  const bool known = read_remote_info(connection, path, &info) == 0 &&
                     info.kind != RemoteInfo::Kind::kUnknown;
  if (known && info.kind == RemoteInfo::Kind::kLink) return;
  if (known && info.kind != RemoteInfo::Kind::kFolder) {
    handle_file(state, connection, path, &info);
    return;
  }

  // A folder, or a path the phone says nothing about: what opening it as a
  // folder answers decides.
  std::unique_ptr<phone::AfcFolder> directory;
  const int status = connection.openFolder(path, &directory);
  if (status != 0 && (known || !connection.notAFolder(status))) {
    report_folder(state, true, status, path);
    return;
  }
  if (status != 0 || !directory) {
    handle_file(state, connection, path, nullptr);
    return;
  }
  walk_folder(state, connection, path, *directory);
}

int list_directory(phone::AfcClient& connection, const char* path) {
  std::unique_ptr<phone::AfcFolder> directory;
  int status = connection.openFolder(path, &directory);
  if (status != 0 || !directory) {
    report_ls_failed(true, path, status);
    return -1;
  }
  report_ls(path);
  for (;;) {
    std::optional<std::string> name;
    status = directory->read(&name);
    if (status != 0) {
      report_ls_failed(false, path, status);
      return -1;
    }
    if (!name) break;
    report_entry(*name);
  }
  return 0;
}
