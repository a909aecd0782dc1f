// Every line Oskavel writes, and the two streams it writes them to: result
// lines on standard output, ERROR: lines and the usage text on standard
// error. No other file writes to either stream.
//
// Bytes a phone or a file name put into a line are escaped here, as \xHH
// (upper-case hex), so that nothing the phone sends can break a line or
// forge one:
// - result lines and local paths: control bytes (0x00-0x1F, 0x7F);
// - remote paths and names after "path=" and "name=" in ERROR: lines: every
//   byte outside printable ASCII (blank to tilde).
// Texts from the command line (the folder of ls, a service name) are
// written as given.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

// Where the lines go: standard output and standard error until a caller
// (a test) names other streams.
void report_use_streams(FILE* out, FILE* err);

// Ends the report: the status to end with, `status` or kExitOutputLost when
// it is 0 and the result lines could not be written in full.
int finish_output(int status);

// Standard output.
// "unknown" for a name that is missing, not UTF-8 or over 511 bytes.
void report_device(const std::optional<std::string>& name);
void report_file(const char* remote_path);
void report_downloaded(const char* remote_path);
void report_skipped(const char* remote_path);
void report_done(int32_t media, int32_t downloaded, int32_t failed);
void report_ls(const char* path);
void report_entry(const std::string& name);
void report_service(const char* name, int status, std::optional<int> root_status);

// Standard error.
void usage();
// A failed device call, by the name its callers know it by.
void report_call_failed(const char* call, int status);
void report_no_device();
void report_not_paired();
void report_no_file_service(const char* service_name, int status);
// ls: the folder given could not be opened or read.
void report_ls_failed(bool opening, const char* path, int status);

// The phone's side of a folder or a file failed.
enum class RemoteFailure { kFolderOpen, kFolderRead, kFileOpen, kFileSize, kFileRead };
void report_remote(RemoteFailure what, int status, const char* remote_path);
void report_size_mismatch(uint64_t received, uint64_t expected, const char* remote_path);
void report_unsafe_name(const char* folder, const std::string& name);
void report_long_remote_path(const char* parent, const std::string& name);
void report_long_local_path(const char* output, const char* remote_path);
void report_parent_component(const char* remote_path);

// The local side of a copy failed.
enum class LocalFailure { kFolder, kFile, kWrite };
void report_local(LocalFailure what, const char* local_path);

// Well-formed UTF-8: shortest forms only, no surrogates, nothing past
// U+10FFFF, no NUL.
bool is_utf8(const std::string& text);
