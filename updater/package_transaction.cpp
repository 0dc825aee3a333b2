#include "updater/package_transaction.h"

#include <algorithm>
#include <list>
#include <map>
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
// step has been taken back. The lines of what the package brings are flushed
// together before the first step; those of what it replaces are not: they
// outlive a killed process, and the backup folder names those files anyway.
// "done" and "undone" are flushed before anything the journal guards is
// deleted: without them the next run would take back a finished update whose
// backups are gone, or undo an undone one again.
const char kJournalHeader[] = "korva package journal 1";
const char kDoneLine[] = "done";
const char kUndoneLine[] = "undone";
const WCHAR kJournalSuffix[] = L".journal";
const WCHAR kStagedSuffix[] = L".staged";
// A journal that could not be read is kept under its name and this.
const WCHAR kSetAsideSuffix[] = L".unreadable";

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

  bool Write(const std::string& line) {
    const std::string text = line + "\n";
    DWORD written = 0;
    return file_ != INVALID_HANDLE_VALUE &&
           WriteFile(file_, text.data(), static_cast<DWORD>(text.size()), &written, NULL) && written == text.size();
  }

  bool Flush() { return file_ != INVALID_HANDLE_VALUE && FlushFileBuffers(file_); }

  void Close() {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE file_ = INVALID_HANDLE_VALUE;
};

enum class JournalRead {
  kRead,
  kUnopened,  // in use or gone: nothing can be said of it now
  kDamaged,   // not a journal of ours, or a line of it is not
};

// Reads a journal: its lines up to the first one that is not a whole,
// well-formed line. What follows was never flushed: a last line cut short
// with the process, or the unflushed tail that a power cut left torn, as
// zeros or as a later page without an earlier one. Nothing is lost by
// ignoring it: the lines of what the package brings were flushed before the
// first step, and the backup folder names every file it replaced, while
// "done" and "undone" count only once flushed, and a flush keeps every line
// before them. A journal of nothing but zero bytes (or none) lost its header
// to a power cut before its first flush: its transaction brought nothing yet.
// *kept is the length of the lines read.
JournalRead ReadJournal(const std::wstring& path, std::vector<JournalEntry>* entries, JournalState* state,
                        size_t* kept = nullptr) {
  std::string text;
  if (!ReadWholeFile(path, &text)) return JournalRead::kUnopened;
  entries->clear();
  *state = JournalState::kOpen;
  if (kept != nullptr) *kept = 0;
  if (text.find_first_not_of('\0') == std::string::npos) return JournalRead::kRead;
  size_t at = 0;
  bool header = true;
  for (size_t end = text.find('\n'); end != std::string::npos; at = end + 1, end = text.find('\n', at)) {
    const std::string line = text.substr(at, end - at);
    if (header) {
      if (line != kJournalHeader) return JournalRead::kDamaged;
      header = false;
    } else if (line == kDoneLine) {
      *state = JournalState::kDone;
    } else if (line == kUndoneLine) {
      *state = JournalState::kUndone;
    } else {
      JournalEntry entry;
      if (line.find('\0') != std::string::npos || !ParseEntry(line, &entry)) break;  // the torn tail
      entries->push_back(entry);
    }
    if (kept != nullptr) *kept = end + 1;
  }
  return header ? JournalRead::kDamaged : JournalRead::kRead;
}

// Appends a status line to a journal on a line of its own, and flushes it:
// what a reader ignores (a last line cut short, a torn tail) is dropped
// first, or the status would stand where no reader looks.
bool MarkJournal(const std::wstring& path, const char* status) {
  std::vector<JournalEntry> entries;
  JournalState state = JournalState::kOpen;
  size_t lineEnd = 0;
  if (ReadJournal(path, &entries, &state, &lineEnd) != JournalRead::kRead) return false;
  if (lineEnd == 0) return false;  // not even its header
  ClearReadOnly(path);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            NULL);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER keep;
  keep.QuadPart = static_cast<LONGLONG>(lineEnd);
  const std::string line = std::string(status) + "\n";
  DWORD written = 0;
  const bool ok = SetFilePointerEx(file, keep, NULL, FILE_BEGIN) && SetEndOfFile(file) &&
                  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, NULL) &&
                  written == line.size() && FlushFileBuffers(file);
  CloseHandle(file);
  return ok;
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
  std::wstring trash;    // what had to go when undoing and could not be deleted
  std::wstring staged;   // the package's files until each is moved into place
  std::wstring journal;

  TransactionPaths(const std::wstring& backupRoot, const std::wstring& name)
      : backup(backupRoot + name + L"\\"), trash(backupRoot + name + L".trash\\"),
        staged(backupRoot + name + kStagedSuffix + L"\\"), journal(backupRoot + name + kJournalSuffix) {}
};

