#include "shell_link_file.h"

#include <sys/stat.h>

#include <ctime>
#include <cwctype>

#include "internal/machine.h"
#include "internal/unicode.h"

namespace win32 {
namespace {

enum LinkFlags : uint32_t {
  kHasLinkTargetIdList = 1u << 0,
  kHasLinkInfo = 1u << 1,
  kHasName = 1u << 2,
  kHasRelativePath = 1u << 3,
  kHasWorkingDir = 1u << 4,
  kHasArguments = 1u << 5,
  kHasIconLocation = 1u << 6,
  kIsUnicode = 1u << 7,
};

constexpr uint32_t kHeaderSize = 0x4C;
constexpr uint32_t kLinkInfoHeaderSize = 0x24;  // with the Unicode offsets
constexpr uint32_t kVolumeIdAndLocalBasePath = 1;
constexpr uint32_t kDriveFixed = 3;
constexpr uint32_t kAttributeDirectory = 0x10;
constexpr uint32_t kAttributeArchive = 0x20;
constexpr uint8_t kShellLinkClsid[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                         0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
// Shell items of the target: "My Computer", a drive, a directory, a file.
constexpr uint8_t kMyComputerItem[18] = {0x1F, 0x50, 0xE0, 0x4F, 0xD0, 0x20, 0xEA, 0x3A, 0x69,
                                         0x10, 0xA2, 0xD8, 0x08, 0x00, 0x2B, 0x30, 0x30, 0x9D};
constexpr uint8_t kVolumeItem = 0x2F;
constexpr uint8_t kDirectoryItem = 0x31;
constexpr uint8_t kFileItem = 0x32;
constexpr uint8_t kUnicodeItem = 0x04;
// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr uint64_t kEpochDelta = 116444736000000000ULL;

class Writer {
 public:
  void U16(uint32_t v) {
    bytes.push_back(static_cast<uint8_t>(v));
    bytes.push_back(static_cast<uint8_t>(v >> 8));
  }
  void U32(uint32_t v) {
    U16(v & 0xFFFF);
    U16(v >> 16);
  }
  void U64(uint64_t v) {
    U32(static_cast<uint32_t>(v));
    U32(static_cast<uint32_t>(v >> 32));
  }
  void Bytes(const void* data, size_t size) {
    auto p = static_cast<const uint8_t*>(data);
    bytes.insert(bytes.end(), p, p + size);
  }
  void PatchU32(size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(v >> (8 * i));
  }
  size_t size() const { return bytes.size(); }
  std::vector<uint8_t> bytes;
};

// The file stores UTF-16LE whatever the size of WCHAR.
std::vector<uint16_t> ToUtf16(const std::wstring& text) {
  std::vector<uint16_t> out;
  for (wchar_t wc : text) {
    uint32_t c = static_cast<uint32_t>(wc);
    if (sizeof(wchar_t) > 2 && c > 0xFFFF) {
      c -= 0x10000;
      out.push_back(static_cast<uint16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<uint16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<uint16_t>(c));
    }
  }
  return out;
}

void StringData(Writer& w, const std::wstring& text) {
  std::vector<uint16_t> units = ToUtf16(text);
  w.U16(static_cast<uint32_t>(units.size()));
  for (uint16_t u : units) w.U16(u);
}

std::wstring Backslashes(std::wstring path) {
  for (auto& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

bool HasDrive(const std::wstring& path) {
  return path.size() >= 3 && iswalpha(path[0]) && path[1] == L':' && path[2] == L'\\';
}

std::vector<std::wstring> Components(const std::wstring& path) {
  std::vector<std::wstring> parts;
  std::wstring part;
  for (wchar_t c : path) {
    if (c == L'\\') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

uint64_t FileTimeOf(const timespec& ts) {
  return static_cast<uint64_t>(ts.tv_sec) * 10000000ULL + static_cast<uint64_t>(ts.tv_nsec) / 100 + kEpochDelta;
}

// FAT date and time (UTC) of a host time, as shell items keep them.
void FatDateTime(Writer& w, const timespec& ts) {
  struct tm t {};
  time_t seconds = ts.tv_sec;
  if (ts.tv_sec == 0 || !gmtime_r(&seconds, &t) || t.tm_year < 80) {
    w.U32(0);
    return;
  }
  w.U16(static_cast<uint32_t>((t.tm_year - 80) << 9 | (t.tm_mon + 1) << 5 | t.tm_mday));
  w.U16(static_cast<uint32_t>(t.tm_hour << 11 | t.tm_min << 5 | t.tm_sec / 2));
}

// The target as the shell names it: My Computer, the drive, then one file
// entry per path component with its kind, size, time and attributes.
void TargetIdList(Writer& w, const std::wstring& target) {
  Writer items;
  auto item = [&items](const Writer& data) {
    items.U16(static_cast<uint32_t>(data.size() + 2));
    items.Bytes(data.bytes.data(), data.size());
  };
  Writer root;
  root.Bytes(kMyComputerItem, sizeof(kMyComputerItem));
  item(root);
  Writer volume;
  volume.Bytes(&kVolumeItem, 1);
  const std::string drive = WideToUtf8(target.substr(0, 3));
  volume.Bytes(drive.c_str(), drive.size());
  volume.Bytes(std::string(22 - drive.size(), '\0').data(), 22 - drive.size());
  item(volume);

  const std::vector<std::wstring> names = Components(target.substr(3));
  std::wstring path = target.substr(0, 3);
  for (size_t i = 0; i < names.size(); ++i) {
    path += (i ? L"\\" : L"") + names[i];
    std::string host;
    DWORD error = 0;
    struct stat st {};
    const bool found = ToHostPath(path, &host, &error) && stat(host.c_str(), &st) == 0;
    const bool directory = found ? S_ISDIR(st.st_mode) : i + 1 < names.size();
    // An ASCII name is kept as it is, any other in UTF-16.
    bool ascii = true;
    for (wchar_t c : names[i]) ascii = ascii && c < 0x80;
    Writer entry;
    const uint8_t kind[2] = {static_cast<uint8_t>((directory ? kDirectoryItem : kFileItem) | (ascii ? 0 : kUnicodeItem)),
                             0};
    entry.Bytes(kind, 2);
    entry.U32(found && !directory ? static_cast<uint32_t>(st.st_size) : 0);
    FatDateTime(entry, found ? st.st_mtim : timespec{});
    entry.U16(directory ? kAttributeDirectory : (found ? kAttributeArchive : 0));
    if (ascii) {
      const std::string name = WideToUtf8(names[i]);
      entry.Bytes(name.c_str(), name.size() + 1);
      if (entry.size() % 2) entry.Bytes("", 1);
    } else {
      for (uint16_t u : ToUtf16(names[i])) entry.U16(u);
      entry.U16(0);
    }
    item(entry);
  }
  w.U16(static_cast<uint32_t>(items.size() + 2));
  w.Bytes(items.bytes.data(), items.size());
  w.U16(0);
}

void LinkInfo(Writer& w, const std::wstring& target) {
  const std::string ansiPath = WideToAnsi(target);
  const std::vector<uint16_t> widePath = ToUtf16(target);
  const uint32_t volumeIdSize = 16 + 1;  // header and an empty label
  const uint32_t volumeIdOffset = kLinkInfoHeaderSize;
  const uint32_t basePathOffset = volumeIdOffset + volumeIdSize;
  const uint32_t suffixOffset = basePathOffset + static_cast<uint32_t>(ansiPath.size()) + 1;
  const uint32_t basePathUnicodeOffset = suffixOffset + 1;
  const uint32_t suffixUnicodeOffset = basePathUnicodeOffset + 2 * static_cast<uint32_t>(widePath.size() + 1);
  const uint32_t total = suffixUnicodeOffset + 2;

  w.U32(total);
  w.U32(kLinkInfoHeaderSize);
  w.U32(kVolumeIdAndLocalBasePath);
  w.U32(volumeIdOffset);
  w.U32(basePathOffset);
  w.U32(0);  // no network location
  w.U32(suffixOffset);
  w.U32(basePathUnicodeOffset);
  w.U32(suffixUnicodeOffset);
  // VolumeID: a fixed disk whose serial number follows the drive letter.
  w.U32(volumeIdSize);
  w.U32(kDriveFixed);
  w.U32(0x4B520000u | static_cast<uint32_t>(towupper(target[0])));
  w.U32(0x10);
  w.Bytes("", 1);  // empty volume label
  w.Bytes(ansiPath.c_str(), ansiPath.size() + 1);
  w.Bytes("", 1);
  for (uint16_t u : widePath) w.U16(u);
  w.U16(0);
  w.U16(0);
}

}  // namespace

std::wstring RelativeLinkPath(const std::wstring& linkPath, const std::wstring& target) {
  const std::wstring link = Backslashes(linkPath);
  const std::wstring to = Backslashes(target);
  if (!HasDrive(link) || !HasDrive(to) || towupper(link[0]) != towupper(to[0])) return L"";
  std::vector<std::wstring> from = Components(link.substr(3));
  if (!from.empty()) from.pop_back();  // the link's own name
  std::vector<std::wstring> dest = Components(to.substr(3));
  size_t common = 0;
  while (common < from.size() && common + 1 < dest.size() && EqualsNoCase(from[common], dest[common])) ++common;
  std::wstring rel;
  for (size_t i = common; i < from.size(); ++i) rel += L"..\\";
  if (rel.empty()) rel = L".\\";
  for (size_t i = common; i < dest.size(); ++i) {
    rel += dest[i];
    if (i + 1 < dest.size()) rel += L'\\';
  }
  return rel;
}

std::vector<uint8_t> EncodeShellLink(const ShellLinkData& link, const std::wstring& linkPath) {
  const std::wstring target = Backslashes(link.target);
  const bool hasLinkInfo = HasDrive(target);
  const std::wstring relative = hasLinkInfo ? RelativeLinkPath(linkPath, target) : L"";

  uint32_t flags = kIsUnicode;
  if (hasLinkInfo) flags |= kHasLinkTargetIdList | kHasLinkInfo;
  if (!link.description.empty()) flags |= kHasName;
  if (!relative.empty()) flags |= kHasRelativePath;
  if (!link.workingDirectory.empty()) flags |= kHasWorkingDir;
  if (!link.arguments.empty()) flags |= kHasArguments;
  if (!link.iconPath.empty()) flags |= kHasIconLocation;

  // The target's attributes, times and size, when it exists.
  uint32_t attributes = 0, size = 0;
  uint64_t created = 0, accessed = 0, written = 0;
  std::string host;
  DWORD error = 0;
  struct stat st {};
  if (hasLinkInfo && ToHostPath(target, &host, &error) && stat(host.c_str(), &st) == 0) {
    attributes = S_ISDIR(st.st_mode) ? kAttributeDirectory : kAttributeArchive;
    size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint32_t>(st.st_size);
    created = FileTimeOf(st.st_ctim);
    accessed = FileTimeOf(st.st_atim);
    written = FileTimeOf(st.st_mtim);
  }

  Writer w;
  w.U32(kHeaderSize);
  w.Bytes(kShellLinkClsid, sizeof(kShellLinkClsid));
  w.U32(flags);
  w.U32(attributes);
  w.U64(created);
  w.U64(accessed);
  w.U64(written);
  w.U32(size);
  w.U32(static_cast<uint32_t>(link.iconIndex));
  w.U32(static_cast<uint32_t>(link.showCommand));
  w.U16(link.hotkey);
  w.U16(0);
  w.U32(0);
  w.U32(0);
  if (hasLinkInfo) TargetIdList(w, target);
  if (hasLinkInfo) LinkInfo(w, target);
  if (flags & kHasName) StringData(w, link.description);
  if (flags & kHasRelativePath) StringData(w, relative);
  if (flags & kHasWorkingDir) StringData(w, link.workingDirectory);
  if (flags & kHasArguments) StringData(w, link.arguments);
  if (flags & kHasIconLocation) StringData(w, link.iconPath);
  w.U32(0);  // terminal block of the extra data
  return w.bytes;
}

}  // namespace win32
