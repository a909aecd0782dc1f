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
  char* out_data = nullptr;
  char* err_data = nullptr;
  size_t out_size = 0;
  size_t err_size = 0;
  FILE* out = open_memstream(&out_data, &out_size);
  FILE* err = open_memstream(&err_data, &err_size);
  report_use_streams(out, err);
  f();
  report_use_streams(stdout, stderr);
  fclose(out);
  fclose(err);
  Output output{std::string(out_data, out_size), std::string(err_data, err_size)};
  free(out_data);
  free(err_data);
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
  phone_ = std::make_unique<phone::FakePhone>();
  state_ = ProgramState();
  state_.command = "list";
}

void OskavelTest::TearDown() {
  // Notifications left in the run loop must not reach the next test.
  auto& loop = runloop::RunLoop::current();
  while (loop.pending() > 0) loop.runUntil(runloop::Clock::now(), true);
  for (const auto& dir : scratch_) {
    std::error_code error;
    std::filesystem::remove_all(dir, error);
  }
  scratch_.clear();
}

std::unique_ptr<phone::AfcClient> OskavelTest::Connect() {
  std::unique_ptr<phone::Connection> connection;
  EXPECT_EQ(phone_->connect(phone::FakePhone::kDevice, &connection), 0);
  std::unique_ptr<phone::Session> session;
  EXPECT_EQ(connection->startSession(&session), 0);
  std::unique_ptr<phone::AfcClient> client;
  EXPECT_EQ(open_afc_service(*session, "com.apple.afc", &client), 0);
  EXPECT_NE(client, nullptr);
  return client;
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
  *output = Capture([&] { status = oskavel_main(*phone_, static_cast<int>(words.size()), argv.data()); });
  return status;
}

}  // namespace oskavel_testing
