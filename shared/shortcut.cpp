#include <objbase.h>
#include <shobjidl.h>

#include "shared/file_system.h"
#include "shared/system_helpers.h"

bool CreateShortcut(const std::wstring& target, const std::wstring& shortcutPath, const std::wstring& iconPath,
                    const std::wstring& arguments, const std::wstring& workingDirectory,
                    const std::wstring& description) {
  const std::wstring directory = GetParentDirectory(shortcutPath);
  try {
    if (!DirectoryExists(directory)) CreateDirectories(directory);
  } catch (...) {
  }
  if (!DirectoryExists(directory)) return false;

  // A thread that has COM already gets S_FALSE and goes on; either way the
  // call is balanced below.
  if (FAILED(CoInitialize(NULL))) return false;
  IShellLinkW* link = NULL;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              reinterpret_cast<void**>(&link)))) {
    CoUninitialize();
    return false;
  }
  link->SetWorkingDirectory(workingDirectory.c_str());
  link->SetPath(target.c_str());
  link->SetDescription(description.c_str());
  link->SetArguments(arguments.c_str());
  link->SetIconLocation(iconPath.c_str(), 0);

  IPersistFile* file = NULL;
  if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
    link->Release();
    CoUninitialize();
    return false;
  }
  HRESULT saved = file->Save(shortcutPath.c_str(), TRUE);
  file->Release();
  link->Release();
  CoUninitialize();
  return SUCCEEDED(saved);
}
