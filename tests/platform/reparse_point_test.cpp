// Host symbolic links seen through the file calls: listed and removed as the
// reparse points they stand for, never followed out of a tree.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include <windows.h>
#include <shlwapi.h>

#include "support/temp_machine.h"

namespace fs = std::filesystem;
using testing_support::HostExists;
using testing_support::MakeHostDirs;
using testing_support::ReadHostFile;
using testing_support::TempMachine;
using testing_support::WriteHostFile;

namespace {

// C:\tree holds a link to the folder C:\outside, a link to a file in it and
// a link whose target does not exist.
class ReparsePointTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteHostFile(m.c() + "/outside/keep.txt", "outside data");
    WriteHostFile(m.c() + "/outside/deeper/more.txt", "more");
    MakeHostDirs(m.c() + "/tree");
    fs::create_directory_symlink(m.c() + "/outside", m.c() + "/tree/dirlink");
    fs::create_symlink(m.c() + "/outside/keep.txt", m.c() + "/tree/filelink");
    fs::create_symlink(m.c() + "/nowhere", m.c() + "/tree/dangling");
  }

  void ExpectOutsideIntact() {
    EXPECT_EQ("outside data", ReadHostFile(m.c() + "/outside/keep.txt"));
    EXPECT_EQ("more", ReadHostFile(m.c() + "/outside/deeper/more.txt"));
  }

  TempMachine m;
};

constexpr DWORD kDirectoryLink = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
constexpr DWORD kFileLink = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE;

TEST_F(ReparsePointTest, ListedAndQueriedAsReparsePoints) {
  std::map<std::wstring, WIN32_FIND_DATAW> found;
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(L"C:\\tree\\*", &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, search);
  do {
    found[data.cFileName] = data;
  } while (FindNextFileW(search, &data));
  FindClose(search);
  ASSERT_EQ(5u, found.size());  // ".", ".." and the three links

  EXPECT_EQ(kDirectoryLink, found[L"dirlink"].dwFileAttributes & kDirectoryLink);
  for (const wchar_t* fileLink : {L"filelink", L"dangling"}) {
    SCOPED_TRACE(fileLink[0] == L'f' ? "file link" : "dangling link");
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT), found[fileLink].dwFileAttributes & kDirectoryLink);
    EXPECT_EQ(0u, found[fileLink].nFileSizeLow);  // the link's size, not its target's
  }
  EXPECT_FALSE(found[L"."].dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);

  // Looked up by name, and through GetFileAttributesW, the same.
  search = FindFirstFileW(L"C:\\TREE\\DirLink", &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, search);
  FindClose(search);
  EXPECT_EQ(kDirectoryLink, data.dwFileAttributes & kDirectoryLink);
  EXPECT_EQ(kDirectoryLink, GetFileAttributesW(L"C:\\tree\\dirlink") & kDirectoryLink);
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT),
            GetFileAttributesW(L"C:\\tree\\filelink") & kDirectoryLink);
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT),
            GetFileAttributesW(L"C:\\tree\\dangling") & kDirectoryLink);
  EXPECT_TRUE(PathFileExistsW(L"C:\\tree\\dangling"));
  EXPECT_FALSE(GetFileAttributesW(L"C:\\outside\\keep.txt") & FILE_ATTRIBUTE_REPARSE_POINT);

  // A path through a link still reaches what it leads to.
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY),
            GetFileAttributesW(L"C:\\tree\\dirlink\\deeper") & kDirectoryLink);
  search = FindFirstFileW(L"C:\\tree\\dirlink\\*.txt", &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, search);
  FindClose(search);
  EXPECT_EQ(std::wstring(L"keep.txt"), data.cFileName);
}

