#include "shared/seven_zip_callbacks.h"

#include <shlobj.h>

#include "shared/product_constants.h"
#include "shared/seven_zip_helpers.h"

namespace SevenZip {
namespace intl {

namespace {

// Hands out `pointer` with a reference, as QueryInterface does on a match.
template <class Interface>
HRESULT Answer(Interface* pointer, void** object) {
  *object = pointer;
  pointer->AddRef();
  return S_OK;
}

HRESULT NoInterface(void** object) {
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG Increment(std::atomic<LONG>& count) { return static_cast<ULONG>(++count); }

// Drops one reference; the last one deletes the object.
template <class Object>
ULONG ReleaseObject(Object* object, std::atomic<LONG>& count) {
  const LONG left = --count;
  if (left == 0) delete object;
  return static_cast<ULONG>(left);
}

// Reads one item property: `take` accepts the value (true) or refuses its
// type (false, E_FAIL); a failing GetProperty ends the read with its result.
template <class Take>
HRESULT ReadProperty(IInArchive* archive, UINT32 index, PROPID id, Take take) {
  PROPVARIANT value;
  PropVariantInit(&value);
  const HRESULT result = archive->GetProperty(index, id, &value);
  if (result != S_OK) return result;
  const bool accepted = take(value);
  PropVariantClear(&value);
  return accepted ? S_OK : E_FAIL;
}

HRESULT SeekStream(IStream* stream, INT64 offset, UINT32 origin, UINT64* newPosition) {
  LARGE_INTEGER move;
  move.QuadPart = offset;
  ULARGE_INTEGER position;
  position.QuadPart = 0;
  // The archive library's origins 0-2 are STREAM_SEEK_SET/CUR/END.
  const HRESULT result = stream->Seek(move, origin, &position);
  if (newPosition) *newPosition = position.QuadPart;
  return result;
}

}  // namespace

// ---------------------------------------------------------------------------
// InStreamWrapper

InStreamWrapper::InStreamWrapper(IStream* baseStream) : baseStream_(baseStream) {
  if (baseStream_) baseStream_->AddRef();
}

InStreamWrapper::~InStreamWrapper() {
  if (baseStream_) baseStream_->Release();
}

STDMETHODIMP InStreamWrapper::QueryInterface(REFIID iid, void** object) {
  if (iid == IID_IUnknown || iid == IID_ISequentialInStream || iid == IID_IInStream) {
    return Answer(static_cast<IInStream*>(this), object);
  }
  if (iid == IID_IStreamGetSize) return Answer(static_cast<IStreamGetSize*>(this), object);
  return NoInterface(object);
}

STDMETHODIMP_(ULONG) InStreamWrapper::AddRef() { return Increment(refCount_); }

STDMETHODIMP_(ULONG) InStreamWrapper::Release() { return ReleaseObject(this, refCount_); }

STDMETHODIMP InStreamWrapper::Read(void* data, UINT32 size, UINT32* processed) {
  if (processed) *processed = 0;
  if (!baseStream_) return E_POINTER;
  ULONG read = 0;
  const HRESULT result = baseStream_->Read(data, size, &read);
  if (processed) *processed = read;
  return FAILED(result) ? result : S_OK;  // a short read (S_FALSE) is no failure here
}

STDMETHODIMP InStreamWrapper::Seek(INT64 offset, UINT32 origin, UINT64* newPosition) {
  if (!baseStream_) return E_POINTER;
  return SeekStream(baseStream_, offset, origin, newPosition);
}

STDMETHODIMP InStreamWrapper::GetSize(UINT64* size) {
  if (!baseStream_) return E_POINTER;
  STATSTG stat;
  const HRESULT result = baseStream_->Stat(&stat, STATFLAG_NONAME);
  if (SUCCEEDED(result)) *size = stat.cbSize.QuadPart;
  return result;
}

// ---------------------------------------------------------------------------
// ArchiveOpenCallback

STDMETHODIMP ArchiveOpenCallback::QueryInterface(REFIID iid, void** object) {
  if (iid == IID_IUnknown || iid == IID_IArchiveOpenCallback) {
    return Answer(static_cast<IArchiveOpenCallback*>(this), object);
  }
  if (iid == IID_ICryptoGetTextPassword) return Answer(static_cast<ICryptoGetTextPassword*>(this), object);
  return NoInterface(object);
}

STDMETHODIMP_(ULONG) ArchiveOpenCallback::AddRef() { return Increment(refCount_); }

STDMETHODIMP_(ULONG) ArchiveOpenCallback::Release() { return ReleaseObject(this, refCount_); }

STDMETHODIMP ArchiveOpenCallback::SetTotal(const UINT64*, const UINT64*) { return S_OK; }
STDMETHODIMP ArchiveOpenCallback::SetCompleted(const UINT64*, const UINT64*) { return S_OK; }

// Packages are never encrypted: a password request ends the operation.
STDMETHODIMP ArchiveOpenCallback::CryptoGetTextPassword(BSTR*) { return E_ABORT; }

// ---------------------------------------------------------------------------
// ArchiveExtractCallback

ArchiveExtractCallback::ArchiveExtractCallback(IInArchive* archive, const std::wstring& destination,
                                               ISevenZipExtractProgressCallBack* progress)
    : archive_(archive), destination_(destination), progress_(progress) {
  archive_->AddRef();
}

ArchiveExtractCallback::~ArchiveExtractCallback() { archive_->Release(); }

STDMETHODIMP ArchiveExtractCallback::QueryInterface(REFIID iid, void** object) {
  if (iid == IID_IUnknown || iid == IID_IArchiveExtractCallback) {
    return Answer(static_cast<IArchiveExtractCallback*>(this), object);
  }
  if (iid == IID_ICryptoGetTextPassword) return Answer(static_cast<ICryptoGetTextPassword*>(this), object);
  return NoInterface(object);
}

STDMETHODIMP_(ULONG) ArchiveExtractCallback::AddRef() { return Increment(refCount_); }

STDMETHODIMP_(ULONG) ArchiveExtractCallback::Release() { return ReleaseObject(this, refCount_); }

STDMETHODIMP ArchiveExtractCallback::SetTotal(UINT64 total) {
  if (progress_) progress_->OnExtractProgress(true, total);
  return S_OK;
}

STDMETHODIMP ArchiveExtractCallback::SetCompleted(const UINT64* completed) {
  if (progress_ && completed) progress_->OnExtractProgress(false, *completed);
  return S_OK;
}

STDMETHODIMP ArchiveExtractCallback::GetStream(UINT32 index, ISequentialOutStream** stream, INT32 askExtractMode) {
  *stream = nullptr;
  // Until a target is prepared, SetOperationResult must not touch the one of
  // the item before (the library tests items it does not extract).
  targetPath_.clear();
  HRESULT result = ReadProperty(archive_, index, kpidPath, [this](const PROPVARIANT& value) {
    if (value.vt == VT_EMPTY) {
      itemPath_ = kUnnamedItemPath;
    } else if (value.vt == VT_BSTR) {
      itemPath_.assign(value.bstrVal ? value.bstrVal : L"", SysStringLen(value.bstrVal));
    } else {
      return false;
    }
    return true;
  });
  if (result != S_OK) return result;
  if (askExtractMode != kExtractModeExtract) return S_OK;  // tested or skipped: nothing to create

  result = ReadProperty(archive_, index, kpidAttrib, [this](const PROPVARIANT& value) {
    hasAttributes_ = value.vt == VT_UI4;
    attributes_ = hasAttributes_ ? value.ulVal : 0;
    return value.vt == VT_EMPTY || value.vt == VT_UI4;
  });
  if (result != S_OK) return result;
  result = ReadProperty(archive_, index, kpidIsDir, [this](const PROPVARIANT& value) {
    isDirectory_ = value.vt == VT_BOOL && value.boolVal != VARIANT_FALSE;
    return value.vt == VT_EMPTY || value.vt == VT_BOOL;
  });
  if (result != S_OK) return result;
  result = ReadProperty(archive_, index, kpidMTime, [this](const PROPVARIANT& value) {
    hasModificationTime_ = value.vt == VT_FILETIME;
    if (hasModificationTime_) modificationTime_ = value.filetime;
    return value.vt == VT_EMPTY || value.vt == VT_FILETIME;
  });
  if (result != S_OK) return result;
  result = ReadProperty(archive_, index, kpidSize, [this](const PROPVARIANT& value) {
    hasSize_ = true;
    switch (value.vt) {
      case VT_UI1: size_ = value.bVal; return true;
      case VT_UI2: size_ = value.uiVal; return true;
      case VT_UI4: size_ = value.ulVal; return true;
      case VT_UI8: size_ = value.uhVal.QuadPart; return true;
      default: hasSize_ = false; return value.vt == VT_EMPTY;
    }
  });
  if (result != S_OK) return result;

  // The library hands item paths through as stored; one that climbs out of
  // the destination ("../x", "C:\x", "/x") would be written elsewhere.
  if (!IsContainedItemPath(itemPath_)) {
    targetPath_.clear();
    return HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME);
  }
  targetPath_ = JoinPath(destination_, itemPath_);

