// Shared fixture of the program's tests: a scripted phone installed as the
// backend, fresh program-wide settings, captured output and scratch folders.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fake_backend.h"
#include "oskavel.h"

namespace oskavel_testing {

struct Output {
  std::string out;
  std::string err;
};

// Runs f with standard output and standard error captured.
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

  mobiledevice::FakeBackend& phone() { return *phone_; }
  // An AFC connection to the fake phone's default service.
  AFCConnectionRef Connect();
  // A fresh scratch folder, removed after the test.
  std::string ScratchDir();
  // Runs the whole program on the words after the program name.
  int Run(std::vector<std::string> words, Output* output);

 private:
  mobiledevice::FakeBackend* phone_ = nullptr;
  std::vector<std::string> scratch_;
};

}  // namespace oskavel_testing
