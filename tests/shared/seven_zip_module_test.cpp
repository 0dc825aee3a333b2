// Loading the archive library, creating handlers, and the layer's message
// and path helpers.
#include <windows.h>

#include "shared/seven_zip_helpers.h"
#include "tests/shared/seven_zip_test_support.h"

using SevenZip::SevenZipException;
using SevenZip::SevenZipModule;

namespace {

std::wstring FakeLibrary(const char* variant) {
  return win32::ToWindowsPath(std::string(KORVA_BUILD_DIR "/testlibs/seven_zip_") + variant + ".dll");
}

std::wstring LoadFailure(SevenZipModule& module, const std::wstring& name) {
  try {
    module.Load(name);
  } catch (const SevenZipException& e) {
    return e.message;
  }
  return L"";
}

std::wstring CreateFailure(const SevenZipModule& module, REFCLSID classId) {
  IInArchive* archive = nullptr;
  try {
    module.CreateObject(classId, &archive);
  } catch (const SevenZipException& e) {
    return e.message;
  }
  if (archive) archive->Release();
  return L"";
}

}  // namespace

TEST(SevenZipModule, RefusedLibrariesAreLeftUnloaded) {
  testing_support::TempMachine machine;
  SevenZipModule module;
  const CLSID sevenZ = SevenZip::HandlerClassId(SevenZip::ArchiveFormat::SevenZ);

  EXPECT_EQ(L"LoadLibrary: GetLastError = 126", LoadFailure(module, L"C:\\nowhere\\7z.dll"));
  EXPECT_EQ(L"7z.dll is not loaded", CreateFailure(module, sevenZ));

  EXPECT_EQ(L"Loaded library is missing required CreateObject function",
            LoadFailure(module, FakeLibrary("no_create_object")));
  EXPECT_EQ(L"Loaded library is missing required GetHashers function",
            LoadFailure(module, FakeLibrary("no_hashers")));
  // The message names 7z.dll whatever was loaded.
  EXPECT_EQ(L"7z.dll is not loaded", CreateFailure(module, sevenZ));
  EXPECT_EQ(L"Loaded library has an incompatible interface layout",
            LoadFailure(module, FakeLibrary("other_layout")));
  EXPECT_EQ(L"7z.dll is not loaded", CreateFailure(module, sevenZ));
}

TEST(SevenZipModule, ShippedLibraryCreatesKnownHandlersOnly) {
  testing_support::TempMachine machine;
  SevenZipModule module;
  ASSERT_EQ(L"", LoadFailure(module, seven_zip_test::ShippedLibrary()));

  IInArchive* archive = SevenZip::CreateInArchive(module, SevenZip::ArchiveFormat::SevenZ);
  ASSERT_NE(nullptr, archive);
  UINT32 items = 1;
  EXPECT_EQ(S_OK, archive->GetNumberOfItems(&items));
  EXPECT_EQ(0u, items);
  archive->Release();

  EXPECT_EQ(L"CreateObject: HRESULT = 0x80040111", CreateFailure(module, SevenZip::MakeHandlerClassId(0x5A)));

  // Loading again replaces the library; freeing twice is harmless.
  ASSERT_EQ(L"", LoadFailure(module, seven_zip_test::ShippedLibrary()));
  module.Free();
  module.Free();
  EXPECT_EQ(L"7z.dll is not loaded", CreateFailure(module, SevenZip::HandlerClassId(SevenZip::ArchiveFormat::Zip)));
}

TEST(SevenZipMessages, Texts) {
  EXPECT_EQ(L"LoadLibrary: GetLastError = 126", SevenZip::LastErrorMessage(L"LoadLibrary", 126));
  EXPECT_EQ(L"LoadLibrary: GetLastError = 4294967295", SevenZip::LastErrorMessage(L"LoadLibrary", 0xFFFFFFFF));
  EXPECT_EQ(L"Open archive: HRESULT = 0x80004005", SevenZip::HresultMessage(L"Open archive", E_FAIL));
  EXPECT_EQ(L"Open archive: HRESULT = 0x00000001", SevenZip::HresultMessage(L"Open archive", S_FALSE));
  EXPECT_EQ(L"Could not open archive \"C:\\\x4E2D\\a.7z\"",
            SevenZip::FormatWideString(L"Could not open archive \"%ls\"", L"C:\\\x4E2D\\a.7z"));
  // Longer than any first guess of the buffer.
  const std::wstring longPath(5000, L'p');
  EXPECT_EQ(L"<" + longPath + L">", SevenZip::FormatWideString(L"<%ls>", longPath.c_str()));
}

TEST(SevenZipPaths, DirectoryPartAndJoin) {
  EXPECT_EQ(L"C:\\a\\", SevenZip::GetDirectoryPart(L"C:\\a\\b.txt"));
  EXPECT_EQ(L"a/b/", SevenZip::GetDirectoryPart(L"a/b/c.txt"));
  EXPECT_EQ(L"C:\\a/", SevenZip::GetDirectoryPart(L"C:\\a/b.txt"));
  EXPECT_EQ(L"C:\\a\\b/", SevenZip::GetDirectoryPart(L"C:\\a\\b/"));
  EXPECT_EQ(L"", SevenZip::GetDirectoryPart(L"bare.txt"));

  EXPECT_EQ(L"x", SevenZip::JoinPath(L"", L"x"));
  EXPECT_EQ(L"C:\\d\\x", SevenZip::JoinPath(L"C:\\d\\", L"x"));
  EXPECT_EQ(L"C:\\d/x", SevenZip::JoinPath(L"C:\\d/", L"x"));
  EXPECT_EQ(L"C:\\d\\x/y", SevenZip::JoinPath(L"C:\\d", L"x/y"));
}

TEST(SevenZipPaths, ItemPathsMustStayBelowTheDestination) {
  for (const wchar_t* inside : {L"a.txt", L"dir/sub/a.txt", L"dir\\a.txt", L"[Content]", L"..a/b..", L"a/./b",
                                L"dir/...x", L""}) {
    EXPECT_TRUE(SevenZip::IsContainedItemPath(inside)) << inside;
  }
  for (const wchar_t* outside : {L"../evil.txt", L"a/../../evil.txt", L"a\\..\\..\\evil", L"..", L"a/..",
                                 L"/etc/passwd", L"\\Windows\\x.dll", L"\\\\server\\share\\x", L"C:\\x.txt",
                                 L"c:x.txt", L"a/b:stream", L"a/.. /b", L"a/.../b"}) {
    EXPECT_FALSE(SevenZip::IsContainedItemPath(outside)) << outside;
  }
}
