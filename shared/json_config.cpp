#include "shared/json_config.h"

#include <climits>
#include <vector>

#include "shared/file_system.h"
#include "shared/log_writer.h"
#include "shared/text_convert.h"

namespace {

// An object member read with a read-only lookup: absent gives null. The
// holder must be an object or null.
bool ReadMemberText(const Json::Value& holder, const char* key, std::wstring& out) {
  return JsonReadText(holder.get(key, Json::Value()), out);
}

bool IsObjectOrNull(const Json::Value& value) { return value.isObject() || value.isNull(); }

// Number of elements of a list member: an array's size, 0 for a scalar or
// null; an object cannot be a list.
bool ListSize(const Json::Value& list, Json::ArrayIndex& count) {
  if (list.isObject()) return false;
  count = list.isArray() ? list.size() : 0;
  return true;
}

bool ReadShortcut(const Json::Value& element, ShortcutInfo& info) {
  return IsObjectOrNull(element) && ReadMemberText(element, "id", info.id) &&
         ReadMemberText(element, "location", info.location) &&
         ReadMemberText(element, "icon", info.icon) && ReadMemberText(element, "name", info.name);
}

bool ReadExecute(const Json::Value& element, ExecuteInfo& info) {
  return IsObjectOrNull(element) && ReadMemberText(element, "id", info.id) &&
         ReadMemberText(element, "location", info.location) &&
         ReadMemberText(element, "param", info.param) &&
         JsonReadInt(element.get("stage", Json::Value()), info.stage);
}

// Appends one record per element of the list member `key`; false on the
// first element that cannot be read (earlier ones stay appended).
template <typename Info, typename ReadFn>
bool ReadList(const Json::Value& root, const char* key, std::list<Info>& out, ReadFn read) {
  try {
    const Json::Value list = root.get(key, Json::Value());
    Json::ArrayIndex count = 0;
    if (!ListSize(list, count)) return false;
    for (Json::ArrayIndex i = 0; i < count; ++i) {
      Info info;
      if (!read(list[i], info)) return false;
      out.push_back(info);
    }
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

bool JsonReadText(const Json::Value& value, std::wstring& out) {
  switch (value.type()) {
    case Json::nullValue:
      out.clear();
      return true;
    case Json::stringValue:
      out = Utf8ToWide(value.asString());
      return true;
    case Json::booleanValue:
      out = value.asBool() ? L"true" : L"false";
      return true;
    default:
      return false;
  }
}

bool JsonReadInt(const Json::Value& value, INT32& out) {
  switch (value.type()) {
    case Json::nullValue:
      out = 0;
      return true;
    case Json::booleanValue:
      out = value.asBool() ? 1 : 0;
      return true;
    case Json::intValue:
    case Json::uintValue:
      if (!value.isInt()) return false;
      out = value.asInt();
      return true;
    case Json::realValue: {
      const double real = value.asDouble();
      if (!(real >= INT_MIN && real <= INT_MAX)) return false;
      out = static_cast<INT32>(real);  // toward zero
      return true;
    }
    default:
      return false;
  }
}

bool JsonConfig::Load(const std::wstring& filePath) {
  path = filePath;
  for (WCHAR& c : path) {
    if (c == L'/') c = L'\\';
  }
  std::string text;
  if (!ReadWholeFile(path, &text)) {
    return false;
  }

  // Editors on Windows like to put a UTF-8 byte-order mark in front.
  if (text.size() >= 3 && static_cast<unsigned char>(text[0]) == 0xEF &&
      static_cast<unsigned char>(text[1]) == 0xBB && static_cast<unsigned char>(text[2]) == 0xBF) {
    text.erase(0, 3);
  }
  return reader.parse(text, root);
}

bool JsonConfig::GetConfigByName(const std::wstring& name, std::wstring& out) {
  try {
    // The modifying lookup adds an absent member as null, so a later Save
    // writes it out.
    std::wstring text;
    if (JsonReadText(root[WideToUtf8(name)], text)) {
      out = text;
      return true;
    }
  } catch (...) {
  }
  WriteLog("GetConfigByName by string type json parse error.");
  return false;
}

bool JsonConfig::GetShortcuts(std::list<ShortcutInfo>& out) {
  if (ReadList(root, "shortcut", out, ReadShortcut)) return true;
  WriteLog("GetShortcuts json parse error.");
  return false;
}

bool JsonConfig::GetExecutes(std::list<ExecuteInfo>& out) {
  if (ReadList(root, "execute", out, ReadExecute)) return true;
  WriteLog("GetExecutes json parse error. ");
  return false;
}

bool JsonConfig::GetPackageInfo(const std::wstring& section, PackageInfo& out) {
  try {
    const Json::Value entry = root.get(WideToUtf8(section), Json::Value());
    return IsObjectOrNull(entry) && ReadMemberText(entry, "packagename", out.packagename) &&
           ReadMemberText(entry, "version", out.version);
  } catch (...) {
    return false;
  }
}

bool ReadUpdateConfig(const std::wstring& path, UpdateConfig& out) {
  if (!FileExists(path)) {
    return false;
  }
  JsonConfig config;
  if (!config.Load(path)) {
    return false;
  }
  // A bad "updateurl" is logged by the getter and otherwise ignored.
  config.GetConfigByName(L"updateurl", out.updateurl);
  return config.GetPackageInfo(L"updateupdate", out.updater) &&
         config.GetPackageInfo(L"updatekorva", out.main) &&
         config.GetPackageInfo(L"updatekorvadelta", out.delta);
}