  if (isDirectory_) {
    SHCreateDirectoryExW(nullptr, targetPath_.c_str(), nullptr);
    return S_OK;
  }

  // Items come folder by folder: the folder made for the last one serves.
  const std::wstring folder = GetDirectoryPart(targetPath_);
  if (folder != lastFolder_) {
    SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    lastFolder_ = folder;
  }
  IStream* fileStream = CreateWriteStream(targetPath_);
  if (!fileStream) {
    targetPath_.clear();
    const DWORD error = GetLastError();
    // Never S_OK without a stream: the library would skip the item silently.
    return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
  }
  OutStreamWrapper* wrapper = new OutStreamWrapper(fileStream);
  wrapper->AddRef();
  *stream = wrapper;
  fileStream->Release();
  return S_OK;
}

STDMETHODIMP ArchiveExtractCallback::PrepareOperation(INT32) { return S_OK; }

// A damaged item ends the extraction: the library stops at the first error
// that a callback returns and hands it back from Extract. Its file stays as
// written, without the archive's time and attributes, so that it does not
// pass for a good copy and a read-only flag cannot block the next try.
STDMETHODIMP ArchiveExtractCallback::SetOperationResult(INT32 result) {
  if (result != kOperationResultOk) {
    return result == kOperationResultUnsupportedMethod ? HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED)
                                                       : HRESULT_FROM_WIN32(ERROR_CRC);
  }
  if (targetPath_.empty()) return S_OK;
  if (hasModificationTime_) {
    HANDLE file = CreateFileW(targetPath_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      SetFileTime(file, nullptr, nullptr, &modificationTime_);
      CloseHandle(file);
    }
  }
  if (hasAttributes_) {
    DWORD attributes = attributes_;
    // Archives made on Unix keep the mode in the high half; only the low half
    // is Windows attributes.
    if (attributes & kAttribUnixExtension) attributes &= 0x7FFF;
    SetFileAttributesW(targetPath_.c_str(), attributes);
  }
  return S_OK;
}

STDMETHODIMP ArchiveExtractCallback::CryptoGetTextPassword(BSTR*) { return E_ABORT; }

// ---------------------------------------------------------------------------
// OutStreamWrapper

OutStreamWrapper::OutStreamWrapper(IStream* baseStream) : baseStream_(baseStream) { baseStream_->AddRef(); }

OutStreamWrapper::~OutStreamWrapper() { baseStream_->Release(); }

STDMETHODIMP OutStreamWrapper::QueryInterface(REFIID iid, void** object) {
  if (iid == IID_IUnknown || iid == IID_ISequentialOutStream || iid == IID_IOutStream) {
    return Answer(static_cast<IOutStream*>(this), object);
  }
  return NoInterface(object);
}

STDMETHODIMP_(ULONG) OutStreamWrapper::AddRef() { return Increment(refCount_); }

STDMETHODIMP_(ULONG) OutStreamWrapper::Release() { return ReleaseObject(this, refCount_); }

STDMETHODIMP OutStreamWrapper::Write(const void* data, UINT32 size, UINT32* processed) {
  ULONG written = 0;
  const HRESULT result = baseStream_->Write(data, size, &written);
  if (processed) *processed = written;
  return result;
}

STDMETHODIMP OutStreamWrapper::Seek(INT64 offset, UINT32 origin, UINT64* newPosition) {
  return SeekStream(baseStream_, offset, origin, newPosition);
}

STDMETHODIMP OutStreamWrapper::SetSize(UINT64 newSize) {
  ULARGE_INTEGER size;
  size.QuadPart = newSize;
  return baseStream_->SetSize(size);
}

}  // namespace intl
}  // namespace SevenZip
