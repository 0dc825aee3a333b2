#include <gtest/gtest.h>

#include <filesystem>
#include <list>
#include <string>

#include <windows.h>

#include "shared/file_system.h"
#include "shared/log_writer.h"
#include "support/temp_machine.h"

using testing_support::HostExists;
using testing_support::MakeHostDirs;
using testing_support::ReadHostFile;
using testing_support::TempMachine;
using testing_support::WriteHostFile;
using List = std::list<std::wstring>;
namespace fs = std::filesystem;

TEST(FileSystem, ExistenceTests) {
  TempMachine m;
  WriteHostFile(m.c() + "/Dir/file.txt", "x");
  EXPECT_TRUE(FileExists(L"C:\\dir\\FILE.txt"));
  EXPECT_FALSE(FileExists(L"C:\\Dir"));
  EXPECT_FALSE(FileExists(L"C:\\Dir\\missing.txt"));
  EXPECT_TRUE(DirectoryExists(L"C:\\Dir"));
  EXPECT_TRUE(DirectoryExists(L"C:\\dir\\"));
  EXPECT_FALSE(DirectoryExists(L"C:\\Dir\\file.txt"));
  EXPECT_FALSE(DirectoryExists(L"C:\\"));  // a root has no entry of its own
  EXPECT_FALSE(DirectoryExists(L"Q:\\Dir"));
}

TEST(FileSystem, PathPieces) {
  EXPECT_EQ(L"C:\\a\\", GetParentDirectory(L"C:\\a\\b.txt"));
  EXPECT_EQ(L"C:\\a\\", GetParentDirectory(L"C:\\a\\"));
  EXPECT_EQ(L"b.txt\\", GetParentDirectory(L"b.txt"));
  EXPECT_EQ(L"b.txt", GetFileName(L"C:\\a\\b.txt"));
  EXPECT_EQ(L"b.txt", GetFileName(L"a/b.txt"));
  EXPECT_EQ(L"b.txt", GetFileName(L"C:\\x/a\\b.txt"));
  EXPECT_EQ(L"b.txt", GetFileName(L"b.txt"));
  EXPECT_EQ(L"", GetFileName(L"C:\\a\\"));
  EXPECT_EQ(L"update_korva", GetFileStem(L"C:\\dl\\update_korva.7z"));
  EXPECT_EQ(L"README", GetFileStem(L"C:\\dl\\README"));
  EXPECT_EQ(L"archive.tar", ReplaceExtension(L"archive.tar.gz", L""));
  EXPECT_EQ(L".config", ReplaceExtension(L".config", L""));
  EXPECT_EQ(L"pkg.zip", ReplaceExtension(L"pkg.7z", L".zip"));
  EXPECT_EQ(L"name.bak", ReplaceExtension(L"name", L".bak"));
}

TEST(FileSystem, CreateDirectories) {
  TempMachine m;
  EXPECT_FALSE(CreateDirectories(L""));
  EXPECT_TRUE(CreateDirectories(L"C:\\"));
  EXPECT_TRUE(CreateDirectories(L"C:\\x\\y\\z"));
  EXPECT_TRUE(HostExists(m.c() + "/x/y/z"));
  EXPECT_TRUE(CreateDirectories(L"C:\\X\\Y\\new\\"));
  EXPECT_TRUE(HostExists(m.c() + "/x/y/new"));
  WriteHostFile(m.c() + "/plain", "");
  EXPECT_TRUE(CreateDirectories(L"C:\\plain"));  // an existing file counts

  // 259 characters can be created; 260 and more are refused.
  std::wstring base = L"C:\\" + std::wstring(200, L'l') + L"\\";
  std::wstring p259 = base + std::wstring(259 - base.size(), L'm');
  EXPECT_TRUE(CreateDirectories(p259));
  EXPECT_TRUE(DirectoryExists(p259));
  EXPECT_FALSE(CreateDirectories(p259 + L"n"));

  // A level that cannot be made is logged with the system's error.
  SetLogPath("C:\\fs.log");
  EXPECT_FALSE(CreateDirectories(L"C:\\plain\\below\\deeper"));
  std::string log = ReadHostFile(m.c() + "/fs.log");
  EXPECT_NE(std::string::npos, log.find("fail to create dir: C:\\plain\\below, lastError: 3 \xA1\xA3\r\n")) << log;
  EXPECT_FALSE(HostExists(m.c() + "/plain/below"));
  EXPECT_FALSE(CreateDirectories(L"Q:\\x"));
}

