// The archive library 7z.dll, loaded at run time, and the archive handlers
// it creates.
#pragma once
#include <string>

#include <windows.h>

#include "shared/seven_zip_exception.h"
#include "shared/seven_zip_interfaces.h"

namespace SevenZip {

// Selects the library's archive handler; values outside Zip..Lzma86 select 7z.
enum class ArchiveFormat : UINT32 {
  SevenZ = 1,
  Zip = 2,
  GZip = 3,
  BZip2 = 4,
  Rar = 5,
  Tar = 6,
  Iso = 7,
  Cab = 8,
  Lzma = 9,
  Lzma86 = 10,
};

typedef HRESULT(WINAPI* CreateObjectFunc)(const GUID* classId, const GUID* interfaceId, void** object);

class SevenZipModule {
 public:
  SevenZipModule() = default;
  ~SevenZipModule() { Free(); }
  SevenZipModule(const SevenZipModule&) = delete;
  SevenZipModule& operator=(const SevenZipModule&) = delete;

  // Frees a loaded library, then loads `libraryName` and checks its exports.
  // Throws SevenZipException; a failed Load leaves the module unloaded.
  void Load(const std::wstring& libraryName);
  void Free();
  // Creates a handler object of `classId` as IInArchive holding one reference.
  // Throws SevenZipException.
  void CreateObject(REFCLSID classId, IInArchive** archive) const;

 private:
  HMODULE module_ = nullptr;
  CreateObjectFunc createObject_ = nullptr;
  FARPROC getHashers_ = nullptr;  // required, never called
};

// The format's handler class id.
CLSID HandlerClassId(ArchiveFormat format);
// A handler for `format`, holding one reference. Throws SevenZipException.
IInArchive* CreateInArchive(const SevenZipModule& module, ArchiveFormat format);

}  // namespace SevenZip
