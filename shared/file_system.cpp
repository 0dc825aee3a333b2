#include "shared/file_system.h"

#include <shlwapi.h>

#include "shared/log_writer.h"
#include "shared/text_convert.h"

namespace {

// Looks one path up; the entry's attributes, or INVALID_FILE_ATTRIBUTES.
DWORD FindAttributes(const std::wstring& path) {
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW(path.c_str(), &entry);
  FindHandleGuard guard(&search);
  return search == INVALID_HANDLE_VALUE ? INVALID_FILE_ATTRIBUTES : entry.dwFileAttributes;
}

bool IsDotEntry(const WCHAR* name) {
  return (name[0] == L'.' && name[1] == 0) || (name[0] == L'.' && name[1] == L'.' && name[2] == 0);
}

// A junction or symbolic link leads out of the tree: the walks never enter
// one. A link given as the tree itself is not entered either, so a link
// planted where a directory is expected cannot turn a deletion elsewhere.
bool IsLink(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Walks the tree below dir, depth first in listing order, entering every
// real sub-directory that the pattern lists: folders (directory links
// among them, never entered) go to dirs, files (file links too) to files,
// either list when given.
void WalkBelow(const std::wstring& dir, const std::wstring& pattern, std::list<std::wstring>* dirs,
               std::list<std::wstring>* files) {
  std::wstring base = AddBackslash(dir);
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW((base + pattern).c_str(), &entry);
  FindHandleGuard guard(&search);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    std::wstring path = base + entry.cFileName;
    if (IsChildDirectory(dir, entry)) {
      if (dirs) dirs->push_back(path);
      WalkBelow(path, pattern, dirs, files);
    } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (dirs && IsLink(entry.dwFileAttributes)) dirs->push_back(path);  // removed as a directory
    } else if (files) {
      files->push_back(path);  // deleting a file link leaves its target
    }
  } while (FindNextFileW(search, &entry));
}

}  // namespace

FindHandleGuard::~FindHandleGuard() {
  if (handle_ && *handle_ != INVALID_HANDLE_VALUE && *handle_ != nullptr) {
    FindClose(*handle_);
    *handle_ = INVALID_HANDLE_VALUE;
  }
}

bool FileExists(const std::wstring& path) {
  DWORD attributes = FindAttributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void ClearReadOnly(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || IsLink(attributes)) return;
  if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
}

bool DirectoryExists(const std::wstring& path) {
  DWORD attributes = FindAttributes(RemoveBackslash(path));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring GetParentDirectory(const std::wstring& path) {
  size_t slash = path.rfind(L'\\');
  if (slash == std::wstring::npos) return path + L"\\";
  return path.substr(0, slash) + L"\\";
}

std::wstring GetFileName(const std::wstring& path) {
  size_t slash = path.rfind(L'\\');
  if (slash == std::wstring::npos) slash = path.rfind(L'/');
  if (slash == std::wstring::npos) return path;
  return path.substr(slash + 1);
}

bool CreateDirectories(const std::wstring& path, std::list<std::wstring>* made) {
  if (path.empty()) return false;
  if (PathFileExistsW(path.c_str()) || PathIsRootW(path.c_str())) return true;
  // The parent is derived in a MAX_PATH buffer; longer paths cannot be.
  if (path.size() >= MAX_PATH) return false;
  WCHAR parent[MAX_PATH] = {};
  path.copy(parent, path.size());
  PathRemoveBackslashW(parent);
  PathRemoveFileSpecW(parent);
  if (path == parent) return false;
  if (!CreateDirectories(parent, made)) return false;
  if (!CreateDirectoryW(path.c_str(), nullptr) && !CreateDirectoryW(path.c_str(), nullptr)) {
    WriteLog("fail to create dir: %s, lastError: %d \xA1\xA3", WideToAnsi(path).c_str(),
             static_cast<int>(GetLastError()));
    return false;
  }
  if (made != nullptr) made->push_back(path);
  return true;
}

bool IsChildDirectory(const std::wstring&, const WIN32_FIND_DATAW& entry) {
  if (IsDotEntry(entry.cFileName)) return false;
  return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !IsLink(entry.dwFileAttributes);
}

void CollectSubdirectories(const std::wstring& dir, std::list<std::wstring>& list) {
  if (!IsLink(FindAttributes(RemoveBackslash(dir)))) WalkBelow(dir, L"*.*", &list, nullptr);
}

std::list<std::wstring> ListDirectoryTree(const std::wstring& dir) {
  std::list<std::wstring> list;
  if (DirectoryExists(dir)) {
    list.push_back(AddBackslash(dir));
    CollectSubdirectories(dir, list);
  }
  return list;
}

void CollectFiles(const std::wstring& dir, std::list<std::wstring>& list, const std::wstring& pattern) {
  if (!IsLink(FindAttributes(RemoveBackslash(dir)))) WalkBelow(dir, pattern, nullptr, &list);
}

void CollectTree(const std::wstring& dir, std::list<std::wstring>& dirs, std::list<std::wstring>& files) {
  if (!DirectoryExists(dir)) return;
  dirs.push_back(AddBackslash(dir));
  if (!IsLink(FindAttributes(RemoveBackslash(dir)))) WalkBelow(dir, L"*.*", &dirs, &files);
}

bool IsDirectoryEmpty(const std::wstring& dir) {
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW((AddBackslash(dir) + L"*.*").c_str(), &entry);
  FindHandleGuard guard(&search);
  if (search == INVALID_HANDLE_VALUE) return true;
  do {
    if (entry.cFileName[0] != L'.') return false;
  } while (FindNextFileW(search, &entry));
  return true;
}

bool ReadWholeFile(const std::wstring& path, std::string* bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return false;
  bytes->clear();
  LARGE_INTEGER size;
  if (GetFileSizeEx(file, &size) && size.QuadPart > 0) {
    bytes->resize(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    DWORD got = 0;
    while (done < bytes->size() &&
           ReadFile(file, &(*bytes)[done], static_cast<DWORD>(bytes->size() - done), &got, NULL) && got > 0) {
      done += got;
    }
    bytes->resize(done);
  }
  CloseHandle(file);
  return true;
}

bool FlushFileToDisk(const std::wstring& path) {
  // Only a handle that may write the file may flush it.
  auto open = [&] {
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  };
  HANDLE file = open();
  const DWORD attributes = GetFileAttributesW(path.c_str());
  const bool readOnly = file == INVALID_HANDLE_VALUE && attributes != INVALID_FILE_ATTRIBUTES &&
                        !IsLink(attributes) && (attributes & FILE_ATTRIBUTE_READONLY);
  if (readOnly && SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
    file = open();
    SetFileAttributesW(path.c_str(), attributes);
  }
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool flushed = FlushFileBuffers(file) != FALSE;
  const DWORD error = GetLastError();
  CloseHandle(file);
  SetLastError(error);
  return flushed;
}

namespace {

// A reader that shares no deletion (as the programs that read a record
// often open it) holds a rename or deletion off while it has the file open.
const int kHeldFileTries = 20;
const DWORD kHeldFilePauseMs = 50;

// Runs change on path with its read-only flag cleared, again while the file
// is held, and sets the flag again when the change failed.
bool ChangeHeldFile(const std::wstring& path, BOOL (*change)(const std::wstring&, const std::wstring&),
                    const std::wstring& from) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  const bool readOnly = attributes != INVALID_FILE_ATTRIBUTES && !IsLink(attributes) &&
                        !(attributes & FILE_ATTRIBUTE_DIRECTORY) && (attributes & FILE_ATTRIBUTE_READONLY);
  if (readOnly) SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  for (int tries = 1;; ++tries) {
    if (change(from, path)) return true;
    const DWORD error = GetLastError();
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) || tries == kHeldFileTries) {
      if (readOnly) SetFileAttributesW(path.c_str(), attributes);
      SetLastError(error);
      return false;
    }
    Sleep(kHeldFilePauseMs);
  }
}

