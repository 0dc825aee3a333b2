#include <objbase.h>
#include <shobjidl.h>

#include <atomic>
#include <cstring>
#include <utility>

#include "shell_link_file.h"

namespace win32 {
namespace {

template <typename T>
HRESULT CopyOut(T value, T* out) {
  if (!out) return E_POINTER;
  *out = value;
  return S_OK;
}

HRESULT CopyOut(const std::wstring& text, LPWSTR buffer, int cch) {
  if (!buffer || cch <= 0) return E_INVALIDARG;
  size_t n = std::min(text.size(), static_cast<size_t>(cch - 1));
  std::copy(text.begin(), text.begin() + n, buffer);
  buffer[n] = L'\0';
  return S_OK;
}

// Written through the file layer, so that share modes, the read-only attribute
// and a running program's file hold for it as for any write, and a power cut
// of the process sees it.
HRESULT WriteWholeFile(const std::wstring& path, const std::vector<uint8_t>& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return HRESULT_FROM_WIN32(GetLastError());
  DWORD written = 0;
  const bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                  written == bytes.size();
  const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
  CloseHandle(file);
  if (ok) return S_OK;
  return HRESULT_FROM_WIN32(error == ERROR_SUCCESS ? ERROR_DISK_FULL : error);
}

class ShellLink final : public IShellLinkW, public IPersistFile {
 public:
  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IShellLinkW) {
      *object = static_cast<IShellLinkW*>(this);
    } else if (iid == IID_IPersistFile || iid == IID_IPersist) {
      *object = static_cast<IPersistFile*>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  // IShellLinkW
  HRESULT STDMETHODCALLTYPE GetPath(LPWSTR file, int cch, struct _WIN32_FIND_DATAW*, DWORD) override {
    HRESULT hr = CopyOut(link_.target, file, cch);
    return FAILED(hr) ? hr : (link_.target.empty() ? S_FALSE : S_OK);
  }
  HRESULT STDMETHODCALLTYPE GetIDList(struct _ITEMIDLIST** idList) override {
    if (idList) *idList = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetIDList(const struct _ITEMIDLIST*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDescription(LPWSTR name, int cch) override {
    return CopyOut(link_.description, name, cch);
  }
  HRESULT STDMETHODCALLTYPE SetDescription(LPCWSTR name) override { return Set(&link_.description, name); }
  HRESULT STDMETHODCALLTYPE GetWorkingDirectory(LPWSTR dir, int cch) override {
    return CopyOut(link_.workingDirectory, dir, cch);
  }
  HRESULT STDMETHODCALLTYPE SetWorkingDirectory(LPCWSTR dir) override { return Set(&link_.workingDirectory, dir); }
  HRESULT STDMETHODCALLTYPE GetArguments(LPWSTR args, int cch) override { return CopyOut(link_.arguments, args, cch); }
  HRESULT STDMETHODCALLTYPE SetArguments(LPCWSTR args) override { return Set(&link_.arguments, args); }
  HRESULT STDMETHODCALLTYPE GetHotkey(WORD* hotkey) override { return CopyOut(link_.hotkey, hotkey); }
  HRESULT STDMETHODCALLTYPE SetHotkey(WORD hotkey) override { return Set(&link_.hotkey, hotkey); }
  HRESULT STDMETHODCALLTYPE GetShowCmd(int* showCmd) override { return CopyOut(link_.showCommand, showCmd); }
  HRESULT STDMETHODCALLTYPE SetShowCmd(int showCmd) override { return Set(&link_.showCommand, showCmd); }
  HRESULT STDMETHODCALLTYPE GetIconLocation(LPWSTR iconPath, int cch, int* iconIndex) override {
    if (iconIndex) *iconIndex = link_.iconIndex;
    return CopyOut(link_.iconPath, iconPath, cch);
  }
  HRESULT STDMETHODCALLTYPE SetIconLocation(LPCWSTR iconPath, int iconIndex) override {
    link_.iconIndex = iconIndex;
    return Set(&link_.iconPath, iconPath);
  }
  // The relative path is derived from the link's own location when saved.
  HRESULT STDMETHODCALLTYPE SetRelativePath(LPCWSTR, DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Resolve(HWND, DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetPath(LPCWSTR file) override {
    if (!file) return E_INVALIDARG;
    return Set(&link_.target, file);
  }

  // IPersistFile
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* classId) override {
    if (!classId) return E_POINTER;
    *classId = CLSID_ShellLink;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsDirty() override { return dirty_ ? S_OK : S_FALSE; }
  HRESULT STDMETHODCALLTYPE Load(LPCOLESTR, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Save(LPCOLESTR fileName, BOOL remember) override {
    std::wstring path = fileName ? fileName : currentFile_;
    if (path.empty()) return E_INVALIDARG;
    HRESULT hr = WriteWholeFile(path, EncodeShellLink(link_, path));
    if (FAILED(hr)) return hr;
    if (remember || !fileName) {
      currentFile_ = path;
      dirty_ = false;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SaveCompleted(LPCOLESTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetCurFile(LPOLESTR* fileName) override {
    if (!fileName) return E_POINTER;
    *fileName = nullptr;
    if (currentFile_.empty()) return S_FALSE;
    auto* copy = static_cast<LPOLESTR>(CoTaskMemAlloc((currentFile_.size() + 1) * sizeof(OLECHAR)));
    if (!copy) return E_OUTOFMEMORY;
    std::copy(currentFile_.begin(), currentFile_.end(), copy);
    copy[currentFile_.size()] = L'\0';
    *fileName = copy;
    return S_OK;
  }

 private:
  HRESULT Set(std::wstring* field, LPCWSTR value) { return Set(field, std::wstring(value ? value : L"")); }
  template <typename T>
  HRESULT Set(T* field, T value) {
    *field = std::move(value);
    dirty_ = true;
    return S_OK;
  }

  std::atomic<ULONG> references_{0};
  ShellLinkData link_;
  std::wstring currentFile_;
  bool dirty_ = false;
};

}  // namespace

HRESULT CreateShellLink(REFIID iid, void** object) {
  auto* link = new ShellLink();
  link->AddRef();
  HRESULT hr = link->QueryInterface(iid, object);
  link->Release();
  return hr;
}

}  // namespace win32
