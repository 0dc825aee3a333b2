#include "shared/seven_zip_extractor.h"

#include "shared/seven_zip_callbacks.h"
#include "shared/seven_zip_helpers.h"

namespace SevenZip {

namespace {

// Holds one reference on a COM object and drops it when it goes, also when
// an exception passes.
template <class T>
class Ref {
 public:
  explicit Ref(T* object) : object_(object) {}
  ~Ref() {
    if (object_) object_->Release();
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  T* get() const { return object_; }
  T* operator->() const { return object_; }

 private:
  T* object_;
};

template <class T>
T* AddRefed(T* object) {
  object->AddRef();
  return object;
}

}  // namespace

void SevenZipExtractor::Extract(const std::wstring& destination, ISevenZipExtractProgressCallBack* progress) {
  Ref<IStream> stream(OpenReadStream(archivePath_));
  if (!stream.get()) throw SevenZipException(FormatWideString(L"Could not open archive \"%ls\"", archivePath_.c_str()));
  ExtractFromStream(stream.get(), destination, progress);
}

void SevenZipExtractor::ExtractFromStream(IStream* stream, const std::wstring& destination,
                                          ISevenZipExtractProgressCallBack* progress) {
  // Declared in the reverse of the release order: the extract callback goes
  // first, the archive last.
  Ref<IInArchive> archive(CreateInArchive(*module_, format_));
  Ref<intl::InStreamWrapper> input(AddRefed(new intl::InStreamWrapper(stream)));
  Ref<intl::ArchiveOpenCallback> openCallback(AddRefed(new intl::ArchiveOpenCallback()));
  HRESULT result = archive->Open(input.get(), nullptr, openCallback.get());
  if (result != S_OK) throw SevenZipException(HresultMessage(L"Open archive", result));

  Ref<intl::ArchiveExtractCallback> extractCallback(
      AddRefed(new intl::ArchiveExtractCallback(archive.get(), destination, progress)));
  result = archive->Extract(nullptr, 0xFFFFFFFF, 0, extractCallback.get());
  if (result != S_OK) throw SevenZipException(HresultMessage(L"Extract archive", result));
}

}  // namespace SevenZip
