// File-system helpers: existence tests, path pieces, creating, listing and
// deleting trees, with odd names, case, read-only entries and long paths.
#include <algorithm>
#include <list>
#include <string>
#include <vector>

#include "conformance/report.h"
#include "shared/disk_flush.h"
#include "shared/file_system.h"
#include "shared/log_writer.h"
#include "shared/product_constants.h"
#include "shared/text_convert.h"

namespace conformance {
namespace {

std::string Paths(const std::list<std::wstring>& list) {
  std::vector<std::string> rel;
  for (const auto& path : list) rel.push_back(Rel(path));
  std::sort(rel.begin(), rel.end());
  std::string out;
  for (const auto& path : rel) out += (out.empty() ? "" : " ") + path;
  return out.empty() ? "(empty)" : out;
}

// Every directory of the list stands after its parent when the parent is in
// the list at all.
bool ParentsFirst(const std::list<std::wstring>& list) {
  std::vector<std::wstring> seen;
  for (const auto& path : list) {
    std::wstring parent = GetParentDirectory(RemoveBackslash(path));
    for (const auto& other : list) {
      if (AddBackslash(other) == parent && std::find(seen.begin(), seen.end(), other) == seen.end()) return false;
    }
    seen.push_back(path);
  }
  return true;
}

// A path of exactly `length` characters below `dir`.
std::wstring PathOfLength(const std::wstring& dir, size_t length) {
  std::wstring path = dir + L"\\";
  return path + std::wstring(length > path.size() ? length - path.size() : 1, L'n');
}

struct Case {
  const char* label;
  std::wstring path;
};

void ReportExistence() {
  MakeDir(At(L"exist"));
  PutFile(At(L"exist\\file.txt"), "x");
  MakeDir(At(L"exist\\Dir"));
  const Case cases[] = {
      {"file", At(L"exist\\file.txt")},
      {"file in other case", At(L"EXIST\\FILE.TXT")},
      {"file with trailing backslash", At(L"exist\\file.txt\\")},
      {"file by forward slashes", Base() + L"/exist/file.txt"},
      {"directory", At(L"exist\\Dir")},
      {"directory with trailing backslash", At(L"exist\\dir\\")},
      {"directory with two trailing backslashes", At(L"exist\\dir\\\\")},
      {"directory in other case", At(L"EXIST\\DIR")},
      {"directory with trailing dot", At(L"exist\\Dir\\.")},
      {"missing", At(L"exist\\none")},
      {"below a missing directory", At(L"none\\none")},
      {"wildcard", At(L"exist\\*.txt")},
      {"wildcard matching nothing", At(L"exist\\*.doc")},
      {"drive root", Base().substr(0, 3)},
      {"drive without backslash", Base().substr(0, 2)},
      {"empty path", L""},
  };
  for (const Case& c : cases) {
    Fact(std::string("exists ") + c.label,
         "file " + YesNo(FileExists(c.path)) + ", directory " + YesNo(DirectoryExists(c.path)));
  }
  // What the system itself says of a file named with a trailing backslash:
  // no such file. Only the failure is compared, as Wine's code for it
  // (ERROR_PATH_NOT_FOUND) is not Windows' (ERROR_INVALID_NAME).
  DWORD attributes = GetFileAttributesW(At(L"exist\\file.txt\\").c_str());
  Fact("attributes of a file with trailing backslash", attributes == INVALID_FILE_ATTRIBUTES ? "fail" : "found");
  HANDLE file = CreateFileW(At(L"exist\\file.txt\\").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  Fact("opening a file with trailing backslash", Outcome(file != INVALID_HANDLE_VALUE));
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

void ReportPathPieces() {
  const WCHAR* paths[] = {L"C:\\a\\b.txt", L"C:\\a\\", L"b.txt", L"a/b.txt", L"C:\\a/b\\c.tar.gz",
                          L"C:\\dl\\.config", L"C:\\dl\\README", L""};
  for (const WCHAR* path : paths) {
    Fact("pieces of \"" + Esc(path) + "\"", "parent \"" + Esc(GetParentDirectory(path)) + "\", name \"" +
                                                Esc(GetFileName(path)) + "\", stem \"" + Esc(GetFileStem(path)) +
                                                "\", .bak \"" + Esc(ReplaceExtension(GetFileName(path), L".bak")) +
                                                "\"");
  }
}

void ReportCreate(const std::wstring& log) {
  PutFile(At(L"plain.txt"), "p");
  const Case cases[] = {
      {"empty path", L""},
      {"nested", At(L"made\\x\\y\\z")},
      {"with trailing backslash", At(L"made\\p\\q\\")},
      {"existing, other case", At(L"MADE\\X")},
      {"new below other case", At(L"MADE\\X\\new")},
      {"existing file", At(L"plain.txt")},
      {"below a file", At(L"plain.txt\\sub")},
      {"invalid name", At(L"made\\bad<name")},
      {"trailing dot", At(L"made\\dot.")},
      {"trailing space", At(L"made\\space ")},
      {"drive root", Base().substr(0, 3)},
      {"forward slash module folder", AddBackslash(Base()) + kModuleSubdir},
      {"module folder with backslashes", At(L"resources\\cplus-module\\")},
  };
  for (const Case& c : cases) {
    size_t before = FileSize(log);
    bool made = CreateDirectories(c.path);
    Fact(std::string("create ") + c.label, YesNo(made) + ", log " + LogLinesSince(log, before));
  }
  Fact("created tree", Listing(At(L"made")));
  Fact("module folder", Listing(At(L"resources")));
  // The mixed path reaches the folder made with backslashes.
  const std::string written = Outcome(PutFile(AddBackslash(Base()) + kModuleSubdir + kUpdateConfigFile, "{}"));
  Fact("file by the mixed module path", written + ", " + Listing(At(L"resources")));

  // Long paths: the helper refuses MAX_PATH and more itself. Directories of
  // 248 to 259 characters and files of 260 are left out: Windows refuses
  // them (without long path support), Wine does not.
  const std::wstring longDir = At(L"long");
  MakeDir(longDir);
  for (size_t length : {247, 260, 300}) {
    std::wstring path = PathOfLength(longDir, length);
    size_t before = FileSize(log);
    bool made = CreateDirectories(path);
    Fact("create a directory of " + Num(length) + " characters",
         YesNo(made) + ", exists " + YesNo(DirectoryExists(path)) + ", log " + YesNo(FileSize(log) != before));
  }
  // Files beside them, up to the longest path that fits: MAX_PATH less the
  // terminator.
  for (size_t length : {258, 259}) {
    std::wstring path = PathOfLength(longDir, length - 1) + L"f";
    const std::string written = Outcome(PutFile(path, "f"));
    Fact("file of " + Num(length) + " characters", written + ", exists " + YesNo(FileExists(path)));
  }
}

// tree\ A\ A1\ deep.txt, A\a.txt, B\ (empty), .cfg\ .cfg\inner.txt, .keep,
// f.txt, README, d.txt\ d.txt\in.txt, Read\ro.txt (read-only).
void MakeTree(const std::wstring& root) {
  MakeDir(root);
  for (const WCHAR* dir : {L"A", L"A\\A1", L"B", L".cfg", L"d.txt", L"Read"}) MakeDir(root + L"\\" + dir);
  for (const WCHAR* file : {L"A\\A1\\deep.txt", L"A\\a.txt", L".cfg\\inner.txt", L".keep", L"f.txt", L"README",
                            L"d.txt\\in.txt", L"Read\\ro.txt"})
    PutFile(root + L"\\" + file, "t");
}

void ReportTrees() {
  const std::wstring tree = At(L"tree");
  MakeTree(tree);
  SetFileAttributesW((tree + L"\\Read\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  Fact("tree", Listing(tree));
  Fact("read-only file attributes", SetAttributes(tree + L"\\Read\\ro.txt"));
  Fact("plain file attributes", Attributes(tree + L"\\f.txt"));
  Fact("directory attributes", Attributes(tree + L"\\A"));

  std::list<std::wstring> dirs = ListDirectoryTree(tree);
  Fact("ListDirectoryTree", Paths(dirs));
  Fact("ListDirectoryTree starts with the tree", YesNo(!dirs.empty() && dirs.front() == tree + L"\\"));
  Fact("ListDirectoryTree parents first", YesNo(ParentsFirst(dirs)));
  Fact("ListDirectoryTree with backslash", Paths(ListDirectoryTree(tree + L"\\")));
  Fact("ListDirectoryTree in other case", Paths(ListDirectoryTree(At(L"TREE"))));
  Fact("ListDirectoryTree of a file", Paths(ListDirectoryTree(tree + L"\\f.txt")));
  Fact("ListDirectoryTree of a missing directory", Paths(ListDirectoryTree(At(L"none"))));
  std::list<std::wstring> subdirs;
  CollectSubdirectories(tree + L"\\A", subdirs);
  Fact("CollectSubdirectories of A", Paths(subdirs));

  std::list<std::wstring> files;
  CollectFiles(tree, files, L"*.*");
  Fact("CollectFiles *.*", Paths(files));
  std::list<std::wstring> texts;
  CollectFiles(tree, texts, L"*.txt");
  Fact("CollectFiles *.txt", Paths(texts));
  std::list<std::wstring> none;
  CollectFiles(At(L"none"), none, L"*.*");
  Fact("CollectFiles of a missing directory", Paths(none));

  MakeDir(At(L"empty"));
  MakeDir(At(L"onlykeep"));
  PutFile(At(L"onlykeep\\.keep"), "");
  MakeDir(At(L"onlydotdir"));
  MakeDir(At(L"onlydotdir\\.git"));
  Fact("empty: missing", YesNo(IsDirectoryEmpty(At(L"none"))));
  Fact("empty: empty folder", YesNo(IsDirectoryEmpty(At(L"empty"))));
  Fact("empty: only .keep", YesNo(IsDirectoryEmpty(At(L"onlykeep"))));
  Fact("empty: only a dot-named folder", YesNo(IsDirectoryEmpty(At(L"onlydotdir\\"))));
  Fact("empty: the tree", YesNo(IsDirectoryEmpty(tree)));
  Fact("empty: a file", YesNo(IsDirectoryEmpty(tree + L"\\f.txt")));

  // Deleting: read-only and open files stay with their parents.
  DeleteDirectoryTree(tree);
  Fact("after deleting the tree", Exists(tree) ? Listing(tree) : "gone");
  SetFileAttributesW((tree + L"\\Read\\ro.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteDirectoryTree(At(L"TREE\\"));
  Fact("after deleting it again in other case", Exists(tree) ? Listing(tree) : "gone");

  const std::wstring held = At(L"held");
  MakeTree(held);
  HANDLE open = CreateFileW((held + L"\\A\\a.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  DeleteDirectoryTree(held);
  Fact("deleting a tree with an open file", Exists(held) ? Listing(held) : "gone");
  CloseHandle(open);
  DeleteDirectoryTree(held);
  Fact("after closing the file", Exists(held) ? Listing(held) : "gone");

  for (const WCHAR* name : {L"empty", L"onlykeep", L"onlydotdir"}) {
    DeleteDirectoryTree(At(name));
    Fact("delete " + Esc(name), Exists(At(name)) ? Listing(At(name)) : "gone");
  }
  // Read-only directories are left out: Wine does not keep the attribute
  // on directories, so it deletes them where Windows refuses.
  DeleteDirectoryTree(At(L"none"));
  Fact("delete a missing directory", Exists(At(L"none")) ? "exists" : "nothing");
}

// Flushing a file to the disk: read-only ones keep their flag; one that
// another handle holds without sharing writes, a folder or a missing file
// cannot be flushed.
void ReportFlush() {
  MakeDir(At(L"flush"));
  PutFile(At(L"flush\\plain.txt"), "p");
  PutFile(At(L"flush\\ro.txt"), "r");
  SetFileAttributesW(At(L"flush\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  Fact("flush a file", Outcome(FlushFileToDisk(At(L"flush\\plain.txt"))));
  Fact("flush a read-only file", Outcome(FlushFileToDisk(At(L"flush\\ro.txt"))));
  Fact("read-only file after its flush", SetAttributes(At(L"flush\\ro.txt")) + " " + FileBytes(At(L"flush\\ro.txt")));
  HANDLE reader = CreateFileW(At(L"flush\\plain.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  Fact("flush a file held without write sharing", Outcome(FlushFileToDisk(At(L"flush\\plain.txt"))));
  CloseHandle(reader);
  Fact("flush a folder", Outcome(FlushFileToDisk(At(L"flush"))));
  Fact("flush a missing file", Outcome(FlushFileToDisk(At(L"flush\\none.txt"))));
  // A folder's files: by a flush of the volume where it can be (not under
  // Wine, whose volume handles do not flush), else file by file.
  Fact("flush a folder's files", Outcome(FlushTreeToDisk(At(L"flush"), {}, nullptr)));
  SetFileAttributesW(At(L"flush\\ro.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
  const DWORD shared = FILE_SHARE_READ | FILE_SHARE_WRITE;
  Fact("open the volume of a drive that does not exist",
       Outcome(CreateFileW(L"\\\\.\\Q:", GENERIC_READ | GENERIC_WRITE, shared, nullptr, OPEN_EXISTING, 0, nullptr) !=
               INVALID_HANDLE_VALUE));
  HANDLE volume = CreateFileW(L"\\\\.\\C:", GENERIC_READ | GENERIC_WRITE, shared, nullptr, OPEN_EXISTING, 0, nullptr);
  Fact("open the volume of drive C:", Outcome(volume != INVALID_HANDLE_VALUE));
  char sector[512];
  DWORD read = 0;
  Fact("read from a volume handle", Outcome(ReadFile(volume, sector, sizeof(sector), &read, nullptr)));
  CloseHandle(volume);
}

// The read-only, hidden and system flags of a path as letters.
std::string Flags(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return "missing";
  std::string letters;
  if (attributes & FILE_ATTRIBUTE_READONLY) letters += 'R';
  if (attributes & FILE_ATTRIBUTE_HIDDEN) letters += 'H';
  if (attributes & FILE_ATTRIBUTE_SYSTEM) letters += 'S';
  return letters.empty() ? "-" : letters;
}

// Hidden and system files met by the helpers, and the calls both systems
// allow on them. Left out: overwriting one with CREATE_ALWAYS or
// TRUNCATE_EXISTING without its flags and copying over a hidden or system
// file, which Windows refuses and Wine allows.
void ReportHiddenAndSystem() {
  const std::wstring dir = At(L"hs");
  MakeDir(dir);
  const DWORD hidden = FILE_ATTRIBUTE_HIDDEN, system = FILE_ATTRIBUTE_SYSTEM, readOnly = FILE_ATTRIBUTE_READONLY;
  const struct {
    const WCHAR* name;
    DWORD flags;
  } files[] = {{L"h.txt", hidden}, {L"s.txt", system}, {L"hs.txt", hidden | system}, {L"hr.txt", hidden | readOnly}};
  auto place = [&] {
    for (const auto& file : files) {
      PutFile(dir + L"\\" + file.name, "old");
      SetFileAttributesW((dir + L"\\" + file.name).c_str(), file.flags);
    }
  };
  place();
  Fact("hidden and system files exist", YesNo(FileExists(dir + L"\\h.txt") && FileExists(dir + L"\\hs.txt")));
  std::list<std::wstring> listed;
  CollectFiles(dir, listed, L"*.*");
  Fact("CollectFiles lists hidden and system files", Paths(listed));

  HANDLE file = CreateFileW((dir + L"\\hs.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, hidden | system,
                            nullptr);
  Fact("overwrite a hidden system file with its flags", Outcome(file != INVALID_HANDLE_VALUE));
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  Fact("flags after the overwrite", Flags(dir + L"\\hs.txt"));
  file = CreateFileW((dir + L"\\h.txt").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
  Fact("open a hidden file for writing", Outcome(file != INVALID_HANDLE_VALUE));
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  // Each outcome is had before the flags are read.
  std::string outcome = Outcome(CopyFileW((dir + L"\\hs.txt").c_str(), (dir + L"\\copy.txt").c_str(), TRUE));
  Fact("copy a hidden system file to a new name", outcome + ", flags " + Flags(dir + L"\\copy.txt"));
  outcome = Outcome(MoveFileExW((dir + L"\\copy.txt").c_str(), (dir + L"\\moved.txt").c_str(), 0));
  Fact("move a hidden file to a new name", outcome + ", flags " + Flags(dir + L"\\moved.txt"));

  for (const auto& target : files) {
    const std::wstring path = dir + L"\\" + target.name;
    PutFile(dir + L"\\new.txt", "new");
    const std::string replaced = Outcome(ReplaceFileRetrying(dir + L"\\new.txt", path));
    Fact("ReplaceFileRetrying over " + Esc(target.name), replaced + ", " + FileBytes(path) + ", flags " + Flags(path));
  }
  place();
  outcome = Outcome(ReplaceFileRetrying(dir + L"\\none.txt", dir + L"\\hr.txt"));
  Fact("ReplaceFileRetrying from a missing file", outcome + ", flags " + Flags(dir + L"\\hr.txt"));
  outcome = Outcome(DeleteFileRetrying(dir + L"\\hr.txt"));
  Fact("DeleteFileRetrying of a hidden read-only file", outcome + ", " + Flags(dir + L"\\hr.txt"));
  Fact("DeleteFileRetrying of a missing file", Outcome(DeleteFileRetrying(dir + L"\\hr.txt")));
  Fact("DeleteFile of a hidden system file", Outcome(DeleteFileW((dir + L"\\hs.txt").c_str())));
  MakeDir(dir + L"\\sub");
  PutFile(dir + L"\\sub\\x.txt", "x");
  SetFileAttributesW((dir + L"\\sub\\x.txt").c_str(), hidden | system | readOnly);
  outcome = YesNo(DeleteWholeTree(dir));
  Fact("DeleteWholeTree with hidden, system and read-only files",
       outcome + ", " + (Exists(dir) ? Listing(dir) : "gone"));
}

}  // namespace

void ReportFileSystem() {
  Section("file system");
  const std::wstring log = At(L"fs.log");
  SetLogPath(WideToAnsi(log));
  ReportExistence();
  ReportPathPieces();
  ReportCreate(log);
  ReportTrees();
  ReportFlush();
  ReportHiddenAndSystem();
}

}  // namespace conformance
