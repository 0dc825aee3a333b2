#include "shared/tree_move.h"

#include <list>

#include "shared/file_system.h"
#include "shared/text_convert.h"

bool MoveTreeInto(const std::wstring& from, const std::wstring& to, ExistingFiles existing,
                  TreeMoveFailure* failure) {
  const std::wstring source = AddBackslash(from);
  const std::wstring target = AddBackslash(to);
  auto mirror = [&](const std::wstring& path) {
    return path.compare(0, source.size(), source) == 0 ? target + path.substr(source.size()) : path;
  };
  for (const std::wstring& dir : ListDirectoryTree(source)) {
    const std::wstring copy = mirror(dir);
    if (!DirectoryExists(copy)) CreateDirectories(copy);
  }
  std::list<std::wstring> files;
  CollectFiles(source, files, L"*.*");
  for (const std::wstring& file : files) {
    const std::wstring destination = mirror(file);
    if (existing == ExistingFiles::kKeep) {
      // Without MOVEFILE_REPLACE_EXISTING an existing file is kept.
      MoveFileW(file.c_str(), destination.c_str());
      continue;
    }
    // A read-only flag on the old file must not keep the new one out.
    const DWORD attributes = GetFileAttributesW(destination.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
        !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      SetFileAttributesW(destination.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    // A rename on the same volume; another volume gets a copy.
    if (!MoveFileExW(file.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
      if (failure != nullptr) {
        failure->file = destination;
        failure->error = GetLastError();
      }
      return false;
    }
  }
  return true;
}
