// Command families of winauto. Each family lives in its own file and adds
// its commands to the table through a static Registration.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include <windows.h>

#include "internal/window_station.h"

namespace winauto {

// Exit codes a script can rely on.
enum Exit { kOk = 0, kError = 1, kMissing = 2, kTimeout = 3 };

struct Command {
  std::string name;
  std::string usage;  // one line for --help
  std::function<int(std::vector<std::string>& args)> run;
};

std::vector<Command>& Commands();

struct Registration {
  explicit Registration(std::vector<Command> commands);
};

// Takes "--name VALUE" out of args; false when absent.
bool TakeOption(std::vector<std::string>& args, const std::string& name, std::string* value);
// Takes "--name" (no value) out of args.
bool TakeFlag(std::vector<std::string>& args, const std::string& name);
// --timeout S in seconds (fractions allowed); fallback when absent.
bool TakeTimeout(std::vector<std::string>& args, double fallback, double* seconds);

int Fail(int code, const std::string& message);
bool ParseHwnd(const std::string& text, HWND* hwnd);
bool ParseNumber(const std::string& text, long long* value);

// Maps a command's status to the exit code, printing the reply.
int Report(win32::station::CommandStatus status, const std::string& reply);

// Sends an automation command; with repeatSeconds > 0 it is repeated until it
// succeeds or the time is up.
int Forward(HWND hwnd, const std::string& command, const std::vector<std::string>& args,
            double repeatSeconds);

}  // namespace winauto
