// The service program as the demo runs it: flags, port file, catalog on
// disk, statistics record file, clean stop on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "server/update_service.h"
#include "shared/http_client.h"
#include "shared/version_check.h"
#include "support/temp_machine.h"

extern char** environ;

namespace {

using testing_support::ReadHostFile;
using testing_support::WriteHostFile;

TEST(TestServiceProgram, ServesCatalogAndRecordsPosts) {
  testing_support::TempMachine machine;
  const std::string dir = machine.dir();
  WriteHostFile(dir + "/root/korva_7.7z", "seven");
  WriteHostFile(dir + "/catalog.json",
                "{\"packages\":[{\"packageName\":\"korva\",\"versionCode\":7,\"versionName\":"
                "\"1.7\",\"text\":\"t\",\"file\":\"korva_7.7z\"}]}");

  std::vector<std::string> args = {KORVA_BUILD_DIR "/tests/korva-test-service",
                                   "--port", "0", "--port-file", dir + "/port",
                                   "--catalog", dir + "/catalog.json", "--root", dir + "/root",
                                   "--record", dir + "/posts.txt"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);

  std::string port;
  for (int i = 0; i < 500 && port.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    port = ReadHostFile(dir + "/port");
  }
  ASSERT_FALSE(port.empty());
  const std::string base = "http://127.0.0.1:" + std::to_string(std::stoi(port));

  UpdateInfo info;
  EXPECT_EQ(CheckVersion(std::wstring(base.begin(), base.end()) + L"/pc/version/check", L"korva",
                         L"6", info),
            2);
  EXPECT_EQ(info.size, 5);
  const std::string md5 = testing_support::ServiceMd5("seven");
  EXPECT_EQ(info.md5, std::wstring(md5.begin(), md5.end()));
  std::string reply;
  EXPECT_EQ(Post(base + testing_support::kUpdateFigurePath, "", "stage=1", reply), 0);
  EXPECT_EQ(reply, "{\"errCode\":0}");

  kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(ReadHostFile(dir + "/posts.txt"), "/pc/statistic/uploadUpdateFigure 7\nstage=1\n");
}

}  // namespace
