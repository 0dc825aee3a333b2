// The shell link object (CLSID_ShellLink): IShellLinkW and IPersistFile.
// IPersistFile::Save writes a .lnk file in the Shell Link binary format.
#pragma once
#include <win32/wintypes.h>
#include <unknwn.h>

struct _WIN32_FIND_DATAW;
struct _ITEMIDLIST;

typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;

inline constexpr CLSID CLSID_ShellLink = {0x00021401, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IShellLinkW = {0x000214F9, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IPersist = {0x0000010C, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IPersistFile = {0x0000010B, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

#define SLGP_SHORTPATH 0x1
#define SLGP_UNCPRIORITY 0x2
#define SLGP_RAWPATH 0x4
#define SLR_NO_UI 0x1
#define INFOTIPSIZE 1024

struct IShellLinkW : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetPath(LPWSTR file, int cch, struct _WIN32_FIND_DATAW* findData,
                                            DWORD flags) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetIDList(struct _ITEMIDLIST** idList) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetIDList(const struct _ITEMIDLIST* idList) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDescription(LPWSTR name, int cch) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetDescription(LPCWSTR name) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetWorkingDirectory(LPWSTR dir, int cch) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetWorkingDirectory(LPCWSTR dir) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetArguments(LPWSTR args, int cch) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetArguments(LPCWSTR args) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetHotkey(WORD* hotkey) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetHotkey(WORD hotkey) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetShowCmd(int* showCmd) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetShowCmd(int showCmd) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetIconLocation(LPWSTR iconPath, int cch, int* iconIndex) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetIconLocation(LPCWSTR iconPath, int iconIndex) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetRelativePath(LPCWSTR pathRel, DWORD reserved) = 0;
  virtual HRESULT STDMETHODCALLTYPE Resolve(HWND hwnd, DWORD flags) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetPath(LPCWSTR file) = 0;
};
typedef IShellLinkW* LPSHELLLINKW;

#ifndef __IPersist_INTERFACE_DEFINED__
#define __IPersist_INTERFACE_DEFINED__
struct IPersist : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetClassID(CLSID* classId) = 0;
};
#endif

#ifndef __IPersistFile_INTERFACE_DEFINED__
#define __IPersistFile_INTERFACE_DEFINED__
struct IPersistFile : public IPersist {
  virtual HRESULT STDMETHODCALLTYPE IsDirty() = 0;
  virtual HRESULT STDMETHODCALLTYPE Load(LPCOLESTR fileName, DWORD mode) = 0;
  virtual HRESULT STDMETHODCALLTYPE Save(LPCOLESTR fileName, BOOL remember) = 0;
  virtual HRESULT STDMETHODCALLTYPE SaveCompleted(LPCOLESTR fileName) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetCurFile(LPOLESTR* fileName) = 0;
};
typedef IPersistFile* LPPERSISTFILE;
#endif
