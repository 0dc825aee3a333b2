#include "shared/tree_move.h"

#include <list>

#include "shared/file_system.h"
#include "shared/text_convert.h"

namespace {

// Suffix of the copy that is made beside a destination on another volume.
const WCHAR kPartSuffix[] = L".korva-part";

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Moves file to destination unless something is there. False with the last
// error set when it could not; a destination that exists gives
// ERROR_ALREADY_EXISTS.
bool MoveKeeping(const std::wstring& file, const std::wstring& destination) {
  if (MoveFileExW(file.c_str(), destination.c_str(), 0)) return true;
  if (GetLastError() != ERROR_NOT_SAME_DEVICE) return false;
  if (Exists(destination)) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return false;
  }
  // A copy cut short must never stand under the destination's name.
  const std::wstring part = destination + kPartSuffix;
  // A part a killed run left goes first: it may carry the source's
  // read-only, hidden or system flag, and no copy goes over those.
  ClearReadOnly(part);
  DeleteFileW(part.c_str());
  if (!MoveFileExW(file.c_str(), part.c_str(), MOVEFILE_COPY_ALLOWED | MOVEFILE_REPLACE_EXISTING)) return false;
  if (!MoveFileExW(part.c_str(), destination.c_str(), 0)) {
    const DWORD error = GetLastError();
    MoveFileExW(part.c_str(), file.c_str(), MOVEFILE_COPY_ALLOWED);  // back where it was
    DeleteFileW(part.c_str());
    SetLastError(error);
    return false;
  }
  return true;
}

// Deletes the files a failed move placed, then the folders it made.
void TakeBack(const std::list<std::wstring>& files, const std::list<std::wstring>& dirs) {
  for (const std::wstring& file : files) {
    if (!DeleteFileW(file.c_str())) {
      ClearReadOnly(file);
      DeleteFileW(file.c_str());
    }
  }
  RemoveMadeDirectories(dirs);
}

}  // namespace

void RemoveMadeDirectories(const std::list<std::wstring>& made) {
  for (auto it = made.rbegin(); it != made.rend(); ++it) RemoveDirectoryW(it->c_str());
}

bool MoveTreeInto(const std::wstring& from, const std::wstring& to, TreeMoveFailure* failure) {
  const std::wstring source = AddBackslash(from);
  const std::wstring target = AddBackslash(to);
  auto mirror = [&](const std::wstring& path) {
    return path.compare(0, source.size(), source) == 0 ? target + path.substr(source.size()) : path;
  };
  std::list<std::wstring> dirs, files;
  CollectTree(source, dirs, files);
  std::list<std::wstring> madeDirs, movedFiles;
  // A folder that cannot be made fails the first file that goes into it.
  for (const std::wstring& dir : dirs) CreateDirectories(mirror(dir), &madeDirs);
  for (const std::wstring& file : files) {
    const std::wstring destination = mirror(file);
    if (MoveKeeping(file, destination)) {
      movedFiles.push_back(destination);
      continue;
    }
    const DWORD error = GetLastError();
    if (Exists(destination)) continue;  // the installed file is kept
    TakeBack(movedFiles, madeDirs);
    if (failure != nullptr) {
      failure->file = destination;
      failure->error = error;
    }
    return false;
  }
  return true;
}
