// Unpacks one archive file into a directory through the archive library.
#pragma once
#include <string>

#include <windows.h>
#include <objidl.h>

#include "shared/seven_zip_exception.h"
#include "shared/seven_zip_module.h"
#include "shared/seven_zip_progress.h"

namespace SevenZip {

class SevenZipExtractor {
 public:
  // `module` must stay loaded while the extractor is used.
  SevenZipExtractor(SevenZipModule* module, const std::wstring& archivePath, ArchiveFormat format)
      : module_(module), archivePath_(archivePath), format_(format) {}
  virtual ~SevenZipExtractor() = default;

  // Extracts every item into `destination`; `progress` may be null.
  // Throws SevenZipException; files written before a failure stay.
  virtual void Extract(const std::wstring& destination, ISevenZipExtractProgressCallBack* progress);
  // The same on an archive that is already open as a stream.
  void ExtractFromStream(IStream* stream, const std::wstring& destination,
                         ISevenZipExtractProgressCallBack* progress);

 private:
  SevenZipModule* module_;
  std::wstring archivePath_;
  ArchiveFormat format_;
};

}  // namespace SevenZip
