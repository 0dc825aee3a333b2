// Folders of the machine and the process: standard shell folders, the
// temporary folder, the current directory, free disk space and nested
// directory creation.
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cwctype>
#include <string>
#include <vector>

#include <windows.h>
#include <shlobj.h>

#include "internal/errors.h"
#include "internal/files.h"
#include "internal/machine.h"
#include "internal/power_cut.h"
#include "internal/unicode.h"

namespace win32 {
namespace {

// Copies text into a caller's buffer with the usual length convention:
// the length without terminator on success, else the size needed with it.
DWORD CopyOut(const std::wstring& text, DWORD bufferLength, LPWSTR buffer) {
  if (!buffer || bufferLength <= text.size()) return static_cast<DWORD>(text.size() + 1);
  text.copy(buffer, text.size());
  buffer[text.size()] = 0;
  return static_cast<DWORD>(text.size());
}

// Where each standard folder lies on drive C:. The machine is a 64-bit
// Windows as a 32-bit program sees it.
bool FolderOf(int csidl, std::wstring* path) {
  const std::wstring profile = L"C:\\Users\\" + MachineUserName();
  const std::wstring startMenu = L"\\Microsoft\\Windows\\Start Menu";
  switch (csidl) {
    case CSIDL_DESKTOP:
    case CSIDL_DESKTOPDIRECTORY: *path = profile + L"\\Desktop"; return true;
    case CSIDL_PERSONAL: *path = profile + L"\\Documents"; return true;
    case CSIDL_PROFILE: *path = profile; return true;
    case CSIDL_APPDATA: *path = profile + L"\\AppData\\Roaming"; return true;
    case CSIDL_LOCAL_APPDATA: *path = profile + L"\\AppData\\Local"; return true;
    case CSIDL_STARTMENU: *path = profile + L"\\AppData\\Roaming" + startMenu; return true;
    case CSIDL_PROGRAMS: *path = profile + L"\\AppData\\Roaming" + startMenu + L"\\Programs"; return true;
    case CSIDL_STARTUP: *path = profile + L"\\AppData\\Roaming" + startMenu + L"\\Programs\\Startup"; return true;
    case CSIDL_COMMON_APPDATA: *path = L"C:\\ProgramData"; return true;
    case CSIDL_COMMON_STARTMENU: *path = L"C:\\ProgramData" + startMenu; return true;
    case CSIDL_COMMON_PROGRAMS: *path = L"C:\\ProgramData" + startMenu + L"\\Programs"; return true;
    case CSIDL_COMMON_STARTUP: *path = L"C:\\ProgramData" + startMenu + L"\\Programs\\Startup"; return true;
    case CSIDL_COMMON_DESKTOPDIRECTORY: *path = L"C:\\Users\\Public\\Desktop"; return true;
    case CSIDL_COMMON_DOCUMENTS: *path = L"C:\\Users\\Public\\Documents"; return true;
    case CSIDL_WINDOWS: *path = L"C:\\Windows"; return true;
    case CSIDL_SYSTEM: *path = L"C:\\Windows\\System32"; return true;
    case CSIDL_PROGRAM_FILES:
    case CSIDL_PROGRAM_FILESX86: *path = L"C:\\Program Files (x86)"; return true;
    case CSIDL_PROGRAM_FILES_COMMON:
    case CSIDL_PROGRAM_FILES_COMMONX86: *path = L"C:\\Program Files (x86)\\Common Files"; return true;
    default: return false;
  }
}

// "X" of "X:..." (the current directory's drive for other paths), upper case.
wchar_t DriveLetterOf(const std::wstring& path) {
  if (path.size() >= 2 && path[1] == L':' && iswalpha(static_cast<wint_t>(path[0])))
    return static_cast<wchar_t>(towupper(static_cast<wint_t>(path[0])));
  std::vector<char> cwd(4096);
  if (!getcwd(cwd.data(), cwd.size())) return L'Z';
  return ToWindowsPath(cwd.data())[0];
}

}  // namespace

std::wstring MachineUserName() {
  Json::Value user = MachineConfig()["user"];
  if (user.isString() && !user.asString().empty()) return Utf8ToWide(user.asString());
  return L"User";
}

bool KnownFolderPath(int csidl, std::wstring* path) {
  if (!FolderOf(csidl, path)) return false;
  std::string host;
  DWORD error = 0;
  if (ToHostPath(*path, &host, &error)) MakeHostDirs(host);
  return true;
}

}  // namespace win32

using namespace win32;

DWORD WINAPI GetTempPathW(DWORD bufferLength, LPWSTR buffer) {
  std::wstring dir;
  KnownFolderPath(CSIDL_LOCAL_APPDATA, &dir);
  dir += L"\\Temp";
  std::string host;
  DWORD error = 0;
  if (ToHostPath(dir, &host, &error)) MakeHostDirs(host);
  return CopyOut(dir + L"\\", bufferLength, buffer);
}

DWORD WINAPI GetCurrentDirectoryW(DWORD bufferLength, LPWSTR buffer) {
  std::vector<char> cwd(4096);
  if (!getcwd(cwd.data(), cwd.size())) {
    SetLastErrorFromErrno();
    return 0;
  }
  return CopyOut(ToWindowsPath(cwd.data()), bufferLength, buffer);
}

