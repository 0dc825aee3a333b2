// Extraction of real archives made by the 7z tool, through the shipped library.
#include <random>

#include <windows.h>

#include "support/damaged_archive.h"
#include "tests/shared/seven_zip_test_support.h"

using seven_zip_test::ArchiveFixture;
using seven_zip_test::ProgressRecorder;
using testing_support::HostExists;
using testing_support::ReadHostFile;

namespace {

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string data(size, '\0');
  for (char& c : data) c = static_cast<char>(generator());
  return data;
}

}  // namespace

class SevenZipExtract : public ArchiveFixture {};

TEST_F(SevenZipExtract, TreeWithTimesAttributesNamesAndProgress) {
  WriteSource("pkg/bin/deep/er/app.dll", "binary payload");
  WriteSource("pkg/readme.txt", "read me");
  WriteSource("pkg/locked.ini", "[x]\r\na=1\r\n");
  WriteSource("pkg/资源/界面.xml", "<ui/>");
  WriteSource("pkg/\xF0\x9F\x98\x80 smile.txt", "outside the BMP");
  testing_support::MakeHostDirs(src() + "/pkg/empty/inner");
  ASSERT_EQ(0, seven_zip_test::Shell(src(), "touch -d '2019-03-04 05:06:07 UTC' pkg/readme.txt pkg/locked.ini"));
  ASSERT_EQ(0, chmod((src() + "/pkg/locked.ini").c_str(), 0444));
  const std::wstring archive = Pack("tree.7z", "pkg");

  ProgressRecorder progress;
  Extract(archive, &progress);

  EXPECT_EQ("binary payload", ReadHostFile(hostOut("pkg/bin/deep/er/app.dll")));
  EXPECT_EQ("<ui/>", ReadHostFile(hostOut("pkg/资源/界面.xml")));
  EXPECT_EQ("outside the BMP", ReadHostFile(hostOut("pkg/\xF0\x9F\x98\x80 smile.txt")));
  EXPECT_TRUE(HostExists(hostOut("pkg/empty/inner")));
  EXPECT_EQ(1551675967, seven_zip_test::HostModificationTime(hostOut("pkg/readme.txt")));

  // The read-only attribute comes after the time, which it would otherwise block.
  EXPECT_EQ("[x]\r\na=1\r\n", ReadHostFile(hostOut("pkg/locked.ini")));
  EXPECT_EQ(1551675967, seven_zip_test::HostModificationTime(hostOut("pkg/locked.ini")));
  const DWORD locked = GetFileAttributesW(L"C:\\out\\pkg\\locked.ini");
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, locked);
  EXPECT_TRUE(locked & FILE_ATTRIBUTE_READONLY);
  const DWORD plain = GetFileAttributesW(L"C:\\out\\pkg\\readme.txt");
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, plain);
  EXPECT_FALSE(plain & FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(GetFileAttributesW(L"C:\\out\\pkg\\empty") & FILE_ATTRIBUTE_DIRECTORY);

  // Unpacked bytes: the library announces the total and completes it.
  ASSERT_EQ(1u, progress.totals.size());
  const UINT64 unpacked = 14 + 7 + 10 + 5 + 15;
  EXPECT_EQ(unpacked, progress.LastTotal());
  EXPECT_EQ(unpacked, progress.MaxCompleted());
}

TEST_F(SevenZipExtract, LargeFileWrittenByTheLibraryThreads) {
  // Several LZMA2 blocks, so that decoding and writing run on the library's threads.
  const std::string big = RandomBytes(12 << 20, 7) + std::string(6 << 20, 'z');
  WriteSource("big.bin", big);
  WriteSource("small.txt", "small");
  const std::wstring archive = Pack("big.7z", "big.bin small.txt", "-m0=lzma2 -md=1m -mmt=4");

  ProgressRecorder progress;
  Extract(archive, &progress);

  EXPECT_TRUE(ReadHostFile(hostOut("big.bin")) == big);
  EXPECT_EQ("small", ReadHostFile(hostOut("small.txt")));
  EXPECT_EQ(big.size() + 5, progress.LastTotal());
  EXPECT_EQ(big.size() + 5, progress.MaxCompleted());
  EXPECT_GT(progress.completed.size(), 1u);
}

