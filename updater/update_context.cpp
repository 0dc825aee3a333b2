#include "updater/update_context.h"

#include <cstdio>

#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include "shared/file_system.h"
#include "shared/log_writer.h"
#include "shared/product_constants.h"
#include "shared/program_dirs.h"
#include "shared/registry_key.h"
#include "shared/system_helpers.h"
#include "shared/text_convert.h"
#include "shared/utc_time.h"

namespace {

UpdateContext* g_context = nullptr;

}  // namespace

UpdateContext* UpdateContext::Instance() {
  if (g_context == nullptr) {
    g_context = new UpdateContext;
    g_context->Init();
  }
  return g_context;
}

void UpdateContext::DestroyInstance() {
  delete g_context;
  g_context = nullptr;
}

void UpdateContext::Init() {
  workDir_ = AddBackslash(GetShellFolder(CSIDL_PROGRAM_FILES_COMMON) + L"\\" + kProductWord);
  if (!DirectoryExists(workDir_)) {
    CreateDirectories(workDir_);
  }
  char logPath[1024] = {};
  std::snprintf(logPath, sizeof(logPath), "%sUpdate%s.log", WideToAnsi(workDir_).c_str(),
                WideToAnsi(GetUtcTimestamp()).c_str());
  SetLogPath(logPath);

  RegistryKey key(HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS, true);
  if (key.OpenForRead(std::wstring(kUninstallRegKey) + kProductGuid)) {
    installLocation_ = key.QueryString(kInstallLocationValue);
    statisticsUrl_ = key.QueryString(kUrlValue);
    officialUrl_ = key.QueryString(kOfficialUrlValue);
    key.Close();
  }
}

bool UpdateContext::LoadUpdateConfig() {
  std::wstring path = installLocation_ + kModuleSubdir + kUpdateConfigFile;
  ToBackslashes(path);
  return ReadUpdateConfig(path, config);
}

bool UpdateContext::CheckVersions() {
  mainNeeded = CheckVersion(config.updateurl, config.main.packagename, config.main.version, mainInfo) == 2;
  deltaNeeded = CheckVersion(config.updateurl, config.delta.packagename, config.delta.version, deltaInfo) == 2;
  return mainNeeded || deltaNeeded;
}

void LaunchProduct(bool launcher) {
  const std::wstring dir = GetModuleDir();
  const std::wstring path = dir + (launcher ? kLauncherExe : kMainProgramExe);
  if (FileExists(path)) {
    ShellExecuteW(NULL, L"open", path.c_str(), L"", dir.c_str(), SW_SHOW);
  }
}

void ToBackslashes(std::wstring& path) {
  for (WCHAR& c : path) {
    if (c == L'/') c = L'\\';
  }
}

std::wstring GetParentDirectoryNoBackslash(const std::wstring& path) {
  // The shell's path functions work on MAX_PATH buffers; a longer path has
  // no parent we could name reliably.
  if (path.empty() || path.size() >= MAX_PATH) return std::wstring();
  WCHAR buffer[MAX_PATH] = {};
  path.copy(buffer, path.size());
  PathRemoveBackslashW(buffer);
  PathRemoveFileSpecW(buffer);
  return buffer;
}
