// Moving an unpacked tree into the directory it belongs in, keeping the
// files that are already there.
#pragma once
#include <string>

#include <windows.h>

// The first file that could not be moved.
struct TreeMoveFailure {
  std::wstring file;  // its destination
  DWORD error = 0;
};

// Moves every file below `from` to the same relative path below `to`,
// making the directories of `from`'s tree below `to` first. A file whose
// destination exists is not moved: the installed one is kept and the new one
// stays behind. Any other file that cannot be moved ends the walk: false,
// and *failure (when given) names it. Each file that arrives is whole: on
// the same volume it is renamed, onto another one it is copied beside its
// destination and renamed into place. Links in `from` are moved as links,
// never followed.
bool MoveTreeInto(const std::wstring& from, const std::wstring& to, TreeMoveFailure* failure = nullptr);
