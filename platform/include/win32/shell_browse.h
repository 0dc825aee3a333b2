// The shell's folder browser (SHBrowseForFolderW).
//
// The browser is a top-level window of class "#32770" titled "浏览文件夹"
// that carries the property "BrowseForFolder"; its owner is disabled while
// it runs its own message loop. It ends when it is answered through the
// automation tool (winauto browse-answer PATH / browse-cancel) or when the
// loop receives WM_QUIT, which is posted again for the enclosing loop and
// counts as a cancel. Only existing folders can be chosen.
#pragma once
#include <win32/wintypes.h>

#ifndef KORVA_ITEMIDLIST_DEFINED
#define KORVA_ITEMIDLIST_DEFINED
#pragma pack(push, 1)
typedef struct _SHITEMID {
  USHORT cb;
  BYTE abID[1];
} SHITEMID, *LPSHITEMID;
typedef const SHITEMID* LPCSHITEMID;
typedef struct _ITEMIDLIST {
  SHITEMID mkid;
} ITEMIDLIST, *LPITEMIDLIST;
#pragma pack(pop)
typedef const ITEMIDLIST* LPCITEMIDLIST;
typedef ITEMIDLIST* PIDLIST_ABSOLUTE;
typedef const ITEMIDLIST* PCIDLIST_ABSOLUTE;
#endif

typedef int(CALLBACK* BFFCALLBACK)(HWND hwnd, UINT msg, LPARAM lParam, LPARAM data);

typedef struct _browseinfoW {
  HWND hwndOwner;
  PCIDLIST_ABSOLUTE pidlRoot;
  LPWSTR pszDisplayName;
  LPCWSTR lpszTitle;
  UINT ulFlags;
  BFFCALLBACK lpfn;
  LPARAM lParam;
  int iImage;
} BROWSEINFOW, *PBROWSEINFOW, *LPBROWSEINFOW;

#define BIF_RETURNONLYFSDIRS 0x00000001
#define BIF_DONTGOBELOWDOMAIN 0x00000002
#define BIF_STATUSTEXT 0x00000004
#define BIF_RETURNFSANCESTORS 0x00000008
#define BIF_EDITBOX 0x00000010
#define BIF_VALIDATE 0x00000020
#define BIF_NEWDIALOGSTYLE 0x00000040
#define BIF_USENEWUI (BIF_NEWDIALOGSTYLE | BIF_EDITBOX)
#define BIF_BROWSEINCLUDEURLS 0x00000080
#define BIF_UAHINT 0x00000100
#define BIF_NONEWFOLDERBUTTON 0x00000200
#define BIF_NOTRANSLATETARGETS 0x00000400
#define BIF_BROWSEFORCOMPUTER 0x00001000
#define BIF_BROWSEFORPRINTER 0x00002000
#define BIF_BROWSEINCLUDEFILES 0x00004000
#define BIF_SHAREABLE 0x00008000

// Returns the chosen folder as an item list (free it with CoTaskMemFree or
// ILFree; it is one malloc block), or null when cancelled. pszDisplayName,
// when given, receives the folder's name (MAX_PATH characters). pidlRoot,
// lpfn and the flags are not used.
PIDLIST_ABSOLUTE WINAPI SHBrowseForFolderW(LPBROWSEINFOW bi);
// Full path of a folder item list into path (MAX_PATH characters).
BOOL WINAPI SHGetPathFromIDListW(PCIDLIST_ABSOLUTE pidl, LPWSTR path);
void WINAPI ILFree(PIDLIST_ABSOLUTE pidl);
