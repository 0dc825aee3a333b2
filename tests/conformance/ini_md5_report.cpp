// The ini file wrapper's files on disk, and MD5 of buffers and files.
#include <cstring>
#include <list>
#include <string>

#include "conformance/report.h"
#include "shared/ini_file.h"
#include "shared/log_writer.h"
#include "shared/md5.h"
#include "shared/product_constants.h"
#include "shared/text_convert.h"

namespace conformance {
namespace {

std::string Lines(const std::list<std::wstring>& lines) {
  std::string out;
  for (const auto& line : lines) out += (out.empty() ? "" : " | ") + Esc(line);
  return out.empty() ? "(none)" : out;
}

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + 3) % 251);
  return bytes;
}

std::string HexOf(const std::string& bytes) {
  char hex[33] = "untouched";
  bool ok = Md5Hex(bytes.data(), static_cast<DWORD>(bytes.size()), hex);
  return ok ? hex : std::string("refused \"") + hex + "\"";
}

std::string FileHex(const std::string& path) {
  char hex[33] = "untouched";
  bool ok = Md5File(path.c_str(), hex);
  return YesNo(ok) + " " + hex;
}

}  // namespace

void ReportIniFile() {
  Section("ini file");
  const std::wstring log = At(L"ini.log");
  SetLogPath(WideToAnsi(log));
  // Each read or write with the log lines it wrote.
  auto read = [&log](IniFile& ini, const std::wstring& path) {
    size_t before = FileSize(log);
    bool ok = ini.Read(path);
    return YesNo(ok) + ", log " + LogLinesSince(log, before);
  };
  auto write = [&log](IniFile& ini, const std::wstring& path) {
    size_t before = FileSize(log);
    bool ok = ini.Write(path);
    return YesNo(ok) + ", log " + LogLinesSince(log, before);
  };
  std::wstring section = kProductGuid;
  section = section.substr(1, section.size() - 2);

  IniFile record;
  Fact("read a missing file", read(record, At(L"ini\\none.dat")));
  record.SetSection(section);
  record.SetValue(L"C:\\Program Files\\Korva\\korva.exe;--silent", kRecordTagExecute);
  record.SetValue(L"C:\\Users\\Public\\Desktop\\Korva.lnk", kRecordTagLnk);
  record.SetValue(L"name.with.dots", L"v1.2.3");
  record.SetValue(kInstallResultTexts[0], kUpdateResultTexts[0]);
  record.SetValue(L"empty", L"");
  record.SetValue(L"name.with.dots", L"replaced");
  record.SetSection(L"second");
  record.SetValue(L"key", L"value with = sign");
  const std::wstring path = At(L"ini\\sub\\") + kInstallRecordFile;
  Fact("write into a missing folder", write(record, path));
  Fact("bytes on disk", Bytes(FileBytes(path)));

  IniFile reader;
  Fact("read in other case", read(reader, At(L"INI\\SUB\\") + kInstallRecordFile));
  Fact("  section", Lines(reader.GetSection(section)));
  Fact("  second", Lines(reader.GetSection(L"second")));
  Fact("  absent section", Lines(reader.GetSection(L"absent")));

  PutFile(At(L"ini\\dup.dat"), "[s]\r\na=1\r\na=2\r\n");
  Fact("read a duplicate key", read(reader, At(L"ini\\dup.dat")));
  Fact("  kept", YesNo(!reader.GetSection(section).empty()));
  PutFile(At(L"ini\\bad.dat"), "[s]\r\nno separator here\r\n");
  Fact("read a line that is no entry", read(reader, At(L"ini\\bad.dat")));
  PutFile(At(L"ini\\lf.dat"), "; comment\n[s]\nk = v \n");
  Fact("read LF line ends and blanks", read(reader, At(L"ini\\lf.dat")));
  Fact("  section", Lines(reader.GetSection(L"s")));

  // A path outside the ANSI code page opens only when the code page holds it.
  const std::wstring chinese = At(L"ini\\") + kInstallResultTexts[0] + L".dat";
  Fact("write a Chinese name", write(record, chinese));
  Fact("read a Chinese name", read(reader, chinese));

  PutFile(At(L"ini\\file"), "f");
  Fact("write below a file", write(record, At(L"ini\\file\\x.dat")));
  // Writing over a read-only file is left out: Wine leaves that to the
  // host's file permissions, which do not hold for root.
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY);
  Fact("read a read-only file", read(reader, path));
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

void ReportMd5() {
  Section("md5");
  Fact("hex of abc", HexOf("abc"));
  Fact("hex of nothing", HexOf(""));
  char hex[33] = "untouched";
  const bool hashed = Md5Hex(nullptr, 3, hex);
  Fact("hex of a null buffer", YesNo(hashed) + " \"" + hex + "\"");

  MakeDir(At(L"md5"));
  for (size_t size : {0, 1, 55, 56, 63, 64, 65, 1023, 1024, 1025, 65535, 65536, 65537, 200000}) {
    const std::string bytes = Pattern(size);
    const std::wstring path = At(L"md5\\f") + std::to_wstring(size) + L".bin";
    PutFile(path, bytes);
    const std::string file = FileHex(WideToAnsi(path));
    Fact("file of " + Num(size) + " bytes", file + (size ? ", same as the buffer " + YesNo(file == "yes " + HexOf(bytes))
                                                         : ""));
  }
  Fact("file in other case", FileHex(WideToAnsi(At(L"MD5\\F1.BIN"))));
  Fact("file by forward slashes", FileHex(WideToAnsi(Base() + L"/md5/f1.bin")));
  Fact("missing file", FileHex(WideToAnsi(At(L"md5\\none.bin"))));
  Fact("a directory", FileHex(WideToAnsi(At(L"md5"))));
  const std::wstring chinese = At(L"md5\\") + kInstallResultTexts[0] + L".bin";
  PutFile(chinese, "abc");
  Fact("file with a Chinese name", FileHex(WideToAnsi(chinese)));

  const std::wstring held = At(L"md5\\held.bin");
  PutFile(held, "abc");
  HANDLE file = CreateFileW(held.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  Fact("file held without sharing", FileHex(WideToAnsi(held)));
  CloseHandle(file);
  HANDLE reading = CreateFileW(held.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  Fact("file held for writing, shared for reading", FileHex(WideToAnsi(held)));
  CloseHandle(reading);
}

}  // namespace conformance
