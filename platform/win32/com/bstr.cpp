// BSTR allocation: one malloc'ed block, a 32-bit byte length, the text and a
// terminator; the BSTR points at the text. The archive library frees BSTRs
// with free(text - 4), so the layout and the allocator must stay as they are.
#include <cstdlib>
#include <cstring>

#include <oleauto.h>

namespace {

const size_t kPrefixBytes = sizeof(UINT32);

UINT32 StoredByteLength(BSTR text) {
  UINT32 bytes = 0;
  std::memcpy(&bytes, reinterpret_cast<const char*>(text) - kPrefixBytes, kPrefixBytes);
  return bytes;
}

}  // namespace

BSTR WINAPI SysAllocStringLen(const OLECHAR* text, UINT length) {
  const size_t bytes = static_cast<size_t>(length) * sizeof(OLECHAR);
  if (bytes / sizeof(OLECHAR) != length || bytes > 0xFFFFFFFFu - kPrefixBytes - sizeof(OLECHAR)) {
    return nullptr;
  }
  char* block = static_cast<char*>(std::malloc(kPrefixBytes + bytes + sizeof(OLECHAR)));
  if (!block) return nullptr;
  const UINT32 stored = static_cast<UINT32>(bytes);
  std::memcpy(block, &stored, kPrefixBytes);
  BSTR result = reinterpret_cast<BSTR>(block + kPrefixBytes);
  if (text) {
    std::memcpy(result, text, bytes);
  } else {
    std::memset(result, 0, bytes);
  }
  result[length] = L'\0';
  return result;
}

BSTR WINAPI SysAllocString(const OLECHAR* text) {
  if (!text) return nullptr;
  return SysAllocStringLen(text, static_cast<UINT>(std::wcslen(text)));
}

void WINAPI SysFreeString(BSTR text) {
  if (text) std::free(reinterpret_cast<char*>(text) - kPrefixBytes);
}

UINT WINAPI SysStringByteLen(BSTR text) { return text ? StoredByteLength(text) : 0; }

UINT WINAPI SysStringLen(BSTR text) {
  return text ? static_cast<UINT>(StoredByteLength(text) / sizeof(OLECHAR)) : 0;
}
