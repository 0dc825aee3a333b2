#include "updater/package_transaction.h"

#include <list>
#include <set>
#include <vector>

#include <boost/algorithm/string/predicate.hpp>

#include "shared/file_system.h"
#include "shared/log_writer.h"
#include "shared/product_constants.h"
#include "shared/text_convert.h"

const WCHAR kPackageBackupDir[] = L"package_backup";

namespace {

// The journal: a header, then one line per step, written before the step
// is taken, then "done" once every file is in place or "undone" once every
// step has been taken back. It is not flushed to disk line by line: it
// outlives a killed process, which is what it is for.
const char kJournalHeader[] = "korva package journal 1";
const char kDoneLine[] = "done";
const char kUndoneLine[] = "undone";

enum class Step {
  kDir,      // a folder the package brought
  kNew,      // a file the package brought
  kReplace,  // an installed file, renamed aside into the backup folder
};

struct JournalEntry {
  Step step;
  std::wstring relative;  // below the install directory
};

enum class JournalState { kOpen, kDone, kUndone };

const char* StepWord(Step step) {
  switch (step) {
    case Step::kDir:
      return "dir";
    case Step::kNew:
      return "new";
    case Step::kReplace:
      return "replace";
  }
  return "";
}

std::string EntryLine(const JournalEntry& entry) {
  return std::string(StepWord(entry.step)) + " " + WideToUtf8(entry.relative);
}

bool ParseEntry(const std::string& line, JournalEntry* entry) {
  for (Step step : {Step::kDir, Step::kNew, Step::kReplace}) {
    const std::string word = std::string(StepWord(step)) + " ";
    if (line.compare(0, word.size(), word) == 0 && line.size() > word.size()) {
      entry->step = step;
      entry->relative = Utf8ToWide(line.substr(word.size()));
      return true;
    }
  }
  return false;
}

class JournalWriter {
 public:
  JournalWriter() = default;
  JournalWriter(const JournalWriter&) = delete;
  JournalWriter& operator=(const JournalWriter&) = delete;
  ~JournalWriter() { Close(); }

  // A new journal with its header; an existing file is never reused.
  bool Create(const std::wstring& path) {
    file_ = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    return file_ != INVALID_HANDLE_VALUE && Write(kJournalHeader);
  }

  bool OpenForAppend(const std::wstring& path) {
    file_ = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file_ == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER zero = {};
    return SetFilePointerEx(file_, zero, NULL, FILE_END) != FALSE;
  }

  bool Write(const std::string& line) {
    const std::string text = line + "\n";
    DWORD written = 0;
    return file_ != INVALID_HANDLE_VALUE &&
           WriteFile(file_, text.data(), static_cast<DWORD>(text.size()), &written, NULL) && written == text.size();
  }