BOOL WINAPI SetCurrentDirectoryW(LPCWSTR pathName) {
  if (!pathName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string host = HostPathOrEmpty(pathName);
  if (host.empty()) return FALSE;
  struct stat st{};
  if (stat(host.c_str(), &st) != 0) {
    SetLastError(MissingError(host));
    return FALSE;
  }
  if (!S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_DIRECTORY);
    return FALSE;
  }
  if (chdir(host.c_str()) != 0) {
    SetLastErrorFromErrno();
    return FALSE;
  }
  return TRUE;
}

// machine.json may give a drive's figures: {"drives": {"C": {"free_bytes": N,
// "total_bytes": M}}}; free_bytes is both the caller's and the total free
// space. Without it the host file system's figures count.
BOOL WINAPI GetDiskFreeSpaceExW(LPCWSTR directoryName, PULARGE_INTEGER freeBytesAvailableToCaller,
                                PULARGE_INTEGER totalNumberOfBytes, PULARGE_INTEGER totalNumberOfFreeBytes) {
  std::wstring dir = directoryName ? directoryName : L".";
  std::string host;
  DWORD error = 0;
  if (!ToHostPath(dir, &host, &error)) {
    SetLastError(error);
    return FALSE;
  }
  struct stat st{};
  if (stat(host.c_str(), &st) != 0) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (!S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_DIRECTORY);
    return FALSE;
  }
  struct statvfs vfs{};
  if (statvfs(host.c_str(), &vfs) != 0) {
    SetLastErrorFromErrno();
    return FALSE;
  }
  uint64_t available = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
  uint64_t free = static_cast<uint64_t>(vfs.f_bfree) * vfs.f_frsize;
  uint64_t total = static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize;

  Json::Value drives = MachineConfig()["drives"];
  if (drives.isObject()) {
    wchar_t letter = DriveLetterOf(dir);
    std::string upper(1, static_cast<char>(letter)), lower(1, static_cast<char>(towlower(letter)));
    Json::Value drive = drives.isMember(upper) ? drives[upper] : drives[lower];
    if (drive.isObject() && drive["free_bytes"].isIntegral()) {
      available = free = drive["free_bytes"].asUInt64();
      if (drive["total_bytes"].isIntegral()) total = drive["total_bytes"].asUInt64();
      if (total < free) total = free;
    }
  }
  if (freeBytesAvailableToCaller) freeBytesAvailableToCaller->QuadPart = available;
  if (totalNumberOfBytes) totalNumberOfBytes->QuadPart = total;
  if (totalNumberOfFreeBytes) totalNumberOfFreeBytes->QuadPart = free;
  return TRUE;
}

HRESULT WINAPI SHGetFolderPathW(HWND, int folder, HANDLE, DWORD, LPWSTR path) {
  if (!path) return E_INVALIDARG;
  path[0] = 0;
  std::wstring found;
  if (!KnownFolderPath(folder & ~CSIDL_FLAG_MASK, &found)) return E_INVALIDARG;
  if (found.size() >= MAX_PATH) return E_FAIL;
  found.copy(path, found.size());
  path[found.size()] = 0;
  return S_OK;
}

int WINAPI SHCreateDirectoryExW(HWND, LPCWSTR path, const SECURITY_ATTRIBUTES*) {
  auto result = [](DWORD error) {
    SetLastError(error);
    return static_cast<int>(error);
  };
  if (!path || !*path) return result(ERROR_BAD_PATHNAME);
  std::wstring p = path;
  if (p.compare(0, 4, L"\\\\?\\") == 0) p = p.substr(4);
  bool absolute = (p.size() >= 3 && p[1] == L':' && (p[2] == L'\\' || p[2] == L'/')) ||
                  (p.size() >= 2 && (p[0] == L'\\' || p[0] == L'/') && (p[1] == L'\\' || p[1] == L'/'));
  if (!absolute) return result(ERROR_BAD_PATHNAME);
  if (p.size() >= MAX_PATH) return result(ERROR_FILENAME_EXCED_RANGE);
  std::string host, root;
  DWORD error = 0;
  if (!ToHostPath(p, &host, &error)) return result(error);
  if (!ToHostPath(p.substr(0, 3), &root, &error)) return result(error);

  struct stat st{};
  if (stat(host.c_str(), &st) == 0) return result(S_ISDIR(st.st_mode) ? ERROR_ALREADY_EXISTS : ERROR_FILE_EXISTS);
  // Create each missing level below the drive's root in turn.
  std::string partial = root == "/" ? "" : root;
  size_t pos = root == "/" ? 1 : root.size() + 1;
  while (pos <= host.size()) {
    size_t end = host.find('/', pos);
    if (end == std::string::npos) end = host.size();
    partial += "/" + host.substr(pos, end - pos);
    pos = end + 1;
    if (stat(partial.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return result(ERROR_PATH_NOT_FOUND);
      continue;
    }
    PowerCutSection section;
    if (mkdir(partial.c_str(), 0755) == 0)
      PowerCutChanged(partial);  // each level is a change of its own, as CreateDirectoryW's
    else if (errno != EEXIST)
      return result(ErrorFromErrno(errno));
  }
  return result(ERROR_SUCCESS);
}
