// Where skin files come from: the program's folder, the resource path and
// the resource archive. Shared by every window of the process.
#include <duilib/dui_manager.h>

#include <zip.h>

#include <fstream>
#include <mutex>
#include <sstream>

#include "internal/machine.h"
#include "internal/unicode.h"

namespace DuiLib {

namespace {

struct ResourceSettings {
  std::mutex lock;
  HINSTANCE instance = nullptr;
  CDuiString resourcePath;
  CDuiString resourceZip;
  bool cachedZip = false;
};

ResourceSettings& Settings() {
  static ResourceSettings* settings = new ResourceSettings;
  return *settings;
}

bool IsAbsolute(const CDuiString& path) {
  return (path.GetLength() >= 2 && path[1] == L':') || path[0] == L'\\' || path[0] == L'/';
}

std::wstring WithBackslashes(std::wstring path) {
  for (auto& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path;
}

bool ReadFromArchive(const std::wstring& archive, const std::wstring& name, std::string* data,
                     std::wstring* error) {
  std::string host;
  DWORD code = 0;
  if (!win32::ToHostPath(archive, &host, &code)) {
    *error = L"skin archive " + archive + L" is not a valid path";
    return false;
  }
  int zipError = 0;
  zip_t* zip = zip_open(host.c_str(), ZIP_RDONLY, &zipError);
  if (!zip) {
    zip_error_t ze;
    zip_error_init_with_code(&ze, zipError);
    *error = L"cannot open skin archive " + archive + L": " + win32::Utf8ToWide(zip_error_strerror(&ze));
    zip_error_fini(&ze);
    return false;
  }
  std::string entry = win32::WideToUtf8(name);
  for (auto& c : entry) {
    if (c == '\\') c = '/';
  }
  while (!entry.empty() && entry[0] == '/') entry.erase(0, 1);
  zip_int64_t index = zip_name_locate(zip, entry.c_str(), ZIP_FL_NOCASE);
  bool ok = false;
  if (index < 0) {
    *error = name + L" is not in skin archive " + archive;
  } else if (zip_file_t* file = zip_fopen_index(zip, static_cast<zip_uint64_t>(index), 0)) {
    data->clear();
    char buffer[16384];
    zip_int64_t n;
    while ((n = zip_fread(file, buffer, sizeof(buffer))) > 0) data->append(buffer, static_cast<size_t>(n));
    ok = n == 0;
    if (!ok) *error = L"cannot read " + name + L" from skin archive " + archive;
    zip_fclose(file);
  } else {
    *error = L"cannot read " + name + L" from skin archive " + archive;
  }
  zip_discard(zip);
  return ok;
}

bool ReadFromFolder(const std::wstring& path, std::string* data, std::wstring* error) {
  std::string host;
  DWORD code = 0;
  std::ifstream in;
  if (win32::ToHostPath(path, &host, &code)) in.open(host, std::ios::binary);
  if (!in) {
    *error = L"cannot open skin file " + path;
    return false;
  }
  std::ostringstream content;
  content << in.rdbuf();
  *data = content.str();
  return true;
}

}  // namespace

HINSTANCE CPaintManagerUI::GetInstance() {
  std::lock_guard<std::mutex> guard(Settings().lock);
  return Settings().instance;
}

void CPaintManagerUI::SetInstance(HINSTANCE instance) {
  std::lock_guard<std::mutex> guard(Settings().lock);
  Settings().instance = instance;
}

CDuiString CPaintManagerUI::GetInstancePath() {
  WCHAR path[MAX_PATH + 1] = {0};
  DWORD n = GetModuleFileNameW(GetInstance(), path, MAX_PATH);
  // An instance handle this machine does not know stands for the program.
  if (n == 0) n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  CDuiString dir(path, static_cast<int>(n));
  int slash = dir.ReverseFind(L'\\');
  return slash >= 0 ? dir.Left(slash + 1) : CDuiString();
}

CDuiString CPaintManagerUI::GetResourcePath() {
  std::lock_guard<std::mutex> guard(Settings().lock);
  return Settings().resourcePath;
}

void CPaintManagerUI::SetResourcePath(LPCTSTR path) {
  CDuiString p(WithBackslashes(path ? path : L"").c_str());
  if (!p.IsEmpty() && p[p.GetLength() - 1] != L'\\') p += L'\\';
  std::lock_guard<std::mutex> guard(Settings().lock);
  Settings().resourcePath = p;
}

CDuiString CPaintManagerUI::GetResourceZip() {
  std::lock_guard<std::mutex> guard(Settings().lock);
  return Settings().resourceZip;
}

void CPaintManagerUI::SetResourceZip(LPCTSTR zip, bool cached) {
  std::lock_guard<std::mutex> guard(Settings().lock);
  Settings().resourceZip = zip;
  Settings().cachedZip = cached;
}

bool CPaintManagerUI::IsCachedResourceZip() {
  std::lock_guard<std::mutex> guard(Settings().lock);
  return Settings().cachedZip;
}

bool CPaintManagerUI::LoadResource(LPCTSTR name, std::string* data, CDuiString* error) {
  CDuiString folder = GetResourcePath();
  CDuiString zip = GetResourceZip();
  std::wstring file = WithBackslashes(name ? name : L"");
  std::wstring why;
  bool ok;
  if (!zip.IsEmpty()) {
    std::wstring archive = IsAbsolute(zip) ? zip.GetData() : (folder + zip).GetData();
    ok = ReadFromArchive(archive, file, data, &why);
  } else {
    ok = ReadFromFolder((folder + file.c_str()).GetData(), data, &why);
  }
  if (!ok && error) *error = why.c_str();
  return ok;
}

}  // namespace DuiLib
