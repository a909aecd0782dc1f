#include <cstdlib>
#include <cstring>

#include "oskavel.h"

const char* g_command = nullptr;
int32_t g_limit = 0;
const char* g_output = nullptr;
const char* g_start_path = "/DCIM";
const char* g_service_name = nullptr;

int32_t g_seen = 0;
int32_t g_downloaded = 0;
int32_t g_failed = 0;

void usage() {
  fputs(
      "Usage:\n"
      "  Oskavel list [--timeout 10] [--limit 20]\n"
      "  Oskavel download --output /path/to/folder [--timeout 60] [--limit 0]\n"
      "  Oskavel ls [--path /] [--timeout 10] [--service com.apple.afc]\n"
      "  Oskavel services [--timeout 10]\n",
      stderr);
}

int parse_args(int argc, char** argv, int32_t& timeout) {
  timeout = 10;
  g_limit = 0;
  if (argc < 2) return -1;

  g_command = argv[1];
  if (strcmp(g_command, "list") != 0 && strcmp(g_command, "download") != 0 &&
      strcmp(g_command, "ls") != 0 && strcmp(g_command, "services") != 0) {
    return -1;
  }

  for (int i = 2; i < argc; ++i) {
    const char* word = argv[i];
    const bool has_value = i + 1 < argc;
    if (has_value && strcmp(word, "--timeout") == 0) {
      timeout = atoi(argv[++i]);
    } else if (has_value && strcmp(word, "--limit") == 0) {
      g_limit = atoi(argv[++i]);
    } else if (has_value && strcmp(word, "--output") == 0) {
      g_output = argv[++i];
    } else if (has_value && strcmp(word, "--path") == 0) {
      g_start_path = argv[++i];
    } else if (has_value && strcmp(word, "--service") == 0) {
      g_service_name = argv[++i];
    } else {
      return -1;
    }
  }

  if (strcmp(g_command, "download") == 0 && g_output == nullptr) return -1;
  return 0;
}
