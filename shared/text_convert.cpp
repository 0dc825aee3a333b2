#include "shared/text_convert.h"

#include <shlwapi.h>

#include <vector>

namespace {

// Both directions stop at the first NUL, as the system does for length -1.
std::wstring ToWide(UINT codePage, const std::string& text) {
  if (text.empty()) return std::wstring();
  int length = MultiByteToWideChar(codePage, 0, text.c_str(), -1, nullptr, 0);
  if (length <= 1) return std::wstring();
  std::vector<WCHAR> buffer(static_cast<size_t>(length), 0);
  MultiByteToWideChar(codePage, 0, text.c_str(), -1, buffer.data(), length);
  return std::wstring(buffer.data(), static_cast<size_t>(length - 1));
}

std::string ToNarrow(UINT codePage, const std::wstring& text) {
  if (text.empty()) return std::string();
  int length = WideCharToMultiByte(codePage, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return std::string();
  std::vector<char> buffer(static_cast<size_t>(length), 0);
  WideCharToMultiByte(codePage, 0, text.c_str(), -1, buffer.data(), length, nullptr, nullptr);
  return std::string(buffer.data(), static_cast<size_t>(length - 1));
}

template <class Edit>
std::wstring EditInPathBuffer(const std::wstring& path, Edit edit) {
  if (path.size() >= MAX_PATH) return path;
  WCHAR buffer[MAX_PATH] = {};
  path.copy(buffer, path.size());
  edit(buffer);
  return buffer;
}

}  // namespace

std::string WideToAnsi(std::wstring text) { return ToNarrow(CP_ACP, text); }

std::wstring AnsiToWide(std::string text) { return ToWide(CP_ACP, text); }

std::wstring Utf8ToWide(std::string text) { return ToWide(CP_UTF8, text); }

std::string WideToUtf8(std::wstring text) { return ToNarrow(CP_UTF8, text); }

std::string AnsiToUtf8(std::string text) { return ToNarrow(CP_UTF8, ToWide(CP_ACP, text)); }

std::wstring AddBackslash(std::wstring path) {
  return EditInPathBuffer(path, [](LPWSTR buffer) { PathAddBackslashW(buffer); });
}

std::wstring RemoveBackslash(std::wstring path) {
  return EditInPathBuffer(path, [](LPWSTR buffer) { PathRemoveBackslashW(buffer); });
}
