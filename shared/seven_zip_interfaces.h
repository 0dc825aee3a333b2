// The archive library's published COM-style interfaces, as far as extraction
// uses them. IUnknown's three methods come first in every interface; none of
// them has a virtual destructor (the library's objects are laid out so).
#pragma once
#include <windows.h>
#include <unknwn.h>
#include <oleauto.h>

namespace SevenZip {

// Interface ids are {23170F69-40C1-278A-0000-000GG0II0000}: GG the group,
// II the interface within it.
constexpr IID MakeInterfaceId(BYTE group, BYTE id) {
  return IID{0x23170F69, 0x40C1, 0x278A, {0x00, 0x00, 0x00, group, 0x00, id, 0x00, 0x00}};
}
// Handler class ids are {23170F69-40C1-278A-1000-000110XX0000}.
constexpr CLSID MakeHandlerClassId(BYTE handlerId) {
  return CLSID{0x23170F69, 0x40C1, 0x278A, {0x10, 0x00, 0x00, 0x01, 0x10, handlerId, 0x00, 0x00}};
}

inline constexpr IID IID_IProgress = MakeInterfaceId(0x00, 0x05);
inline constexpr IID IID_ISequentialInStream = MakeInterfaceId(0x03, 0x01);
inline constexpr IID IID_ISequentialOutStream = MakeInterfaceId(0x03, 0x02);
inline constexpr IID IID_IInStream = MakeInterfaceId(0x03, 0x03);
inline constexpr IID IID_IOutStream = MakeInterfaceId(0x03, 0x04);
inline constexpr IID IID_IStreamGetSize = MakeInterfaceId(0x03, 0x06);
inline constexpr IID IID_ICryptoGetTextPassword = MakeInterfaceId(0x05, 0x10);
inline constexpr IID IID_IArchiveOpenCallback = MakeInterfaceId(0x06, 0x10);
inline constexpr IID IID_IArchiveExtractCallback = MakeInterfaceId(0x06, 0x20);
inline constexpr IID IID_IInArchive = MakeInterfaceId(0x06, 0x60);

// Item property ids.
enum : PROPID {
  kpidPath = 3,
  kpidIsDir = 6,
  kpidSize = 7,
  kpidAttrib = 9,
  kpidMTime = 12,
};

// GetStream/PrepareOperation ask modes.
enum : INT32 { kExtractModeExtract = 0, kExtractModeTest = 1, kExtractModeSkip = 2 };

// SetOperationResult results; every other one (data or CRC error, unexpected
// end, ...) means a damaged item.
enum : INT32 { kOperationResultOk = 0, kOperationResultUnsupportedMethod = 1 };

// GetModuleProp ids and the interface layout this code is built for.
enum : PROPID { kModulePropInterfaceType = 0 };
enum : ULONG { kInterfaceTypeNoVirtualDestructor = 0 };

// Set in kpidAttrib when the high 16 bits hold a Unix mode.
constexpr UINT32 kAttribUnixExtension = 0x8000;

}  // namespace SevenZip

struct ISequentialInStream : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Read(void* data, UINT32 size, UINT32* processed) = 0;
};

struct ISequentialOutStream : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Write(const void* data, UINT32 size, UINT32* processed) = 0;
};

struct IInStream : public ISequentialInStream {
  virtual HRESULT STDMETHODCALLTYPE Seek(INT64 offset, UINT32 origin, UINT64* newPosition) = 0;
};

struct IOutStream : public ISequentialOutStream {
  virtual HRESULT STDMETHODCALLTYPE Seek(INT64 offset, UINT32 origin, UINT64* newPosition) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetSize(UINT64 newSize) = 0;
};

struct IStreamGetSize : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetSize(UINT64* size) = 0;
};

struct IProgress : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetTotal(UINT64 total) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetCompleted(const UINT64* completed) = 0;
};

struct ICryptoGetTextPassword : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CryptoGetTextPassword(BSTR* password) = 0;
};

struct IArchiveOpenCallback : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetTotal(const UINT64* files, const UINT64* bytes) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetCompleted(const UINT64* files, const UINT64* bytes) = 0;
};

struct IArchiveExtractCallback : public IProgress {
  virtual HRESULT STDMETHODCALLTYPE GetStream(UINT32 index, ISequentialOutStream** stream, INT32 askExtractMode) = 0;
  virtual HRESULT STDMETHODCALLTYPE PrepareOperation(INT32 askExtractMode) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetOperationResult(INT32 result) = 0;
};

struct IInArchive : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Open(IInStream* stream, const UINT64* maxCheckStartPosition,
                                         IArchiveOpenCallback* callback) = 0;
  virtual HRESULT STDMETHODCALLTYPE Close() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNumberOfItems(UINT32* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetProperty(UINT32 index, PROPID propId, PROPVARIANT* value) = 0;
  // indices null with count 0xFFFFFFFF: every item.
  virtual HRESULT STDMETHODCALLTYPE Extract(const UINT32* indices, UINT32 count, INT32 testMode,
                                            IArchiveExtractCallback* callback) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetArchiveProperty(PROPID propId, PROPVARIANT* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNumberOfProperties(UINT32* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPropertyInfo(UINT32 index, BSTR* name, PROPID* propId, VARTYPE* type) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNumberOfArchiveProperties(UINT32* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetArchivePropertyInfo(UINT32 index, BSTR* name, PROPID* propId,
                                                           VARTYPE* type) = 0;
};
