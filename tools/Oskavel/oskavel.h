// Oskavel: imports the photos and videos of an attached iPhone over its file
// service (AFC). Plain functions and program-wide settings; every call to the
// phone goes through the device-service operations of mobile_device.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "mobile_device.h"

// Settings, borrowed from the argument vector.
extern const char* g_command;
extern int32_t g_limit;
extern const char* g_output;
extern const char* g_start_path;
extern const char* g_service_name;

// Counts of the walk.
extern int32_t g_seen;
extern int32_t g_downloaded;
extern int32_t g_failed;

// The attached device, as the device callback recorded it.
extern AMDeviceRef g_device;
extern int g_discovered;

// Command line (args.cc).
int parse_args(int argc, char** argv, int32_t& timeout);
void usage();

// Device attachment and the file service (device.cc).
void device_callback(am_device_notification_callback_info* info, void* context);
void print_cf_string(CFTypeRef value);
CFStringRef cf_string_from_c(const char* text);
int open_afc_service(AMDeviceRef device, const char* service_name,
                     AFCConnectionRef* connection);

// Media walk and listing (walk.cc).
void traverse(AFCConnectionRef connection, const char* path);
bool should_stop_for_limit();
// Writes the child path; -1 (and an empty out) when it would not fit.
int join_remote_path(const char* parent, const char* name, char* out, size_t size);
int is_media_file(const char* path);
int list_directory(AFCConnectionRef connection, const char* path);

// File copy and local paths (copy.cc).
int copy_file(AFCConnectionRef connection, const char* remote_path);
// Writes the local path; -1 when it would not fit (out left empty), -2 when
// the remote path has a ".." component and so must never become a local one.
int local_path_for_remote(const char* remote_path, char* out, size_t size);
int ensure_parent_dir(const char* path);
int mkdir_p(const char* path);

// Report text (report_text.cc).
// Every byte outside blank..tilde as \xHH.
void print_safe_path(FILE* stream, const char* text);
// Control bytes (0x00-0x1F, 0x7F) as \xHH, everything else raw: for the
// payloads of report lines, so that no name can break a line.
void print_report_text(FILE* stream, const char* text);

// Service probe (services.cc).
int command_services(AMDeviceRef device);

// The whole program (driver.cc); returns the exit status.
int oskavel_main(int argc, char** argv);