TEST_F(ReparsePointTest, RemovalTakesTheLinkAndLeavesItsTarget) {
  // Each link goes through its own call only, as on Windows.
  EXPECT_FALSE(DeleteFileW(L"C:\\tree\\dirlink"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_FALSE(RemoveDirectoryW(L"C:\\tree\\filelink"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DIRECTORY), GetLastError());
  EXPECT_TRUE(HostExists(m.c() + "/tree/dirlink"));
  EXPECT_TRUE(HostExists(m.c() + "/tree/filelink"));

  // A directory link goes although its target is not empty.
  EXPECT_TRUE(RemoveDirectoryW(L"C:\\tree\\dirlink\\"));
  EXPECT_FALSE(HostExists(m.c() + "/tree/dirlink"));

  // Attributes set on a file link do not reach its target, and a handle on
  // the target that refuses deletion does not hold the link.
  EXPECT_TRUE(SetFileAttributesW(L"C:\\tree\\filelink", FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(GetFileAttributesW(L"C:\\outside\\keep.txt") & FILE_ATTRIBUTE_READONLY);
  HANDLE open = CreateFileW(L"C:\\outside\\keep.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, open);
  EXPECT_TRUE(DeleteFileW(L"C:\\tree\\filelink")) << GetLastError();
  CloseHandle(open);
  EXPECT_TRUE(DeleteFileW(L"C:\\tree\\dangling"));
  EXPECT_FALSE(HostExists(m.c() + "/tree/filelink"));
  EXPECT_FALSE(HostExists(m.c() + "/tree/dangling"));

  EXPECT_TRUE(RemoveDirectoryW(L"C:\\tree"));
  ExpectOutsideIntact();
}

// The host keeps no kind on a link: once its target has gone, a link
// written as a directory ("dir/") is still a directory link, and one that
// does not say is listed as a file link but goes through either call.
TEST_F(ReparsePointTest, DanglingLinksGoThroughTheCallTheirKindAllows) {
  MakeHostDirs(m.c() + "/gone/inner");
  fs::create_directory_symlink("../gone/", m.c() + "/tree/marked");
  fs::create_directory_symlink(m.c() + "/gone/inner", m.c() + "/tree/plain");
  EXPECT_EQ(kDirectoryLink, GetFileAttributesW(L"C:\\tree\\plain"));
  fs::remove_all(m.c() + "/gone");

  auto listed = [](const wchar_t* pattern) {
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(pattern, &data);
    if (search == INVALID_HANDLE_VALUE) return DWORD{0};
    FindClose(search);
    return data.dwFileAttributes;
  };
  // A link written as a directory is one for every call.
  EXPECT_EQ(kDirectoryLink, GetFileAttributesW(L"C:\\tree\\marked"));
  EXPECT_EQ(kDirectoryLink, GetFileAttributesW(L"C:\\tree\\marked\\"));
  EXPECT_EQ(kDirectoryLink, listed(L"C:\\tree\\mar*"));
  EXPECT_EQ(kDirectoryLink, listed(L"C:\\tree\\MARKED"));
  EXPECT_FALSE(DeleteFileW(L"C:\\tree\\marked"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_TRUE(RemoveDirectoryW(L"C:\\tree\\marked\\")) << GetLastError();
  EXPECT_FALSE(HostExists(m.c() + "/tree/marked"));

  EXPECT_EQ(kFileLink, GetFileAttributesW(L"C:\\tree\\plain"));
  EXPECT_EQ(kFileLink, listed(L"C:\\tree\\pl*"));
  EXPECT_TRUE(RemoveDirectoryW(L"C:\\tree\\plain")) << GetLastError();
  EXPECT_TRUE(RemoveDirectoryW(L"C:\\tree\\dangling")) << GetLastError();
  EXPECT_FALSE(HostExists(m.c() + "/tree/plain"));
  EXPECT_FALSE(HostExists(m.c() + "/tree/dangling"));

  // A live file link is still no directory, and a link to a file written
  // with a separator leads nowhere.
  EXPECT_FALSE(RemoveDirectoryW(L"C:\\tree\\filelink"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DIRECTORY), GetLastError());
  fs::create_symlink("../outside/keep.txt/", m.c() + "/tree/slashed");
  EXPECT_EQ(kDirectoryLink, GetFileAttributesW(L"C:\\tree\\slashed"));
  EXPECT_TRUE(RemoveDirectoryW(L"C:\\tree\\slashed"));
  ExpectOutsideIntact();
}

}  // namespace
