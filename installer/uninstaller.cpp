#include "installer/uninstaller.h"

#include <vector>

#include <boost/algorithm/string/replace.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/classification.hpp>
#include <boost/make_shared.hpp>
#include <windows.h>
#include <shellapi.h>

#include "installer/install_record.h"
#include "installer/install_workers.h"
#include "shared/product_constants.h"
#include "shared/file_system.h"
#include "shared/log_writer.h"
#include "shared/registry_key.h"

Uninstaller::Uninstaller(const std::wstring& installDir, const std::wstring& recordPath)
    : installDir(installDir), recordPath(recordPath) {}

int Uninstaller::Uninstall() {
  if (!record.Read(recordPath)) return kUninstallLoadRecordFailed;
  const std::list<std::wstring> lines = record.GetSection(InstallRecordSection());
  if (RunExecutes(lines) != 0) return kUninstallRunExternalFailed;
  if (DeleteLinks(lines) != 0) return kUninstallDeleteLinksFailed;
  if (DeleteUninstallKey() != 0) return kUninstallDeleteKeyFailed;
  if (DeleteInstallDir() != 0) return kUninstallDeleteFilesFailed;
  DeleteFileW(recordPath.c_str());
  return kUninstallOk;
}

int Uninstaller::RunExecutes(const std::list<std::wstring>& lines) {
  WriteLog("start to run external execute.");
  for (const std::wstring& line : lines) {
    std::wstring key, value;
    if (!SplitRecordLine(line, &key, &value)) continue;
    if (!IsRecordTag(value, kRecordTagExecute)) continue;
    std::vector<std::wstring> pieces;
    boost::algorithm::split(pieces, key, boost::algorithm::is_any_of(kExecuteParamSeparator));
    if (pieces.size() != 2) {
      WriteLog("wrong param in run external execute .");
      continue;
    }
    std::wstring path = installDir + pieces[0];
    boost::algorithm::replace_all(path, L"/", L"\\");
    if (!FileExists(path)) continue;
    ShellExecuteW(NULL, L"open", path.c_str(), pieces[1].c_str(), GetParentDirectory(path).c_str(),
                  SW_HIDE);
  }
  WriteLog("run external execute complete.");
  return 0;
}

int Uninstaller::DeleteLinks(const std::list<std::wstring>& lines) {
  for (const std::wstring& line : lines) {
    std::wstring key, value;
    if (!SplitRecordLine(line, &key, &value)) continue;
    if (IsRecordTag(value, kRecordTagLnk) && FileExists(key)) DeleteFileW(key.c_str());
  }
  return 0;
}

int Uninstaller::DeleteUninstallKey() {
  RegistryKey key(HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS, true);
  const std::wstring path = UninstallKeyPath();
  HKEY existing = key.OpenSubKey(path);
  if (existing) {
    RegCloseKey(existing);
    key.DeleteTree(path);
  }
  return 0;
}

int Uninstaller::DeleteInstallDir() {
  // The worker's status does not matter: a missing directory is no failure.
  // The install run unpacks into this directory next, so the deletion must
  // be over before the removal returns, even after a quit.
  RunWorker(boost::make_shared<KorvaInstallDeleteDirsWorker>(installDir), kFinishWorker);
  return 0;
}
