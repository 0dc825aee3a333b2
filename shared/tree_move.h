// Moving an unpacked tree into the directory it belongs in.
#pragma once
#include <string>

#include <windows.h>

// What a move does with a file that already exists at the destination.
enum class ExistingFiles {
  kKeep,     // the existing file stays and the new one is left behind
  kReplace,  // the new file takes its place
};

// The first file that could not be moved.
struct TreeMoveFailure {
  std::wstring file;
  DWORD error = 0;
};

// Moves every file below `from` to the same relative path below `to`,
// making the directories of `from`'s tree below `to` first. Files are
// renamed one by one, so each one that arrives is whole. With kKeep files
// that cannot be moved are skipped and the result is true; with kReplace the
// first one that cannot be moved ends the walk: false, and *failure (when
// given) names it. Links in `from` are moved as links, never followed.
bool MoveTreeInto(const std::wstring& from, const std::wstring& to, ExistingFiles existing,
                  TreeMoveFailure* failure = nullptr);
