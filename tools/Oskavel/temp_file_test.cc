#include "temp_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

using oskavel_testing::ListFolder;
using oskavel_testing::ReadFile;

class TempFileTest : public oskavel_testing::OskavelTest {};

TEST_F(TempFileTest, ACommittedCopyReplacesTheFileAndAnAbandonedOneLeavesNothing) {
  const std::string folder = ScratchDir();
  const std::string final_path = folder + "/IMG_0001.JPG";
  for (TempFile::Kind kind : {TempFile::Kind::kUnnamedIfPossible, TempFile::Kind::kHidden}) {
    const std::vector<std::string> before = ListFolder(folder);
    const std::string earlier = ReadFile(final_path);
    {
      TempFile file;
      ASSERT_TRUE(file.create(final_path, kind));
      ASSERT_TRUE(file.write("half", 4));
    }
    EXPECT_EQ(ListFolder(folder), before);
    EXPECT_EQ(ReadFile(final_path), earlier);

    TempFile file;
    ASSERT_TRUE(file.create(final_path, kind));
    ASSERT_TRUE(file.write(kind == TempFile::Kind::kHidden ? "complete" : "COMPLETE", 8));
    EXPECT_EQ(file.commit(final_path, true, 1700000000LL * 1000000000LL + 5),
              TempFile::Commit::kDone);
    EXPECT_EQ(ReadFile(final_path), kind == TempFile::Kind::kHidden ? "complete" : "COMPLETE");
    EXPECT_EQ(ListFolder(folder), std::vector<std::string>{"IMG_0001.JPG"});
    struct stat st {};
    ASSERT_EQ(stat(final_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1700000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 5);
  }
}

// Where there are no unnamed files, the hidden one goes with the signal, and
// the process ends as the signal would; an ignored signal changes nothing.
TEST_F(TempFileTest, AHiddenTemporaryIsRemovedOnTermination) {
  const std::string folder = ScratchDir();
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    const pid_t pid = fork();
    if (pid == 0) {
      TempFile::removeOnSignals();
      TempFile file;
      if (!file.create(folder + "/a.JPG", TempFile::Kind::kHidden)) _exit(2);
      if (ListFolder(folder).size() != 1) _exit(3);
      raise(signal_number);
      _exit(4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), signal_number);
    EXPECT_EQ(ListFolder(folder), std::vector<std::string>{});
  }
  // A signal ignored from the start (nohup) stays ignored.
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGHUP, SIG_IGN);
    TempFile::removeOnSignals();
    TempFile file;
    if (!file.create(folder + "/a.JPG", TempFile::Kind::kHidden)) _exit(2);
    raise(SIGHUP);
    _exit(ListFolder(folder).size() == 1 ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