BOOL MoveOver(const std::wstring& from, const std::wstring& to) {
  return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING);
}

BOOL Delete(const std::wstring&, const std::wstring& path) { return DeleteFileW(path.c_str()); }

}  // namespace

bool ReplaceFileRetrying(const std::wstring& from, const std::wstring& to) {
  return ChangeHeldFile(to, MoveOver, from);
}

bool DeleteFileRetrying(const std::wstring& path) { return ChangeHeldFile(path, Delete, L""); }

std::wstring GetFileStem(const std::wstring& path) { return ReplaceExtension(GetFileName(path), L""); }

std::wstring ReplaceExtension(const std::wstring& name, const std::wstring& suffix) {
  size_t dot = name.rfind(L'.');
  if (dot == std::wstring::npos || dot == 0) return name + suffix;
  return name.substr(0, dot) + suffix;
}

void DeleteDirectoryTree(const std::wstring& dir) {
  // A directory that holds only dot-named entries counts as empty but
  // cannot be removed alone: then the whole walk below runs.
  if (IsDirectoryEmpty(dir) && RemoveDirectoryW(dir.c_str())) return;
  std::list<std::wstring> files;
  CollectFiles(dir, files, L"*.*");
  for (const auto& file : files) DeleteFileW(file.c_str());
  std::list<std::wstring> dirs = ListDirectoryTree(dir);
  for (auto it = dirs.rbegin(); it != dirs.rend(); ++it) RemoveDirectoryW(it->c_str());
  RemoveDirectoryW(dir.c_str());
}

bool DeleteWholeTree(const std::wstring& dir) {
  const std::wstring root = RemoveBackslash(dir);
  const DWORD attributes = FindAttributes(root);
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  if (IsLink(attributes)) {
    // A link where our folder should be: only the link goes.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return RemoveDirectoryW(root.c_str()) != FALSE;
    return DeleteFileW(root.c_str()) != FALSE;
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
  std::list<std::wstring> dirs, files;
  CollectTree(root, dirs, files);
  // A read-only flag keeps only its own item: it is cleared when it does.
  for (const std::wstring& file : files) {
    if (!DeleteFileW(file.c_str())) {
      ClearReadOnly(file);
      DeleteFileW(file.c_str());
    }
  }
  for (auto it = dirs.rbegin(); it != dirs.rend(); ++it) {
    const std::wstring folder = RemoveBackslash(*it);
    if (!RemoveDirectoryW(folder.c_str())) {
      ClearReadOnly(folder);
      RemoveDirectoryW(folder.c_str());
    }
  }
  return FindAttributes(root) == INVALID_FILE_ATTRIBUTES;
}