TEST(FileSystem, TreeListingOrder) {
  TempMachine m;
  EXPECT_TRUE(ListDirectoryTree(L"C:\\D").empty());
  MakeHostDirs(m.c() + "/D");
  EXPECT_EQ((List{L"C:\\D\\"}), ListDirectoryTree(L"C:\\D"));

  WriteHostFile(m.c() + "/D/z.txt", "");
  WriteHostFile(m.c() + "/D/B/b.txt", "");
  WriteHostFile(m.c() + "/D/A/A1/deep.txt", "");
  WriteHostFile(m.c() + "/D/A/a.txt", "");
  WriteHostFile(m.c() + "/D/.hidden", "");
  EXPECT_EQ((List{L"C:\\D\\", L"C:\\D\\A", L"C:\\D\\A\\A1", L"C:\\D\\B"}), ListDirectoryTree(L"C:\\D\\"));

  List files{L"kept"};
  CollectFiles(L"C:\\D", files, L"*.*");
  EXPECT_EQ((List{L"kept", L"C:\\D\\.hidden", L"C:\\D\\A\\a.txt", L"C:\\D\\A\\A1\\deep.txt", L"C:\\D\\B\\b.txt",
                  L"C:\\D\\z.txt"}),
            files);
  List subs;
  CollectSubdirectories(L"C:\\D\\A", subs);
  EXPECT_EQ((List{L"C:\\D\\A\\A1"}), subs);
}

TEST(FileSystem, EmptinessIgnoresDotNames) {
  TempMachine m;
  EXPECT_TRUE(IsDirectoryEmpty(L"C:\\missing"));
  MakeHostDirs(m.c() + "/e");
  EXPECT_TRUE(IsDirectoryEmpty(L"C:\\e"));
  WriteHostFile(m.c() + "/e/.keep", "");
  EXPECT_TRUE(IsDirectoryEmpty(L"C:\\e\\"));
  WriteHostFile(m.c() + "/e/real", "");
  EXPECT_FALSE(IsDirectoryEmpty(L"C:\\e"));
}

