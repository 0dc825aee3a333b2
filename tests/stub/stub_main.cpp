// Stands for the product's own programs (korva.exe, launch.exe, unins.exe):
// tests copy it under those names. Each run appends one JSON line telling
// how it was started to <machine dir>/stub-runs.jsonl (and to the file that
// $KORVA_STUB_LOG names). It then exits 0, unless "<its file>.stay" exists
// beside it or --stay is among its arguments: then it runs until killed or
// until its file is deleted (a renamed file is still there).
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include <json/json.h>

#include "internal/machine.h"
#include "internal/unicode.h"

namespace {

// The kernel marks a file or folder deleted since it was opened with this
// suffix; a program started just before its folder is removed (as an
// uninstall step does) still records the name it was started under.
std::string WithoutDeletedMark(std::string path) {
  const std::string mark = " (deleted)";
  if (path.size() > mark.size() && path.compare(path.size() - mark.size(), mark.size(), mark) == 0)
    path.erase(path.size() - mark.size());
  return path;
}

// Reads a link of /proc/self. Unlike getcwd(), the cwd link still names a
// folder that was removed after the program started.
std::string SelfLink(const char* link) {
  char buf[PATH_MAX];
  ssize_t n = readlink(link, buf, sizeof(buf) - 1);
  return WithoutDeletedMark(n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string());
}

// Whether the file this program runs from has lost its last name.
bool OwnFileDeleted() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return true;
  const std::string path(buf, static_cast<size_t>(n));
  return WithoutDeletedMark(path) != path;
}

void AppendLine(const std::string& path, const std::string& line) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return;
  // One write keeps lines of concurrent runs whole.
  ssize_t written = write(fd, line.data(), line.size());
  (void)written;
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string self = SelfLink("/proc/self/exe");
  const std::string cwd = SelfLink("/proc/self/cwd");
  bool stay = access((self + ".stay").c_str(), F_OK) == 0;

  Json::Value run(Json::objectValue);
  run["pid"] = static_cast<Json::Int>(getpid());
  run["path"] = self;
  run["argv0"] = argc > 0 ? argv[0] : "";
  run["name"] = self.substr(self.rfind('/') + 1);
  run["cwd"] = cwd;
  Json::Value args(Json::arrayValue);
  for (int i = 1; i < argc; ++i) {
    args.append(argv[i]);
    if (strcmp(argv[i], "--stay") == 0) stay = true;
  }
  run["args"] = args;
  const char* machine = getenv("WIN32_MACHINE");
  if (machine && *machine) {
    run["windows_path"] = win32::WideToUtf8(win32::ToWindowsPath(self));
    run["windows_cwd"] = win32::WideToUtf8(win32::ToWindowsPath(cwd));
  }
  run["stays"] = stay;

  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  const std::string line = Json::writeString(builder, run) + "\n";
  AppendLine(win32::MachineDir() + "/stub-runs.jsonl", line);
  if (const char* log = getenv("KORVA_STUB_LOG"); log && *log) AppendLine(log, line);

  // A stub whose file is gone (its test machine was removed) stops by itself,
  // so a failed test leaves nothing running. A file renamed while it runs,
  // as Windows allows, is still its own: it goes on. The kernel marks the
  // link of a deleted image; a name looked up after a rename would race it.
  while (stay && !OwnFileDeleted()) usleep(200 * 1000);
  return 0;
}
