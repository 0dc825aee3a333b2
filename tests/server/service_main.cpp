// korva-test-service: runs the test update service until SIGINT or SIGTERM.
//   --port N          port on 127.0.0.1 (default 0: any free port)
//   --port-file F     write the chosen port to F once listening
//   --catalog F       catalog JSON file, re-read when it changes
//   --root D          directory of the package files
//   --record F        append statistics posts to F
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "server/update_service.h"

namespace {

int Usage(const char* self) {
  std::fprintf(stderr,
               "usage: %s [--port N] [--port-file FILE] [--catalog FILE] [--root DIR] "
               "[--record FILE]\n",
               self);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  std::string portFile, catalog, root = ".", record;
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    if (i + 1 >= argc) return Usage(argv[0]);
    std::string value = argv[++i];
    if (flag == "--port") {
      port = std::atoi(value.c_str());
    } else if (flag == "--port-file") {
      portFile = value;
    } else if (flag == "--catalog") {
      catalog = value;
    } else if (flag == "--root") {
      root = value;
    } else if (flag == "--record") {
      record = value;
    } else {
      return Usage(argv[0]);
    }
  }

  // Block the stop signals before any thread starts, then wait for them here.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  testing_support::TestUpdateService service;
  service.SetRoot(root);
  if (!catalog.empty()) service.SetCatalogFile(catalog);
  if (!record.empty()) service.SetRecordFile(record);
  if (!service.Start(port)) {
    std::fprintf(stderr, "cannot listen on 127.0.0.1:%d\n", port);
    return 1;
  }
  if (!portFile.empty()) {
    std::string tmp = portFile + ".tmp";
    std::ofstream(tmp) << service.port() << "\n";
    std::rename(tmp.c_str(), portFile.c_str());
  }
  std::printf("listening on %s (version check %s)\n", service.BaseUrl().c_str(),
              service.VersionCheckUrl().c_str());
  std::fflush(stdout);

  int received = 0;
  sigwait(&stopSignals, &received);
  service.Stop();
  return 0;
}
