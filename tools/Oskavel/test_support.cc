#include "test_support.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "run_loop.h"

namespace oskavel_testing {

Output Capture(const std::function<void()>& f) {
  fflush(stdout);
  fflush(stderr);
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  f();
  Output output;
  output.out = ::testing::internal::GetCapturedStdout();
  output.err = ::testing::internal::GetCapturedStderr();
  return output;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) {
  std::error_code error;
  return std::filesystem::symlink_status(path, error).type() !=
         std::filesystem::file_type::not_found;
}

std::vector<std::string> ListFolder(const std::string& path) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void OskavelTest::SetUp() {
  g_command = "list";
  g_limit = 0;
  g_output = nullptr;
  g_start_path = "/DCIM";
  g_service_name = nullptr;
  g_seen = g_downloaded = g_failed = 0;
  g_device = nullptr;
  g_discovered = 0;
  auto phone = std::make_unique<mobiledevice::FakeBackend>();
  phone_ = phone.get();
  mobiledevice::SetBackend(std::move(phone));
}

void OskavelTest::TearDown() {
  // Notifications left in the run loop must not reach the next test.
  auto& loop = runloop::RunLoop::current();
  while (loop.pending() > 0) loop.runUntil(runloop::Clock::now(), true);
  mobiledevice::SetBackend(nullptr);
  phone_ = nullptr;
  for (const auto& dir : scratch_) {
    std::error_code error;
    std::filesystem::remove_all(dir, error);
  }
}

AFCConnectionRef OskavelTest::Connect() {
  AFCConnectionRef connection = nullptr;
  EXPECT_EQ(open_afc_service(phone().device(), "com.apple.afc", &connection), 0);
  EXPECT_NE(connection, nullptr);
  return connection;
}

std::string OskavelTest::ScratchDir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "oskavel-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed";
    return "/nonexistent";
  }
  scratch_.push_back(pattern);
  return pattern;
}

int OskavelTest::Run(std::vector<std::string> words, Output* output) {
  words.insert(words.begin(), "Oskavel");
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  int status = -1;
  *output = Capture([&] { status = oskavel_main(static_cast<int>(words.size()), argv.data()); });
  return status;
}

}  // namespace oskavel_testing
