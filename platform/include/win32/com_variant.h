// BSTR, VARIANT and PROPVARIANT (oleaut32/ole32).
//
// A BSTR points just past a 32-bit prefix that holds the text's length in
// bytes (terminator not counted); the block is one malloc'ed allocation that
// starts at the prefix. The archive library allocates and frees BSTRs the same
// way, so strings can travel in both directions.
#pragma once
#include <win32/wintypes.h>
#include <unknwn.h>

typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef OLECHAR* BSTR;
typedef unsigned short VARTYPE;
typedef short VARIANT_BOOL;
typedef short SHORT;
typedef double DOUBLE;
typedef double DATE;
typedef LONG SCODE;
typedef ULONG PROPID;

#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

enum VARENUM {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_FILETIME = 64,
};

BSTR WINAPI SysAllocString(const OLECHAR* text);
// Copies `length` characters (text may be null: the string is then zeroed).
BSTR WINAPI SysAllocStringLen(const OLECHAR* text, UINT length);
void WINAPI SysFreeString(BSTR text);
UINT WINAPI SysStringLen(BSTR text);
UINT WINAPI SysStringByteLen(BSTR text);

// The value sits at offset 8 after the type and three reserved words.
typedef struct tagVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    ULONGLONG ullVal;
    LONG lVal;
    ULONG ulVal;
    BYTE bVal;
    SHORT iVal;
    USHORT uiVal;
    CHAR cVal;
    INT intVal;
    UINT uintVal;
    FLOAT fltVal;
    DOUBLE dblVal;
    DATE date;
    SCODE scode;
    VARIANT_BOOL boolVal;
    BSTR bstrVal;
    IUnknown* punkVal;
    struct {
      PVOID pvRecord;
      PVOID pRecInfo;
    } record;
  };
} VARIANT, VARIANTARG, *LPVARIANT, *LPVARIANTARG;

// 16 bytes: the same leading layout as VARIANT without the record pair.
typedef struct tagPROPVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    CHAR cVal;
    UCHAR bVal;
    SHORT iVal;
    USHORT uiVal;
    LONG lVal;
    ULONG ulVal;
    INT intVal;
    UINT uintVal;
    LARGE_INTEGER hVal;
    ULARGE_INTEGER uhVal;
    FLOAT fltVal;
    DOUBLE dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    FILETIME filetime;
    BSTR bstrVal;
    IUnknown* punkVal;
  };
} PROPVARIANT, *LPPROPVARIANT;
typedef const PROPVARIANT* REFPROPVARIANT;

void WINAPI VariantInit(VARIANTARG* value);
// Frees what the variant owns (BSTR, interface) and leaves it VT_EMPTY.
HRESULT WINAPI VariantClear(VARIANTARG* value);

inline void PropVariantInit(PROPVARIANT* value) {
  value->vt = VT_EMPTY;
  value->wReserved1 = value->wReserved2 = value->wReserved3 = 0;
  value->uhVal.QuadPart = 0;
}
// Frees what the value owns and zeroes it (VT_EMPTY).
HRESULT WINAPI PropVariantClear(PROPVARIANT* value);
