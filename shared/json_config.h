// Reader of the JSON configuration files (install.json, update.json and the
// updater's own files) and the records that carry their values.
#pragma once
#include <windows.h>
#include <json/json.h>

#include <list>
#include <string>

struct ShortcutInfo {
  std::wstring id;
  std::wstring location;
  std::wstring icon;
  std::wstring name;
};

struct ExecuteInfo {
  std::wstring id;
  std::wstring location;
  std::wstring param;
  INT32 stage = 0;  // 1 = run while installing, 2 = recorded for the uninstaller
};

struct PackageInfo {
  std::wstring packagename;
  std::wstring version;  // decimal version code
};

struct UpdateConfig {
  PackageInfo updater;  // "updateupdate"
  PackageInfo main;     // "updatekorva"
  PackageInfo delta;    // "updatekorvadelta"
  std::wstring updateurl;
};

// The two typing rules every configuration value and service reply follows.
// Text: string as is, true/false as "true"/"false", null as empty; anything
// else fails. Integer: null as 0, numbers within the signed 32-bit range (reals
// truncated), true/false as 1/0; anything else fails.
bool JsonReadText(const Json::Value& value, std::wstring& out);
bool JsonReadInt(const Json::Value& value, INT32& out);

class JsonConfig {
 public:
  // Loads and parses one file; the path is kept with "\" separators, also when
  // the file cannot be read.
  bool Load(const std::wstring& path);
  // Top-level member as text. An absent member reads as empty text and is
  // added to the document as null.
  bool GetConfigByName(const std::wstring& name, std::wstring& out);
  // Append one entry per element of "shortcut" / "execute".
  bool GetShortcuts(std::list<ShortcutInfo>& out);
  bool GetExecutes(std::list<ExecuteInfo>& out);
  // A package entry of update.json.
  bool GetPackageInfo(const std::wstring& section, PackageInfo& out);

  // Write side, used by the updater (json_config_write.cpp).
  bool SetString(const std::wstring& key, const std::wstring& value);
  bool SetVersion(const std::wstring& section, const std::wstring& version);
  // Writes the document to its file (an object that has no path yet takes
  // `path`). The new text replaces the old file whole, through a file
  // "<name>.korva-new" beside it; on failure the old file stays as it was and
  // no new file is left. A read-only file is replaced too (the new one is not
  // read-only). While another program holds the file open without sharing
  // deletion, the replacement is tried again for about a second.
  bool Save(const std::wstring& path);
  // "ui" -> "auth" -> "phoneNumber" of the user's configuration, as text
  // (json_config_write.cpp).
  bool GetPhoneNumber(std::string& out);

 private:
  std::wstring path;
  Json::Reader reader;
  Json::Value root;
};

// Reads a whole update.json. False when the file is missing, does not parse or
// a package entry is malformed.
bool ReadUpdateConfig(const std::wstring& path, UpdateConfig& out);
