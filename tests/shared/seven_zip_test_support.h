// Helpers of the archive extraction tests: archives made with the 7z tool in
// the test's machine directory, the shipped library and a progress recorder.
#pragma once
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "internal/machine.h"
#include "shared/seven_zip_callbacks.h"
#include "shared/seven_zip_extractor.h"
#include "support/temp_machine.h"

namespace seven_zip_test {

// The library as the build ships it, by its Windows path.
inline std::wstring ShippedLibrary() { return win32::ToWindowsPath(KORVA_DIST_DIR "/7z.dll"); }

// Runs a shell command in `dir`; the 7z tool reads names as UTF-8.
inline int Shell(const std::string& dir, const std::string& command) {
  const std::string line = "cd '" + dir + "' && (LC_ALL=C.UTF-8 " + command + ") >/dev/null 2>&1";
  return std::system(line.c_str());
}

// A machine with a source folder to archive from and C:\out to extract into.
class ArchiveFixture : public ::testing::Test {
 protected:
  std::string src() const { return machine_.dir() + "/src"; }
  std::string out() const { return machine_.c() + "/out"; }
  std::wstring outWin() const { return L"C:\\out"; }
  std::string hostOut(const std::string& relative) const { return out() + "/" + relative; }

  void WriteSource(const std::string& relative, const std::string& content) {
    testing_support::WriteHostFile(src() + "/" + relative, content);
  }
  // Packs `items` (paths under the source folder) into C:\<name> with the
  // 7z tool and its extra `switches`; returns the archive's Windows path.
  std::wstring Pack(const std::string& name, const std::string& items, const std::string& switches = "") {
    testing_support::MakeHostDirs(src());
    const std::string archive = machine_.c() + "/" + name;
    EXPECT_EQ(0, Shell(src(), "7z a -bd " + switches + " '" + archive + "' " + items)) << name;
    return L"C:\\" + std::wstring(name.begin(), name.end());
  }
  std::string hostArchive(const std::string& name) const { return machine_.c() + "/" + name; }

  void Extract(const std::wstring& archive, ISevenZipExtractProgressCallBack* progress = nullptr,
               SevenZip::ArchiveFormat format = SevenZip::ArchiveFormat::SevenZ) {
    SevenZip::SevenZipExtractor extractor(&module_, archive, format);
    extractor.Extract(outWin(), progress);
  }
  // The message of the exception that extracting `archive` throws; "" when none.
  std::wstring ExtractFailure(const std::wstring& archive) {
    try {
      Extract(archive);
    } catch (const SevenZip::SevenZipException& e) {
      return e.message;
    }
    return L"";
  }

  void SetUp() override { module_.Load(ShippedLibrary()); }

  testing_support::TempMachine machine_;
  SevenZip::SevenZipModule module_;
};

// Records what an extraction reports; called from the library's threads.
class ProgressRecorder : public ISevenZipExtractProgressCallBack {
 public:
  void OnExtractProgress(bool isTotal, UINT64 value) override {
    std::lock_guard<std::mutex> lock(mutex_);
    (isTotal ? totals : completed).push_back(value);
  }
  UINT64 LastTotal() const { return totals.empty() ? 0 : totals.back(); }
  UINT64 MaxCompleted() const { return completed.empty() ? 0 : *std::max_element(completed.begin(), completed.end()); }

  std::vector<UINT64> totals;
  std::vector<UINT64> completed;

 private:
  std::mutex mutex_;
};

// Reports an extraction of 400 units to `sink` through an extract callback
// on the shipped library's 7z handler, as the library does: the total, 100
// done, a report without an amount, all 400 done; `after` runs after each.
inline void ReportThroughExtractCallback(ISevenZipExtractProgressCallBack* sink, const std::function<void()>& after) {
  SevenZip::SevenZipModule module;
  module.Load(ShippedLibrary());
  IInArchive* archive = SevenZip::CreateInArchive(module, SevenZip::ArchiveFormat::SevenZ);
  SevenZip::intl::ArchiveExtractCallback* callback =
      new SevenZip::intl::ArchiveExtractCallback(archive, L"C:\\out", sink);
  callback->AddRef();
  archive->Release();
  const UINT64 quarter = 100;
  const UINT64 all = 400;
  EXPECT_EQ(S_OK, callback->SetTotal(all));
  after();
  EXPECT_EQ(S_OK, callback->SetCompleted(&quarter));
  after();
  EXPECT_EQ(S_OK, callback->SetCompleted(nullptr));
  after();
  EXPECT_EQ(S_OK, callback->SetCompleted(&all));
  after();
  callback->Release();
}

inline time_t HostModificationTime(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
}

}  // namespace seven_zip_test
