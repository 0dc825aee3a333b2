// The .lnk file format (Shell Link binary format): header, LinkInfo with the
// target's local path, and the string data.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include <windows.h>

namespace win32 {

struct ShellLinkData {
  std::wstring target;  // Windows path as given
  std::wstring arguments;
  std::wstring workingDirectory;
  std::wstring iconPath;
  int iconIndex = 0;
  std::wstring description;
  int showCommand = 1;  // SW_SHOWNORMAL
  WORD hotkey = 0;
};

// The bytes of a .lnk file that will be saved as linkPath (a Windows path;
// the relative path to the target is taken from there).
std::vector<uint8_t> EncodeShellLink(const ShellLinkData& link, const std::wstring& linkPath);

// Path of `target` relative to the directory of `linkPath` (".\x", "..\x"),
// or "" when they are not on the same drive.
std::wstring RelativeLinkPath(const std::wstring& linkPath, const std::wstring& target);

}  // namespace win32
