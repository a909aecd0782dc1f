// Shared fixture of the program's tests: a scripted phone, a fresh program
// state, captured output and scratch folders.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fake_phone.h"
#include "oskavel.h"

namespace oskavel_testing {

struct Output {
  std::string out;
  std::string err;
};

// Runs f with the lines of the report captured.
Output Capture(const std::function<void()>& f);

// Reads a whole local file ("" when it is missing).
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
// Names in a folder, sorted.
std::vector<std::string> ListFolder(const std::string& path);

class OskavelTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  phone::FakePhone& phone() { return *phone_; }
  // A file-service connection to the fake phone's default service.
  std::unique_ptr<phone::AfcClient> Connect();
  // A fresh scratch folder, removed after the test.
  std::string ScratchDir();
  // Runs the whole program on the words after the program name.
  int Run(std::vector<std::string> words, Output* output);

 private:
  std::unique_ptr<phone::FakePhone> phone_;
  std::vector<std::string> scratch_;

 protected:
  ProgramState state_;
};

}  // namespace oskavel_testing
