// The reference-counted objects handed to the archive library for one
// extraction: the archive file as input stream, the open and extract
// callbacks and the stream of one extracted file.
#pragma once
#include <atomic>
#include <string>

#include <windows.h>
#include <objidl.h>
#include <oleauto.h>

#include "shared/seven_zip_interfaces.h"
#include "shared/seven_zip_progress.h"

namespace SevenZip {
namespace intl {

class InStreamWrapper : public IInStream, public IStreamGetSize {
 public:
  explicit InStreamWrapper(IStream* baseStream);
  virtual ~InStreamWrapper();

  STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  STDMETHODIMP Read(void* data, UINT32 size, UINT32* processed) override;
  STDMETHODIMP Seek(INT64 offset, UINT32 origin, UINT64* newPosition) override;
  STDMETHODIMP GetSize(UINT64* size) override;

 private:
  std::atomic<LONG> refCount_{0};
  IStream* baseStream_;
};

class ArchiveOpenCallback : public IArchiveOpenCallback, public ICryptoGetTextPassword {
 public:
  ArchiveOpenCallback() = default;
  virtual ~ArchiveOpenCallback() = default;

  STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  STDMETHODIMP SetTotal(const UINT64* files, const UINT64* bytes) override;
  STDMETHODIMP SetCompleted(const UINT64* files, const UINT64* bytes) override;
  STDMETHODIMP CryptoGetTextPassword(BSTR* password) override;

 private:
  std::atomic<LONG> refCount_{0};
};

class ArchiveExtractCallback : public IArchiveExtractCallback, public ICryptoGetTextPassword {
 public:
  ArchiveExtractCallback(IInArchive* archive, const std::wstring& destination,
                         ISevenZipExtractProgressCallBack* progress);
  virtual ~ArchiveExtractCallback();

  STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  STDMETHODIMP SetTotal(UINT64 total) override;
  STDMETHODIMP SetCompleted(const UINT64* completed) override;
  STDMETHODIMP GetStream(UINT32 index, ISequentialOutStream** stream, INT32 askExtractMode) override;
  STDMETHODIMP PrepareOperation(INT32 askExtractMode) override;
  STDMETHODIMP SetOperationResult(INT32 result) override;
  STDMETHODIMP CryptoGetTextPassword(BSTR* password) override;

 private:
  std::atomic<LONG> refCount_{0};
  IInArchive* archive_;
  std::wstring destination_;
  std::wstring itemPath_;
  std::wstring targetPath_;
  std::wstring lastFolder_;  // the folder last made for an item
  bool isDirectory_ = false;
  bool hasAttributes_ = false;
  UINT32 attributes_ = 0;
  bool hasModificationTime_ = false;
  FILETIME modificationTime_ = {0, 0};
  bool hasSize_ = false;
  UINT64 size_ = 0;
  ISevenZipExtractProgressCallBack* progress_;
};

class OutStreamWrapper : public IOutStream {
 public:
  explicit OutStreamWrapper(IStream* baseStream);
  virtual ~OutStreamWrapper();

  STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  STDMETHODIMP Write(const void* data, UINT32 size, UINT32* processed) override;
  STDMETHODIMP Seek(INT64 offset, UINT32 origin, UINT64* newPosition) override;
  STDMETHODIMP SetSize(UINT64 newSize) override;

 private:
  std::atomic<LONG> refCount_{0};
  IStream* baseStream_;
};

}  // namespace intl
}  // namespace SevenZip