TEST(FileSystem, DeleteTreeLeavesOnlyWhatCannotGo) {
  TempMachine m;
  WriteHostFile(m.c() + "/D/top.txt", "");
  WriteHostFile(m.c() + "/D/A/A1/locked.txt", "");
  WriteHostFile(m.c() + "/D/A/A1/other.txt", "");
  WriteHostFile(m.c() + "/D/A/a.txt", "");
  WriteHostFile(m.c() + "/D/B/C/c.txt", "");
  MakeHostDirs(m.c() + "/D/Empty");
  ASSERT_TRUE(SetFileAttributesW(L"C:\\D\\A\\A1\\locked.txt", FILE_ATTRIBUTE_READONLY));
  HANDLE open = CreateFileW(L"C:\\D\\B\\C\\c.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, open);

  DeleteDirectoryTree(L"C:\\D");
  EXPECT_TRUE(HostExists(m.c() + "/D/A/A1/locked.txt"));
  EXPECT_TRUE(HostExists(m.c() + "/D/B/C/c.txt"));
  EXPECT_FALSE(HostExists(m.c() + "/D/A/A1/other.txt"));
  EXPECT_FALSE(HostExists(m.c() + "/D/A/a.txt"));
  EXPECT_FALSE(HostExists(m.c() + "/D/top.txt"));
  EXPECT_FALSE(HostExists(m.c() + "/D/Empty"));
  EXPECT_EQ((List{L"C:\\D\\", L"C:\\D\\A", L"C:\\D\\A\\A1", L"C:\\D\\B", L"C:\\D\\B\\C"}), ListDirectoryTree(L"C:\\D"));

  CloseHandle(open);
  SetFileAttributesW(L"C:\\D\\A\\A1\\locked.txt", FILE_ATTRIBUTE_NORMAL);
  DeleteDirectoryTree(L"C:\\D");
  EXPECT_FALSE(HostExists(m.c() + "/D"));
  DeleteDirectoryTree(L"C:\\D");  // already gone: nothing happens
}

TEST(FileSystem, DeleteTreeOfDotFilesOnly) {
  TempMachine m;
  WriteHostFile(m.c() + "/cfg/.keep", "");
  WriteHostFile(m.c() + "/cfg/.git/HEAD", "");
  DeleteDirectoryTree(L"C:\\cfg");
  EXPECT_FALSE(HostExists(m.c() + "/cfg"));
}

// Searches that return a real entry first: a pattern that "." does not match,
// and a drive root, which has no dot entries.
TEST(FileSystem, ListersKeepTheFirstEntryFound) {
  TempMachine m;
  WriteHostFile(m.c() + "/D/a.txt", "");
  WriteHostFile(m.c() + "/D/b.txt", "");
  WriteHostFile(m.c() + "/D/c.log", "");
  WriteHostFile(m.c() + "/D/x.txt/inner.txt", "");
  List files;
  CollectFiles(L"C:\\D", files, L"*.txt");
  EXPECT_EQ((List{L"C:\\D\\a.txt", L"C:\\D\\b.txt", L"C:\\D\\x.txt\\inner.txt"}), files);

  List subs;
  CollectSubdirectories(L"C:\\", subs);
  EXPECT_EQ((List{L"C:\\D", L"C:\\D\\x.txt"}), subs);
  files.clear();
  CollectFiles(L"C:\\", files, L"*.*");
  ASSERT_EQ(4u, files.size());
  EXPECT_EQ(L"C:\\D\\a.txt", files.front());

  fs::remove_all(m.c() + "/D");
  WriteHostFile(m.c() + "/only.txt", "");
  EXPECT_FALSE(IsDirectoryEmpty(L"C:\\"));
}

// C:\tree holds links to the folder C:\outside and to a file in it.
TEST(FileSystem, WalksNeverFollowALinkOutOfTheTree) {
  TempMachine m;
  WriteHostFile(m.c() + "/outside/keep.txt", "outside data");
  WriteHostFile(m.c() + "/outside/sub/more.txt", "more");
  WriteHostFile(m.c() + "/tree/A/own.txt", "");
  fs::create_directory_symlink(m.c() + "/outside", m.c() + "/tree/A/dirlink");
  fs::create_symlink(m.c() + "/outside/keep.txt", m.c() + "/tree/filelink");
  fs::create_directory_symlink(m.c() + "/outside", m.c() + "/rootlink");

  // A directory link is listed as one directory and never entered.
  EXPECT_EQ((List{L"C:\\tree\\", L"C:\\tree\\A", L"C:\\tree\\A\\dirlink"}), ListDirectoryTree(L"C:\\tree"));
  List files;
  CollectFiles(L"C:\\tree", files, L"*.*");
  EXPECT_EQ((List{L"C:\\tree\\A\\own.txt", L"C:\\tree\\filelink"}), files);
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW(L"C:\\tree\\A\\dirlink", &entry);
  ASSERT_NE(INVALID_HANDLE_VALUE, search);
  FindClose(search);
  EXPECT_FALSE(IsChildDirectory(L"C:\\tree\\A", entry));

  // A link given as the tree itself is not walked either.
  EXPECT_EQ((List{L"C:\\rootlink\\"}), ListDirectoryTree(L"C:\\rootlink"));
  files.clear();
  CollectFiles(L"C:\\rootlink", files, L"*.*");
  EXPECT_TRUE(files.empty());

  DeleteDirectoryTree(L"C:\\tree");
  DeleteDirectoryTree(L"C:\\rootlink\\");
  EXPECT_FALSE(HostExists(m.c() + "/tree"));
  EXPECT_FALSE(HostExists(m.c() + "/rootlink"));
  EXPECT_EQ("outside data", ReadHostFile(m.c() + "/outside/keep.txt"));
  EXPECT_EQ("more", ReadHostFile(m.c() + "/outside/sub/more.txt"));
}

// Links between folders of the tree being deleted: a link met before its
// target is removed after that target has gone, when it dangles.
TEST(FileSystem, DeleteTreeTakesLinksThatPointIntoIt) {
  TempMachine m;
  WriteHostFile(m.c() + "/tree/a/own.txt", "");
  WriteHostFile(m.c() + "/tree/b/deeper/more.txt", "");
  fs::create_directory_symlink(m.c() + "/tree/b", m.c() + "/tree/a/to-b");
  fs::create_directory_symlink("a", m.c() + "/tree/to-a");
  fs::create_directory_symlink("../b/deeper/", m.c() + "/tree/a/to-deeper");
  ASSERT_EQ((List{L"C:\\tree\\", L"C:\\tree\\a", L"C:\\tree\\a\\to-b", L"C:\\tree\\a\\to-deeper", L"C:\\tree\\b",
                  L"C:\\tree\\b\\deeper", L"C:\\tree\\to-a"}),
            ListDirectoryTree(L"C:\\tree"));

  DeleteDirectoryTree(L"C:\\tree");
  EXPECT_FALSE(HostExists(m.c() + "/tree"));
}

// A folder of our own goes whole: read-only files and folders do not keep
// it, and links are removed without their targets losing anything, not
// even a read-only flag.
TEST(FileSystem, DeleteWholeTreeClearsReadOnlyItemsAndNeverFollowsLinks) {
  TempMachine m;
  WriteHostFile(m.c() + "/outside/keep.txt", "outside data");
  WriteHostFile(m.c() + "/outside/sub/more.txt", "more");
  ASSERT_TRUE(SetFileAttributesW(L"C:\\outside\\keep.txt", FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(SetFileAttributesW(L"C:\\outside\\sub", FILE_ATTRIBUTE_READONLY));
  WriteHostFile(m.c() + "/tree/ro/inner/file.txt", "x");
  WriteHostFile(m.c() + "/tree/plain.txt", "y");
  ASSERT_TRUE(SetFileAttributesW(L"C:\\tree\\ro\\inner\\file.txt", FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(SetFileAttributesW(L"C:\\tree\\ro\\inner", FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(SetFileAttributesW(L"C:\\tree\\ro", FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(SetFileAttributesW(L"C:\\tree", FILE_ATTRIBUTE_READONLY));
  fs::create_symlink(m.c() + "/outside/keep.txt", m.c() + "/tree/ro/filelink");
  fs::create_directory_symlink(m.c() + "/outside/sub", m.c() + "/tree/dirlink");
  fs::create_directory_symlink(m.c() + "/outside", m.c() + "/rootlink");

  // The tree the older deletion leaves whole is gone now.
  DeleteDirectoryTree(L"C:\\tree");
  ASSERT_TRUE(HostExists(m.c() + "/tree/ro/inner/file.txt"));
  EXPECT_TRUE(DeleteWholeTree(L"C:\\tree\\"));
  EXPECT_FALSE(HostExists(m.c() + "/tree"));
  EXPECT_TRUE(DeleteWholeTree(L"C:\\tree"));  // nothing left to delete

  // A link in the tree's place: only the link goes.
  EXPECT_TRUE(DeleteWholeTree(L"C:\\rootlink"));
  EXPECT_FALSE(fs::is_symlink(m.c() + "/rootlink"));
  EXPECT_EQ("outside data", ReadHostFile(m.c() + "/outside/keep.txt"));
  EXPECT_EQ("more", ReadHostFile(m.c() + "/outside/sub/more.txt"));
  EXPECT_TRUE(GetFileAttributesW(L"C:\\outside\\keep.txt") & FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(GetFileAttributesW(L"C:\\outside\\sub") & FILE_ATTRIBUTE_READONLY);

  // What is in use stays, and says so.
  WriteHostFile(m.c() + "/busy/open.txt", "open");
  HANDLE open = CreateFileW(L"C:\\busy\\open.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, open);
  EXPECT_FALSE(DeleteWholeTree(L"C:\\busy"));
  CloseHandle(open);
  EXPECT_TRUE(DeleteWholeTree(L"C:\\busy"));
  EXPECT_FALSE(HostExists(m.c() + "/busy"));
}
