// regview: looks into the registry of the machine named by WIN32_MACHINE.
//
//   regview list KEY             values and sub-keys of one key
//   regview export KEY           the key and everything below it, as text
//   regview restrict KEY MASK    later opens of KEY get at most MASK
//                                (a number such as 0x1, or "all" to lift it)
//
// KEY is ROOT\path, ROOT one of HKLM, HKCU, HKEY_LOCAL_MACHINE,
// HKEY_CURRENT_USER; "/" separates too. Exit codes: 0 done, 1 usage,
// 2 key not found, 3 other registry failure.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <windows.h>

#include "internal/registry_admin.h"
#include "internal/unicode.h"

namespace {

enum ExitCode { kOk = 0, kUsage = 1, kNotFound = 2, kFailed = 3 };

std::string Utf8(const std::wstring& text) { return win32::WideToUtf8(text); }

const char* TypeName(DWORD type) {
  switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
    case REG_LINK: return "REG_LINK";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_QWORD: return "REG_QWORD";
    default: return "REG_UNKNOWN";
  }
}

std::string Hex(const std::vector<BYTE>& data) {
  std::string out;
  char byte[4];
  for (size_t i = 0; i < data.size(); ++i) {
    std::snprintf(byte, sizeof(byte), i ? " %02x" : "%02x", data[i]);
    out += byte;
  }
  return out;
}

// Text of a string value: its WCHARs up to the first zero.
std::wstring WideText(const std::vector<BYTE>& data, size_t offset = 0) {
  std::wstring text;
  for (size_t i = offset; i + sizeof(WCHAR) <= data.size(); i += sizeof(WCHAR)) {
    WCHAR ch;
    std::memcpy(&ch, &data[i], sizeof(WCHAR));
    if (ch == L'\0') break;
    text += ch;
  }
  return text;
}

std::string FormatData(const win32::RegistryValueRecord& value) {
  const std::vector<BYTE>& data = value.data;
  char number[32];
  switch (value.type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      if (data.size() % sizeof(WCHAR) == 0) return "\"" + Utf8(WideText(data)) + "\"";
      break;
    case REG_MULTI_SZ: {
      if (data.size() % sizeof(WCHAR) != 0) break;
      std::string out;
      for (size_t offset = 0; offset + sizeof(WCHAR) <= data.size();) {
        std::wstring part = WideText(data, offset);
        if (part.empty()) break;
        out += (out.empty() ? "\"" : " \"") + Utf8(part) + "\"";
        offset += (part.size() + 1) * sizeof(WCHAR);
      }
      return out;
    }
    case REG_DWORD:
      if (data.size() == 4) {
        uint32_t v;
        std::memcpy(&v, data.data(), 4);
        std::snprintf(number, sizeof(number), "0x%08x (%u)", v, v);
        return number;
      }
      break;
    case REG_QWORD:
      if (data.size() == 8) {
        uint64_t v;
        std::memcpy(&v, data.data(), 8);
        std::snprintf(number, sizeof(number), "0x%016llx", static_cast<unsigned long long>(v));
        return number;
      }
      break;
  }
  return "hex: " + Hex(data);
}

std::string FormatValue(const win32::RegistryValueRecord& value) {
  std::string name = value.name.empty() ? "(default)" : Utf8(value.name);
  return name + "  " + TypeName(value.type) + "  " + FormatData(value);
}

std::string AccessNote(DWORD allowed) {
  if (allowed == win32::kRegistryAccessAll) return "";
  char text[48];
  std::snprintf(text, sizeof(text), "  [access 0x%08x]", allowed);
  return text;
}

int Report(LSTATUS rc, const std::wstring& key) {
  if (rc == ERROR_FILE_NOT_FOUND) {
    std::fprintf(stderr, "regview: key not found: %s\n", Utf8(key).c_str());
    return kNotFound;
  }
  std::fprintf(stderr, "regview: cannot read %s (error %ld)\n", Utf8(key).c_str(),
               static_cast<long>(rc));
  return kFailed;
}

