// Benchmark baseline: the bare libimobiledevice calls a minimal importer
// makes, with no checks beyond what it needs, reading in 1 MiB requests.
//   oskavel-bare-read download REMOTE_PATH OUTPUT_DIR
//   oskavel-bare-read list REMOTE_PATH
// Finds the first device through usbmuxd (USBMUXD_SOCKET_ADDRESS honoured).
#include <libimobiledevice/afc.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

long g_files = 0;
long g_entries = 0;
unsigned long long g_bytes = 0;

void make_parents(const std::string& path) {
  for (size_t i = 1; i < path.size(); ++i) {
    if (path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
  }
}

void copy(afc_client_t afc, const std::string& remote, const std::string& output) {
  uint64_t handle = 0;
  if (afc_file_open(afc, remote.c_str(), AFC_FOPEN_RDONLY, &handle) != AFC_E_SUCCESS) return;
  const std::string local = output + remote;
  make_parents(local);
  FILE* file = fopen(local.c_str(), "wb");
  static std::vector<char> buffer(1 << 20);
  for (;;) {
    uint32_t got = 0;
    if (afc_file_read(afc, handle, buffer.data(), buffer.size(), &got) != AFC_E_SUCCESS ||
        got == 0) {
      break;
    }
    if (file) fwrite(buffer.data(), 1, got, file);
    g_bytes += got;
  }
  if (file) fclose(file);
  afc_file_close(afc, handle);
  ++g_files;
}

void walk(afc_client_t afc, const std::string& path, const char* output) {
  char** names = nullptr;
  if (afc_read_directory(afc, path.c_str(), &names) != AFC_E_SUCCESS) {
    ++g_files;
    if (output) {
      --g_files;
      copy(afc, path, output);
    }
    return;
  }
  for (char** name = names; name && *name; ++name) {
    if (!strcmp(*name, ".") || !strcmp(*name, "..")) continue;
    ++g_entries;
    std::string child = path;
    if (child != "/") child += '/';
    child += *name;
    walk(afc, child, output);
  }
  afc_dictionary_free(names);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s download REMOTE OUTPUT | list REMOTE\n", argv[0]);
    return 64;
  }
  const bool download = strcmp(argv[1], "download") == 0;
  idevice_t device = nullptr;
  if (idevice_new_with_options(&device, nullptr, IDEVICE_LOOKUP_USBMUX) != IDEVICE_E_SUCCESS) {
    fprintf(stderr, "no device\n");
    return 3;
  }
  lockdownd_client_t client = nullptr;
  lockdownd_service_descriptor_t service = nullptr;
  afc_client_t afc = nullptr;
  if (lockdownd_client_new_with_handshake(device, &client, "bench") != LOCKDOWN_E_SUCCESS ||
      lockdownd_start_service(client, "com.apple.afc", &service) != LOCKDOWN_E_SUCCESS ||
      afc_client_new(device, service, &afc) != AFC_E_SUCCESS) {
    fprintf(stderr, "no AFC\n");
    return 8;
  }
  walk(afc, argv[2], download && argc > 3 ? argv[3] : nullptr);
  printf("files=%ld entries=%ld bytes=%llu\n", g_files, g_entries, g_bytes);
  afc_client_free(afc);
  lockdownd_service_descriptor_free(service);
  lockdownd_client_free(client);
  idevice_free(device);
  return 0;
}