TEST_F(SevenZipExtract, ExistingFilesAreOverwrittenAndDirectoriesReused) {
  WriteSource("conf/a.json", "{\"new\":1}");
  const std::wstring archive = Pack("over.7z", "conf");
  testing_support::WriteHostFile(hostOut("conf/a.json"), std::string(4096, 'o'));
  testing_support::WriteHostFile(hostOut("conf/keep.txt"), "kept");

  Extract(archive);  // no progress sink

  EXPECT_EQ("{\"new\":1}", ReadHostFile(hostOut("conf/a.json")));
  EXPECT_EQ("kept", ReadHostFile(hostOut("conf/keep.txt")));
}

TEST_F(SevenZipExtract, ItemWithoutPathBecomesContent) {
  WriteSource("payload.txt", "nameless");
  ASSERT_EQ(0, seven_zip_test::Shell(src(), "gzip -n -c payload.txt > '" + hostArchive("nameless.gz") + "'"));

  Extract(L"C:\\nameless.gz", nullptr, SevenZip::ArchiveFormat::GZip);

  EXPECT_EQ("nameless", ReadHostFile(hostOut("[Content]")));
}

TEST_F(SevenZipExtract, FormatsOutsideTheTableOpenSevenZip) {
  WriteSource("f.txt", "seven");
  const std::wstring archive = Pack("f.7z", "f.txt");
  for (UINT32 value : {0u, 11u, 0xFFFFFFFFu}) {
    testing_support::WriteHostFile(hostOut("f.txt"), "");
    Extract(archive, nullptr, static_cast<SevenZip::ArchiveFormat>(value));
    EXPECT_EQ("seven", ReadHostFile(hostOut("f.txt"))) << value;
  }
}

TEST_F(SevenZipExtract, OtherFormatsOfTheTable) {
  WriteSource("z/in.txt", "zipped");
  Pack("z.zip", "z", "-tzip");
  Pack("z.tar", "z", "-ttar");
  Extract(L"C:\\z.zip", nullptr, SevenZip::ArchiveFormat::Zip);
  EXPECT_EQ("zipped", ReadHostFile(hostOut("z/in.txt")));
  testing_support::WriteHostFile(hostOut("z/in.txt"), "");
  Extract(L"C:\\z.tar", nullptr, SevenZip::ArchiveFormat::Tar);
  EXPECT_EQ("zipped", ReadHostFile(hostOut("z/in.txt")));
  // A zip handler does not take a tar archive.
  EXPECT_THROW(Extract(L"C:\\z.tar", nullptr, SevenZip::ArchiveFormat::Zip), SevenZip::SevenZipException);
}

TEST_F(SevenZipExtract, UnreadableArchivesFailWithTheirMessages) {
  EXPECT_EQ(L"Could not open archive \"C:\\missing.7z\"", ExtractFailure(L"C:\\missing.7z"));

  testing_support::WriteHostFile(hostArchive("notes.7z"), "just some text, not an archive\n");
  EXPECT_EQ(L"Open archive: HRESULT = 0x00000001", ExtractFailure(L"C:\\notes.7z"));

  testing_support::WriteHostFile(hostArchive("empty.7z"), "");
  EXPECT_EQ(L"Open archive: HRESULT = 0x00000001", ExtractFailure(L"C:\\empty.7z"));

  WriteSource("t.bin", RandomBytes(64 << 10, 3));
  Pack("whole.7z", "t.bin");
  const std::string whole = ReadHostFile(hostArchive("whole.7z"));
  testing_support::WriteHostFile(hostArchive("cut.7z"), whole.substr(0, whole.size() / 2));
  EXPECT_EQ(L"Open archive: HRESULT = 0x00000001", ExtractFailure(L"C:\\cut.7z"));
}

