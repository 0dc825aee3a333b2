// Batch files for the interpreter's tests: written as the updater writes
// them (ANSI text), run through the shell as programs run them, or run by
// the interpreter directly with its output and errors kept apart.
#pragma once
#include <sys/wait.h>

#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <string>

#include "support/temp_machine.h"

namespace batch_testing {

inline std::string Ansi(const std::wstring& text) {
  int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, bytes.data(), n, nullptr, nullptr);
  bytes.resize(static_cast<size_t>(n - 1));
  return bytes;
}

inline void WriteBatch(const std::string& hostPath, const std::wstring& text) {
  testing_support::WriteHostFile(hostPath, Ansi(text));
}

// Starts a program or batch file through the shell; the process handle, or
// null.
inline HANDLE StartThroughShell(const std::wstring& file, const std::wstring& parameters, const std::wstring& directory) {
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"runas";
  info.lpFile = file.c_str();
  info.lpParameters = parameters.c_str();
  info.lpDirectory = directory.c_str();
  info.nShow = SW_HIDE;
  return ShellExecuteExW(&info) ? info.hProcess : nullptr;
}

// Runs a batch file through the shell and waits for the interpreter.
inline DWORD RunBatch(const std::wstring& file, const std::wstring& parameters, const std::wstring& directory,
                      DWORD timeoutMs = 30000) {
  HANDLE process = StartThroughShell(file, parameters, directory);
  if (!process) return 0xDEAD;
  DWORD code = 0xBEEF;
  if (WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0) GetExitCodeProcess(process, &code);
  CloseHandle(process);
  return code;
}

struct ScriptRun {
  int code = -1;
  std::string out;  // stdout
  std::string err;  // stderr
};

// Runs `script` as C:\batch\t.bat from the host folder cwdHost (C:\batch
// when empty) with the interpreter of this build.
inline ScriptRun RunScript(const testing_support::TempMachine& machine, const std::wstring& script,
                           const std::string& args = "", std::string cwdHost = "") {
  const std::string batch = machine.c() + "/batch/t.bat";
  WriteBatch(batch, script);
  if (cwdHost.empty()) cwdHost = machine.c() + "/batch";
  const std::string out = machine.dir() + "/t.out", err = machine.dir() + "/t.err";
  const std::string command = "cd '" + cwdHost + "' && '" + KORVA_BUILD_DIR + "/platform/tools/cmdbat' '" + batch +
                              "' " + args + " >'" + out + "' 2>'" + err + "'";
  const int status = std::system(command.c_str());
  ScriptRun run;
  run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = testing_support::ReadHostFile(out);
  run.err = testing_support::ReadHostFile(err);
  return run;
}

}  // namespace batch_testing
