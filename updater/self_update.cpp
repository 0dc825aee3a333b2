#include "updater/self_update.h"

#include <algorithm>
#include <list>
#include <vector>

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
// In the work directory: what the batch file replaces, kept until it is done.
const WCHAR kSelfUpdateKeptDir[] = L"update_kept";

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

// How many rounds of about a second the batch file waits for the updater
// that wrote it to end before it gives the update up.
const int kUpdaterExitWaitRounds = 30;

// Lines that wait until updaterExe can be written, that is until the updater
// running from it has ended: a running program's files cannot be replaced.
// Appending nothing to the file in place ("copy /b X+nul X") tries to open it
// for writing and fails while it runs. Once the rounds are spent the batch
// goes to korva_failed. The loop keeps to what every command interpreter runs
// alike: set /a, %var%, if ... geq, if errorlevel and goto, no || (Wine's cmd
// mishandles it) and no delayed expansion. ping -n 2 to 127.0.0.1, which
// answers on every Windows, takes about a second.
std::string WaitForUpdaterExit(const std::wstring& updaterExe) {
  const std::string exe = Quoted(updaterExe);
  std::string lines;
  lines += "set /a korva_wait=0\r\n";
  lines += ":korva_wait\r\n";
  lines += "if not exist " + exe + " goto korva_copy\r\n";
  lines += "copy /y /b " + exe + "+nul " + exe + " >nul 2>nul\r\n";
  lines += "if not errorlevel 1 goto korva_copy\r\n";
  lines += "set /a korva_wait+=1\r\n";
  lines += "if %korva_wait% geq " + std::to_string(kUpdaterExitWaitRounds) + " goto korva_failed\r\n";
  lines += "ping -n 2 127.0.0.1>nul\r\n";
  lines += "goto korva_wait\r\n";
  lines += ":korva_copy\r\n";
  return lines;
}

// One file of the new updater: where it comes from, where it goes and where
// the batch keeps the file it replaces until it is done.
struct ReplacedFile {
  std::wstring source;
  std::wstring target;
  std::wstring kept;
};

// Clears the read-only, hidden and system flags of a file that may carry
// them: copy carries them from a package's file, and each makes copy (or
// del) refuse it. One attrib for all three: attrib changes nothing on a
// hidden or system file unless told about that flag too. A file not there
// is left alone.
std::string ClearFlagsLine(const std::wstring& path) {
  const std::string quoted = Quoted(path);
  return "if exist " + quoted + " attrib -r -h -s " + quoted + " >nul 2>nul\r\n";
}

// The read-only, hidden and system flags of a file as attrib sets them
// ("+r +h"); empty for none or no file.
std::string FlagsToSet(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return "";
  std::string flags;
  if (attributes & FILE_ATTRIBUTE_READONLY) flags += " +r";
  if (attributes & FILE_ATTRIBUTE_HIDDEN) flags += " +h";
  if (attributes & FILE_ATTRIBUTE_SYSTEM) flags += " +s";
  return flags.empty() ? flags : flags.substr(1);
}

// Lines that keep every file the batch replaces before the first one
// changes. Whether a file is there is for the batch to see when it runs:
// the records change after it is written, and the updater's update.json may
// be gone by then. A file not there is new, and has no kept copy. The
// errorlevel is tested only after a copy that ran, which set it.
std::string KeepLines(const std::vector<ReplacedFile>& files) {
  std::string lines;
  for (const ReplacedFile& file : files) {
    const std::string target = Quoted(file.target);
    lines += "if exist " + target + " copy /y " + target + " " + Quoted(file.kept) + "\r\n";
    lines += "if exist " + target + " if errorlevel 1 goto korva_failed\r\n";
  }
  return lines;
}

// Lines that give a failed replacement up: each file copied so far, the
// failing one included (a copy may stop halfway), gets its kept content and
// flags back or, without a kept copy, is deleted as new, whatever flag the
// package gave it; then the folders the batch made go, deepest first. A
// failing copy at index i jumps to korva_undo<i> and falls through to index
// 0. A file still held refuses its restoring copy too; it was never written,
// as its own copy failed when it was opened.
std::string UndoLines(const std::vector<ReplacedFile>& files, const std::vector<std::wstring>& madeDirs) {
  std::string lines;
  for (size_t i = files.size(); i-- > 0;) {
    const std::string kept = Quoted(files[i].kept);
    lines += ":korva_undo" + std::to_string(i) + "\r\n";
    lines += ClearFlagsLine(files[i].target);
    lines += "if exist " + kept + " copy /y " + kept + " " + Quoted(files[i].target) + "\r\n";
    lines += "if not exist " + kept + " del /f " + Quoted(files[i].target) + "\r\n";
  }
  for (auto dir = madeDirs.rbegin(); dir != madeDirs.rend(); ++dir) lines += "rd " + Quoted(*dir) + "\r\n";
  return lines;
}

