#include "updater/self_update.h"

#include <list>

#include <shellapi.h>

#include "shared/file_system.h"
#include "shared/json_config.h"
#include "shared/log_writer.h"
#include "shared/product_constants.h"
#include "shared/program_dirs.h"
#include "shared/text_convert.h"
#include "updater/update_context.h"

namespace {

const WCHAR kUpdaterSubdir[] = L"update/";
const WCHAR kDefaultChannel[] = L"pcclient";

// A path as the command interpreter must read it: it would expand "%..%"
// inside the line, so every "%" is doubled. ANSI code page, like the file.
std::string BatchText(const std::wstring& path) {
  std::wstring escaped;
  for (WCHAR c : path) {
    escaped += c;
    if (c == L'%') escaped += L'%';
  }
  return WideToAnsi(escaped);
}

std::string Quoted(const std::wstring& path) { return "\"" + BatchText(path) + "\""; }

// How long the batch file waits for the updater that wrote it to end.
const int kUpdaterExitWaitSeconds = 30;

// Lines that wait until updaterExe can be written, that is until the updater
// running from it has ended: a running program's files cannot be replaced.
// Appending nothing to the file in place ("copy /b X+nul X") tries to open it
// for writing and fails while it runs. The loop uses errorlevel and goto
// only, which every command interpreter runs alike.
std::string WaitForUpdaterExit(const std::wstring& updaterExe) {
  const std::string exe = Quoted(updaterExe);
  std::string lines;
  lines += "set /a korva_wait=0\r\n";
  lines += ":korva_wait\r\n";
  lines += "if not exist " + exe + " goto korva_copy\r\n";
  lines += "copy /y /b " + exe + "+nul " + exe + " >nul 2>nul\r\n";
  lines += "if not errorlevel 1 goto korva_copy\r\n";
  lines += "set /a korva_wait+=1\r\n";
  lines += "if %korva_wait% geq " + std::to_string(kUpdaterExitWaitSeconds) + " goto korva_copy\r\n";
  lines += "ping -n 2 127.0>nul\r\n";
  lines += "goto korva_wait\r\n";
  lines += ":korva_copy\r\n";
  return lines;
}

bool WriteTextFile(const std::wstring& path, const std::string& text) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, NULL) &&
                  written == text.size();
  CloseHandle(file);
  return ok;
}

// Loads path into config. False for a file that exists but cannot be read or
// parsed: writing a member into it would throw away everything else.
bool LoadForUpdate(JsonConfig& config, const std::wstring& path) {
  if (config.Load(path) || !FileExists(path)) return true;
  WriteLog("config file cannot be loaded, it is left unchanged: %s .", WideToAnsi(path).c_str());
  return false;
}

}  // namespace

bool WriteUpdateBatch(const std::wstring& batchPath, const std::wstring& sourceDir, const std::wstring& exeDir,
                      const std::wstring& workDir) {
  const std::wstring sourceBase = AddBackslash(sourceDir);
  std::list<std::wstring> files;
  CollectFiles(sourceDir, files, L"*.*");

  std::string text = "ping -n 1 127.0>nul\r\n";
  text += WaitForUpdaterExit(exeDir + kUpdaterExe);
  std::list<std::wstring> targetDirs;
  for (const std::wstring& file : files) {
    const std::wstring target = exeDir + file.substr(sourceBase.size());
    text += "copy /y " + Quoted(file) + " " + Quoted(target) + "\r\n";
    targetDirs.push_back(GetParentDirectory(target));
  }
  text += "rd /s /q " + Quoted(workDir + kSelfUpdatePackageDir) + "\r\n";
  text += BatchText(exeDir.substr(0, 2)) + "\r\n";
  // Quoted: an unquoted "&" or "^" in the folder would split or change the line.
  text += "cd " + Quoted(exeDir) + "\r\n";
  text += Quoted(exeDir + kUpdaterExe) + "\r\n";
  text += "ping -n 6 127.0>nul\r\n";
  text += "del %0\r\n";
  if (!WriteTextFile(batchPath, text)) return false;

  // copy does not create directories: a folder new in this package must
  // exist before the batch file runs, or its files would be lost.
  for (const std::wstring& dir : targetDirs) {
    if (!DirectoryExists(dir)) CreateDirectories(dir);
  }
  return true;
}

bool WriteBackVersion(const std::wstring& path, const std::wstring& section, INT32 versionCode) {
  JsonConfig config;
  if (!LoadForUpdate(config, path)) return false;
  config.SetVersion(section, std::to_wstring(versionCode));
  return config.Save(L"");
}

bool WritePackageVersion(const std::wstring& path, const std::wstring& section, INT32 versionCode) {
  try {
    return WriteBackVersion(path, section, versionCode);
  } catch (...) {
    WriteLog("failed to write the version of %s into %s .", WideToAnsi(section).c_str(), WideToAnsi(path).c_str());
    return false;
  }
}

void MoveChannelSetting(const std::wstring& updaterConfigPath, const std::wstring& channelPath) {
  if (FileExists(updaterConfigPath)) {
    JsonConfig updaterConfig;
    std::wstring channel;
    // No channel to move: channel.json stays as it is, or absent. The
    // updater's file stays too; it also holds the updater's version, and
    // only a channel that has been moved makes it redundant.
    if (!updaterConfig.Load(updaterConfigPath) || !updaterConfig.GetConfigByName(L"channel", channel) ||
        channel.empty()) {
      return;
    }
    JsonConfig channelConfig;
    if (!LoadForUpdate(channelConfig, channelPath)) return;  // keep the channel where it is
    channelConfig.SetString(L"channel", channel);
    if (channelConfig.Save(L"")) {
      DeleteFileW(updaterConfigPath.c_str());
    }
  } else if (!FileExists(channelPath)) {
    JsonConfig channelConfig;
    channelConfig.Load(channelPath);
    channelConfig.SetString(L"channel", kDefaultChannel);
    channelConfig.Save(L"");
  }
}

void FinishSelfUpdate(const std::wstring& sourceDir) {
  UpdateContext* context = UpdateContext::Instance();
  const std::wstring workDir = context->GetWorkDir();
  const std::wstring batchPath = workDir + kUpdateBatFile;
  if (FileExists(batchPath)) {
    DeleteFileW(batchPath.c_str());
  }
  if (!WriteUpdateBatch(batchPath, sourceDir, GetModuleDir(), workDir)) return;

  const std::wstring installLocation = context->GetInstallLocation();
  std::wstring updaterConfig = installLocation + kUpdaterSubdir + kUpdateConfigFile;
  std::wstring productConfig = installLocation + kModuleSubdir + kUpdateConfigFile;
  std::wstring channelFile = installLocation + kUpdaterSubdir + kChannelFile;
  ToBackslashes(updaterConfig);
  ToBackslashes(productConfig);
  ToBackslashes(channelFile);
  try {
    const INT32 version = context->GetSelfUpdateInfo().versionCode;
    WriteBackVersion(updaterConfig, L"updateupdate", version);
    WriteBackVersion(productConfig, L"updateupdate", version);
    MoveChannelSetting(updaterConfig, channelFile);
  } catch (...) {
    WriteLog("update config file error during updating.");
  }

  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.hwnd = NULL;
  info.lpVerb = L"runas";
  info.lpFile = batchPath.c_str();
  info.lpParameters = L"";
  info.lpDirectory = workDir.c_str();
  info.nShow = SW_HIDE;
  ShellExecuteExW(&info);
}
