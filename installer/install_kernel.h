// The installer's engine: configuration, environment check and the install
// run. The windows reach it through IInstallKernel.
#pragma once
#include <cstdint>
#include <string>
#include <list>
#include "installer/install_progress.h"
#include "installer/thread_ui_control.h"
#include "shared/ini_file.h"
#include "shared/json_config.h"
#include "shared/version_check.h"

// Contents of install.json.
struct InstallConfig {
  std::wstring version;
  std::wstring defaultpath;
  std::wstring mainapp;
  std::wstring officialurl;
  std::wstring url;
  std::list<ShortcutInfo> shortcuts;
  std::list<ExecuteInfo> executes;
};

enum EnvCheckResult {
  kEnvOk = 0,
  kEnvNoNetwork = 1,
  kEnvNoDiskSpace = 2,
  kEnvProgramRunning = 3,
  kEnvBadPath = 4,
};

enum InstallErrorCode {
  kInstallOk = 0,
  kInstallDownloadFailed = 1,
  kInstallUnzipFailed = 2,
  kInstallRunExternalFailed = 3,
  kInstallRegistryFailed = 4,
  kInstallShortcutFailed = 5,
  kInstallCopyFailed = 6,
  kInstallDeleteTempFailed = 7,
  kInstallObjectMissing = 8,
  kInstallUpgradeFailed = 9,
  kInstallOtherError = 10,
};

// Files copied from the installer's directory into <install dir>update\.
extern const wchar_t* const RuntimeFileList[30];

class IInstallKernel {
 public:
  virtual bool Init() = 0;
  virtual int CheckEnvironment() = 0;
  virtual int Install() = 0;
  virtual void SetInstallPath(const std::wstring& dir) = 0;
  virtual std::wstring GetInstallPath() = 0;
  virtual std::wstring GetDataDir() = 0;
  virtual void SetThreadUIControl(IThreadUIControl* waiter) = 0;
  virtual bool GetInstalledLocation(const std::wstring& keyName, std::wstring& location) = 0;
  virtual InstallConfig GetConfig() = 0;
  virtual int64_t GetMainPackageSize() = 0;

 protected:
  ~IInstallKernel() {}
};

class KorvaInstallKernel final : public IInstallKernel {
 public:
  KorvaInstallKernel();

  // The process-wide kernel, created on first use.
  static IInstallKernel* Instance();
  static void DestroyInstance();

  bool Init() override;
  int CheckEnvironment() override;
  int Install() override;
  void SetInstallPath(const std::wstring& dir) override;
  std::wstring GetInstallPath() override;
  std::wstring GetDataDir() override;
  void SetThreadUIControl(IThreadUIControl* waiter) override;
  bool GetInstalledLocation(const std::wstring& keyName, std::wstring& location) override;
  InstallConfig GetConfig() override;
  int64_t GetMainPackageSize() override;

 private:
  bool LoadInstallConfig();
  bool OpenInstallRecord();

  bool CheckInstallPath();
  bool CheckDiskSpace();
  bool IsMainProgramRunning();

  bool DownloadPackage();
  bool UnzipPackage();
  bool RunExecutes();
  bool WriteUninstallInfo();
  bool CreateShortcuts();
  bool RegisterCompatibility();
  bool CopyRuntimeFiles();
  bool DeleteTempFiles();
  // Removes the package and the directory it was unpacked into.
  void DeletePackageFiles();

  InstallConfig config;
  UpdateConfig updateConfig;
  UpdateInfo mainPackageInfo;
  IniFile installRecord;
  std::wstring installPath;
  std::wstring packagePath;
  std::wstring recordPath;
  std::wstring dataDir;
  // Folders of the install path this run made, parents first: a failed
  // unpacking removes those it leaves empty.
  std::list<std::wstring> madeInstallFolders;
};

// The process-wide progress model, for the progress window.
IInstallProgress* GetInstallProgress();