// Lines that make exeDir the current directory, its drive first: "cd" alone
// does not change the drive.
std::string ChangeToDirectory(const std::wstring& exeDir) {
  // Quoted: an unquoted "&" or "^" in the folder would split or change the line.
  return BatchText(exeDir.substr(0, 2)) + "\r\n" + "cd " + Quoted(exeDir) + "\r\n";
}

// The directories between exeDir and each target that do not exist yet,
// parents before their children, each once.
std::vector<std::wstring> MissingDirectories(const std::vector<ReplacedFile>& files, const std::wstring& exeDir) {
  std::vector<std::wstring> dirs;
  for (const ReplacedFile& file : files) {
    std::vector<std::wstring> chain;
    for (std::wstring dir = GetParentDirectory(file.target); dir.size() > exeDir.size() && !DirectoryExists(dir);
         dir = GetParentDirectory(dir.substr(0, dir.size() - 1))) {
      chain.insert(chain.begin(), dir.substr(0, dir.size() - 1));
    }
    for (const std::wstring& dir : chain) {
      if (std::find(dirs.begin(), dirs.end(), dir) == dirs.end()) dirs.push_back(dir);
    }
  }
  return dirs;
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

// A record changed by this run gets its kept content back, with the flags
// the kept copy carried over from it, or goes when it was not there before.
// A program reading the record at that moment holds it off for a while.
bool PutBackRecord(const KeptFile& record) {
  if (record.kept.empty()) return DeleteFileRetrying(record.path) || GetLastError() == ERROR_FILE_NOT_FOUND;
  return ReplaceFileRetrying(record.kept, record.path);
}

}  // namespace

