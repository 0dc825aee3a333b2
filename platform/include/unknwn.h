// IUnknown as the COM binary interface lays it out: QueryInterface, AddRef
// and Release in slots 0-2 and no virtual destructor (the archive library
// relies on this layout).
#pragma once
#include <win32/wintypes.h>
#include <winerror.h>

#define interface struct
#define DECLSPEC_UUID(x)
#define DECLSPEC_NOVTABLE

inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
typedef IUnknown* LPUNKNOWN;

#if defined(__GNUC__)
// Interfaces have no virtual destructor by design.
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif
