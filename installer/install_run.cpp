// The install run: removal of an earlier copy, then the eight steps.
#include <chrono>

#include <boost/algorithm/string/replace.hpp>
#include <boost/make_shared.hpp>
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include "installer/install_kernel.h"
#include "installer/install_record.h"
#include "installer/install_workers.h"
#include "installer/uninstaller.h"
#include "shared/product_constants.h"
#include "shared/file_system.h"
#include "shared/log_writer.h"
#include "shared/md5.h"
#include "shared/registry_key.h"
#include "shared/system_helpers.h"
#include "shared/program_dirs.h"
#include "shared/text_convert.h"
#include "shared/tree_move.h"

const wchar_t* const RuntimeFileList[30] = {
    L"7z.dll",
    L"api-ms-win-core-file-l1-2-0.dll",
    L"api-ms-win-core-file-l2-1-0.dll",
    L"api-ms-win-core-localization-l1-2-0.dll",
    L"api-ms-win-core-processthreads-l1-1-1.dll",
    L"api-ms-win-core-synch-l1-2-0.dll",
    L"api-ms-win-core-timezone-l1-1-0.dll",
    L"api-ms-win-core-xstate-l2-1-0.dll",
    L"api-ms-win-crt-conio-l1-1-0.dll",
    L"api-ms-win-crt-convert-l1-1-0.dll",
    L"api-ms-win-crt-environment-l1-1-0.dll",
    L"api-ms-win-crt-filesystem-l1-1-0.dll",
    L"api-ms-win-crt-heap-l1-1-0.dll",
    L"api-ms-win-crt-locale-l1-1-0.dll",
    L"api-ms-win-crt-math-l1-1-0.dll",
    L"api-ms-win-crt-runtime-l1-1-0.dll",
    L"api-ms-win-crt-stdio-l1-1-0.dll",
    L"api-ms-win-crt-string-l1-1-0.dll",
    L"api-ms-win-crt-time-l1-1-0.dll",
    L"api-ms-win-crt-utility-l1-1-0.dll",
    L"DuiLib_u.dll",
    L"libcurl.dll",
    L"libeay32.dll",
    L"ssleay32.dll",
    L"ucrtbase.dll",
    L"vcruntime140.dll",
    kLauncherExe,
    kUninstallerExe,
    kUpdaterExe,
    kChannelFile,
};

namespace {

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::wstring WithBackslashes(std::wstring path) {
  boost::algorithm::replace_all(path, L"/", L"\\");
  return path;
}

}  // namespace

int KorvaInstallKernel::Install() {
  std::wstring location;
  if (GetInstalledLocation(kProductGuid, location)) {
    WriteLog("check this machine have installed program.");
    Uninstaller uninstaller(location, recordPath);
    uninstaller.Uninstall();
    WriteLog("have uninstall the installed program.");
  }
  if (!DownloadPackage()) return kInstallDownloadFailed;
  if (!UnzipPackage()) return kInstallUnzipFailed;
  if (!RunExecutes()) return kInstallRunExternalFailed;
  if (!WriteUninstallInfo()) return kInstallRegistryFailed;
  if (!CreateShortcuts()) return kInstallShortcutFailed;
  RegisterCompatibility();
  if (!CopyRuntimeFiles()) return kInstallCopyFailed;
  if (!DeleteTempFiles()) return kInstallDeleteTempFailed;
  KorvaInstallProgress::Instance()->SetComplete();
  return kInstallOk;
}

bool KorvaInstallKernel::DownloadPackage() {
  WriteLog("start to download package .");
  const long long start = NowMs();
  int result = CheckVersion(updateConfig.updateurl, updateConfig.main.packagename,
                            updateConfig.main.version, mainPackageInfo);
  if (result == -1) {
    WriteLog("failed to get main package info, errorCode: %d .", result);
    return false;
  }
  WriteLog("korvainfo: %d", static_cast<int>(NowMs() - start));

  const std::string url = WideToUtf8(mainPackageInfo.downloadUrl);
  const std::string expectedMd5 = WideToUtf8(mainPackageInfo.md5);
  packagePath = dataDir + GetFileName(mainPackageInfo.downloadUrl);
  if (!DirectoryExists(dataDir)) CreateDirectories(dataDir);

  int status = RunWorker(boost::make_shared<KorvaPackageDownloadWorker>(url, WideToAnsi(packagePath)));
  if (status != kWorkerOk) {
    WriteLog("failed to download the main package.");
    return false;
  }

  char digest[33] = {0};
  Md5File(WideToAnsi(packagePath).c_str(), digest);
  if (expectedMd5 != digest) {
    WriteLog("the downloaded package is damaged .");
    // Resuming a damaged file can never succeed: start afresh next time.
    DeletePackageFiles();
    return false;
  }
  const long long seconds = (NowMs() - start) / 1000;
  WriteLog("download time(s): %f.", static_cast<double>(seconds));
  WriteLog("download package complete .");
  return true;
}

bool KorvaInstallKernel::UnzipPackage() {
  WriteLog("start to unzip package .");
  const long long start = NowMs();
  // Removing an earlier installation may have taken the folder away.
  CreateDirectories(installPath, &madeInstallFolders);
  int status = RunWorker(
      boost::make_shared<KorvaPackageUnzipWorker>(WideToAnsi(packagePath), WideToAnsi(installPath)));
  if (status != kWorkerOk) {
    WriteLog("fail to unzip the package.");
    // A package that does not unpack would be resumed, not fetched anew,
    // by the next run. An abandoned worker (no result) still uses both, and
    // the install folder. A worker that failed took back what it placed.
    if (status != kWorkerNoResult) {
      DeletePackageFiles();
      RemoveMadeDirectories(madeInstallFolders);
    }
    return false;
  }
  const float elapsed = static_cast<float>(NowMs() - start);
  WriteLog("unzip time(s): %f.", static_cast<double>(elapsed / 1000.0));
  WriteLog("unzip package complete .");
  return true;
}

