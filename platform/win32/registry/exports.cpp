// advapi32.dll's registry exports, for GetProcAddress.
#include <cstring>

#include <windows.h>

#include "internal/machine.h"
#include "internal/registry_exports.h"

namespace win32 {
namespace {

struct Export {
  const char* name;
  void* address;
};

const Export kExports[] = {
    {"RegOpenKeyExW", reinterpret_cast<void*>(&RegOpenKeyExW)},
    {"RegCreateKeyExW", reinterpret_cast<void*>(&RegCreateKeyExW)},
    {"RegCloseKey", reinterpret_cast<void*>(&RegCloseKey)},
    {"RegFlushKey", reinterpret_cast<void*>(&RegFlushKey)},
    {"RegQueryValueExW", reinterpret_cast<void*>(&RegQueryValueExW)},
    {"RegSetValueExW", reinterpret_cast<void*>(&RegSetValueExW)},
    {"RegDeleteValueW", reinterpret_cast<void*>(&RegDeleteValueW)},
    {"RegDeleteKeyW", reinterpret_cast<void*>(&RegDeleteKeyW)},
    {"RegDeleteKeyExW", reinterpret_cast<void*>(&RegDeleteKeyExW)},
    {"RegEnumKeyExW", reinterpret_cast<void*>(&RegEnumKeyExW)},
    {"RegEnumValueW", reinterpret_cast<void*>(&RegEnumValueW)},
    {"RegQueryInfoKeyW", reinterpret_cast<void*>(&RegQueryInfoKeyW)},
};

// A test can make the machine look like an older system that lacks an export.
bool Hidden(const char* name) {
  const Json::Value hidden = MachineConfig()["hide_exports"];
  if (!hidden.isArray()) return false;
  for (const Json::Value& entry : hidden)
    if (entry.isString() && entry.asString() == name) return true;
  return false;
}

}  // namespace

void* RegistryExport(const char* name) {
  if (!name) return nullptr;
  for (const Export& entry : kExports) {
    if (std::strcmp(entry.name, name) == 0) return Hidden(name) ? nullptr : entry.address;
  }
  return nullptr;
}

}  // namespace win32
