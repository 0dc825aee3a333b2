// The file stream, BSTR and PROPVARIANT of the platform and the objects that
// the extraction hands to the archive library, driven directly.
#include <cstddef>
#include <cstring>
#include <map>

#include <windows.h>
#include <objidl.h>
#include <oleauto.h>
#include <shlwapi.h>

#include "shared/seven_zip_callbacks.h"
#include "shared/seven_zip_helpers.h"
#include "tests/shared/seven_zip_test_support.h"

using SevenZip::intl::ArchiveExtractCallback;
using SevenZip::intl::InStreamWrapper;
using SevenZip::intl::OutStreamWrapper;
using testing_support::HostExists;
using testing_support::ReadHostFile;
using testing_support::TempMachine;
using testing_support::WriteHostFile;

namespace {

IStream* OpenStream(const wchar_t* path, DWORD mode, BOOL create, HRESULT* result) {
  IStream* stream = nullptr;
  *result = SHCreateStreamOnFileEx(path, mode, FILE_ATTRIBUTE_NORMAL, create, nullptr, &stream);
  return stream;
}

// An archive whose items are given by the test: property id -> value.
class FakeArchive : public IInArchive {
 public:
  typedef std::map<PROPID, PROPVARIANT> Item;

  ~FakeArchive() {
    for (auto& item : items)
      for (auto& property : item.second) PropVariantClear(&property.second);
  }
  void SetText(UINT32 index, PROPID id, const wchar_t* text) {
    PROPVARIANT& value = items[index][id];
    PropVariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = SysAllocString(text);
  }
  PROPVARIANT& Set(UINT32 index, PROPID id, VARTYPE type) {
    PROPVARIANT& value = items[index][id];
    PropVariantInit(&value);
    value.vt = type;
    return value;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE Open(IInStream*, const UINT64*, IArchiveOpenCallback*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Close() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetNumberOfItems(UINT32* count) override {
    *count = static_cast<UINT32>(items.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetProperty(UINT32 index, PROPID id, PROPVARIANT* value) override {
    reads.push_back(id);
    if (id == failingProperty) return failure;
    EXPECT_EQ(VT_EMPTY, value->vt);  // callers hand in empty values
    const auto found = items[index].find(id);
    if (found == items[index].end()) return S_OK;
    *value = found->second;
    if (value->vt == VT_BSTR) value->bstrVal = SysAllocString(found->second.bstrVal);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Extract(const UINT32*, UINT32, INT32, IArchiveExtractCallback*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetArchiveProperty(PROPID, PROPVARIANT*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetNumberOfProperties(UINT32* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetPropertyInfo(UINT32, BSTR*, PROPID*, VARTYPE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetNumberOfArchiveProperties(UINT32* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetArchivePropertyInfo(UINT32, BSTR*, PROPID*, VARTYPE*) override { return E_NOTIMPL; }

  std::map<UINT32, Item> items;
  std::vector<PROPID> reads;
  PROPID failingProperty = 0xFFFF;
  HRESULT failure = S_OK;
  ULONG refs = 1;
};

// Runs one item through GetStream, writes `data` and ends it as the library would.
HRESULT ExtractItem(ArchiveExtractCallback* callback, UINT32 index, const std::string& data) {
  ISequentialOutStream* stream = nullptr;
  const HRESULT result = callback->GetStream(index, &stream, SevenZip::kExtractModeExtract);
  if (result != S_OK) return result;
  if (stream) {
    UINT32 written = 0;
    EXPECT_EQ(S_OK, stream->Write(data.data(), static_cast<UINT32>(data.size()), &written));
    EXPECT_EQ(data.size(), written);
    stream->Release();
  }
  return callback->SetOperationResult(0);
}

class ExtractCallbackTest : public ::testing::Test {
 protected:
  ExtractCallbackTest() {
    callback_ = new ArchiveExtractCallback(&archive_, L"C:\\dest", &progress_);
    callback_->AddRef();
  }
  ~ExtractCallbackTest() override { callback_->Release(); }

  std::string dest(const std::string& relative) const { return machine_.c() + "/dest/" + relative; }

  TempMachine machine_;
  FakeArchive archive_;
  seven_zip_test::ProgressRecorder progress_;
  ArchiveExtractCallback* callback_;
};

}  // namespace

TEST(FileStream, CreateModesAndFailures) {
  TempMachine machine;
  HRESULT result = S_OK;
  EXPECT_EQ(nullptr, OpenStream(L"C:\\missing.bin", STGM_READ, FALSE, &result));
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), result);
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());

  WriteHostFile(machine.c() + "/old.bin", "old contents");
  EXPECT_EQ(nullptr, OpenStream(L"C:\\old.bin", STGM_WRITE | STGM_FAILIFTHERE, TRUE, &result));
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_EXISTS), result);
  EXPECT_EQ("old contents", ReadHostFile(machine.c() + "/old.bin"));

  IStream* stream = OpenStream(L"C:\\OLD.bin", STGM_CREATE | STGM_WRITE, TRUE, &result);
  ASSERT_EQ(S_OK, result);
  ULONG count = 0;
  EXPECT_EQ(STG_E_ACCESSDENIED, stream->Read(&count, 1, &count));
  EXPECT_EQ(S_OK, stream->Write("new", 3, &count));
  EXPECT_EQ(3u, count);
  stream->Release();
  EXPECT_EQ("new", ReadHostFile(machine.c() + "/old.bin"));

  testing_support::MakeHostDirs(machine.c() + "/folder");
  EXPECT_EQ(nullptr, OpenStream(L"C:\\folder", STGM_READ, FALSE, &result));
  EXPECT_TRUE(FAILED(result));
  EXPECT_EQ(nullptr, OpenStream(L"C:\\folder\\sub\\x.bin", STGM_CREATE | STGM_WRITE, TRUE, &result));
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), result);
}

TEST(FileStream, ReadSeekSizeAndSharing) {
  TempMachine machine;
  WriteHostFile(machine.c() + "/data.bin", "0123456789");
  HRESULT result = S_OK;
  IStream* stream = OpenStream(L"C:\\data.bin", STGM_READWRITE | STGM_SHARE_EXCLUSIVE, FALSE, &result);
  ASSERT_EQ(S_OK, result);

  // A second opener is refused while the exclusive stream lives.
  EXPECT_EQ(nullptr, OpenStream(L"C:\\data.bin", STGM_READ, FALSE, &result));
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION), result);

