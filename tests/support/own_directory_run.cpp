#include "support/own_directory_run.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

extern "C" char** environ;

namespace testing_support {

void RunCurrentTestAs(const std::string& program, const char* mark, const std::string& where) {
  namespace fs = std::filesystem;
  std::error_code ec;
  // A copy, not a link: what the test writes over its program (an updater
  // replacing itself) must not reach the build's own test program.
  fs::copy_file(fs::read_symlink("/proc/self/exe"), program, fs::copy_options::overwrite_existing, ec);
  if (ec) {
    ADD_FAILURE() << "cannot place the test program: " << ec.message();
    return;
  }
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string filter = std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
  setenv(mark, "1", 1);
  char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(filter.c_str()), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ);
  unsetenv(mark);
  int status = 0;
  if (spawned == 0) waitpid(pid, &status, 0);
  EXPECT_EQ(0, spawned);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "the test failed " << where << " (status " << status << ")";
}

}  // namespace testing_support
