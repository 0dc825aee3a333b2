#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <windows.h>

#include "support/temp_machine.h"

using testing_support::MakeHostDirs;
using testing_support::TempMachine;
using testing_support::WriteHostFile;

namespace {

// Names a search returns, in order; "!<error>" when it finds nothing.
std::vector<std::wstring> Search(const std::wstring& pattern) {
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(pattern.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return {L"!" + std::to_wstring(GetLastError())};
  std::vector<std::wstring> names;
  do {
    names.push_back(data.cFileName);
  } while (FindNextFileW(search, &data));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_FILES), GetLastError());
  EXPECT_TRUE(FindClose(search));
  return names;
}

using Names = std::vector<std::wstring>;

}  // namespace

TEST(FindFiles, DirectoryContentsInNameOrderWithDotEntries) {
  TempMachine m;
  WriteHostFile(m.c() + "/d/beta.txt", "12345");
  WriteHostFile(m.c() + "/d/Alpha.TXT", "");
  WriteHostFile(m.c() + "/d/README", "");
  MakeHostDirs(m.c() + "/d/sub");
  MakeHostDirs(m.c() + "/empty");

  EXPECT_EQ((Names{L".", L"..", L"Alpha.TXT", L"beta.txt", L"README", L"sub"}), Search(L"C:\\D\\*.*"));
  EXPECT_EQ((Names{L".", L"..", L"Alpha.TXT", L"beta.txt", L"README", L"sub"}), Search(L"c:/d/*"));
  EXPECT_EQ((Names{L"Alpha.TXT", L"beta.txt"}), Search(L"C:\\d\\*.txt"));
  EXPECT_EQ((Names{L"beta.txt"}), Search(L"C:\\d\\b?ta.*"));
  EXPECT_EQ((Names{L"README"}), Search(L"C:\\d\\readme.*"));
  EXPECT_EQ((Names{L".", L".."}), Search(L"C:\\empty\\*.*"));
  // Drive roots have no dot entries.
  EXPECT_EQ((Names{L"d", L"empty"}), Search(L"C:\\*"));
}

TEST(FindFiles, SingleEntriesAndFailures) {
  TempMachine m;
  WriteHostFile(m.c() + "/d/Data.bin", "12345");
  MakeHostDirs(m.c() + "/d/Sub");

  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(L"C:\\D\\DATA.BIN", &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, search);
  EXPECT_EQ(std::wstring(L"Data.bin"), data.cFileName);  // the name as stored
  EXPECT_EQ(5u, data.nFileSizeLow);
  EXPECT_FALSE(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_FALSE(FindNextFileW(search, &data));
  FindClose(search);
  EXPECT_FALSE(FindClose(search));

  search = FindFirstFileW(L"C:\\d\\sub", &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, search);
  EXPECT_TRUE(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(std::wstring(L"Sub"), data.cFileName);
  FindClose(search);

  EXPECT_EQ((Names{L"!2"}), Search(L"C:\\d\\sub\\"));  // a trailing backslash names nothing
  EXPECT_EQ((Names{L"!2"}), Search(L"C:\\"));
  EXPECT_EQ((Names{L"!2"}), Search(L"C:\\d\\*.exe"));
  EXPECT_EQ((Names{L"!2"}), Search(L"C:\\d\\missing.txt"));
  EXPECT_EQ((Names{L"!3"}), Search(L"C:\\nowhere\\*.*"));
  EXPECT_EQ((Names{L"!3"}), Search(L"Q:\\*.*"));
  EXPECT_EQ((Names{L"!53"}), Search(L"\\\\server\\share\\*"));
}
