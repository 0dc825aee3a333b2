// The updater's side of JsonConfig: changing members, saving the document
// back to its file, and the phone number of the user's configuration.
#include <string>

#include <windows.h>

#include "shared/file_system.h"
#include "shared/json_config.h"
#include "shared/log_writer.h"
#include "shared/text_convert.h"

namespace {

// The file is written as a Windows text stream: every line feed on disk is
// a carriage return and a line feed.
std::string ToTextMode(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

}  // namespace

bool JsonConfig::SetString(const std::wstring& key, const std::wstring& value) {
  if (key.empty()) return true;
  root[WideToUtf8(key)] = Json::Value(WideToUtf8(value));
  return true;
}

bool JsonConfig::SetVersion(const std::wstring& section, const std::wstring& version) {
  if (section.empty()) return true;
  const std::string name = WideToUtf8(section);
  Json::Value entry = root.get(name, Json::Value());
  entry["version"] = Json::Value(WideToUtf8(version));
  root[name] = entry;
  return true;
}

bool JsonConfig::Save(const std::wstring& filePath) {
  if (path.empty() && filePath != path) {
    path = filePath;
  }
  if (path.empty()) return false;
  Json::StyledWriter writer;
  const std::string text = ToTextMode(writer.write(root));
  // The text goes to a file beside the old one and replaces it in one rename,
  // so a full drive or a killed process never leaves a cut record behind.
  // The name is fixed: a leftover of a killed run is replaced. The new
  // file takes the record's hidden and system flags, which the rename would
  // otherwise drop.
  const std::wstring newPath = path + L".korva-new";
  // A leftover that a run killed while the record was hidden made hidden
  // would refuse the overwrite once the record is not: it goes first.
  ClearReadOnly(newPath);
  DeleteFileW(newPath.c_str());
  const DWORD attributes = GetFileAttributesW(path.c_str());
  const DWORD flags = attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)
                          ? 0
                          : attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  HANDLE file = CreateFileW(newPath.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                            flags ? flags : FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  DWORD written = 0;
  // Flushed before the rename: otherwise a power cut could leave the renamed
  // file empty.
  bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, NULL) &&
            written == text.size() && FlushFileBuffers(file);
  CloseHandle(file);
  // The updater owns its records: a read-only flag, which a package's file
  // can carry, does not keep the new text out; it comes back if the old
  // record stays.
  ok = ok && ReplaceFileRetrying(newPath, path);
  if (!ok) {
    const DWORD error = GetLastError();
    DeleteFileW(newPath.c_str());
    SetLastError(error);
  }
  return ok;
}

bool JsonConfig::GetPhoneNumber(std::string& out) {
  try {
    const Json::Value ui = root.get("ui", Json::Value());
    const Json::Value auth = ui.get("auth", Json::Value());
    const Json::Value number = auth.get("phoneNumber", Json::Value());
    switch (number.type()) {
      case Json::nullValue:
        out.clear();
        return true;
      case Json::booleanValue:
        out = number.asBool() ? "true" : "false";
        return true;
      case Json::intValue:
      case Json::uintValue:
      case Json::realValue:
      case Json::stringValue:
        out = number.asString();
        return true;
      default:
        break;
    }
  } catch (...) {
  }
  WriteLog("GetExecutes json parse error. ");
  return false;
}
