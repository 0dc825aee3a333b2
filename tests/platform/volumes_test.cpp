// Drives are volumes: a move between two drive letters copies and deletes,
// or fails where it may not copy, and a drive that is full refuses writes. A
// volume opened as "\\.\X:" flushes every file of its drive at once.
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <windows.h>

#include "internal/power_cut.h"
#include "internal/volumes.h"
#include "support/e2e_process.h"
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

HANDLE OpenVolume(const wchar_t* name, DWORD access = GENERIC_READ | GENERIC_WRITE,
                  DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE, DWORD disposition = OPEN_EXISTING) {
  return CreateFileW(name, access, share, nullptr, disposition, 0, nullptr);
}

// The error of an open that must fail; 0 when it opened.
DWORD OpenError(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(handle);
  return 0;
}

using testing_support::ScopedVariable;

void WriteAll(HANDLE file, const std::string& bytes) {
  DWORD done = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
}

// Started again as VOLUME_FLUSH_ROLE, armed for a power cut as it ends: it
// writes a file on C: and one on D:, flushes C:'s volume, then writes more.
const bool kIsVolumeFlushChild = [] {
  if (!getenv("VOLUME_FLUSH_ROLE")) return false;
  HANDLE onC = CreateFileW(L"C:\\a.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE onD = CreateFileW(L"D:\\b.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  WriteAll(onC, "flushed");
  WriteAll(onD, "other drive");
  HANDLE volume = OpenVolume(L"\\\\.\\C:");
  if (!FlushFileBuffers(volume)) exit(3);
  CloseHandle(volume);
  WriteAll(onC, " and later");
  CloseHandle(onC);
  CloseHandle(onD);
  exit(0);
}();

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

TEST(VolumeHandles, OpenAsWindowsOpensAVolume) {
  TempMachine m;
  EXPECT_EQ(0u, OpenError(OpenVolume(L"\\\\.\\C:")));
  EXPECT_EQ(0u, OpenError(OpenVolume(L"\\\\.\\c:")));
  EXPECT_EQ(0u, OpenError(OpenVolume(L"\\\\.\\Z:")));
  // A drive the machine does not have.
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), OpenError(OpenVolume(L"\\\\.\\Q:")));
  testing_support::MakeHostDirs(m.dir() + "/q");
  EXPECT_EQ(0u, OpenError(OpenVolume(L"\\\\.\\Q:")));
  // Others always have the volume's files open for reading and writing.
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION),
            OpenError(OpenVolume(L"\\\\.\\C:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
            OpenError(OpenVolume(L"\\\\.\\C:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 CREATE_ALWAYS)));

  // Without administrator rights only a handle that reads and writes
  // nothing opens.
  {
    ScopedVariable denied(win32::kNoVolumeAccessVariable, "1");
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), OpenError(OpenVolume(L"\\\\.\\C:")));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), OpenError(OpenVolume(L"\\\\.\\C:", GENERIC_READ)));
    EXPECT_EQ(0u, OpenError(OpenVolume(L"\\\\.\\C:", 0)));
  }

  // A volume handle does no file I/O here, and one that may not write may
  // not flush.
  HANDLE reading = OpenVolume(L"\\\\.\\C:", GENERIC_READ);
  ASSERT_NE(INVALID_HANDLE_VALUE, reading);
  char buffer[512];
  DWORD done = 0;
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), ErrorOf(ReadFile(reading, buffer, sizeof(buffer), &done, nullptr)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), ErrorOf(FlushFileBuffers(reading)));
  EXPECT_TRUE(CloseHandle(reading));
  HANDLE volume = OpenVolume(L"\\\\.\\C:");
  ASSERT_NE(INVALID_HANDLE_VALUE, volume);
  EXPECT_EQ(0u, ErrorOf(FlushFileBuffers(volume)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), ErrorOf(WriteFile(volume, buffer, 1, &done, nullptr)));
  EXPECT_TRUE(CloseHandle(volume));
}

// Each flush, of a file or a volume, is logged and slowed down as the
// process's environment asks at the time.
TEST(VolumeHandles, FlushesAreLoggedAndSlowedDownOnRequest) {
  TempMachine m;
  const std::string log = m.dir() + "/flushes.log";
  WriteHostFile(m.c() + "/x.txt", "x");
  HANDLE file = CreateFileW(L"C:\\x.txt", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE volume = OpenVolume(L"\\\\.\\C:");
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  ASSERT_NE(INVALID_HANDLE_VALUE, volume);
  EXPECT_TRUE(FlushFileBuffers(file));  // not logged yet
  {
    ScopedVariable logged(win32::kFlushLogVariable, log);
    EXPECT_TRUE(FlushFileBuffers(volume));
    EXPECT_TRUE(FlushFileBuffers(file));
    EXPECT_FALSE(FlushFileBuffers(INVALID_HANDLE_VALUE));  // a failure is no flush
  }
  EXPECT_EQ("volume C:\nfile C:\\x.txt\n", ReadHostFile(log));

  using Clock = std::chrono::steady_clock;
  ScopedVariable slow(win32::kSlowFlushVariable, "300");
  for (HANDLE handle : {file, volume}) {
    const auto start = Clock::now();
    EXPECT_TRUE(FlushFileBuffers(handle));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
  }
  CloseHandle(file);
  CloseHandle(volume);
}

// A flush of C:'s volume makes what the process wrote to C: durable, and
// only that: the file on D: and what came after lose their bytes to the cut.
TEST(VolumeHandles, AVolumeFlushOutlivesAPowerCutForItsDriveOnly) {
  TempMachine m;
  testing_support::MakeHostDirs(m.dir() + "/d");
  const std::vector<std::string> env = {"VOLUME_FLUSH_ROLE=1", std::string(win32::kPowerCutVariable) + "=100"};
  ASSERT_EQ(0, testing_support::WaitForExit(testing_support::SpawnWithEnvironment({"/proc/self/exe"}, env)));
  EXPECT_EQ("flushed", ReadHostFile(m.c() + "/a.txt"));
  EXPECT_EQ("", ReadHostFile(m.dir() + "/d/b.txt"));
}

}  // namespace
