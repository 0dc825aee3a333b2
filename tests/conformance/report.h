// Output of the conformance program: one "name: value" line per fact, in a
// form that is the same on every Windows whatever its WCHAR size, folder
// names or hardware. Paths are shown relative to the run's working folder,
// text as escaped code units and bytes, sizes of text in characters.
#pragma once
#include <cstdint>
#include <string>

#include <windows.h>

namespace conformance {

// The run's working folder, without a trailing backslash.
const std::wstring& Base();
void SetBase(const std::wstring& base);
// Base() + "\" + relative.
std::wstring At(const std::wstring& relative);

void Section(const char* name);
void Fact(const std::string& name, const std::string& value);

// Printable ASCII as it is, other UTF-16 units as \u{XXXX}.
std::string Esc(const std::wstring& text);
// Printable ASCII as it is, other bytes as \xNN.
std::string Bytes(const std::string& bytes);
// The path with the working folder (any case) shown as "<w>".
std::string Rel(const std::wstring& path);
std::string YesNo(bool value);
// Equal without regard to the case of ASCII letters.
bool SameNoCase(const std::wstring& a, const std::wstring& b);
std::string Num(uint64_t value);
// "ok", or "error N" with the thread's last error.
std::string Outcome(bool ok);
// Attributes as letters (R read-only, D directory, A archive, N normal, L
// reparse point), "missing" when there is no such entry.
std::string Attributes(const std::wstring& path);
// The same for attributes that the run set itself, without A and N: Wine
// reports every file as archived whatever was set, Windows what was set.
std::string SetAttributes(const std::wstring& path);

// Fixtures, written and read back through the system directly.
bool PutFile(const std::wstring& path, const std::string& bytes);
// The file's bytes; "<unreadable>" when it does not open.
std::string FileBytes(const std::wstring& path);
bool MakeDir(const std::wstring& path);
// Bytes in the file, 0 when it does not open.
size_t FileSize(const std::wstring& path);
// The lines a log received after its first `before` bytes, without their
// time prefix and with the working folder as <w>, joined by " | ";
// "(none)" when there are none.
std::string LogLinesSince(const std::wstring& log, size_t before);
bool Exists(const std::wstring& path);

// Every path below `dir` (not dir itself), relative to it, sorted, with a
// trailing backslash on directories, joined by " ".
std::string Listing(const std::wstring& dir);

// The sections, one file each.
void ReportConstants();
void ReportText();
void ReportLog();
void ReportFileSystem();
void ReportSystemHelpers();
void ReportProcesses(const std::wstring& self);
void ReportRegistry();
void ReportIniFile();
void ReportMd5();
// The child that ReportProcesses starts runs this instead.
int WaitToBeEnded();

}  // namespace conformance
