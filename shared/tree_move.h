// Moving an unpacked tree into the directory it belongs in, keeping the
// files that are already there, and taking back what a move that failed
// had placed.
#pragma once
#include <list>
#include <string>

#include <windows.h>

// The first file that could not be moved.
struct TreeMoveFailure {
  std::wstring file;  // its destination
  DWORD error = 0;
};

// Moves every file below `from` to the same relative path below `to`,
// making `to` (with the parents it lacks) and the directories of `from`'s
// tree below it first. A file whose destination exists is not moved: the
// installed one is kept and the new one stays behind. Any other file that
// cannot be moved ends the walk: false, and *failure (when given) names it.
// Then what this call placed is deleted again, read-only files too: the
// files it moved in (they do not go back below `from`) and the folders it
// made, each while nothing else is in it. What was there before is never
// touched. Each file that arrives is whole: on the same volume it is
// renamed, onto another one it is copied beside its destination as
// "<name>.korva-part" and renamed into place; a part file an earlier run
// left there is replaced. Links in `from` are moved as links, never
// followed, and deleting one removes only the link.
bool MoveTreeInto(const std::wstring& from, const std::wstring& to, TreeMoveFailure* failure = nullptr);

// Removes the folders of `made` (as CreateDirectories lists them), the last
// made first, each only when it is empty; a folder that is not stays with
// its parents.
void RemoveMadeDirectories(const std::list<std::wstring>& made);
