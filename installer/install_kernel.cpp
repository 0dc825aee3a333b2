#include "installer/install_kernel.h"

#include <boost/algorithm/string/replace.hpp>
#include <shlobj.h>
#include <wininet.h>

#include "installer/install_record.h"
#include "installer/process_objects.h"
#include "shared/product_constants.h"
#include "shared/file_system.h"
#include "shared/log_writer.h"
#include "shared/registry_key.h"
#include "shared/system_helpers.h"
#include "shared/program_dirs.h"
#include "shared/text_convert.h"

namespace {

ProcessObject<KorvaInstallKernel> g_kernel;

}  // namespace

KorvaInstallKernel::KorvaInstallKernel() {
  dataDir = AddBackslash(GetShellFolder(CSIDL_PROGRAM_FILES_COMMON) + L"\\" + kProductWord);
  if (!DirectoryExists(dataDir)) CreateDirectories(dataDir);
}

IInstallKernel* KorvaInstallKernel::Instance() { return g_kernel.Get(); }

void KorvaInstallKernel::DestroyInstance() { g_kernel.Destroy(); }

IInstallProgress* GetInstallProgress() { return KorvaInstallProgress::Instance(); }

bool KorvaInstallKernel::Init() {
  const std::wstring moduleDir = GetModuleDir();
  CopyFileW((moduleDir + kSkinArchivePath).c_str(), (moduleDir + kSkinBackupPath).c_str(), FALSE);
  if (!LoadInstallConfig()) return false;
  if (!ReadUpdateConfig(moduleDir + kUpdateConfigFile, updateConfig)) return false;
  OpenInstallRecord();
  return true;
}

bool KorvaInstallKernel::LoadInstallConfig() {
  const std::wstring path = GetModuleDir() + kInstallConfigFile;
  if (!FileExists(path)) return false;
  JsonConfig json;
  if (!json.Load(path)) return false;
  if (!json.GetConfigByName(L"defaultpath", config.defaultpath)) return false;
  // The product word goes straight after the configured directory, which
  // therefore ends in a separator.
  std::wstring normalised = config.defaultpath + kProductWord;
  boost::algorithm::replace_all(normalised, L"/", L"\\");
  config.defaultpath = AddBackslash(normalised);
  installPath = config.defaultpath;
  if (!json.GetConfigByName(L"version", config.version)) return false;
  if (!json.GetConfigByName(L"mainapp", config.mainapp)) return false;
  if (!json.GetConfigByName(L"officialurl", config.officialurl)) return false;
  if (!json.GetConfigByName(L"url", config.url)) return false;
  if (!json.GetShortcuts(config.shortcuts)) return false;
  return json.GetExecutes(config.executes);
}

bool KorvaInstallKernel::OpenInstallRecord() {
  recordPath = dataDir + kInstallRecordFile;
  installRecord.Read(recordPath);
  installRecord.SetSection(InstallRecordSection());
  return true;
}

void KorvaInstallKernel::SetInstallPath(const std::wstring& dir) { installPath = dir; }

std::wstring KorvaInstallKernel::GetInstallPath() { return installPath; }

std::wstring KorvaInstallKernel::GetDataDir() { return dataDir; }

void KorvaInstallKernel::SetThreadUIControl(IThreadUIControl* waiter) { SetStepWaiter(waiter); }

bool KorvaInstallKernel::GetInstalledLocation(const std::wstring& keyName, std::wstring& location) {
  RegistryKey key(HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS, true);
  if (!key.OpenForRead(std::wstring(kUninstallRegKey) + keyName)) return false;
  location = key.QueryString(kInstallLocationValue);
  key.Close();
  return true;
}

InstallConfig KorvaInstallKernel::GetConfig() { return config; }

int64_t KorvaInstallKernel::GetMainPackageSize() {
  int result = CheckVersion(updateConfig.updateurl, updateConfig.main.packagename,
                            updateConfig.main.version, mainPackageInfo);
  if (result == -1) {
    WriteLog("failed to get main package info, errorCode: %d .", result);
    return 0;
  }
  return mainPackageInfo.size;
}

int KorvaInstallKernel::CheckEnvironment() {
  if (!CheckInstallPath()) {
    WriteLog("install path is invalid .");
    return kEnvBadPath;
  }
  DWORD flags = 0;
  if (!InternetGetConnectedState(&flags, 0)) {
    WriteLog("network is not ok .");
    return kEnvNoNetwork;
  }
  if (!CheckDiskSpace()) {
    WriteLog("disk space is not enough .");
    return kEnvNoDiskSpace;
  }
  if (IsMainProgramRunning()) {
    WriteLog("main program is in running now .");
    return kEnvProgramRunning;
  }
  return kEnvOk;
}

bool KorvaInstallKernel::CheckInstallPath() {
  if (CreateDirectories(installPath, &madeInstallFolders) && DirectoryExists(installPath)) return true;
  WriteLog("install path is not valid : %s ", WideToAnsi(installPath).c_str());
  return false;
}

bool KorvaInstallKernel::CheckDiskSpace() {
  const unsigned long long tempFree = GetFreeDiskSpace(GetTempDir());
  // Through the interface, as the windows see it.
  IInstallKernel* self = this;
  const unsigned long long packageSize = static_cast<unsigned long long>(self->GetMainPackageSize());
  if (!(tempFree > packageSize)) {
    WriteLog("system disk does not have enough space : %llu ", tempFree);
    return false;
  }
  const unsigned long long installFree = GetFreeDiskSpace(installPath);
  if (!(installFree > packageSize)) {
    WriteLog("install disk does not have enough space : %llu", installFree);
    return false;
  }
  return true;
}

bool KorvaInstallKernel::IsMainProgramRunning() {
  if (!IsFileLocked(AddBackslash(installPath) + kMainProgramExe)) return false;
  WriteLog("main program is running");
  return true;
}
