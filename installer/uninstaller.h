// Removal of an earlier installation through its install record.
#pragma once
#include <list>
#include <string>
#include "shared/ini_file.h"

enum UninstallErrorCode {
  kUninstallOk = 0,
  kUninstallLoadRecordFailed = 1,
  kUninstallRunExternalFailed = 2,
  kUninstallDeleteLinksFailed = 3,
  kUninstallDeleteKeyFailed = 4,
  kUninstallDeleteFilesFailed = 5,
};

class Uninstaller {
 public:
  // installDir: the earlier installation's directory with its trailing
  // backslash; recordPath: the install record file.
  Uninstaller(const std::wstring& installDir, const std::wstring& recordPath);

  int Uninstall();

  int RunExecutes(const std::list<std::wstring>& lines);
  int DeleteLinks(const std::list<std::wstring>& lines);
  int DeleteUninstallKey();
  int DeleteInstallDir();

 private:
  std::wstring installDir;
  std::wstring recordPath;
  IniFile record;
};