int List(HKEY root, const std::wstring& sub, const std::wstring& shown) {
  win32::RegistryKeyRecord record;
  LSTATUS rc = win32::ReadRegistryKey(root, sub, &record);
  if (rc != ERROR_SUCCESS) return Report(rc, shown);
  std::printf("%s%s\n", Utf8(shown).c_str(), AccessNote(record.allowedAccess).c_str());
  std::printf("values: %zu\n", record.values.size());
  for (const auto& value : record.values) std::printf("  %s\n", FormatValue(value).c_str());
  std::printf("sub-keys: %zu\n", record.subKeys.size());
  for (const auto& name : record.subKeys) std::printf("  %s\n", Utf8(name).c_str());
  return kOk;
}

LSTATUS ExportTree(HKEY root, const std::wstring& sub, const std::wstring& shown) {
  win32::RegistryKeyRecord record;
  LSTATUS rc = win32::ReadRegistryKey(root, sub, &record);
  if (rc != ERROR_SUCCESS) return rc;
  std::printf("[%s]%s\n", Utf8(shown).c_str(), AccessNote(record.allowedAccess).c_str());
  for (const auto& value : record.values) std::printf("%s\n", FormatValue(value).c_str());
  std::printf("\n");
  for (const auto& name : record.subKeys) {
    std::wstring childSub = sub.empty() ? name : sub + L"\\" + name;
    rc = ExportTree(root, childSub, shown + L"\\" + name);
    // A key deleted meanwhile by another process is simply left out.
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return rc;
  }
  return ERROR_SUCCESS;
}

int Restrict(HKEY root, const std::wstring& sub, const std::wstring& shown, const char* mask) {
  DWORD allowed = 0;
  if (std::strcmp(mask, "all") == 0) {
    allowed = win32::kRegistryAccessAll;
  } else {
    char* end = nullptr;
    unsigned long parsed = std::strtoul(mask, &end, 0);
    if (!*mask || *end || parsed > 0xFFFFFFFFul) {
      std::fprintf(stderr, "regview: bad access mask: %s\n", mask);
      return kUsage;
    }
    allowed = static_cast<DWORD>(parsed);
  }
  LSTATUS rc = win32::SetRegistryKeyAccess(root, sub, allowed);
  if (rc != ERROR_SUCCESS) return Report(rc, shown);
  return kOk;
}

// Creates the key and the keys above it, as a machine that already has
// them would (tests and the demo prepare machines this way).
int Create(HKEY root, const std::wstring& sub, const std::wstring& shown) {
  HKEY key = nullptr;
  LSTATUS rc = RegCreateKeyExW(root, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return Report(rc, shown);
  RegCloseKey(key);
  return kOk;
}

int Usage() {
  std::fprintf(stderr,
               "usage: regview list KEY\n"
               "       regview export KEY\n"
               "       regview create KEY\n"
               "       regview restrict KEY MASK|all\n"
               "KEY: HKLM\\path or HKCU\\path\n");
  return kUsage;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  std::string command = argv[1];
  std::wstring shown = win32::Utf8ToWide(argv[2]);
  while (!shown.empty() && (shown.back() == L'\\' || shown.back() == L'/')) shown.pop_back();
  HKEY root = nullptr;
  std::wstring sub;
  if (!win32::ParseRegistryPath(shown, &root, &sub)) {
    std::fprintf(stderr, "regview: not a registry key (HKLM\\... or HKCU\\...): %s\n", argv[2]);
    return kUsage;
  }
  for (wchar_t& ch : shown)
    if (ch == L'/') ch = L'\\';
  if (command == "list" && argc == 3) return List(root, sub, shown);
  if (command == "export" && argc == 3) {
    LSTATUS rc = ExportTree(root, sub, shown);
    return rc == ERROR_SUCCESS ? kOk : Report(rc, shown);
  }
  if (command == "create" && argc == 3) return Create(root, sub, shown);
  if (command == "restrict" && argc == 4) return Restrict(root, sub, shown, argv[3]);
  return Usage();
}
