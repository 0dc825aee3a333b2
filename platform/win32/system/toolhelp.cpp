#include <tlhelp32.h>

#include <dirent.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <vector>

#include "internal/handles.h"
#include "internal/machine.h"
#include "internal/process_images.h"
#include "internal/unicode.h"
#include "process_object.h"

namespace win32 {
namespace {

class SnapshotObject : public KernelObject {
 public:
  std::vector<PROCESSENTRY32W> entries;
  size_t next = 0;
};

// The executable's file name as Windows shows it; kernel threads and
// processes whose image cannot be read are named by their command name.
std::string ExeName(pid_t pid) {
  std::string image = ProcessImagePath(pid);
  if (!image.empty()) {
    size_t slash = image.rfind('/');
    return slash == std::string::npos ? image : image.substr(slash + 1);
  }
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string comm;
  std::getline(in, comm);
  return comm;
}

std::string Canonical(const std::string& path) {
  char resolved[4096];
  return realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

// The machine a process belongs to: the WIN32_MACHINE it was started with,
// else the default machine.
std::string MachineOfProcess(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
  std::string entry;
  const std::string key = "WIN32_MACHINE=";
  while (std::getline(in, entry, '\0'))
    if (entry.compare(0, key.size(), key) == 0 && entry.size() > key.size()) return Canonical(entry.substr(key.size()));
  const char* home = getenv("HOME");
  return Canonical(std::string(home ? home : "") + "/.local/share/win32-machine");
}

template <class F>
void ForEachPid(F f) {
  DIR* d = opendir("/proc");
  if (!d) return;
  while (dirent* e = readdir(d)) {
    if (!isdigit(static_cast<unsigned char>(e->d_name[0]))) continue;
    f(static_cast<pid_t>(atoi(e->d_name)));
  }
  closedir(d);
}

}  // namespace

std::string ProcessImagePath(pid_t pid) {
  char buf[4096];
  ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), buf, sizeof(buf) - 1);
  if (n <= 0) return "";
  std::string path(buf, static_cast<size_t>(n));
  const std::string deleted = " (deleted)";
  if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
    path.resize(path.size() - deleted.size());
  return path;
}

}  // namespace win32

HANDLE WINAPI CreateToolhelp32Snapshot(DWORD flags, DWORD processId) {
  (void)processId;
  auto snapshot = std::make_shared<win32::SnapshotObject>();
  if (flags & TH32CS_SNAPPROCESS) {
    const std::string machine = win32::Canonical(win32::MachineDir());
    const pid_t self = getpid();
    win32::ForEachPid([&](pid_t pid) {
      // Each machine sees its own programs (and the caller, whatever it was
      // started with).
      if (pid != self && win32::MachineOfProcess(pid) != machine) return;
      win32::ProcStat st;
      // Ended processes are gone from the list, as on Windows.
      if (!win32::ReadProcStat(pid, &st) || st.state == 'Z' || st.state == 'X') return;
      PROCESSENTRY32W entry{};
      entry.dwSize = sizeof(entry);
      entry.th32ProcessID = static_cast<DWORD>(pid);
      entry.cntThreads = static_cast<DWORD>(st.threads);
      entry.th32ParentProcessID = static_cast<DWORD>(st.parent);
      entry.pcPriClassBase = 8;
      std::wstring name = win32::Utf8ToWide(win32::ExeName(pid));
      name = name.substr(0, MAX_PATH - 1);
      std::copy(name.begin(), name.end(), entry.szExeFile);
      entry.szExeFile[name.size()] = L'\0';
      snapshot->entries.push_back(entry);
    });
  }
  return win32::RegisterHandle(snapshot);
}

namespace {
BOOL NextEntry(HANDLE snapshot, LPPROCESSENTRY32W entry, bool first) {
  auto object = win32::LookupHandleAs<win32::SnapshotObject>(snapshot);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!entry || entry->dwSize < sizeof(PROCESSENTRY32W)) {
    SetLastError(ERROR_BAD_LENGTH);
    return FALSE;
  }
  if (first) object->next = 0;
  if (object->next >= object->entries.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  *entry = object->entries[object->next++];
  return TRUE;
}
}  // namespace

BOOL WINAPI Process32FirstW(HANDLE snapshot, LPPROCESSENTRY32W entry) { return NextEntry(snapshot, entry, true); }

BOOL WINAPI Process32NextW(HANDLE snapshot, LPPROCESSENTRY32W entry) { return NextEntry(snapshot, entry, false); }