  char buffer[16] = {};
  ULONG read = 0;
  LARGE_INTEGER move;
  ULARGE_INTEGER position;
  move.QuadPart = -4;
  EXPECT_EQ(S_OK, stream->Seek(move, STREAM_SEEK_END, &position));
  EXPECT_EQ(6u, position.QuadPart);
  EXPECT_EQ(S_FALSE, stream->Read(buffer, sizeof(buffer), &read));
  EXPECT_EQ(4u, read);
  EXPECT_EQ("6789", std::string(buffer, read));
  move.QuadPart = -1;
  EXPECT_TRUE(FAILED(stream->Seek(move, STREAM_SEEK_SET, &position)));
  EXPECT_TRUE(FAILED(stream->Seek(move, 7, &position)));

  ULARGE_INTEGER size;
  size.QuadPart = 3;
  EXPECT_EQ(S_OK, stream->SetSize(size));
  STATSTG stat;
  EXPECT_EQ(S_OK, stream->Stat(&stat, STATFLAG_NONAME));
  EXPECT_EQ(3u, stat.cbSize.QuadPart);
  EXPECT_EQ(nullptr, stat.pwcsName);
  stream->Release();

  // Releasing closed the file.
  IStream* again = OpenStream(L"C:\\data.bin", STGM_READ, FALSE, &result);
  ASSERT_EQ(S_OK, result);
  EXPECT_EQ(S_OK, again->Read(buffer, 3, &read));
  EXPECT_EQ("012", std::string(buffer, read));
  EXPECT_EQ(STG_E_ACCESSDENIED, again->Write("x", 1, &read));
  again->Release();
}

TEST(ComText, BstrLayoutAndVariants) {
  const wchar_t text[] = L"a\x4E2D\xD83D\xDE00";  // a surrogate pair stays two units
  BSTR b = SysAllocString(text);
  ASSERT_NE(nullptr, b);
  UINT32 prefix = 0;
  std::memcpy(&prefix, reinterpret_cast<const char*>(b) - 4, 4);
  EXPECT_EQ(4 * sizeof(WCHAR), prefix);
  EXPECT_EQ(4u, SysStringLen(b));
  EXPECT_EQ(4 * sizeof(WCHAR), SysStringByteLen(b));
  EXPECT_EQ(L'\0', b[4]);

  BSTR zeros = SysAllocStringLen(nullptr, 3);
  EXPECT_EQ(3u, SysStringLen(zeros));
  EXPECT_EQ(0, std::wmemcmp(zeros, L"\0\0\0", 4));
  SysFreeString(zeros);
  EXPECT_EQ(0u, SysStringLen(nullptr));
  EXPECT_EQ(nullptr, SysAllocString(nullptr));

  EXPECT_EQ(16u, sizeof(PROPVARIANT));
  EXPECT_EQ(8u, offsetof(PROPVARIANT, bstrVal));
  PROPVARIANT value;
  PropVariantInit(&value);
  value.vt = VT_BSTR;
  value.bstrVal = b;  // freed by the clear (the leak checker sees it otherwise)
  EXPECT_EQ(S_OK, PropVariantClear(&value));
  EXPECT_EQ(VT_EMPTY, value.vt);
  EXPECT_EQ(nullptr, value.bstrVal);

  VARIANT variant;
  VariantInit(&variant);
  variant.vt = VT_BSTR;
  variant.bstrVal = SysAllocStringLen(L"xy", 2);
  EXPECT_EQ(S_OK, VariantClear(&variant));
  EXPECT_EQ(VT_EMPTY, variant.vt);
}

TEST(StreamWrappers, PassThroughAndShareOneCount) {
  TempMachine machine;
  WriteHostFile(machine.c() + "/in.bin", "abcdef");
  IStream* file = SevenZip::OpenReadStream(L"C:\\in.bin");
  ASSERT_NE(nullptr, file);
  InStreamWrapper* input = new InStreamWrapper(file);
  file->Release();  // the wrapper holds its own reference
  EXPECT_EQ(1u, input->AddRef());

  char buffer[10];
  UINT32 read = 0;
  EXPECT_EQ(S_OK, input->Read(buffer, sizeof(buffer), &read));  // short read is no failure
  EXPECT_EQ(6u, read);
  UINT64 position = 99;
  EXPECT_EQ(S_OK, input->Seek(2, STREAM_SEEK_SET, &position));
  EXPECT_EQ(2u, position);
  EXPECT_EQ(S_OK, input->Read(buffer, 2, nullptr));
  EXPECT_EQ("cd", std::string(buffer, 2));

  IStreamGetSize* sizer = nullptr;
  ASSERT_EQ(S_OK, input->QueryInterface(SevenZip::IID_IStreamGetSize, reinterpret_cast<void**>(&sizer)));
  UINT64 size = 0;
  EXPECT_EQ(S_OK, sizer->GetSize(&size));
  EXPECT_EQ(6u, size);
  IInStream* back = nullptr;
  ASSERT_EQ(S_OK, sizer->QueryInterface(SevenZip::IID_IInStream, reinterpret_cast<void**>(&back)));
  EXPECT_EQ(static_cast<IInStream*>(input), back);
  void* none = &size;
  EXPECT_EQ(E_NOINTERFACE, input->QueryInterface(SevenZip::IID_IOutStream, &none));
  EXPECT_EQ(nullptr, none);
  EXPECT_EQ(2u, sizer->Release());
  EXPECT_EQ(1u, back->Release());
  EXPECT_EQ(0u, input->Release());

  IStream* target = SevenZip::CreateWriteStream(L"C:\\out.bin");
  ASSERT_NE(nullptr, target);
  OutStreamWrapper* output = new OutStreamWrapper(target);
  target->Release();
  output->AddRef();
  ISequentialOutStream* sequential = nullptr;
  ASSERT_EQ(S_OK, output->QueryInterface(SevenZip::IID_ISequentialOutStream, reinterpret_cast<void**>(&sequential)));
  UINT32 written = 0;
  EXPECT_EQ(S_OK, sequential->Write("0123456789", 10, &written));
  EXPECT_EQ(10u, written);
  sequential->Release();
  EXPECT_EQ(S_OK, output->SetSize(4));
  EXPECT_EQ(S_OK, output->Seek(0, STREAM_SEEK_END, &position));
  EXPECT_EQ(4u, position);
  EXPECT_EQ(0u, output->Release());  // closes the file
  EXPECT_EQ("0123", ReadHostFile(machine.c() + "/out.bin"));
}

TEST_F(ExtractCallbackTest, FilesDirectoriesTimesAndAttributes) {
  archive_.SetText(0, SevenZip::kpidPath, L"app/bin/tool.exe");
  archive_.Set(0, SevenZip::kpidSize, VT_UI1).bVal = 4;
  FILETIME time = {0xF9708980, 0x01D4D247};  // 2019-03-04 05:06:07 UTC
  archive_.Set(0, SevenZip::kpidMTime, VT_FILETIME).filetime = time;
  archive_.Set(0, SevenZip::kpidAttrib, VT_UI4).ulVal = 0x81248021;  // read-only, Unix mode above
  archive_.SetText(1, SevenZip::kpidPath, L"app/logs");
  archive_.Set(1, SevenZip::kpidIsDir, VT_BOOL).boolVal = VARIANT_TRUE;
  archive_.Set(1, SevenZip::kpidAttrib, VT_UI4).ulVal = 0x41ED8010;
  archive_.Set(2, SevenZip::kpidSize, VT_UI2).uiVal = 6;  // no path

  EXPECT_EQ(S_OK, ExtractItem(callback_, 0, "tool"));
  EXPECT_EQ(S_OK, ExtractItem(callback_, 1, ""));
  EXPECT_EQ(S_OK, ExtractItem(callback_, 2, "nopath"));

  EXPECT_EQ("tool", ReadHostFile(dest("app/bin/tool.exe")));
  EXPECT_EQ(1551675967, seven_zip_test::HostModificationTime(dest("app/bin/tool.exe")));
  const DWORD attributes = GetFileAttributesW(L"C:\\dest\\app\\bin\\tool.exe");
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes);
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(attributes & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_TRUE(GetFileAttributesW(L"C:\\dest\\app\\logs") & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ("nopath", ReadHostFile(dest("[Content]")));
  EXPECT_EQ(2u, archive_.refs);  // the callback holds the archive
}

TEST_F(ExtractCallbackTest, SkippedItemsReadOnlyTheirPath) {
  archive_.SetText(0, SevenZip::kpidPath, L"skipped.txt");
  ISequentialOutStream* stream = reinterpret_cast<ISequentialOutStream*>(&archive_);  // must be cleared
  EXPECT_EQ(S_OK, callback_->GetStream(0, &stream, SevenZip::kExtractModeSkip));
  EXPECT_EQ(nullptr, stream);
  EXPECT_EQ(std::vector<PROPID>{SevenZip::kpidPath}, archive_.reads);
  EXPECT_FALSE(HostExists(dest("skipped.txt")));
}

TEST_F(ExtractCallbackTest, ItemResultsOnlyTouchTheirOwnFile) {
  FILETIME time = {0xF9708980, 0x01D4D247};  // 2019-03-04 05:06:07 UTC
  for (UINT32 index : {0u, 2u}) {
    archive_.Set(index, SevenZip::kpidMTime, VT_FILETIME).filetime = time;
    archive_.Set(index, SevenZip::kpidAttrib, VT_UI4).ulVal = FILE_ATTRIBUTE_READONLY;
  }
  archive_.SetText(0, SevenZip::kpidPath, L"first.txt");
  archive_.SetText(1, SevenZip::kpidPath, L"tested.txt");
  archive_.SetText(2, SevenZip::kpidPath, L"damaged.txt");
  ASSERT_EQ(S_OK, ExtractItem(callback_, 0, "first"));
  ASSERT_TRUE(SetFileAttributesW(L"C:\\dest\\first.txt", FILE_ATTRIBUTE_NORMAL));

  // An item the library only tests gets its result without a target: the
  // file of the item before is left alone.
  ISequentialOutStream* stream = nullptr;
  EXPECT_EQ(S_OK, callback_->GetStream(1, &stream, SevenZip::kExtractModeTest));
  EXPECT_EQ(S_OK, callback_->SetOperationResult(0));
  EXPECT_FALSE(GetFileAttributesW(L"C:\\dest\\first.txt") & FILE_ATTRIBUTE_READONLY);

  // A damaged item stops the library; its file keeps what was written, with
  // neither the archive's time nor its read-only flag.
  ASSERT_EQ(S_OK, callback_->GetStream(2, &stream, SevenZip::kExtractModeExtract));
  ASSERT_NE(nullptr, stream);
  EXPECT_EQ(S_OK, stream->Write("dam", 3, nullptr));
  stream->Release();
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_CRC), callback_->SetOperationResult(3));  // CRC error
  EXPECT_EQ("dam", ReadHostFile(dest("damaged.txt")));
  EXPECT_NE(1551675967, seven_zip_test::HostModificationTime(dest("damaged.txt")));
  EXPECT_FALSE(GetFileAttributesW(L"C:\\dest\\damaged.txt") & FILE_ATTRIBUTE_READONLY);