  void Close() {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE file_ = INVALID_HANDLE_VALUE;
};

// Reads a journal. A last line without its line end was cut short with
// the process: the step it announced was never taken. False for a file that
// is not a journal of ours.
bool ReadJournal(const std::wstring& path, std::vector<JournalEntry>* entries, JournalState* state) {
  std::string text;
  if (!ReadWholeFile(path, &text)) return false;
  entries->clear();
  *state = JournalState::kOpen;
  size_t at = 0;
  bool header = true;
  for (size_t end = text.find('\n'); end != std::string::npos; at = end + 1, end = text.find('\n', at)) {
    const std::string line = text.substr(at, end - at);
    if (header) {
      if (line != kJournalHeader) return false;
      header = false;
    } else if (line == kDoneLine) {
      *state = JournalState::kDone;
    } else if (line == kUndoneLine) {
      *state = JournalState::kUndone;
    } else {
      JournalEntry entry;
      if (!ParseEntry(line, &entry)) return false;
      entries->push_back(entry);
    }
  }
  return true;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool IsFolder(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// An entry's attributes and the name it really has (a package may spell
// it in another case, and what is put back must be spelled as it was);
// INVALID_FILE_ATTRIBUTES when there is none.
DWORD LookUp(const std::wstring& path, std::wstring* name) {
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW(path.c_str(), &entry);
  FindHandleGuard guard(&search);
  if (search == INVALID_HANDLE_VALUE) return INVALID_FILE_ATTRIBUTES;
  *name = entry.cFileName;
  return entry.dwFileAttributes;
}

bool IsProductConfig(const std::wstring& relative) {
  std::wstring config = std::wstring(kModuleSubdir) + kUpdateConfigFile;
  for (WCHAR& c : config) {
    if (c == L'/') c = L'\\';
  }
  return boost::algorithm::iequals(relative, config);
}

// The folders of one transaction below the backup root.
struct TransactionPaths {
  std::wstring backup;   // installed files, at their relative paths
  std::wstring trash;    // new files that could not be deleted when undoing
  std::wstring journal;

  TransactionPaths(const std::wstring& backupRoot, const std::wstring& name)
      : backup(backupRoot + name + L"\\"), trash(backupRoot + name + L".trash\\"),
        journal(backupRoot + name + L".journal") {}
};

// Takes a file of the new version out of the install tree: deleted, or,
// when it is in use, renamed into the trash.
bool TakeOut(const std::wstring& path, const std::wstring& trashPath) {
  ClearReadOnly(path);
  if (DeleteFileW(path.c_str())) return true;
  CreateDirectories(GetParentDirectory(trashPath));
  return MoveFileExW(path.c_str(), trashPath.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

// Takes back the steps of a journal, last first. Every step may have been
// taken or not, and an earlier undo may have been cut short: each one is
// looked at before it is undone. False when something could not be put back.
bool UndoSteps(const std::vector<JournalEntry>& entries, const std::wstring& installDir,
               const TransactionPaths& paths) {
  bool whole = true;
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    const std::wstring installed = installDir + it->relative;
    switch (it->step) {
      case Step::kReplace: {
        const std::wstring saved = paths.backup + it->relative;
        if (!Exists(saved)) break;  // never moved aside, or already back
        if (Exists(installed) && !TakeOut(installed, paths.trash + it->relative)) {
          whole = false;
          break;
        }
        if (!MoveFileExW(saved.c_str(), installed.c_str(), 0)) whole = false;
        break;
      }
      case Step::kNew:
        if (Exists(installed) && !TakeOut(installed, paths.trash + it->relative)) whole = false;
        break;
      case Step::kDir:
        RemoveDirectoryW(installed.c_str());
        if (DirectoryExists(installed) && !IsDirectoryEmpty(installed)) whole = false;
        break;
    }
  }
  if (!whole) WriteLog("fail to undo the package update, it is tried again next time .");
  return whole;
}

// Deletes what a finished transaction left; the journal goes last, once
// nothing else is there.
void DeleteLeftovers(const TransactionPaths& paths) {
  const bool backupGone = DeleteWholeTree(paths.backup);
  const bool trashGone = DeleteWholeTree(paths.trash);
  if (backupGone && trashGone) DeleteFileW(paths.journal.c_str());
}

// Marks a journal undone and deletes what is left of its transaction.
void CloseUndone(const TransactionPaths& paths) {
  JournalWriter journal;
  if (journal.OpenForAppend(paths.journal) && journal.Write(kUndoneLine)) {
    journal.Close();
    DeleteLeftovers(paths);
  }
}

void RemoveIfEmpty(const std::wstring& dir) {
  if (IsDirectoryEmpty(dir)) RemoveDirectoryW(RemoveBackslash(dir).c_str());
}

}  // namespace

PackageTransaction::PackageTransaction(const std::wstring& installDir, const std::wstring& area)
    : installDir_(AddBackslash(installDir)), backupRoot_(AddBackslash(area) + kPackageBackupDir + L"\\") {}

bool PackageTransaction::Apply(const std::wstring& staging, TreeMoveFailure* failure) {
  auto fail = [&](const std::wstring& file, DWORD error) {
    if (failure != nullptr) {
      failure->file = file;
      failure->error = error;
    }
    return false;
  };
  CreateDirectories(backupRoot_);
  // A name no earlier transaction left behind.
  std::wstring name;
  for (int n = 1;; ++n) {
    name = std::to_wstring(n);
    const TransactionPaths taken(backupRoot_, name);
    if (!Exists(taken.journal) && !Exists(RemoveBackslash(taken.backup)) && !Exists(RemoveBackslash(taken.trash)))
      break;
  }
  const TransactionPaths paths(backupRoot_, name);
  JournalWriter journal;
  if (!journal.Create(paths.journal)) {
    const DWORD error = GetLastError();
    journal.Close();
    DeleteFileW(paths.journal.c_str());
    return fail(paths.journal, error);
  }

  std::vector<JournalEntry> done;
  // What could not be taken back stays journaled for the next run.
  auto undo = [&](const std::wstring& file, DWORD error) {
    if (UndoSteps(done, installDir_, paths) && journal.Write(kUndoneLine)) {
      journal.Close();
      DeleteLeftovers(paths);
      RemoveIfEmpty(backupRoot_);
    }
    return fail(file, error);
  };
  // Announces a step in the journal; false when it cannot be written.
  auto announce = [&](Step step, const std::wstring& relative) {
    const JournalEntry entry = {step, relative};
    if (!journal.Write(EntryLine(entry))) return false;
    done.push_back(entry);
    return true;
  };

  const std::wstring source = AddBackslash(staging);
  std::list<std::wstring> dirs, files;
  CollectTree(source, dirs, files);
  if (!dirs.empty()) dirs.pop_front();  // staging itself
  for (const std::wstring& dir : dirs) {
    const std::wstring relative = dir.substr(source.size());
    const std::wstring target = installDir_ + relative;
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (IsFolder(attributes)) continue;
    if (attributes != INVALID_FILE_ATTRIBUTES) return undo(target, ERROR_ALREADY_EXISTS);  // a file is there
    if (!announce(Step::kDir, relative)) return undo(paths.journal, GetLastError());
    if (!CreateDirectoryW(target.c_str(), NULL)) return undo(target, GetLastError());
  }

  // update.json names the version the tree holds: it comes last.
  std::list<std::wstring> last;
  for (auto it = files.begin(); it != files.end();) {
    if (IsProductConfig(it->substr(source.size()))) {
      last.splice(last.end(), files, it++);
    } else {
      ++it;
    }
  }
  files.splice(files.end(), last);

  std::set<std::wstring> backupDirs;
  for (const std::wstring& file : files) {
    const std::wstring relative = file.substr(source.size());
    const std::wstring target = installDir_ + relative;
    std::wstring name;
    const DWORD attributes = LookUp(target, &name);
    if (IsFolder(attributes)) return undo(target, ERROR_ACCESS_DENIED);  // a folder is never replaced by a file
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      const std::wstring stored = relative.substr(0, relative.rfind(L'\\') + 1) + name;
      const std::wstring saved = paths.backup + stored;
      if (backupDirs.insert(GetParentDirectory(saved)).second && !CreateDirectories(GetParentDirectory(saved)))
        return undo(saved, GetLastError());
      if (!announce(Step::kReplace, stored)) return undo(paths.journal, GetLastError());
      // Windows lets a running program's file be renamed, not replaced.
      if (!MoveFileExW((installDir_ + stored).c_str(), saved.c_str(), 0)) return undo(target, GetLastError());
    } else if (!announce(Step::kNew, relative)) {
      return undo(paths.journal, GetLastError());
    }
    if (!MoveFileExW(file.c_str(), target.c_str(), 0)) return undo(target, GetLastError());
  }

  if (!journal.Write(kDoneLine)) return undo(paths.journal, GetLastError());
  journal.Close();
  DeleteLeftovers(paths);
  RemoveIfEmpty(backupRoot_);
  return true;
}

bool RecoverPackageTransactions(const std::wstring& installDir, const std::wstring& area) {
  const std::wstring root = AddBackslash(area) + kPackageBackupDir + L"\\";
  if (!DirectoryExists(root)) return true;
  const std::wstring install = AddBackslash(installDir);
  std::set<std::wstring> journals, folders;  // transaction names
  {
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((root + L"*").c_str(), &entry);
    FindHandleGuard guard(&search);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = entry.cFileName;
        if (IsChildDirectory(root, entry)) {
          folders.insert(name);
        } else if (boost::algorithm::iends_with(name, L".journal")) {
          journals.insert(GetFileStem(name));
        }
      } while (FindNextFileW(search, &entry));
    }
  }
  bool whole = true;
  for (const std::wstring& name : journals) {
    const TransactionPaths paths(root, name);
    std::vector<JournalEntry> entries;
    JournalState state;
    if (!ReadJournal(paths.journal, &entries, &state)) {
      WriteLog("fail to read %s, it is left as it is .", WideToAnsi(paths.journal).c_str());
      whole = false;
    } else if (state != JournalState::kOpen) {
      DeleteLeftovers(paths);
    } else {
      WriteLog("undo the package update that did not finish .");
      if (UndoSteps(entries, install, paths)) {
        CloseUndone(paths);
      } else {
        whole = false;
      }
    }
  }
  // A folder without its journal can serve no undo.
  for (const std::wstring& folder : folders) {
    if (!journals.count(folder.substr(0, folder.find(L'.')))) DeleteWholeTree(root + folder);
  }
  RemoveIfEmpty(root);
  return whole;
}
