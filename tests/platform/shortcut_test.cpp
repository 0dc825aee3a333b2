#include <gtest/gtest.h>

#include <objbase.h>
#include <shobjidl.h>

#include <cstdio>
#include <string>
#include <thread>

#include "internal/unicode.h"
#include "support/temp_machine.h"

using testing_support::TempMachine;

namespace {

// lnkinfo's report of a .lnk file (an independent reader of the format).
std::string LnkInfo(const std::string& hostPath) {
  std::string out;
  FILE* pipe = popen(("lnkinfo '" + hostPath + "' 2>&1").c_str(), "r");
  if (!pipe) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0) out.append(buf, n);
  pclose(pipe);
  return out;
}

// The value lnkinfo prints after "<label><tabs>: ".
std::string Field(const std::string& report, const std::string& label) {
  size_t at = report.find("\t" + label + "\t");
  if (at == std::string::npos) at = report.find("\t" + label + " ");
  if (at == std::string::npos) return "<missing " + label + ">";
  size_t colon = report.find(": ", at);
  size_t end = report.find('\n', colon);
  return report.substr(colon + 2, end - colon - 2);
}

struct ComThread {
  ComThread() { EXPECT_EQ(S_OK, CoInitialize(nullptr)); }
  ~ComThread() { CoUninitialize(); }
};

IShellLinkW* NewShellLink() {
  IShellLinkW* link = nullptr;
  EXPECT_EQ(S_OK, CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   reinterpret_cast<void**>(&link)));
  return link;
}

}  // namespace

TEST(ShellLink, SavedFileCarriesEveryFieldForAnIndependentReader) {
  TempMachine m;
  testing_support::WriteHostFile(m.c() + "/Program Files (x86)/Korva加速器/korva.exe", "program");
  testing_support::MakeHostDirs(m.c() + "/Users/Public/Desktop");
  ComThread com;
  IShellLinkW* link = NewShellLink();
  ASSERT_NE(nullptr, link);
  const std::wstring target = L"C:\\Program Files (x86)\\Korva加速器\\korva.exe";
  link->SetWorkingDirectory(L"C:\\Program Files (x86)\\Korva加速器");
  link->SetPath(target.c_str());
  link->SetDescription(L"Korva 网络加速");
  link->SetArguments(L"--tray \"two words\"");
  link->SetIconLocation(L"C:\\Program Files (x86)\\Korva加速器\\korva.ico", 3);
  IPersistFile* file = nullptr;
  ASSERT_EQ(S_OK, link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)));
  const std::wstring lnk = L"C:\\Users\\Public\\Desktop\\Korva.lnk";
  ASSERT_EQ(S_OK, file->Save(lnk.c_str(), TRUE));

  const std::string report = LnkInfo(m.c() + "/Users/Public/Desktop/Korva.lnk");
  EXPECT_EQ(win32::WideToUtf8(target), Field(report, "Local path")) << report;
  EXPECT_EQ("C:\\Program Files (x86)\\Korva加速器", Field(report, "Working directory")) << report;
  EXPECT_EQ("--tray \"two words\"", Field(report, "Command line arguments")) << report;
  EXPECT_EQ("C:\\Program Files (x86)\\Korva加速器\\korva.ico", Field(report, "Icon location")) << report;
  EXPECT_EQ("Korva 网络加速", Field(report, "Description")) << report;
  EXPECT_EQ("..\\..\\..\\Program Files (x86)\\Korva加速器\\korva.exe", Field(report, "Relative path")) << report;
  EXPECT_EQ("7 bytes", Field(report, "File size")) << report;
  // The shell's own name of the target: My Computer, the drive, one item per
  // component, the last a file.
  EXPECT_EQ("5", Field(report, "Number of items")) << report;
  EXPECT_EQ("My Computer", Field(report, "Shell folder name")) << report;
  EXPECT_EQ("C:\\", Field(report, "Volume name")) << report;
  const size_t last = report.find("Shell item: 5");
  ASSERT_NE(std::string::npos, last) << report;
  EXPECT_EQ("korva.exe", Field(report.substr(last), "Name")) << report;
  EXPECT_NE(std::string::npos, report.find("(File entry: File)", last)) << report;
  const std::string folder = report.substr(report.find("Shell item: 4"));
  EXPECT_EQ("Korva加速器", Field(folder, "Name")) << report;

  // What was set reads back through the interfaces too.
  WCHAR text[MAX_PATH];
  int index = -1;
  ASSERT_EQ(S_OK, link->GetIconLocation(text, MAX_PATH, &index));
  EXPECT_EQ(3, index);
  LPOLESTR current = nullptr;
  ASSERT_EQ(S_OK, file->GetCurFile(&current));
  EXPECT_EQ(lnk, current);
  CoTaskMemFree(current);
  EXPECT_EQ(S_FALSE, file->IsDirty());
  file->Release();
  link->Release();
}

TEST(ShellLink, MinimalLinkAndFailedSave) {
  TempMachine m;
  ComThread com;
  IShellLinkW* link = NewShellLink();
  ASSERT_NE(nullptr, link);
  link->SetPath(L"C:\\missing\\app.exe");
  IPersistFile* file = nullptr;
  ASSERT_EQ(S_OK, link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)));
  // A folder that does not exist is not created by the link object.
  EXPECT_TRUE(FAILED(file->Save(L"C:\\nowhere\\app.lnk", TRUE)));
  ASSERT_EQ(S_OK, file->Save(L"C:\\app.lnk", FALSE));
  const std::string report = LnkInfo(m.c() + "/app.lnk");
  EXPECT_EQ("C:\\missing\\app.exe", Field(report, "Local path")) << report;
  EXPECT_EQ("<missing Working directory>", Field(report, "Working directory")) << report;
  EXPECT_EQ(S_OK, file->IsDirty());  // saved without remembering the file
  file->Release();
  link->Release();
}

TEST(Com, InitialisationIsPerThreadAndBalanced) {
  void* object = nullptr;
  EXPECT_EQ(CO_E_NOTINITIALIZED,
            CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, &object));
  EXPECT_EQ(S_OK, CoInitialize(nullptr));
  EXPECT_EQ(S_FALSE, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  std::thread([] {
    EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    CoUninitialize();
  }).join();

  EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(IID_IUnknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object));
  EXPECT_EQ(E_NOINTERFACE, CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, CLSID_ShellLink, &object));
  EXPECT_EQ(nullptr, object);

  CoUninitialize();
  EXPECT_EQ(S_OK, CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, &object));
  static_cast<IShellLinkW*>(object)->Release();
  CoUninitialize();
  EXPECT_EQ(CO_E_NOTINITIALIZED,
            CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, &object));
}
