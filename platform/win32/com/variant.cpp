// Clearing VARIANT and PROPVARIANT values: only BSTRs and interfaces own
// anything.
#include <cstring>

#include <oleauto.h>

#define DISP_E_BADVARTYPE ((HRESULT)0x80020008L)

namespace {

bool IsKnownType(VARTYPE type) {
  switch (type) {
    case VT_EMPTY: case VT_NULL: case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_CY:
    case VT_DATE: case VT_BSTR: case VT_DISPATCH: case VT_ERROR: case VT_BOOL: case VT_UNKNOWN:
    case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4: case VT_I8: case VT_UI8: case VT_INT:
    case VT_UINT: case VT_FILETIME:
      return true;
    default:
      return false;
  }
}

template <class Value>
void FreeOwned(Value* value) {
  if (value->vt == VT_BSTR) {
    SysFreeString(value->bstrVal);
  } else if ((value->vt == VT_UNKNOWN || value->vt == VT_DISPATCH) && value->punkVal) {
    value->punkVal->Release();
  }
}

}  // namespace

void WINAPI VariantInit(VARIANTARG* value) {
  if (value) value->vt = VT_EMPTY;
}

HRESULT WINAPI VariantClear(VARIANTARG* value) {
  if (!value) return E_INVALIDARG;
  if (!IsKnownType(value->vt)) return DISP_E_BADVARTYPE;
  FreeOwned(value);
  value->vt = VT_EMPTY;
  return S_OK;
}

HRESULT WINAPI PropVariantClear(PROPVARIANT* value) {
  if (!value) return S_OK;
  if (!IsKnownType(value->vt)) return DISP_E_BADVARTYPE;
  FreeOwned(value);
  std::memset(value, 0, sizeof(*value));
  return S_OK;
}
