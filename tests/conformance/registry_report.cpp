// The registry key wrapper: opening by every path form, values of every
// kind and size, the system's limits and deleting trees.
#include <string>
#include <vector>

#include "conformance/report.h"
#include "shared/product_constants.h"
#include "shared/registry_key.h"

namespace conformance {
namespace {

const WCHAR kRoot[] = L"Software\\KorvaConformance";

std::string Open(RegistryKey& key, const std::wstring& path, bool create) {
  bool opened = key.Open(path, create);
  return YesNo(opened) + ", at \"" + Esc(key.CurrentPath()) + "\"";
}

// Sub-key names of a key in the order the system enumerates them.
std::string SubKeys(HKEY root, const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "(no key)";
  std::string out;
  WCHAR name[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = 256;
    if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    out += (out.empty() ? "" : " ") + Esc(std::wstring(name, length));
  }
  RegCloseKey(key);
  return out.empty() ? "(none)" : out;
}

// `text`: the value holds WCHARs whatever its kind.
std::string ValueInfo(RegistryKey& key, const std::wstring& name, bool text = false) {
  RegistryValueKind kind;
  DWORD size = 0;
  bool found = key.QueryValueInfo(name, &kind, &size);
  // Text sizes in characters: WCHAR has no one size.
  text = text || kind == kRegistryKindString || kind == kRegistryKindExpandString;
  return YesNo(found) + ", kind " + Num(kind) + ", " +
         (text ? Num(size / sizeof(WCHAR)) + " characters" : Num(size) + " bytes");
}

void SetRaw(HKEY key, const WCHAR* name, DWORD type, const void* data, DWORD bytes) {
  RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), bytes);
}

void ReportOpens() {
  RegistryKey key(HKEY_CURRENT_USER, KEY_ALL_ACCESS, true);
  Fact("open missing without create", Open(key, kRoot, false));
  Fact("open with create", Open(key, kRoot, true));
  Fact("open relative with slashes", Open(key, L"Child/Grand\\", true));
  Fact("open absolute while open", Open(key, std::wstring(L"\\") + kRoot, false));
  Fact("open the empty path", Open(key, L"", false));
  Fact("create the empty path", Open(key, L"", true));
  Fact("open relative in other case", Open(key, L"CHILD\\grand", false));
  Fact("open missing relative", Open(key, L"Nothing", false));
  const bool read = key.OpenForRead(L"\\SOFTWARE\\KORVACONFORMANCE\\child");
  Fact("open for read", YesNo(read) + ", at \"" + Esc(key.CurrentPath()) + "\", access " + Num(key.Access()));
  HKEY sub = key.OpenSubKey(L"Grand");
  Fact("open sub-key", YesNo(sub != nullptr) + ", still at \"" + Esc(key.CurrentPath()) + "\"");
  if (sub) RegCloseKey(sub);
  sub = key.OpenSubKey(L"Missing");
  Fact("open missing sub-key", YesNo(sub != nullptr));
  if (sub) RegCloseKey(sub);
  key.Close();
  Fact("after close", "\"" + Esc(key.CurrentPath()) + "\", open " + YesNo(key.Current() != nullptr));

  RegistryKey fresh(HKEY_CURRENT_USER, KEY_ALL_ACCESS, true);
  Fact("open the empty path without a key", Open(fresh, L"", false));
  RegistryKey flushing(HKEY_CURRENT_USER, KEY_ALL_ACCESS, false);
  Fact("open with flush on close", Open(flushing, kRoot, false));
  flushing.Close();

  RegistryKey limits(HKEY_CURRENT_USER, KEY_ALL_ACCESS, true);
  limits.Open(kRoot, false);
  // Key names hold 255 characters; 256 is left out, as Wine takes it and
  // Windows does not.
  Fact("create a key name of 255 characters", YesNo(limits.Open(std::wstring(255, L'k'), true)));
  limits.Open(std::wstring(L"\\") + kRoot, false);
  Fact("create a key name of 257 characters", YesNo(limits.Open(std::wstring(257, L'k'), true)));
  std::wstring deep;
  for (int level = 0; level < 32; ++level) deep += (level ? L"\\" : L"") + std::wstring(L"level") + std::to_wstring(level);
  limits.Open(std::wstring(L"\\") + kRoot, false);
  Fact("create 32 levels at once", YesNo(limits.Open(deep, true)));
}