bool WriteUpdateBatch(const std::wstring& batchPath, const std::wstring& sourceDir, const std::wstring& exeDir,
                      const std::wstring& workDir, const std::vector<KeptFile>& records) {
  const std::wstring sourceBase = AddBackslash(sourceDir);
  const std::wstring keptDir = workDir + kSelfUpdateKeptDir;
  std::list<std::wstring> sources;
  CollectFiles(sourceDir, sources, L"*.*");
  std::vector<ReplacedFile> files;
  for (const std::wstring& source : sources) {
    const std::wstring kept = keptDir + L"\\file" + std::to_wstring(files.size());
    files.push_back({source, exeDir + source.substr(sourceBase.size()), kept});
  }
  // copy makes no directories: those new in this package are made by the
  // batch, so that a given-up update takes them away again.
  const std::vector<std::wstring> madeDirs = MissingDirectories(files, exeDir);
  // The wait writes to update.exe, which a read-only, hidden or system flag
  // would refuse for good: its flags go first, and come back if the update
  // is given up.
  const std::wstring updaterExe = exeDir + kUpdaterExe;
  const std::string updaterFlags = FlagsToSet(updaterExe);
  const bool updaterFlagged = !updaterFlags.empty();

  std::string text = "ping -n 1 127.0>nul\r\n";
  if (updaterFlagged) text += ClearFlagsLine(updaterExe);
  text += WaitForUpdaterExit(updaterExe);
  text += KeepLines(files);
  for (const std::wstring& dir : madeDirs) text += "md " + Quoted(dir) + "\r\n";
  for (size_t i = 0; i < files.size(); ++i) {
    text += ClearFlagsLine(files[i].target);
    text += "copy /y " + Quoted(files[i].source) + " " + Quoted(files[i].target) + "\r\n";
    text += "if errorlevel 1 goto korva_undo" + std::to_string(i) + "\r\n";
  }
  text += "goto korva_replaced\r\n";

  // Given up: the old updater stays, whole, with the records that name it,
  // and the product starts as after a run with nothing newer. The updater is
  // not started: a failure that persists would come back by itself. The
  // next run of the old updater offers the new one again.
  text += UndoLines(files, madeDirs);
  text += ":korva_failed\r\n";
  if (updaterFlagged) text += "attrib " + updaterFlags + " " + Quoted(updaterExe) + " >nul 2>nul\r\n";
  for (const KeptFile& record : records) {
    text += ClearFlagsLine(record.path);
    if (record.kept.empty()) {
      text += "del /f " + Quoted(record.path) + "\r\n";
    } else {
      text += "copy /y " + Quoted(record.kept) + " " + Quoted(record.path) + "\r\n";
    }
  }
  text += "rd /s /q " + Quoted(workDir + kSelfUpdatePackageDir) + "\r\n";
  text += "rd /s /q " + Quoted(keptDir) + "\r\n";
  text += ChangeToDirectory(exeDir);
  // start: the batch goes on without waiting for the product to end.
  const std::string launcher = Quoted(exeDir + kLauncherExe);
  text += "if exist " + launcher + " start \"\" " + launcher + "\r\n";
  text += "goto korva_end\r\n";

  text += ":korva_replaced\r\n";
  text += "rd /s /q " + Quoted(workDir + kSelfUpdatePackageDir) + "\r\n";
  text += "rd /s /q " + Quoted(keptDir) + "\r\n";
  text += ChangeToDirectory(exeDir);
  text += Quoted(exeDir + kUpdaterExe) + "\r\n";
  text += "ping -n 6 127.0>nul\r\n";
  text += ":korva_end\r\n";
  text += "del %0\r\n";
  if (!WriteTextFile(batchPath, text)) return false;
  // Without it the batch cannot keep the files it replaces and gives up. A
  // copy left by an earlier run, read-only or not, would be taken for the
  // kept one of a file that is new.
  CreateDirectories(keptDir);
  for (const ReplacedFile& file : files) {
    ClearReadOnly(file.kept);
    DeleteFileW(file.kept.c_str());
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

bool FinishSelfUpdate(const std::wstring& sourceDir) {
  UpdateContext* context = UpdateContext::Instance();
  const std::wstring workDir = context->GetWorkDir();
  const std::wstring batchPath = workDir + kUpdateBatFile;
  if (FileExists(batchPath)) {
    DeleteFileW(batchPath.c_str());
  }
  const std::wstring installLocation = context->GetInstallLocation();
  std::wstring updaterConfig = installLocation + kUpdaterSubdir + kUpdateConfigFile;
  std::wstring productConfig = installLocation + kModuleSubdir + kUpdateConfigFile;
  std::wstring channelFile = installLocation + kUpdaterSubdir + kChannelFile;
  ToBackslashes(updaterConfig);
  ToBackslashes(productConfig);
  ToBackslashes(channelFile);

  // The records as they are now, for the batch file to put back when it
  // gives the update up. Copies left by an earlier run are stale.
  const std::wstring keptDir = workDir + kSelfUpdateKeptDir;
  DeleteWholeTree(keptDir);
  std::vector<KeptFile> records;
  for (const std::wstring& path : {productConfig, updaterConfig, channelFile}) {
    KeptFile record{path, L""};
    if (FileExists(path)) record.kept = keptDir + L"\\record" + std::to_wstring(records.size());
    records.push_back(record);
  }
  // What is given up leaves nothing of the update behind: the next run of
  // this updater offers it again.
  auto giveUp = [&] {
    DeleteFileW(batchPath.c_str());
    DeleteWholeTree(keptDir);
    DeleteWholeTree(sourceDir);
    return false;
  };
  if (!WriteUpdateBatch(batchPath, sourceDir, GetModuleDir(), workDir, records)) {
    WriteLog("fail to write %s, the updater is not replaced .", WideToAnsi(batchPath).c_str());
    return giveUp();
  }
  for (const KeptFile& record : records) {
    if (record.kept.empty() || CopyFileW(record.path.c_str(), record.kept.c_str(), FALSE)) continue;
    // A record that could not be put back must not be changed.
    WriteLog("fail to keep %s, the updater is not replaced .", WideToAnsi(record.path).c_str());
    return giveUp();
  }

  // Each write-back is guarded on its own: the product's record must carry
  // the new version whatever became of the updater's, or the new updater
  // would take itself for old and fetch itself again.
  const INT32 version = context->GetSelfUpdateInfo().versionCode;
  bool updaterWritten = false;
  bool productWritten = false;
  try {
    updaterWritten = WriteBackVersion(updaterConfig, L"updateupdate", version);
  } catch (...) {
    WriteLog("update config file error during updating.");
  }
  try {
    productWritten = WriteBackVersion(productConfig, L"updateupdate", version);
  } catch (...) {
    WriteLog("update config file error during updating.");
  }
  if (!productWritten) {
    WriteLog("fail to write the new updater version into %s, the updater is not replaced .",
             WideToAnsi(productConfig).c_str());
    if (updaterWritten && !PutBackRecord(records[1])) {
      WriteLog("fail to put back %s .", WideToAnsi(updaterConfig).c_str());
    }
    return giveUp();
  }
  try {
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
  if (ShellExecuteExW(&info)) return true;
  // Records that name an updater nobody installs would keep this one from
  // ever being offered the update again.
  WriteLog("fail to start %s, lastError: %d, the updater is not replaced .", WideToAnsi(batchPath).c_str(),
           static_cast<int>(GetLastError()));
  for (const KeptFile& record : records) {
    if (!PutBackRecord(record)) WriteLog("fail to put back %s .", WideToAnsi(record.path).c_str());
  }
  return giveUp();
}