  // Every result but OK fails; a method the library lacks is named as such.
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED), callback_->SetOperationResult(1));
  for (INT32 result : {2, 4, 5, 6, 7, 8, 9}) {
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_CRC), callback_->SetOperationResult(result)) << result;
  }
}

TEST_F(ExtractCallbackTest, BadPropertiesFailTheItem) {
  archive_.SetText(0, SevenZip::kpidPath, L"a.txt");
  archive_.SetText(0, SevenZip::kpidSize, L"12");  // a size as text
  EXPECT_EQ(E_FAIL, ExtractItem(callback_, 0, "x"));
  archive_.Set(1, SevenZip::kpidPath, VT_UI4).ulVal = 7;
  EXPECT_EQ(E_FAIL, ExtractItem(callback_, 1, "x"));
  archive_.SetText(2, SevenZip::kpidPath, L"b.txt");
  archive_.failingProperty = SevenZip::kpidMTime;
  archive_.failure = E_OUTOFMEMORY;
  EXPECT_EQ(E_OUTOFMEMORY, ExtractItem(callback_, 2, "x"));
  EXPECT_FALSE(HostExists(dest("a.txt")));
  EXPECT_FALSE(HostExists(dest("b.txt")));
}

TEST_F(ExtractCallbackTest, UnwritableAndEscapingTargets) {
  WriteHostFile(dest("blocker"), "a file where a folder should be");
  archive_.SetText(0, SevenZip::kpidPath, L"blocker/inner.txt");
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), ExtractItem(callback_, 0, "x"));

  archive_.SetText(1, SevenZip::kpidPath, L"sub/../../escaped.txt");
  archive_.SetText(2, SevenZip::kpidPath, L"C:\\escaped.txt");
  for (UINT32 index : {1u, 2u}) {
    ISequentialOutStream* stream = nullptr;
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME), callback_->GetStream(index, &stream, 0));
    EXPECT_EQ(nullptr, stream);
    EXPECT_EQ(S_OK, callback_->SetOperationResult(0));
  }
  EXPECT_FALSE(HostExists(machine_.c() + "/escaped.txt"));
  EXPECT_FALSE(HostExists(dest("sub")));
}

