// The stub that stands for the product's programs (korva.exe, launch.exe,
// unins.exe) and what it records of its runs.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include <json/json.h>

#include "support/temp_machine.h"

namespace testing_support {

// Host path of the stub program of this build.
std::string StubProgram();

// Copies the stub to hostPath (parent folders created) as a plain file
// without execute bits, as a program's installer would have written it.
void InstallStub(const std::string& hostPath);

// Runs recorded in <machine>/stub-runs.jsonl, oldest first. Each has "pid",
// "path", "argv0", "name", "args", "cwd", "windows_path", "windows_cwd" and
// "stays".
std::vector<Json::Value> StubRuns(const TempMachine& machine);

// Polls until at least `count` runs are recorded or the time is up.
std::vector<Json::Value> WaitForStubRuns(const TempMachine& machine, size_t count, int timeoutMs = 10000);

// Polls `done` every 20 ms; false when it never held within the time.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs);

}  // namespace testing_support
