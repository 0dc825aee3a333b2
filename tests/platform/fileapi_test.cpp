#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <windows.h>
#include <shlwapi.h>

#include "support/temp_machine.h"

using testing_support::HostExists;
using testing_support::MakeHostDirs;
using testing_support::ReadHostFile;
using testing_support::TempMachine;
using testing_support::WriteHostFile;

namespace {

HANDLE Open(const std::wstring& path, DWORD access, DWORD share, DWORD disposition) {
  return CreateFileW(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Runs `body` in a child process that keeps running until the parent
// writes to the returned pipe (or dies). The child writes one byte once
// `body` is done.
struct Child {
  pid_t pid = -1;
  int release = -1;
};

template <class Body>
Child StartHolder(Body body) {
  int ready[2], release[2];
  EXPECT_EQ(0, pipe(ready));
  EXPECT_EQ(0, pipe(release));
  pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    close(release[1]);
    char ok = body() ? 1 : 0;
    if (write(ready[1], &ok, 1) != 1) _exit(3);
    char c;
    while (read(release[0], &c, 1) < 0) {
    }
    _exit(0);
  }
  close(ready[1]);
  close(release[0]);
  char ok = 0;
  EXPECT_EQ(1, read(ready[0], &ok, 1));
  EXPECT_EQ(1, ok);
  close(ready[0]);
  return Child{pid, release[1]};
}

void Finish(const Child& child, bool kill) {
  if (kill) {
    ::kill(child.pid, SIGKILL);
  } else {
    char c = 0;
    EXPECT_EQ(1, write(child.release, &c, 1));
  }
  int status = 0;
  waitpid(child.pid, &status, 0);
  close(child.release);
}

// Exit status of a check run in a fresh child process.
template <class Body>
int InChild(Body body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body() ? 0 : 1);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(FileApi, CreateReadWriteSeekAndTruncate) {
  TempMachine m;
  const std::wstring path = L"C:\\data.bin";
  HANDLE file = Open(path, GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(file, "hello world", 11, &done, nullptr));
  EXPECT_EQ(11u, done);
  EXPECT_EQ(6u, SetFilePointer(file, 6, nullptr, FILE_BEGIN));
  char buf[16] = {};
  ASSERT_TRUE(ReadFile(file, buf, sizeof(buf), &done, nullptr));
  EXPECT_EQ(5u, done);
  EXPECT_EQ("world", std::string(buf, 5));
  ASSERT_TRUE(ReadFile(file, buf, sizeof(buf), &done, nullptr));
  EXPECT_EQ(0u, done);  // end of file: success with nothing read

  LARGE_INTEGER move, at;
  move.QuadPart = -6;
  ASSERT_TRUE(SetFilePointerEx(file, move, &at, FILE_END));
  EXPECT_EQ(5, at.QuadPart);
  ASSERT_TRUE(SetEndOfFile(file));
  DWORD high = 7;
  EXPECT_EQ(5u, GetFileSize(file, &high));
  EXPECT_EQ(0u, high);
  EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(file, -10, nullptr, FILE_CURRENT));
  EXPECT_NE(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
  LONG farHigh = 1;  // 4 GiB + 2: the pointer may pass the end of the file
  EXPECT_EQ(2u, SetFilePointer(file, 2, &farHigh, FILE_BEGIN));
  EXPECT_EQ(1, farHigh);
  ASSERT_TRUE(FlushFileBuffers(file));
  ASSERT_TRUE(CloseHandle(file));
  EXPECT_EQ("hello", ReadHostFile(m.c() + "/data.bin"));
  EXPECT_FALSE(CloseHandle(file));

  // Dispositions on an existing file.
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(path, GENERIC_WRITE, 0, CREATE_NEW));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), GetLastError());
  file = Open(path, GENERIC_READ, 0, OPEN_ALWAYS);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  EXPECT_FALSE(WriteFile(file, "x", 1, &done, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  CloseHandle(file);
  file = Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  CloseHandle(file);
  EXPECT_EQ("", ReadHostFile(m.c() + "/data.bin"));

  // Missing files and folders, directories.
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(L"C:\\nope.txt", GENERIC_READ, 0, OPEN_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(L"C:\\no\\dir.txt", GENERIC_WRITE, 0, CREATE_ALWAYS));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
  MakeHostDirs(m.c() + "/folder");
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(L"C:\\folder", GENERIC_READ, 0, OPEN_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(L"Q:\\x.txt", GENERIC_READ, 0, OPEN_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(L"\\\\server\\share\\x.txt", GENERIC_READ, 0, OPEN_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_NETPATH), GetLastError());
}

TEST(FileApi, AppendOnlyHandlesWriteAtTheEnd) {
  TempMachine m;
  WriteHostFile(m.c() + "/log.txt", "one\n");
  HANDLE a = Open(L"C:\\log.txt", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
  HANDLE b = Open(L"C:\\log.txt", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
  ASSERT_NE(INVALID_HANDLE_VALUE, a);
  ASSERT_NE(INVALID_HANDLE_VALUE, b);
  DWORD done = 0;
  EXPECT_TRUE(WriteFile(a, "two\n", 4, &done, nullptr));
  EXPECT_TRUE(WriteFile(b, "three\n", 6, &done, nullptr));
  CloseHandle(a);
  CloseHandle(b);
  EXPECT_EQ("one\ntwo\nthree\n", ReadHostFile(m.c() + "/log.txt"));
}

TEST(FileApi, PathsFindFilesWhateverTheirCaseAndSeparators) {
  TempMachine m;
  WriteHostFile(m.c() + "/Program Files/Korva/Update.JSON", "{}");
  HANDLE file = Open(L"c:/program files\\KORVA/update.json", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  CloseHandle(file);
  // Creating through another spelling reaches the same file.
  file = Open(L"C:\\PROGRAM FILES\\korva\\update.json", GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  CloseHandle(file);
  EXPECT_EQ("", ReadHostFile(m.c() + "/Program Files/Korva/Update.JSON"));

  // Z: is the host's root.
  std::string host = m.dir() + "/outside.txt";
  WriteHostFile(host, "z");
  std::wstring z = L"Z:" + std::wstring(host.begin(), host.end());
  for (auto& c : z)
    if (c == L'/') c = L'\\';
  file = Open(z, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  char c = 0;
  DWORD done = 0;
  EXPECT_TRUE(ReadFile(file, &c, 1, &done, nullptr));
  EXPECT_EQ('z', c);
  CloseHandle(file);

  // A trailing separator names a directory, never a file.
  EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, GetFileAttributesW(L"C:\\Program Files\\Korva\\") & FILE_ATTRIBUTE_DIRECTORY);
  for (const wchar_t* path : {L"C:\\Program Files\\Korva\\update.json\\", L"C:/Program Files/Korva/update.json/"}) {
    SetLastError(0);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(path));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), GetLastError());
    EXPECT_FALSE(PathFileExistsW(path));
  }
}

TEST(FileApi, ShareModesHoldWithinAProcess) {
  TempMachine m;
  WriteHostFile(m.c() + "/f.txt", "x");
  HANDLE reader = Open(L"C:\\f.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, reader);
  HANDLE second = Open(L"C:\\f.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_NE(INVALID_HANDLE_VALUE, second);
  CloseHandle(second);
  // A writer is refused: the reader does not share writing.
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(L"C:\\f.txt", GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  // A reader that refuses to share reading is refused too.
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(L"C:\\f.txt", GENERIC_READ, 0, OPEN_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  EXPECT_FALSE(DeleteFileW(L"C:\\f.txt"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  EXPECT_FALSE(MoveFileW(L"C:\\f.txt", L"C:\\g.txt"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  CloseHandle(reader);

  HANDLE shared = Open(L"C:\\f.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, shared);
  EXPECT_TRUE(MoveFileW(L"C:\\f.txt", L"C:\\g.txt"));
  CloseHandle(shared);
  HANDLE exclusive = Open(L"C:\\g.txt", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);
  EXPECT_NE(INVALID_HANDLE_VALUE, exclusive);
  CloseHandle(exclusive);
}

TEST(FileApi, ShareModesHoldBetweenProcessesAndEndWithTheHolder) {
  TempMachine m;
  WriteHostFile(m.c() + "/locked.dat", "data");
  Child holder = StartHolder([] {
    return Open(L"C:\\locked.dat", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING) != INVALID_HANDLE_VALUE;
  });
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(L"C:\\LOCKED.dat", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       OPEN_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  EXPECT_FALSE(DeleteFileW(L"C:\\locked.dat"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  EXPECT_FALSE(CopyFileW(L"C:\\locked.dat", L"C:\\copy.dat", FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  // The holder dies without closing: its claim goes with it.
  Finish(holder, true);
  HANDLE file = Open(L"C:\\locked.dat", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);
  EXPECT_NE(INVALID_HANDLE_VALUE, file);
  CloseHandle(file);

  // A holder that shares reading lets readers in and keeps writers out.
  holder = StartHolder([] {
    return Open(L"C:\\locked.dat", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING) != INVALID_HANDLE_VALUE;
  });
  file = Open(L"C:\\locked.dat", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_NE(INVALID_HANDLE_VALUE, file);
  CloseHandle(file);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(L"C:\\locked.dat", GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING));
  Finish(holder, false);
  EXPECT_TRUE(DeleteFileW(L"C:\\locked.dat"));
}

TEST(FileApi, ReadOnlyPersistsAcrossProcesses) {
  TempMachine m;
  WriteHostFile(m.c() + "/ro.txt", "keep");
  MakeHostDirs(m.c() + "/rodir");
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE), GetFileAttributesW(L"C:\\ro.txt"));
  ASSERT_TRUE(SetFileAttributesW(L"C:\\ro.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(SetFileAttributesW(L"C:\\rodir", FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(0, InChild([] {
    return GetFileAttributesW(L"C:\\ro.txt") == (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN) &&
           GetFileAttributesW(L"C:\\rodir") == (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY);
  }));

  // Read-only refuses deletion and writing, even to a privileged user.
  EXPECT_FALSE(DeleteFileW(L"C:\\ro.txt"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(L"C:\\ro.txt", GENERIC_WRITE, 0, OPEN_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_FALSE(CopyFileW(L"C:\\ro.txt", L"C:\\ro.txt", FALSE));
  HANDLE reader = Open(L"C:\\ro.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_NE(INVALID_HANDLE_VALUE, reader);
  CloseHandle(reader);

  // A copy carries the attribute; renaming is allowed.
  ASSERT_TRUE(CopyFileW(L"C:\\ro.txt", L"C:\\ro-copy.txt", TRUE));
  EXPECT_TRUE(GetFileAttributesW(L"C:\\ro-copy.txt") & FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ("keep", ReadHostFile(m.c() + "/ro-copy.txt"));
  EXPECT_TRUE(MoveFileW(L"C:\\ro-copy.txt", L"C:\\rodir\\moved.txt"));
  EXPECT_FALSE(MoveFileExW(L"C:\\ro.txt", L"C:\\rodir\\moved.txt", MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());

  EXPECT_EQ(0, InChild([] { return SetFileAttributesW(L"C:\\ro.txt", FILE_ATTRIBUTE_NORMAL) != FALSE; }));
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL), GetFileAttributesW(L"C:\\ro.txt"));
  EXPECT_TRUE(DeleteFileW(L"C:\\ro.txt"));
  EXPECT_FALSE(RemoveDirectoryW(L"C:\\rodir"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());

  // A file created read-only is writable through its own handle.
  HANDLE created = CreateFileW(L"C:\\new-ro.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_READONLY, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, created);
  DWORD done = 0;
  EXPECT_TRUE(WriteFile(created, "ok", 2, &done, nullptr));
  CloseHandle(created);
  EXPECT_TRUE(GetFileAttributesW(L"C:\\new-ro.txt") & FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"C:\\gone\\x"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
}

// Hidden and system files, as the system guards them: overwriting one needs
// its flags in the call, a copy never goes over a hidden one and over a
// system one only with a system source; opening, renaming over and deleting
// them are allowed.
TEST(FileApi, HiddenAndSystemFilesAreOverwrittenOnlyWithTheirFlags) {
  TempMachine m;
  const DWORD hidden = FILE_ATTRIBUTE_HIDDEN, system = FILE_ATTRIBUTE_SYSTEM;
  const struct {
    const wchar_t* path;
    const char* name;
    DWORD flags;
  } files[] = {{L"C:\\h.txt", "h.txt", hidden},
               {L"C:\\s.txt", "s.txt", system},
               {L"C:\\hs.txt", "hs.txt", hidden | system}};
  for (const auto& file : files) {
    WriteHostFile(m.c() + "/" + file.name, "old");
    ASSERT_TRUE(SetFileAttributesW(file.path, file.flags));
  }
  WriteHostFile(m.c() + "/src.txt", "new");
  for (DWORD disposition : {static_cast<DWORD>(CREATE_ALWAYS), static_cast<DWORD>(TRUNCATE_EXISTING)}) {
    for (const auto& file : files) {
      // Without the file's flags, or with only one of two.
      for (DWORD given : {static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL), file.flags & hidden ? system : hidden}) {
        EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileW(file.path, GENERIC_WRITE, 0, nullptr, disposition, given, nullptr))
            << file.name << " " << disposition << " " << given;
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
      }
      EXPECT_EQ("old", ReadHostFile(m.c() + "/" + file.name));
    }
  }
  // With them (more is no harm) the file is overwritten and stays hidden.
  HANDLE handle = CreateFileW(L"C:\\h.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, hidden | system, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, handle);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  CloseHandle(handle);
  EXPECT_EQ("", ReadHostFile(m.c() + "/h.txt"));
  EXPECT_NE(0u, GetFileAttributesW(L"C:\\h.txt") & hidden);
  handle = CreateFileW(L"C:\\hs.txt", GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, hidden | system, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, handle);
  CloseHandle(handle);
  EXPECT_EQ("", ReadHostFile(m.c() + "/hs.txt"));
  // Opening one for writing overwrites nothing.
  for (DWORD disposition : {static_cast<DWORD>(OPEN_EXISTING), static_cast<DWORD>(OPEN_ALWAYS)}) {
    handle = CreateFileW(L"C:\\s.txt", GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, handle);
    CloseHandle(handle);
  }

  // Copies: never over a hidden target, nor over a system one from a plain
  // source; a system source may replace a system file.
  for (const auto& file : files) {
    const wchar_t* target = file.path;
    EXPECT_FALSE(CopyFileW(L"C:\\src.txt", target, FALSE)) << file.name;
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_FALSE(CopyFileW(L"C:\\src.txt", target, TRUE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), GetLastError());
  }
  EXPECT_EQ("old", ReadHostFile(m.c() + "/s.txt"));
  ASSERT_TRUE(CopyFileW(L"C:\\src.txt", L"C:\\sys-src.txt", TRUE));
  ASSERT_TRUE(SetFileAttributesW(L"C:\\sys-src.txt", system));
  EXPECT_TRUE(CopyFileW(L"C:\\sys-src.txt", L"C:\\s.txt", FALSE));
  EXPECT_EQ("new", ReadHostFile(m.c() + "/s.txt"));
  EXPECT_FALSE(CopyFileW(L"C:\\sys-src.txt", L"C:\\hs.txt", FALSE));
  // A copy to a new name carries the flags.
  EXPECT_TRUE(CopyFileW(L"C:\\hs.txt", L"C:\\hs-copy.txt", TRUE));
  EXPECT_EQ(hidden | system, GetFileAttributesW(L"C:\\hs-copy.txt") & (hidden | system));
  // A hidden target stays even when the source has its flags.
  EXPECT_FALSE(CopyFileW(L"C:\\hs-copy.txt", L"C:\\hs.txt", FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());

  // Onto another drive a move is a copy, refused where a copy would be.
  MakeHostDirs(m.dir() + "/d");
  WriteHostFile(m.dir() + "/d/h.txt", "old");
  ASSERT_TRUE(SetFileAttributesW(L"D:\\h.txt", hidden));
  EXPECT_FALSE(MoveFileExW(L"C:\\hs-copy.txt", L"D:\\h.txt", MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_EQ("old", ReadHostFile(m.dir() + "/d/h.txt"));
  ASSERT_TRUE(SetFileAttributesW(L"D:\\h.txt", system));
  EXPECT_TRUE(MoveFileExW(L"C:\\hs-copy.txt", L"D:\\h.txt", MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED));
  EXPECT_EQ(hidden | system, GetFileAttributesW(L"D:\\h.txt") & (hidden | system));
  ASSERT_TRUE(CopyFileW(L"C:\\hs.txt", L"C:\\hs-copy.txt", TRUE));

  // A rename replaces them, and they can be deleted.
  EXPECT_TRUE(MoveFileExW(L"C:\\src.txt", L"C:\\hs.txt", MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ("new", ReadHostFile(m.c() + "/hs.txt"));
  EXPECT_EQ(0u, GetFileAttributesW(L"C:\\hs.txt") & (hidden | system));
  EXPECT_TRUE(MoveFileExW(L"C:\\hs.txt", L"C:\\h.txt", MOVEFILE_REPLACE_EXISTING));
  for (const wchar_t* path : {L"C:\\h.txt", L"C:\\s.txt", L"C:\\hs-copy.txt"}) EXPECT_TRUE(DeleteFileW(path));
}

TEST(FileApi, CopyMoveDeleteAndDirectories) {
  TempMachine m;
  WriteHostFile(m.c() + "/a/one.txt", "1");
  WriteHostFile(m.c() + "/a/two.txt", "2");
  EXPECT_FALSE(CopyFileW(L"C:\\a\\one.txt", L"C:\\a\\two.txt", TRUE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), GetLastError());
  EXPECT_TRUE(CopyFileW(L"C:\\a\\one.txt", L"C:\\a\\two.txt", FALSE));
  EXPECT_EQ("1", ReadHostFile(m.c() + "/a/two.txt"));
  EXPECT_FALSE(CopyFileW(L"C:\\a\\none.txt", L"C:\\a\\x.txt", FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());

  // A copied program can still be started.
  WriteHostFile(m.c() + "/a/tool.exe", "#!/bin/sh\n");
  ASSERT_EQ(0, chmod((m.c() + "/a/tool.exe").c_str(), 0755));
  ASSERT_TRUE(CopyFileW(L"C:\\a\\tool.exe", L"C:\\a\\copy.exe", TRUE));
  EXPECT_EQ(0, access((m.c() + "/a/copy.exe").c_str(), X_OK));
  EXPECT_TRUE(CopyFileW(L"C:\\a\\one.txt", L"C:\\a\\plain.txt", TRUE));
  EXPECT_NE(0, access((m.c() + "/a/plain.txt").c_str(), X_OK));
  for (const wchar_t* name : {L"C:\\a\\tool.exe", L"C:\\a\\copy.exe", L"C:\\a\\plain.txt"})
    EXPECT_TRUE(DeleteFileW(name));

  EXPECT_FALSE(MoveFileW(L"C:\\a\\one.txt", L"C:\\a\\TWO.txt"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  EXPECT_TRUE(HostExists(m.c() + "/a/one.txt"));
  ASSERT_TRUE(CreateDirectoryW(L"C:\\b", nullptr));
  EXPECT_FALSE(CreateDirectoryW(L"C:\\B", nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  EXPECT_FALSE(CreateDirectoryW(L"C:\\x\\y", nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
  EXPECT_TRUE(MoveFileW(L"C:\\a\\one.txt", L"C:\\b\\one.txt"));
  EXPECT_FALSE(HostExists(m.c() + "/a/one.txt"));
  EXPECT_EQ("1", ReadHostFile(m.c() + "/b/one.txt"));
  EXPECT_FALSE(MoveFileW(L"C:\\b\\one.txt", L"C:\\missing\\one.txt"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
  // Only the case changes: the same entry takes the new spelling.
  EXPECT_TRUE(MoveFileW(L"C:\\b\\one.txt", L"C:\\b\\ONE.txt"));
  EXPECT_TRUE(HostExists(m.c() + "/b/ONE.txt"));
  EXPECT_TRUE(MoveFileExW(L"C:\\a\\two.txt", L"C:\\b\\one.txt", MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ("1", ReadHostFile(m.c() + "/b/ONE.txt"));
  // Directories move with their contents.
  EXPECT_TRUE(MoveFileW(L"C:\\b", L"C:\\a\\b"));
  EXPECT_TRUE(HostExists(m.c() + "/a/b/ONE.txt"));

  EXPECT_FALSE(RemoveDirectoryW(L"C:\\a"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DIR_NOT_EMPTY), GetLastError());
  EXPECT_FALSE(DeleteFileW(L"C:\\a\\b"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_FALSE(RemoveDirectoryW(L"C:\\a\\b\\one.txt"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DIRECTORY), GetLastError());
  EXPECT_TRUE(DeleteFileW(L"C:\\a\\b\\one.txt"));
  EXPECT_FALSE(DeleteFileW(L"C:\\a\\b\\one.txt"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_TRUE(RemoveDirectoryW(L"C:\\a\\b"));
  EXPECT_TRUE(RemoveDirectoryW(L"C:\\a"));
  EXPECT_FALSE(HostExists(m.c() + "/a"));
}

TEST(FileApi, FileTimesRoundTrip) {
  TempMachine m;
  WriteHostFile(m.c() + "/t.txt", "t");
  SYSTEMTIME when = {2021, 3, 0, 14, 15, 9, 26, 500};
  FILETIME ft;
  ASSERT_TRUE(SystemTimeToFileTime(&when, &ft));
  HANDLE file = CreateFileW(L"C:\\t.txt", GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  FILETIME accessBefore;
  ASSERT_TRUE(GetFileTime(file, nullptr, &accessBefore, nullptr));
  ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &ft));
  FILETIME write, access;
  ASSERT_TRUE(GetFileTime(file, nullptr, &access, &write));
  CloseHandle(file);
  EXPECT_EQ(ft.dwLowDateTime, write.dwLowDateTime);
  EXPECT_EQ(ft.dwHighDateTime, write.dwHighDateTime);
  EXPECT_EQ(accessBefore.dwLowDateTime, access.dwLowDateTime);  // untouched

  struct stat st{};
  ASSERT_EQ(0, stat((m.c() + "/t.txt").c_str(), &st));
  struct tm tm{};
  gmtime_r(&st.st_mtime, &tm);
  EXPECT_EQ(2021, tm.tm_year + 1900);
  EXPECT_EQ(15, tm.tm_hour);
  EXPECT_EQ(500000000L, st.st_mtim.tv_nsec);
}