TEST_F(ExtractCallbackTest, ProgressPasswordsAndInterfaces) {
  EXPECT_EQ(S_OK, callback_->SetTotal(500));
  EXPECT_EQ(S_OK, callback_->SetCompleted(nullptr));
  const UINT64 done = 120;
  EXPECT_EQ(S_OK, callback_->SetCompleted(&done));
  EXPECT_EQ(std::vector<UINT64>{500}, progress_.totals);
  EXPECT_EQ(std::vector<UINT64>{120}, progress_.completed);

  ICryptoGetTextPassword* password = nullptr;
  ASSERT_EQ(S_OK, callback_->QueryInterface(SevenZip::IID_ICryptoGetTextPassword,
                                            reinterpret_cast<void**>(&password)));
  BSTR text = nullptr;
  EXPECT_EQ(E_ABORT, password->CryptoGetTextPassword(&text));
  EXPECT_EQ(nullptr, text);
  EXPECT_EQ(1u, password->Release());
  void* progressOnly = nullptr;
  EXPECT_EQ(E_NOINTERFACE, callback_->QueryInterface(SevenZip::IID_IProgress, &progressOnly));

  // Without a sink the reports go nowhere (and must not be followed).
  ArchiveExtractCallback* silent = new ArchiveExtractCallback(&archive_, L"C:\\dest", nullptr);
  silent->AddRef();
  EXPECT_EQ(S_OK, silent->SetTotal(1));
  EXPECT_EQ(S_OK, silent->SetCompleted(&done));
  silent->Release();
}
