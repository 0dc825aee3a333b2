#include <shellapi.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "internal/machine.h"
#include "internal/process_cmdline.h"
#include "internal/unicode.h"
#include "process_object.h"

#define ERROR_NO_ASSOCIATION 1155L

namespace win32 {
namespace {

// Value ShellExecuteW returns on success: any number above 32.
constexpr INT_PTR kShellExecuteOk = 42;

struct LaunchResult {
  INT_PTR code = kShellExecuteOk;  // the SE_ERR_* value, > 32 on success
  DWORD error = ERROR_SUCCESS;
  std::shared_ptr<ProcessObject> process;
};

LaunchResult Failure(DWORD error) {
  LaunchResult r;
  r.error = error;
  switch (error) {
    case ERROR_FILE_NOT_FOUND: r.code = SE_ERR_FNF; break;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DIRECTORY:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH: r.code = SE_ERR_PNF; break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: r.code = SE_ERR_OOM; break;
    case ERROR_BAD_FORMAT: r.code = ERROR_BAD_FORMAT; break;
    case ERROR_NO_ASSOCIATION: r.code = SE_ERR_NOASSOC; break;
    default: r.code = SE_ERR_ACCESSDENIED; break;
  }
  return r;
}

bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

std::wstring ExtensionOf(const std::wstring& path) {
  size_t dot = path.rfind(L'.');
  size_t sep = path.find_last_of(L"\\/");
  if (dot == std::wstring::npos || (sep != std::wstring::npos && dot < sep)) return L"";
  return path.substr(dot);
}

bool IsAbsoluteWindowsPath(const std::wstring& path) {
  if (path.size() >= 2 && path[1] == L':') return true;
  return !path.empty() && (path[0] == L'\\' || path[0] == L'/');
}

bool IsRegularFile(const std::string& hostPath) {
  struct stat st {};
  return stat(hostPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsDirectory(const std::string& hostPath) {
  struct stat st {};
  return stat(hostPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Windows runs any file it recognises as a program; here that needs the
// execute bits, which copies made through the file API do not carry.
void MakeExecutable(const std::string& hostPath) {
  struct stat st {};
  if (stat(hostPath.c_str(), &st) != 0 || (st.st_mode & S_IXUSR)) return;
  mode_t mode = st.st_mode & 07777;
  mode |= S_IXUSR;
  if (mode & S_IRGRP) mode |= S_IXGRP;
  if (mode & S_IROTH) mode |= S_IXOTH;
  chmod(hostPath.c_str(), mode);
}

std::string DirName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

// The machine's batch interpreter: $WIN32_CMDBAT, a cmdbat beside the
// running program, or the one of this build.
std::string BatchInterpreter() {
  if (const char* env = getenv("WIN32_CMDBAT"); env && *env) return env;
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n > 0) {
    std::string beside = DirName(std::string(self, static_cast<size_t>(n))) + "/cmdbat";
    if (access(beside.c_str(), X_OK) == 0) return beside;
  }
#ifdef WIN32_CMDBAT_PATH
  if (access(WIN32_CMDBAT_PATH, X_OK) == 0) return WIN32_CMDBAT_PATH;
#endif
  return "";
}

LaunchResult OpenUrl(const std::wstring& url) {
  LaunchResult r;
  Json::Value config = MachineConfig();
  const std::string opener =
      config.isObject() && config["url_opener"].isString() ? config["url_opener"].asString() : "";
  if (!opener.empty()) {
    DWORD error = 0;
    r.process = SpawnDetached(opener, {WideToUtf8(url)}, "", &error);
    return r.process ? r : Failure(error == ERROR_FILE_NOT_FOUND ? ERROR_NO_ASSOCIATION : error);
  }
  // No browser on this machine: the request is kept for whoever looks.
  const std::string line = WideToUtf8(url) + "\n";
  int fd = open((MachineDir() + "/opened-urls.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return Failure(ERROR_ACCESS_DENIED);
  bool ok = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  close(fd);
  return ok ? r : Failure(ERROR_WRITE_FAULT);
}

// Maps the file to launch: relative names are looked up in the given
// directory first, then in the current one; a name without extension may
// stand for a program or a batch file.
bool ResolveFile(const std::wstring& file, const std::wstring& directory, std::string* host, DWORD* error) {
  std::vector<std::wstring> candidates;
  if (!IsAbsoluteWindowsPath(file) && !directory.empty()) {
    std::wstring base = directory;
    if (base.back() != L'\\' && base.back() != L'/') base += L'\\';
    candidates.push_back(base + file);
  }
  candidates.push_back(file);
  *error = ERROR_FILE_NOT_FOUND;
  for (const auto& candidate : candidates) {
    std::vector<std::wstring> names{candidate};
    if (ExtensionOf(candidate).empty())
      for (const wchar_t* ext : {L".exe", L".bat", L".cmd"}) names.push_back(candidate + ext);
    for (const auto& name : names) {
      std::string mapped;
      DWORD mapError = 0;
      if (!ToHostPath(name, &mapped, &mapError)) {
        *error = mapError;
        continue;
      }
      if (IsRegularFile(mapped) || IsDirectory(mapped)) {
        *host = mapped;
        return true;
      }
      *error = IsDirectory(DirName(mapped)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    }
  }
  return false;
}

LaunchResult Launch(LPCWSTR verb, LPCWSTR file, LPCWSTR parameters, LPCWSTR directory) {
  if (verb && *verb && !EqualsNoCase(verb, L"open") && !EqualsNoCase(verb, L"runas"))
    return Failure(ERROR_NO_ASSOCIATION);
  if (!file || !*file) return Failure(ERROR_FILE_NOT_FOUND);
  const std::wstring target = file;
  if (StartsWithNoCase(target, L"http://") || StartsWithNoCase(target, L"https://")) return OpenUrl(target);

  const std::wstring dir = directory ? directory : L"";
  std::string hostDir;
  if (!dir.empty()) {
    DWORD error = 0;
    if (!ToHostPath(dir, &hostDir, &error)) return Failure(error);
    if (!IsDirectory(hostDir)) return Failure(ERROR_DIRECTORY);
  }
  std::string hostFile;
  DWORD error = 0;
  if (!ResolveFile(target, dir, &hostFile, &error)) return Failure(error);
  if (IsDirectory(hostFile)) return Failure(ERROR_NO_ASSOCIATION);

  std::vector<std::string> args;
  for (const auto& arg : SplitCommandLine(parameters ? parameters : L"")) args.push_back(WideToUtf8(arg));
  const std::wstring ext = ExtensionOf(Utf8ToWide(hostFile));
  std::string program;
  if (EqualsNoCase(ext, L".exe") || EqualsNoCase(ext, L".com")) {
    MakeExecutable(hostFile);
    program = hostFile;
  } else if (EqualsNoCase(ext, L".bat") || EqualsNoCase(ext, L".cmd")) {
    program = BatchInterpreter();
    if (program.empty()) return Failure(ERROR_NO_ASSOCIATION);
    args.insert(args.begin(), hostFile);
  } else {
    return Failure(ERROR_NO_ASSOCIATION);
  }
  LaunchResult r;
  r.process = SpawnDetached(program, args, hostDir, &error);
  return r.process ? r : Failure(error);
}

}  // namespace
}  // namespace win32

HINSTANCE WINAPI ShellExecuteW(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters, LPCWSTR directory,
                               INT showCmd) {
  (void)owner;
  (void)showCmd;
  win32::LaunchResult r = win32::Launch(verb, file, parameters, directory);
  SetLastError(r.error);
  return reinterpret_cast<HINSTANCE>(r.code);
}

BOOL WINAPI ShellExecuteExW(SHELLEXECUTEINFOW* info) {
  if (!info || info->cbSize != sizeof(SHELLEXECUTEINFOW)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  info->hProcess = nullptr;
  win32::LaunchResult r = win32::Launch(info->lpVerb, info->lpFile, info->lpParameters, info->lpDirectory);
  info->hInstApp = reinterpret_cast<HINSTANCE>(r.code);
  if (r.code <= 32) {
    SetLastError(r.error);
    return FALSE;
  }
  if ((info->fMask & SEE_MASK_NOCLOSEPROCESS) && r.process) info->hProcess = win32::RegisterHandle(r.process);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
