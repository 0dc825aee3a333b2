#include "shared/seven_zip_module.h"

#include "shared/product_constants.h"
#include "shared/seven_zip_helpers.h"

namespace SevenZip {

namespace {

typedef HRESULT(WINAPI* GetModulePropFunc)(PROPID propId, PROPVARIANT* value);

// An export as its real signature (through void(*)(), the generic function type).
template <class Function>
Function ExportAs(HMODULE module, LPCSTR name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Our interfaces have no virtual destructor in IUnknown; a library built the
// other way would call its destructor slot where we put the first method.
bool HasMatchingInterfaceLayout(GetModulePropFunc getModuleProp) {
  PROPVARIANT value;
  PropVariantInit(&value);
  const HRESULT result = getModuleProp(kModulePropInterfaceType, &value);
  const bool matches = result == S_OK && value.vt == VT_UI4 && value.ulVal == kInterfaceTypeNoVirtualDestructor;
  PropVariantClear(&value);
  return matches;
}

}  // namespace

void SevenZipModule::Load(const std::wstring& libraryName) {
  Free();
  HMODULE module = LoadLibraryW(libraryName.c_str());
  if (!module) throw SevenZipException(LastErrorMessage(L"LoadLibrary", GetLastError()));
  module_ = module;
  createObject_ = ExportAs<CreateObjectFunc>(module, "CreateObject");
  if (!createObject_) {
    Free();
    throw SevenZipException(L"Loaded library is missing required CreateObject function");
  }
  getHashers_ = GetProcAddress(module, "GetHashers");
  if (!getHashers_) {
    Free();
    throw SevenZipException(L"Loaded library is missing required GetHashers function");
  }
  auto getModuleProp = ExportAs<GetModulePropFunc>(module, "GetModuleProp");
  if (!getModuleProp) {
    Free();
    throw SevenZipException(L"Loaded library is missing required GetModuleProp function");
  }
  if (!HasMatchingInterfaceLayout(getModuleProp)) {
    Free();
    throw SevenZipException(L"Loaded library has an incompatible interface layout");
  }
}

void SevenZipModule::Free() {
  if (!module_) return;
  FreeLibrary(module_);
  module_ = nullptr;
  createObject_ = nullptr;
  getHashers_ = nullptr;
}

void SevenZipModule::CreateObject(REFCLSID classId, IInArchive** archive) const {
  if (!createObject_) throw SevenZipException(std::wstring(kSevenZipDllName) + L" is not loaded");
  *archive = nullptr;
  const HRESULT result = createObject_(&classId, &IID_IInArchive, reinterpret_cast<void**>(archive));
  if (FAILED(result)) throw SevenZipException(HresultMessage(L"CreateObject", result));
  // A success without an object would only crash later.
  if (!*archive) throw SevenZipException(HresultMessage(L"CreateObject", E_NOINTERFACE));
}

CLSID HandlerClassId(ArchiveFormat format) {
  switch (format) {
    case ArchiveFormat::Zip: return MakeHandlerClassId(0x01);
    case ArchiveFormat::GZip: return MakeHandlerClassId(0xEF);
    case ArchiveFormat::BZip2: return MakeHandlerClassId(0x02);
    case ArchiveFormat::Rar: return MakeHandlerClassId(0x03);
    case ArchiveFormat::Tar: return MakeHandlerClassId(0xEE);
    case ArchiveFormat::Iso: return MakeHandlerClassId(0xE7);
    case ArchiveFormat::Cab: return MakeHandlerClassId(0x08);
    case ArchiveFormat::Lzma: return MakeHandlerClassId(0x0A);
    case ArchiveFormat::Lzma86: return MakeHandlerClassId(0x0B);
    default: return MakeHandlerClassId(0x07);  // 7z, also for values outside the table
  }
}

IInArchive* CreateInArchive(const SevenZipModule& module, ArchiveFormat format) {
  IInArchive* archive = nullptr;
  module.CreateObject(HandlerClassId(format), &archive);
  return archive;
}

}  // namespace SevenZip
