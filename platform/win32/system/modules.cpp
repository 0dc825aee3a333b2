// Modules. The system modules are this platform itself; any other module is
// a shared library of the host loaded from the file the Windows path maps
// to (7z.dll beside a program is such a library under a Windows name).
#include <windows.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>

#include "internal/files.h"
#include "internal/machine.h"
#include "internal/registry_exports.h"
#include "internal/unicode.h"

namespace win32 {
namespace {

const wchar_t* const kSystemModules[] = {
    L"kernel32.dll", L"advapi32.dll", L"user32.dll",   L"gdi32.dll",  L"shell32.dll", L"shlwapi.dll",
    L"ole32.dll",    L"oleaut32.dll", L"iphlpapi.dll", L"wininet.dll", L"ntdll.dll",  L"comctl32.dll",
};
constexpr size_t kSystemModuleCount = sizeof(kSystemModules) / sizeof(kSystemModules[0]);
char g_systemModuleTokens[kSystemModuleCount];
char g_mainModuleToken;

HMODULE SystemModule(size_t index) { return reinterpret_cast<HMODULE>(&g_systemModuleTokens[index]); }
HMODULE MainModule() { return reinterpret_cast<HMODULE>(&g_mainModuleToken); }

// GetModuleFileNameW answers from the names registered here.
void RegisterFixedModules() {
  static std::once_flag once;
  std::call_once(once, [] {
    RegisterModuleFileName(MainModule(), L"");
    for (size_t i = 0; i < kSystemModuleCount; ++i)
      RegisterModuleFileName(SystemModule(i), std::wstring(L"C:\\Windows\\System32\\") + kSystemModules[i]);
  });
}

int SystemModuleIndex(HMODULE module) {
  for (size_t i = 0; i < kSystemModuleCount; ++i)
    if (module == SystemModule(i)) return static_cast<int>(i);
  return -1;
}

struct Loaded {
  std::string hostPath;
  int references = 0;
};
std::mutex g_mutex;
std::map<HMODULE, Loaded>& LoadedModules() {
  static auto* modules = new std::map<HMODULE, Loaded>();
  return *modules;
}

std::wstring BaseName(const std::wstring& path) {
  size_t sep = path.find_last_of(L"\\/");
  return sep == std::wstring::npos ? path : path.substr(sep + 1);
}

// "name" gets ".dll"; "name." means no extension at all.
std::wstring WithDefaultExtension(const std::wstring& name) {
  std::wstring base = BaseName(name);
  if (!base.empty() && base.back() == L'.') return name.substr(0, name.size() - 1);
  if (base.find(L'.') == std::wstring::npos) return name + L".dll";
  return name;
}

int SystemModuleByName(const std::wstring& name) {
  std::wstring base = WithDefaultExtension(BaseName(name));
  for (size_t i = 0; i < kSystemModuleCount; ++i)
    if (EqualsNoCase(base, kSystemModules[i])) return static_cast<int>(i);
  return -1;
}

std::string SelfPath() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

bool IsFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The search order of Windows for a bare name: the program's directory,
// then the current directory.
bool FindLibrary(const std::wstring& name, std::string* host, DWORD* error) {
  *error = ERROR_MOD_NOT_FOUND;
  if (name.find_first_of(L"\\/:") != std::wstring::npos) {
    std::string mapped;
    DWORD mapError = 0;
    if (!ToHostPath(name, &mapped, &mapError) || !IsFile(mapped)) return false;
    *host = mapped;
    return true;
  }
  std::string self = SelfPath();
  std::string selfDir = self.substr(0, self.rfind('/'));
  std::wstring dirs[] = {ToWindowsPath(selfDir), L"."};
  for (const auto& dir : dirs) {
    std::string mapped;
    DWORD mapError = 0;
    if (ToHostPath(dir + L"\\" + name, &mapped, &mapError) && IsFile(mapped)) {
      *host = mapped;
      return true;
    }
  }
  return false;
}

}  // namespace
}  // namespace win32

HMODULE WINAPI LoadLibraryW(LPCWSTR fileName) {
  if (!fileName || !*fileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  win32::RegisterFixedModules();
  const std::wstring name = win32::WithDefaultExtension(fileName);
  int system = win32::SystemModuleByName(name);
  if (system >= 0 && name.find_first_of(L"\\/:") == std::wstring::npos) return win32::SystemModule(system);
  std::string host;
  DWORD error = 0;
  if (!win32::FindLibrary(name, &host, &error)) {
    SetLastError(error);
    return nullptr;
  }
  void* handle = dlopen(host.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    SetLastError(ERROR_BAD_EXE_FORMAT);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(win32::g_mutex);
  auto& entry = win32::LoadedModules()[static_cast<HMODULE>(handle)];
  if (entry.references == 0) {
    entry.hostPath = host;
    win32::RegisterModuleFileName(static_cast<HMODULE>(handle), win32::ToWindowsPath(host));
  }
  ++entry.references;
  return static_cast<HMODULE>(handle);
}

BOOL WINAPI FreeLibrary(HMODULE module) {
  if (module == win32::MainModule() || win32::SystemModuleIndex(module) >= 0) return TRUE;
  std::lock_guard<std::mutex> lock(win32::g_mutex);
  auto it = win32::LoadedModules().find(module);
  if (it == win32::LoadedModules().end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (--it->second.references == 0) {
    win32::LoadedModules().erase(it);
    win32::UnregisterModuleFileName(module);
  }
  dlclose(module);
  return TRUE;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName) {
  // Exports by ordinal are not offered.
  if (!procName || reinterpret_cast<ULONG_PTR>(procName) <= 0xFFFF) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  int system = win32::SystemModuleIndex(module);
  if (system >= 0) {
    void* address = nullptr;
    if (win32::EqualsNoCase(win32::kSystemModules[system], L"advapi32.dll")) address = win32::RegistryExport(procName);
    if (!address) SetLastError(ERROR_PROC_NOT_FOUND);
    return reinterpret_cast<FARPROC>(address);
  }
  if (module == win32::MainModule() || !module) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> lock(win32::g_mutex);
    if (!win32::LoadedModules().count(module)) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
  }
  void* address = dlsym(module, procName);
  if (!address) SetLastError(ERROR_PROC_NOT_FOUND);
  return reinterpret_cast<FARPROC>(address);
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR moduleName) {
  win32::RegisterFixedModules();
  if (!moduleName) return win32::MainModule();
  const std::wstring name = win32::WithDefaultExtension(moduleName);
  int system = win32::SystemModuleByName(name);
  if (system >= 0) return win32::SystemModule(system);
  const std::wstring base = win32::BaseName(name);
  const std::wstring self = win32::BaseName(win32::Utf8ToWide(win32::SelfPath()));
  if (win32::EqualsNoCase(base, self) || win32::EqualsNoCase(win32::BaseName(moduleName), self))
    return win32::MainModule();
  std::lock_guard<std::mutex> lock(win32::g_mutex);
  for (const auto& [handle, loaded] : win32::LoadedModules())
    if (win32::EqualsNoCase(base, win32::BaseName(win32::Utf8ToWide(loaded.hostPath)))) return handle;
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}
