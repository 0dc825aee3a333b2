#include <boost/algorithm/string/case_conv.hpp>

#include <windows.h>
#include <tlhelp32.h>

#include "shared/file_system.h"
#include "shared/log_writer.h"
#include "shared/system_helpers.h"
#include "shared/text_convert.h"

namespace {
// A terminated process that has not ended after this many 50 ms waits is
// given up, so a stuck process cannot hang the caller for good.
const int kTerminateWaitSteps = 100;
}

bool IsFileLocked(const std::wstring& path) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(path.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return false;
  FindClose(find);

  // A read-only file is not in use.
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return true;
  CloseHandle(file);
  return false;
}

int KillProcessByName(const std::wstring& exeName) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  HandleGuard guard(&snapshot);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;

  const std::wstring wanted = boost::algorithm::to_lower_copy(exeName);
  int result = 0;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    const std::wstring exe = entry.szExeFile;
    if (wanted != boost::algorithm::to_lower_copy(GetFileName(exe)) && wanted != boost::algorithm::to_lower_copy(exe))
      continue;
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
    result = TerminateProcess(process, 0);
    if (!process) continue;
    int steps = 0;
    while (WaitForSingleObject(process, 50) == WAIT_TIMEOUT) {
      if (++steps >= kTerminateWaitSteps) {
        WriteLog("process %s (%lu) has not ended after termination, stop waiting .", WideToAnsi(exe).c_str(),
                 static_cast<unsigned long>(entry.th32ProcessID));
        break;
      }
    }
    CloseHandle(process);
  }
  CloseHandle(snapshot);
  snapshot = NULL;
  return result;
}