void ReportValues() {
  RegistryKey key(HKEY_CURRENT_USER, KEY_ALL_ACCESS, true);
  key.Open(std::wstring(kRoot) + L"\\Values", true);
  key.SetString(L"Name", L"value");
  key.SetString(L"", L"default value");
  key.SetString(L"Chinese", kInstallResultTexts[0]);
  key.SetString(L"Empty", L"");
  const WCHAR expand[] = L"%TEMP%\\x";
  SetRaw(key.Current(), L"Expand", REG_EXPAND_SZ, expand, sizeof(expand));
  DWORD number = 7;
  SetRaw(key.Current(), L"Number", REG_DWORD, &number, sizeof(number));
  const BYTE binary[5] = {1, 2, 3, 4, 5};
  SetRaw(key.Current(), L"Binary", REG_BINARY, binary, sizeof(binary));
  const WCHAR multi[] = L"a\0b\0";
  SetRaw(key.Current(), L"Multi", REG_MULTI_SZ, multi, sizeof(multi));
  const WCHAR unterminated[] = {L'a', L'b', L'c'};
  SetRaw(key.Current(), L"Unterminated", REG_SZ, unterminated, sizeof(unterminated));
  const WCHAR inner[] = L"ab\0cd";
  SetRaw(key.Current(), L"InnerNul", REG_SZ, inner, sizeof(inner));

  for (const WCHAR* name : {L"Name", L"NAME", L"", L"Chinese", L"Empty", L"Expand", L"Number", L"Binary", L"Multi",
                            L"Unterminated", L"InnerNul", L"Missing"}) {
    const bool text = std::wstring(name) == L"Multi";
    Fact("value \"" + Esc(name) + "\"", ValueInfo(key, name, text) + ", string \"" + Esc(key.QueryString(name)) + "\"");
  }

  // QueryString reads 16 KB: 8191 characters and the terminator fit.
  key.SetString(L"Fits", std::wstring(8191, L'f'));
  key.SetString(L"TooLong", std::wstring(8192, L't'));
  Fact("string of 8191 characters", Num(key.QueryString(L"Fits").size()));
  Fact("string of 8192 characters", Num(key.QueryString(L"TooLong").size()));
  key.SetString(std::wstring(16383, L'v'), L"long name");
  key.SetString(std::wstring(16384, L'w'), L"longer name");
  Fact("value name of 16383 characters", ValueInfo(key, std::wstring(16383, L'v')));
  Fact("value name of 16384 characters", ValueInfo(key, std::wstring(16384, L'w')));

  RegistryKey closed(HKEY_CURRENT_USER, KEY_ALL_ACCESS, true);
  Fact("string without an open key", "\"" + Esc(closed.QueryString(L"Name")) + "\", " + ValueInfo(closed, L"Name"));
}

void ReportDeletes() {
  RegistryKey key(HKEY_CURRENT_USER, KEY_ALL_ACCESS, true);
  const std::wstring tree = std::wstring(kRoot) + L"\\Tree";
  for (const WCHAR* path : {L"b", L"A", L"c\\deep\\deeper", L"a1", L"B2\\x", L"c\\z"}) {
    key.Open(L"\\" + tree + L"\\" + path, true);
    key.SetString(L"v", L"1");
  }
  Fact("sub-keys as enumerated", SubKeys(HKEY_CURRENT_USER, tree));
  key.Open(std::wstring(L"\\") + kRoot, false);
  Fact("delete the empty path", YesNo(key.DeleteTree(L"")));
  Fact("delete a lone backslash", YesNo(key.DeleteTree(L"\\")));
  Fact("delete a lone slash", YesNo(key.DeleteTree(L"/")));
  Fact("delete a missing key", YesNo(key.DeleteTree(L"Missing")));
  bool deleted = key.DeleteTree(L"TREE/");
  Fact("delete a relative tree", YesNo(deleted) + ", left " + SubKeys(HKEY_CURRENT_USER, kRoot) + ", still at \"" +
                                     Esc(key.CurrentPath()) + "\"");

  key.Open(L"\\" + tree + L"\\x\\y", true);
  key.Open(std::wstring(L"\\") + kRoot, false);
  deleted = key.DeleteTree(std::wstring(L"\\") + tree + L"\\");
  Fact("delete an absolute tree", YesNo(deleted) + ", left " + SubKeys(HKEY_CURRENT_USER, tree));

  // A key open elsewhere is deleted all the same; its handle then fails.
  RegistryKey holder(HKEY_CURRENT_USER, KEY_ALL_ACCESS, true);
  holder.Open(tree + L"\\held", true);
  deleted = key.DeleteTree(L"Tree");
  Fact("delete a tree open elsewhere", YesNo(deleted) + ", left " + SubKeys(HKEY_CURRENT_USER, tree));
  DWORD one = 1;
  LSTATUS write = RegSetValueExW(holder.Current(), L"late", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                                 sizeof(one));
  Fact("  writing through the deleted key", Num(static_cast<DWORD>(write)));
}

// The product's uninstall entry as the installer writes and removes it.
void ReportUninstallEntry() {
  const std::wstring path = std::wstring(kUninstallRegKey) + kProductGuid;
  RegistryKey key(HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS, true);
  Fact("uninstall entry", Open(key, path, true));
  key.SetString(kDisplayNameValue, std::wstring(kProductName) + L"1.2.3");
  key.SetString(kInstallLocationValue, L"C:\\Program Files\\Korva\\");
  key.Close();
  RegistryKey reader(HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS, true);
  const bool read = reader.OpenForRead(path);
  Fact("  read back", YesNo(read) + ", \"" + Esc(reader.QueryString(kDisplayNameValue)) + "\", \"" +
                          Esc(reader.QueryString(kInstallLocationValue)) + "\"");
  reader.Close();
  const bool deleted = reader.DeleteTree(path);
  Fact("  deleted", YesNo(deleted) + ", exists " + YesNo(reader.OpenForRead(path)));
}

}  // namespace

void ReportRegistry() {
  Section("registry");
  RegistryKey cleanup(HKEY_CURRENT_USER, KEY_ALL_ACCESS, true);
  cleanup.DeleteTree(kRoot);
  ReportOpens();
  ReportValues();
  ReportDeletes();
  ReportUninstallEntry();
  cleanup.DeleteTree(kRoot);
  Fact("left behind", SubKeys(HKEY_CURRENT_USER, kRoot));
}

}  // namespace conformance