// Whether the file at relative was put there by the transaction's own step:
// a step is a rename out of the staged folder, and a rename outlives a power
// cut, so a file whose staged copy is still there was never moved. A staged
// folder that is missing altogether (a transaction of an updater that kept
// none) tells nothing: what stands there is taken for the package's.
bool PlacedByStep(const TransactionPaths& paths, const std::wstring& relative) {
  return !DirectoryExists(paths.staged) || !Exists(paths.staged + relative);
}

// Takes a file of the new version out of the install tree. What its own step
// placed goes back to the staged folder, so that an undo done again leaves
// the path alone; anything else is deleted, or, when it is in use, renamed
// into the trash.
bool TakeOut(const std::wstring& path, const std::wstring& relative, const TransactionPaths& paths) {
  if (DirectoryExists(paths.staged) && !Exists(paths.staged + relative)) {
    CreateDirectories(GetParentDirectory(paths.staged + relative));
    if (MoveFileExW(path.c_str(), (paths.staged + relative).c_str(), 0)) return true;
  }
  ClearReadOnly(path);
  if (DeleteFileW(path.c_str())) return true;
  CreateDirectories(GetParentDirectory(paths.trash + relative));
  return MoveFileExW(path.c_str(), (paths.trash + relative).c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

struct LessIgnoringCase {
  bool operator()(const std::wstring& a, const std::wstring& b) const {
    return boost::algorithm::ilexicographical_compare(a, b);
  }
};
using PathSet = std::set<std::wstring, LessIgnoringCase>;

// Puts every file of the backup folder back in its place, whatever a journal
// says: each one is an installed file that was renamed aside, and a journal
// line lost with a power cut must not cost it. What stands in its place now
// came later and goes. False when something stays in the backup; *putBack
// gets the relative paths of the files put back.
bool PutBackOriginals(const std::wstring& installDir, const TransactionPaths& paths, PathSet* putBack = nullptr) {
  std::list<std::wstring> dirs, files;
  CollectTree(paths.backup, dirs, files);
  bool whole = true;
  for (const std::wstring& saved : files) {
    const std::wstring relative = saved.substr(paths.backup.size());
    const std::wstring installed = installDir + relative;
    if (Exists(installed) && !TakeOut(installed, relative, paths)) {
      whole = false;
      continue;
    }
    // Its folder may have been taken away meanwhile: it is made again.
    if (MoveFileExW(saved.c_str(), installed.c_str(), 0) ||
        (CreateDirectories(GetParentDirectory(installed)) && MoveFileExW(saved.c_str(), installed.c_str(), 0))) {
      if (putBack != nullptr) putBack->insert(relative);
    } else {
      whole = false;
    }
  }
  return whole;
}

// Takes back a transaction: its originals first, then, last step first,
// the files and folders it brought. Every step may have been taken or not,
// and an earlier undo may have been cut short: each one is looked at before
// it is undone. A brought file goes only when its step placed it; one that
// came there otherwise (the product writes into its tree), or that the undo
// has just put back, stays. A folder it made that now holds other files
// stays. False when something could not be put back or taken out.
bool UndoTransaction(const std::vector<JournalEntry>& entries, const std::wstring& installDir,
                     const TransactionPaths& paths) {
  PathSet putBack;
  bool whole = PutBackOriginals(installDir, paths, &putBack);
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    const std::wstring installed = installDir + it->relative;
    if (it->step == Step::kNew) {
      if (!Exists(installed) || putBack.count(it->relative) || !PlacedByStep(paths, it->relative)) continue;
      if (!TakeOut(installed, it->relative, paths)) whole = false;
    } else if (it->step == Step::kDir) {
      RemoveDirectoryW(installed.c_str());
    }
  }
  if (!whole) WriteLog("fail to undo the package update, it is tried again next time .");
  return whole;
}

// Deletes what a finished transaction left; the journal goes last, once
// nothing else is there. The journal's last line must be on the disk by then.
void DeleteLeftovers(const TransactionPaths& paths) {
  const bool backupGone = DeleteWholeTree(paths.backup);
  const bool trashGone = DeleteWholeTree(paths.trash);
  const bool stagedGone = DeleteWholeTree(paths.staged);
  if (backupGone && trashGone && stagedGone) DeleteFileW(paths.journal.c_str());
}

// Ends a transaction that has been undone whole: its journal is marked
// undone and what is left of it goes. A journal that cannot be marked is
// deleted instead, as nothing is left to undo once its backup is gone.
// False when the journal stays unmarked: it would be undone again, so no
// later transaction may start.
bool CloseUndone(const TransactionPaths& paths) {
  if (MarkJournal(paths.journal, kUndoneLine)) {
    DeleteLeftovers(paths);
    return true;
  }
  if (DeleteWholeTree(paths.backup)) {
    ClearReadOnly(paths.journal);
    if (DeleteFileW(paths.journal.c_str())) {
      DeleteWholeTree(paths.trash);
      DeleteWholeTree(paths.staged);
      return true;
    }
  }
  WriteLog("fail to mark %s undone, it is tried again next time .", WideToAnsi(paths.journal).c_str());
  return false;
}

void RemoveIfEmpty(const std::wstring& dir) {
  if (IsDirectoryEmpty(dir)) RemoveDirectoryW(RemoveBackslash(dir).c_str());
}

// What lies in the backup root for one transaction number.
struct TransactionFiles {
  bool journal = false;
  bool folders = false;  // its backup, trash or staged folder
};

// The transactions below root by number; names that are not ours are left
// out (a journal that was set aside among them).
std::map<unsigned long, TransactionFiles> ListTransactions(const std::wstring& root, unsigned long* highest) {
  std::map<unsigned long, TransactionFiles> found;
  *highest = 0;
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW((root + L"*").c_str(), &entry);
  FindHandleGuard guard(&search);
  if (search == INVALID_HANDLE_VALUE) return found;
  do {
    const std::wstring name = entry.cFileName;
    size_t digits = 0;
    while (digits < name.size() && digits < 9 && name[digits] >= L'0' && name[digits] <= L'9') ++digits;
    if (digits == 0) continue;
    const unsigned long number = std::stoul(name.substr(0, digits));
    *highest = std::max(*highest, number);
    const std::wstring rest = name.substr(digits);
    const bool folder = IsChildDirectory(root, entry);
    if (folder && (rest.empty() || boost::algorithm::iequals(rest, L".trash") ||
                   boost::algorithm::iequals(rest, kStagedSuffix))) {
      found[number].folders = true;
    } else if (!folder && boost::algorithm::iequals(rest, kJournalSuffix)) {
      found[number].journal = true;
    }
  } while (FindNextFileW(search, &entry));
  return found;
}

// A journal that cannot be read names nothing to go by: what its backup
// holds is put back, and it is kept under another name for whoever looks
// into it. False when something could not be put back or it could not go.
bool SetAsideDamaged(const std::wstring& installDir, const TransactionPaths& paths) {
  const std::wstring aside = paths.journal + kSetAsideSuffix;
  WriteLog("%s cannot be read, its backup is put back and it is set aside .", WideToAnsi(paths.journal).c_str());
  if (!PutBackOriginals(installDir, paths)) {
    WriteLog("fail to undo the package update, it is tried again next time .");
    return false;
  }
  ClearReadOnly(paths.journal);
  if (!MoveFileExW(paths.journal.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    WriteLog("fail to set %s aside, it is tried again next time .", WideToAnsi(paths.journal).c_str());
    return false;
  }
  DeleteLeftovers(paths);
  return true;
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
  // Numbers grow with every transaction, so that the newest is known.
  unsigned long highest = 0;
  ListTransactions(backupRoot_, &highest);
  const std::wstring name = std::to_wstring(highest + 1);
  const TransactionPaths paths(backupRoot_, name);
  // The staged tree becomes the transaction's own, one rename: each file
  // leaves it only by its step, so an undo can tell what the step placed.
  if (!MoveFileExW(RemoveBackslash(staging).c_str(), RemoveBackslash(paths.staged).c_str(), 0)) {
    return fail(staging, GetLastError());
  }
  const std::wstring source = paths.staged;
  std::list<std::wstring> dirs, files;
  CollectTree(source, dirs, files);
  JournalWriter journal;
  if (!journal.Create(paths.journal)) {
    const DWORD error = GetLastError();
    journal.Close();
    DeleteFileW(paths.journal.c_str());
    // Nothing has moved: the package goes back where it came from.
    MoveFileExW(RemoveBackslash(paths.staged).c_str(), RemoveBackslash(staging).c_str(), 0);
    return fail(paths.journal, error);
  }

  std::vector<JournalEntry> done;
  // What could not be taken back stays journaled for the next run.
  auto undo = [&](const std::wstring& file, DWORD error) {
    journal.Close();
    if (UndoTransaction(done, installDir_, paths) && CloseUndone(paths)) RemoveIfEmpty(backupRoot_);
    return fail(file, error);
  };
  // Announces a step in the journal; false when it cannot be written.
  auto announce = [&](Step step, const std::wstring& relative) {
    const JournalEntry entry = {step, relative};
    if (!journal.Write(EntryLine(entry))) return false;
    done.push_back(entry);
    return true;
  };

  // What the package brings that the tree does not have yet is journaled
  // and flushed before the first step: a power cut keeps the renames but
  // may lose the journal's lines, and a brought file that no line names
  // could never be taken out again. What the package replaces needs no
  // such line, as its backup folder names it.
  if (!dirs.empty()) dirs.pop_front();  // staging itself
  std::list<std::wstring> newDirs;
  for (const std::wstring& dir : dirs) {
    const std::wstring relative = dir.substr(source.size());
    const std::wstring target = installDir_ + relative;
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (IsFolder(attributes)) continue;
    if (attributes != INVALID_FILE_ATTRIBUTES) return undo(target, ERROR_ALREADY_EXISTS);  // a file is there
    if (!announce(Step::kDir, relative)) return undo(paths.journal, GetLastError());
    newDirs.push_back(target);
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

  std::set<std::wstring> announcedNew;
  for (const std::wstring& file : files) {
    const std::wstring relative = file.substr(source.size());
    if (GetFileAttributesW((installDir_ + relative).c_str()) != INVALID_FILE_ATTRIBUTES) continue;
    if (!announce(Step::kNew, relative)) return undo(paths.journal, GetLastError());
    announcedNew.insert(relative);
  }
  if (!journal.Flush()) return undo(paths.journal, GetLastError());
  for (const std::wstring& target : newDirs) {
    if (!CreateDirectoryW(target.c_str(), NULL)) return undo(target, GetLastError());
  }

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
    } else if (!announcedNew.count(relative)) {
      // Gone since the brought files were journaled: it is brought as new,
      // and its line must outlive a power cut like the others.
      if (!announce(Step::kNew, relative) || !journal.Flush()) return undo(paths.journal, GetLastError());
    }
    if (!MoveFileExW(file.c_str(), target.c_str(), 0)) return undo(target, GetLastError());
  }

  if (!journal.Write(kDoneLine)) return undo(paths.journal, GetLastError());
  const bool durable = journal.Flush();
  journal.Close();
  // Otherwise the backups wait for a run that can flush the journal.
  if (durable) {
    DeleteLeftovers(paths);
    RemoveIfEmpty(backupRoot_);
  }
  return true;
}

bool RecoverPackageTransactions(const std::wstring& installDir, const std::wstring& area) {
  const std::wstring root = AddBackslash(area) + kPackageBackupDir + L"\\";
  if (!DirectoryExists(root)) return true;
  const std::wstring install = AddBackslash(installDir);
  unsigned long highest = 0;
  const std::map<unsigned long, TransactionFiles> found = ListTransactions(root, &highest);
  bool whole = true;
  // Newest first: an older transaction's undo is only right on the tree it
  // left, so it waits while a newer one cannot be undone.
  for (auto it = found.rbegin(); it != found.rend(); ++it) {
    const TransactionPaths paths(root, std::to_wstring(it->first));
    std::vector<JournalEntry> entries;
    JournalState state = JournalState::kOpen;
    const JournalRead read =
        it->second.journal ? ReadJournal(paths.journal, &entries, &state) : JournalRead::kUnopened;
    if (read == JournalRead::kRead && state != JournalState::kOpen) {
      // The run that wrote its last line may have died before it flushed
      // it; the package's bytes were flushed before "done" was written.
      if (FlushFileToDisk(paths.journal)) DeleteLeftovers(paths);
    } else if (!whole) {
      // Left for a run that has undone the newer ones.
    } else if (!it->second.journal) {
      // Folders without their journal: what they hold of the install tree
      // goes back before they go.
      whole = PutBackOriginals(install, paths);
      if (whole) {
        DeleteLeftovers(paths);
      } else {
        WriteLog("fail to undo the package update, it is tried again next time .");
      }
    } else if (read == JournalRead::kUnopened) {
      WriteLog("fail to read %s, it is tried again next time .", WideToAnsi(paths.journal).c_str());
      whole = false;
    } else if (read == JournalRead::kDamaged) {
      whole = SetAsideDamaged(install, paths);
    } else {
      WriteLog("undo the package update that did not finish .");
      whole = UndoTransaction(entries, install, paths) && CloseUndone(paths);
    }
  }
  RemoveIfEmpty(root);
  return whole;
}