TEST_F(SevenZipExtract, PasswordsAreRefused) {
  WriteSource("secret.txt", "classified");
  Pack("data.7z", "secret.txt", "-psecret");
  Pack("names.7z", "secret.txt", "-psecret -mhe=on");

  EXPECT_EQ(L"Extract archive: HRESULT = 0x80004004", ExtractFailure(L"C:\\data.7z"));
  EXPECT_EQ(0u, ExtractFailure(L"C:\\names.7z").find(L"Open archive: HRESULT = 0x"));
  EXPECT_NE("classified", ReadHostFile(hostOut("secret.txt")));
}

TEST_F(SevenZipExtract, ItemsLeavingTheDestinationAreRefused) {
  WriteSource("a.txt", "first");
  WriteSource("evil.txt", "escaped");
  WriteSource("abs.txt", "absolute");
  const std::wstring climbing = Pack("climb.7z", "a.txt evil.txt");
  ASSERT_EQ(0, seven_zip_test::Shell(machine_.c(), "7z rn -bd climb.7z evil.txt ../evil.txt"));
  const std::wstring absolute = Pack("abs.7z", "abs.txt");
  ASSERT_EQ(0, seven_zip_test::Shell(machine_.c(), "7z rn -bd abs.7z abs.txt /tmp/korva-abs.txt"));

  EXPECT_EQ(L"Extract archive: HRESULT = 0x800700A1", ExtractFailure(climbing));
  EXPECT_FALSE(HostExists(machine_.c() + "/evil.txt"));
  EXPECT_FALSE(HostExists(hostOut("evil.txt")));

  EXPECT_EQ(L"Extract archive: HRESULT = 0x800700A1", ExtractFailure(absolute));
  EXPECT_FALSE(HostExists(machine_.c() + "/tmp/korva-abs.txt"));
}

TEST_F(SevenZipExtract, DamagedItemEndsTheExtraction) {
  std::string numbers;
  for (int i = 0; i < 20000; ++i) numbers += std::to_string(i) + "\n";
  const std::string second = RandomBytes(64 << 10, 5);
  WriteSource("pkg/a-first.txt", numbers);
  WriteSource("pkg/b-second.bin", second);
  WriteSource("pkg/c-third.txt", "third");
  ASSERT_EQ(0, seven_zip_test::Shell(src(), "touch -d '2019-03-04 05:06:07 UTC' pkg/*"));
  ASSERT_EQ(0, chmod((src() + "/pkg/b-second.bin").c_str(), 0444));
  // One block per file: the damage stays in the second one.
  const std::wstring good = Pack("good.7z", "pkg", "-ms=off");
  const std::wstring damaged = Pack("damaged.7z", "pkg", "-ms=off");
  ASSERT_EQ(std::vector<std::string>{"pkg/b-second.bin"},
            testing_support::DamagePackedData(hostArchive("damaged.7z"), "pkg/b-second.bin"));

  EXPECT_EQ(L"Extract archive: HRESULT = 0x80070017", ExtractFailure(damaged));

  // What came before is whole; the library stopped at the damaged item.
  EXPECT_EQ(numbers, ReadHostFile(hostOut("pkg/a-first.txt")));
  EXPECT_EQ(1551675967, seven_zip_test::HostModificationTime(hostOut("pkg/a-first.txt")));
  EXPECT_FALSE(HostExists(hostOut("pkg/c-third.txt")));
  // The damaged file stays as written, without the archive's time and
  // read-only flag that would make it pass for a good copy.
  ASSERT_TRUE(HostExists(hostOut("pkg/b-second.bin")));
  EXPECT_FALSE(ReadHostFile(hostOut("pkg/b-second.bin")) == second);
  EXPECT_NE(1551675967, seven_zip_test::HostModificationTime(hostOut("pkg/b-second.bin")));
  EXPECT_FALSE(GetFileAttributesW(L"C:\\out\\pkg\\b-second.bin") & FILE_ATTRIBUTE_READONLY);

  // A good package unpacks over what the damaged one left.
  Extract(good);
  EXPECT_TRUE(ReadHostFile(hostOut("pkg/b-second.bin")) == second);
  EXPECT_EQ("third", ReadHostFile(hostOut("pkg/c-third.txt")));
}
