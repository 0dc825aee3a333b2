// Common declarations of the window library: resource kinds, the rich-text
// stream record and forward declarations.
#pragma once
#include <windows.h>

#ifndef UILIB_API
#define UILIB_API
#endif

// Rich-text streaming, as the rich edit control of Windows defines it.
#ifndef SF_TEXT
#define SF_TEXT 0x0001
#define SF_RTF 0x0002
#define SF_UNICODE 0x0010
typedef DWORD(CALLBACK* EDITSTREAMCALLBACK)(DWORD_PTR cookie, LPBYTE buffer, LONG wanted, LONG* got);
typedef struct _editstream {
  DWORD_PTR dwCookie;
  DWORD dwError;
  EDITSTREAMCALLBACK pfnCallback;
} EDITSTREAM;
#endif

namespace DuiLib {

// Where a window's layout comes from.
enum UILIB_RESOURCETYPE {
  UILIB_FILE = 1,       // resource path (or the resource archive, when one is set)
  UILIB_ZIP,            // the archive named by GetZIPFileName
  UILIB_RESOURCE,       // not supported on this machine
  UILIB_ZIPRESOURCE,    // not supported on this machine
};

class CDuiString;
class CControlUI;
class CContainerUI;
class CPaintManagerUI;
class CScrollBarUI;
struct TNotifyUI;

}  // namespace DuiLib
