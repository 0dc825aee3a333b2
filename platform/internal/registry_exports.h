// The exports of advapi32.dll that GetProcAddress hands out. Platform-internal.
#pragma once

namespace win32 {

// Address of the named registry function, or nullptr when the module has no
// such export or machine.json hides it ({"hide_exports": ["RegDeleteKeyExW"]}),
// which lets callers exercise their fallback for older systems.
void* RegistryExport(const char* name);

}  // namespace win32
