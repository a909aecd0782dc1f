#include <cstdlib>
#include <cstring>

#include "oskavel.h"

int parse_args(ProgramState& state, int argc, char** argv, int32_t& timeout) {
  timeout = kDefaultTimeoutSeconds;
  state.limit = 0;
  state.skip_existing = false;
  if (argc < 2) return -1;

  state.command = argv[1];
  if (strcmp(state.command, "list") != 0 && strcmp(state.command, "download") != 0 &&
      strcmp(state.command, "ls") != 0 && strcmp(state.command, "services") != 0) {
    return -1;
  }

  for (int i = 2; i < argc; ++i) {
    const char* word = argv[i];
    const bool has_value = i + 1 < argc;
    if (strcmp(word, "--skip-existing") == 0) {  // the one option without a value
      state.skip_existing = true;
    } else if (has_value && strcmp(word, "--timeout") == 0) {
      timeout = atoi(argv[++i]);
    } else if (has_value && strcmp(word, "--limit") == 0) {
      state.limit = atoi(argv[++i]);
    } else if (has_value && strcmp(word, "--output") == 0) {
      state.output = argv[++i];
    } else if (has_value && strcmp(word, "--path") == 0) {
      state.start_path = argv[++i];
    } else if (has_value && strcmp(word, "--service") == 0) {
      state.service_name = argv[++i];
    } else {
      return -1;
    }
  }

  // An empty folder name (an unset shell variable) would put the files
  // under the file-system root.
  if (strcmp(state.command, "download") == 0 &&
      (state.output == nullptr || state.output[0] == '\0')) {
    return -1;
  }
  // Only download copies anything that could be skipped.
  if (state.skip_existing && strcmp(state.command, "download") != 0) return -1;
  return 0;
}
