// What one update run knows: the installation (from its uninstall entry), the
// install tree's update.json, the replies of the version checks, the work
// directory and the web addresses; and the package steps that apply updates.
#pragma once
#include <string>

#include <windows.h>

#include "shared/json_config.h"
#include "shared/version_check.h"
#include "updater/package_lock.h"

namespace DuiLib {
class CWindowWnd;
}

// Result of a package step; index into kUpdateResultTexts.
enum UpdateErrorCode {
  kUpdateOk = 0,
  kUpdateDownloadFailed = 1,
  kUpdateDamaged = 2,
  kUpdateUnzipFailed = 3,
};

// One per process, used on the UI thread only. Workers get copies of what
// they need.
class UpdateContext {
 public:
  // Created on the first call: work directory, log file, uninstall entry.
  static UpdateContext* Instance();
  // Frees the object (exit hook); the next Instance() creates a new one.
  static void DestroyInstance();

  // Reads <install location>resources\cplus-module\update.json into config.
  bool LoadUpdateConfig();
  // Version checks of the main and the delta package (always both); sets
  // mainNeeded and deltaNeeded and returns true when either is set.
  bool CheckVersions();

  std::wstring GetWorkDir() const { return workDir_; }
  std::wstring GetInstallLocation() const { return installLocation_; }
  std::wstring GetStatisticsUrl() const { return statisticsUrl_; }
  std::wstring GetOfficialUrl() const { return officialUrl_; }
  UpdateInfo GetSelfUpdateInfo() const { return selfInfo; }
  UpdateInfo GetMainPackageInfo() const { return mainInfo; }
  UpdateInfo GetDeltaPackageInfo() const { return deltaInfo; }

  // Writes the updater's own files to the disk (a new updater was copied
  // into place unflushed), then undoes a package update that an earlier run
  // left unfinished (killed or cut off), so that the install tree is one
  // whole version before anything reads it; the undo is skipped while another
  // updater holds the package lock. Runs on a worker while the calling
  // thread pumps its messages.
  void RecoverInterruptedPackage();

  // The package steps; each returns an UpdateErrorCode. The updater's own
  // package is applied on the calling thread and unpacked into
  // <work dir>update_update (nothing happens unless selfNeeded is set); the
  // main and delta packages are downloaded and unpacked by workers into a
  // staging folder in the updater's directory while the UI thread pumps
  // messages, report to the progress model, and are then flushed to the disk
  // and moved into the install directory as one transaction by a worker as
  // well. Each step holds the package lock:
  // while another updater holds it, the step fails as a download failure
  // and touches nothing. A step that succeeds keeps the lock for what the
  // caller still writes; the caller lets it go with ReleasePackageLock.
  int ApplySelfUpdate();
  int ApplyMainPackage();
  int ApplyDeltaPackage();
  void ReleasePackageLock();
  // WritePackageVersion (which flushes the file) on a worker, while the
  // calling thread pumps its messages.
  bool WriteVersionBack(const std::wstring& path, const std::wstring& section, INT32 versionCode);

  // The update window (not owned); the steps post their messages to it.
  DuiLib::CWindowWnd* owner = nullptr;
  UpdateConfig config;
  UpdateInfo selfInfo;
  UpdateInfo mainInfo;
  UpdateInfo deltaInfo;
  bool mainNeeded = false;
  bool deltaNeeded = false;
  bool selfNeeded = false;  // set by the flow from its own version check

 private:
  struct PackageStep;

  UpdateContext() = default;
  void Init();
  int ApplyPackage(const PackageStep& step);
  void PostToOwner(UINT message) const;

  std::wstring workDir_;          // <Common Files>\korva\, with the backslash
  std::wstring installLocation_;  // InstallLocation of the uninstall entry
  std::wstring statisticsUrl_;    // Url
  std::wstring officialUrl_;      // OfficialUrl
  PackageLock packageLock_;
};

// Starts launch.exe (launcher true) or korva.exe from the updater's own
// directory, when that file exists there.
void LaunchProduct(bool launcher);

// Turns every "/" into "\".
void ToBackslashes(std::wstring& path);

// The directory holding the last component, without a trailing backslash:
// C:\a\b\ and C:\a\b both give C:\a, a drive root stays as it is. Empty for
// an empty path and for a path of MAX_PATH characters or more.
std::wstring GetParentDirectoryNoBackslash(const std::wstring& path);
