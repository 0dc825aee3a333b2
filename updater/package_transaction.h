// Applying an unpacked package to the install tree as one whole: the tree
// ends as the old version or the new one, never a mix, also when the
// updater is killed on the way (the next run undoes what it left).
#pragma once
#include <string>

#include "shared/tree_move.h"

// The folder below the updater's directory where transactions keep the
// installed files they replace (<n>\), the package's files until each is
// moved into place (<n>.staged\), what an undo had to take out and could not
// delete (<n>.trash\) and their journals (<n>.journal); n grows with each.
extern const WCHAR kPackageBackupDir[];

// One move of a staging tree into the install directory. installDir and
// area (the updater's own directory, inside the install tree) lie on one
// volume, so every step is a rename.
class PackageTransaction {
 public:
  PackageTransaction(const std::wstring& installDir, const std::wstring& area);

  // Moves every file below staging to its place in the install directory.
  // The caller has put every staged file on the disk already: the steps are
  // renames, which outlive a power cut, while data still in the cache does
  // not. The staging folder is renamed into the backup folder as the
  // transaction's staged folder, which each file leaves only by its own step
  // (a failure before the first step renames it back).
  // An installed file is first renamed aside into the backup folder; the
  // install tree's update.json comes last. The folders and files it brings
  // are journaled, and the journal flushed, before the first step; the line
  // of a file it replaces is written, not flushed, before its rename. When a
  // step fails, every step so far is undone and the result is false, with
  // *failure naming the file that did not move. After success, once the
  // journal's end is on the disk, the backups go; what is still in use (a
  // running program's old image), or everything when the journal cannot be
  // flushed, stays for the next run. What an undo could not take back stays
  // journaled for RecoverPackageTransactions, which callers run, and must see
  // succeed, before they apply.
  bool Apply(const std::wstring& staging, TreeMoveFailure* failure);

 private:
  std::wstring installDir_;
  std::wstring backupRoot_;
};

// Finishes what earlier transactions left below area, newest first. An
// unfinished one is undone, so that the tree is the old version again:
// everything in its backup folder is put back, whatever its journal names,
// then what its journal says it brought is taken out where its own step
// placed it (its staged copy is gone); a file that came there otherwise stays.
// A journal is read up to its first line that is not whole and well-formed:
// the tail a power cut tore is ignored. A journal whose header cannot be read
// has its backup put back and is set aside under another name; an empty one,
// or one of nothing but zero bytes, whose lines a power cut took, is undone
// as one that names nothing. The backups of a finished one are deleted, never
// put back. False while an unfinished one could not be undone, or marked
// undone, yet: it stays for the next try, and no new transaction may start.
// Callers hold the package lock, so a transaction that is still running is
// never touched.
bool RecoverPackageTransactions(const std::wstring& installDir, const std::wstring& area);
