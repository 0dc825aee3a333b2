// Drives are volumes: a move between two drive letters copies and deletes,
// or fails where it may not copy, and a drive that is full refuses writes.
#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include <windows.h>

#include "support/small_volume.h"
#include "support/temp_machine.h"

using testing_support::HostExists;
using testing_support::ReadHostFile;
using testing_support::SmallVolume;
using testing_support::TempMachine;
using testing_support::WriteHostFile;

namespace {

ino_t InodeOf(const std::string& host) {
  struct stat st{};
  return stat(host.c_str(), &st) == 0 ? st.st_ino : 0;
}

DWORD ErrorOf(BOOL ok) { return ok ? 0 : GetLastError(); }

TEST(Volumes, AMoveBetweenDrivesIsACopyAndADelete) {
  TempMachine m;
  const std::string d = m.dir() + "/d";
  WriteHostFile(m.c() + "/a/one.txt", "one");
  WriteHostFile(m.c() + "/a/two.txt", "two");
  WriteHostFile(d + "/b/kept.txt", "kept");

  // Without leave to copy the file stays where it is.
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SAME_DEVICE), ErrorOf(MoveFileExW(L"C:\\a\\one.txt", L"D:\\b\\one.txt", 0)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SAME_DEVICE),
            ErrorOf(MoveFileExW(L"C:\\a\\one.txt", L"D:\\b\\kept.txt", MOVEFILE_REPLACE_EXISTING)));
  EXPECT_EQ("one", ReadHostFile(m.c() + "/a/one.txt"));
  EXPECT_EQ("kept", ReadHostFile(d + "/b/kept.txt"));

  // With it, and through MoveFileW, the bytes arrive in a new file and the
  // original goes.
  const ino_t before = InodeOf(m.c() + "/a/one.txt");
  EXPECT_EQ(0u, ErrorOf(MoveFileExW(L"C:\\a\\one.txt", L"D:\\b\\one.txt", MOVEFILE_COPY_ALLOWED)));
  EXPECT_FALSE(HostExists(m.c() + "/a/one.txt"));
  EXPECT_EQ("one", ReadHostFile(d + "/b/one.txt"));
  EXPECT_NE(before, InodeOf(d + "/b/one.txt"));
  EXPECT_EQ(0u, ErrorOf(MoveFileW(L"C:\\a\\two.txt", L"D:\\b\\two.txt")));
  EXPECT_EQ("two", ReadHostFile(d + "/b/two.txt"));
  EXPECT_FALSE(HostExists(m.c() + "/a/two.txt"));

  // A folder cannot move to another volume; on its own it is renamed.
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SAME_DEVICE), ErrorOf(MoveFileW(L"D:\\b", L"C:\\b")));
  const ino_t folder = InodeOf(d + "/b");
  EXPECT_EQ(0u, ErrorOf(MoveFileExW(L"D:\\b", L"D:\\c", 0)));
  EXPECT_EQ(folder, InodeOf(d + "/c"));
}

TEST(Volumes, AFullDriveRefusesWritesAndACopyOntoItLeavesNothingBehind) {
  TempMachine m;
  SmallVolume drive(m.dir() + "/d", 256 * 1024);
  ASSERT_TRUE(drive.mounted());
  ULARGE_INTEGER available, total, free;
  ASSERT_TRUE(GetDiskFreeSpaceExW(L"D:\\", &available, &total, &free));
  EXPECT_EQ(256u * 1024u, total.QuadPart);

  HANDLE file = CreateFileW(L"D:\\fill.bin", GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  const std::string block(64 * 1024, 'x');
  DWORD written = 0, error = 0;
  for (int i = 0; i < 8 && error == 0; ++i) {
    if (!WriteFile(file, block.data(), static_cast<DWORD>(block.size()), &written, nullptr)) error = GetLastError();
  }
  CloseHandle(file);
  EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), error);
  ASSERT_TRUE(DeleteFileW(L"D:\\fill.bin"));

  // A file larger than the drive: neither a copy nor a move leaves a part
  // of it there, and the move keeps the original.
  WriteHostFile(m.c() + "/big.bin", std::string(512 * 1024, 'b'));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), ErrorOf(CopyFileW(L"C:\\big.bin", L"D:\\big.bin", FALSE)));
  EXPECT_FALSE(HostExists(m.dir() + "/d/big.bin"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), ErrorOf(MoveFileW(L"C:\\big.bin", L"D:\\big.bin")));
  EXPECT_FALSE(HostExists(m.dir() + "/d/big.bin"));
  EXPECT_EQ(512u * 1024u, ReadHostFile(m.c() + "/big.bin").size());
}

}  // namespace