bool KorvaInstallKernel::RunExecutes() {
  WriteLog("start to run external program .");
  bool recordChanged = false;
  for (const ExecuteInfo& execute : config.executes) {
    if (execute.stage == 2) {
      installRecord.SetValue(ExecuteRecordKey(execute.location, execute.param), kRecordTagExecute);
      recordChanged = true;
    } else if (execute.stage == 1) {
      const std::wstring path = WithBackslashes(installPath + execute.location);
      if (!FileExists(path)) continue;
      ShellExecuteW(NULL, L"open", path.c_str(), execute.param.c_str(),
                    GetParentDirectory(path).c_str(), SW_HIDE);
    }
  }
  if (recordChanged) installRecord.Write(recordPath);
  WriteLog("run external program complete .");
  return true;
}

bool KorvaInstallKernel::WriteUninstallInfo() {
  WriteLog("start to write uninstall guid info.");
  RegistryKey key(HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS, true);
  const std::wstring path = UninstallKeyPath();
  HKEY existing = key.OpenSubKey(path);
  if (existing) {
    RegCloseKey(existing);
    if (!key.DeleteTree(path)) WriteLog("uninstall guid key is exist, but failed to delete it .");
  }
  if (key.Open(path, true)) {
    for (const auto& value : MakeUninstallValues(installPath, config.version, config.officialurl,
                                                 config.url)) {
      key.SetString(value.first, value.second);
    }
    WriteLog("write uninstall guid info success .");
    key.Close();
  }
  WriteLog("write uninstall guid info complete .");
  return true;
}

bool KorvaInstallKernel::CreateShortcuts() {
  WriteLog("start to generate shortcut of program .");
  bool recordChanged = false;
  for (const ShortcutInfo& shortcut : config.shortcuts) {
    const std::wstring base = AddBackslash(installPath);
    const std::wstring target = base + L"update\\" + kLauncherExe;
    const std::wstring icon = base + shortcut.icon;
    const std::wstring workDir = base + L"update\\";
    std::wstring path = shortcut.location;
    if (shortcut.id == L"desktop") {
      boost::algorithm::replace_all(path, L"%DESKTOP%",
                                    AddBackslash(GetShellFolder(CSIDL_COMMON_DESKTOPDIRECTORY)));
      path += shortcut.name + L".lnk";
    } else if (shortcut.id == L"startupmenu") {
      boost::algorithm::replace_all(path, L"%STARTUPMENU%",
                                    AddBackslash(GetShellFolder(CSIDL_COMMON_PROGRAMS)));
      path += shortcut.name + L".lnk";
    }
    path = WithBackslashes(path);
    if (CreateShortcut(target, path, icon, L"", workDir, L"")) {
      installRecord.SetValue(path, kRecordTagLnk);
      recordChanged = true;
    } else {
      WriteLog("failed to generate shortcut of program: %s .", WideToAnsi(path).c_str());
    }
  }
  if (recordChanged) installRecord.Write(recordPath);
  WriteLog("generate shortcut of program complete .");
  return true;
}

bool KorvaInstallKernel::RegisterCompatibility() {
  RegistryKey key(HKEY_CURRENT_USER, KEY_ALL_ACCESS, true);
  if (!key.Open(kAppCompatLayersKey, false)) {
    WriteLog("open compatibility reg error");
    return true;
  }
  const std::wstring name = installPath + kMainProgramExe;
  const std::wstring layer = L"~ WIN7RTM";
  if (key.QueryString(name) != layer) key.SetString(name, layer);
  key.Close();
  WriteLog("regist compatible for korva success.");
  return true;
}

bool KorvaInstallKernel::CopyRuntimeFiles() {
  const std::wstring source = GetModuleDir();
  const std::wstring target = AddBackslash(installPath + kUpdateDirName);
  if (!DirectoryExists(target)) CreateDirectories(target);
  const std::wstring skinDir = GetParentDirectory(target + kSkinArchivePath);
  if (!DirectoryExists(skinDir)) CreateDirectories(skinDir);
  if (!CopyFileW((source + kSkinBackupPath).c_str(), (target + kSkinArchivePath).c_str(), FALSE)) {
    WriteLog("fail to copy skin file, LastError: %d", static_cast<int>(GetLastError()));
    return false;
  }
  for (const wchar_t* name : RuntimeFileList) {
    if (!CopyFileW((source + name).c_str(), (target + name).c_str(), FALSE)) {
      const DWORD error = GetLastError();
      WriteLog("fail to copy: %s, LastError: %d", WideToAnsi(name).c_str(), static_cast<int>(error));
      return false;
    }
  }
  return true;
}

bool KorvaInstallKernel::DeleteTempFiles() {
  WriteLog("start to delete temp files and directories.");
  DeletePackageFiles();
  WriteLog("delete temp files and directories complete .");
  return true;
}

void KorvaInstallKernel::DeletePackageFiles() {
  // Without a file name the stem would name the data directory itself.
  if (GetFileName(packagePath).empty()) return;
  DeleteFileW(packagePath.c_str());
  const std::wstring unpacked = GetParentDirectory(packagePath) + GetFileStem(packagePath);
  if (!DeleteWholeTree(unpacked)) WriteLog("fail to clear %s .", WideToAnsi(unpacked).c_str());
}
