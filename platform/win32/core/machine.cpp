#include "internal/machine.h"

#include <dirent.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include <windows.h>

#include "internal/files.h"
#include "internal/unicode.h"

namespace win32 {
namespace {

bool MakeDirs(const std::string& path) {
  std::string partial;
  std::stringstream ss(path);
  std::string part;
  if (!path.empty() && path[0] == '/') partial = "/";
  while (std::getline(ss, part, '/')) {
    if (part.empty()) continue;
    partial += part;
    if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
    partial += "/";
  }
  return true;
}

bool IsDir(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
  struct stat st{};
  return lstat(path.c_str(), &st) == 0;
}

locale_t FoldLocale() {
  static locale_t loc = [] {
    locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return l;
  }();
  return loc;
}

bool IsAscii(const char* text) {
  for (; *text; ++text)
    if (static_cast<unsigned char>(*text) >= 128) return false;
  return true;
}

// Two names of ASCII characters only, compared as FoldCase does.
bool AsciiEqualsNoCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    char x = *a >= 'a' && *a <= 'z' ? static_cast<char>(*a - 32) : *a;
    char y = *b >= 'a' && *b <= 'z' ? static_cast<char>(*b - 32) : *b;
    if (x != y) return false;
  }
  return *a == *b;
}

// Finds the entry of dir whose name equals `name` ignoring case.
bool FindNoCase(const std::string& dir, const std::string& name, std::string* found) {
  DIR* d = opendir(dir.empty() ? "/" : dir.c_str());
  if (!d) return false;
  std::wstring want = Utf8ToWide(name);
  const bool asciiWant = IsAscii(name.c_str());
  bool ok = false;
  while (dirent* e = readdir(d)) {
    // A name of ASCII characters folds to ASCII only: the cheap test decides.
    const bool same = asciiWant && IsAscii(e->d_name) ? AsciiEqualsNoCase(e->d_name, name.c_str())
                                                      : EqualsNoCase(Utf8ToWide(e->d_name), want);
    if (same) {
      *found = e->d_name;
      ok = true;
      break;
    }
  }
  closedir(d);
  return ok;
}

// Names that Windows refuses in a path component.
bool ValidComponent(const std::wstring& c) {
  for (wchar_t ch : c) {
    if (ch < 32 || ch == L'<' || ch == L'>' || ch == L'"' || ch == L'|' || ch == L'?' || ch == L'*' ||
        ch == L':')
      return false;
  }
  return true;
}

std::string CurrentDirHost() {
  std::vector<char> buf(4096);
  if (!getcwd(buf.data(), buf.size())) return "/";
  return buf.data();
}

}  // namespace

bool MakeHostDirs(const std::string& hostPath) { return MakeDirs(hostPath); }

wchar_t FoldCase(wchar_t c) {
  if (c < 128) return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c;
  locale_t loc = FoldLocale();
  return loc ? static_cast<wchar_t>(towupper_l(static_cast<wint_t>(c), loc)) : c;
}

bool EqualsNoCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  return true;
}

std::string MachineDir() {
  std::string dir;
  const char* env = getenv("WIN32_MACHINE");
  if (env && *env) {
    dir = env;
  } else {
    const char* home = getenv("HOME");
    dir = std::string(home && *home ? home : "/tmp") + "/.local/share/win32-machine";
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  // Drive C: is made on first use; a machine this thread has seen has it.
  thread_local std::string seen;
  if (dir != seen) {
    if (!IsDir(dir + "/c")) MakeDirs(dir + "/c");
    seen = dir;
  }
  return dir;
}

Json::Value MachineConfig() {
  static std::mutex mutex;
  static std::string cachedPath;
  static struct timespec cachedTime {};
  static off_t cachedSize = -1;
  static Json::Value cached(Json::objectValue);

  std::string path = MachineDir() + "/machine.json";
  struct stat st{};
  std::lock_guard<std::mutex> lock(mutex);
  if (stat(path.c_str(), &st) != 0) {
    cachedPath.clear();
    return Json::Value(Json::objectValue);
  }
  if (path == cachedPath && st.st_mtim.tv_sec == cachedTime.tv_sec &&
      st.st_mtim.tv_nsec == cachedTime.tv_nsec && st.st_size == cachedSize)
    return cached;
  std::ifstream in(path, std::ios::binary);
  Json::Value root;
  Json::CharReaderBuilder builder;
  std::string errs;
  if (!in || !Json::parseFromStream(builder, in, &root, &errs) || !root.isObject())
    root = Json::Value(Json::objectValue);
  cached = root;
  cachedPath = path;
  cachedTime = st.st_mtim;
  cachedSize = st.st_size;
  return cached;
}

std::string DriveDir(wchar_t letter) {
  wchar_t lower = static_cast<wchar_t>(towlower(static_cast<wint_t>(letter)));
  std::string dir = MachineDir() + "/" + static_cast<char>(lower);
  return dir;
}

bool ToHostPath(const std::wstring& windowsPath, std::string* hostPath, DWORD* error) {
  auto fail = [&](DWORD e) {
    if (error) *error = e;
    return false;
  };
  std::wstring p = windowsPath;
  for (auto& ch : p)
    if (ch == L'/') ch = L'\\';
  if (p.empty()) return fail(ERROR_PATH_NOT_FOUND);
  if (p.compare(0, 4, L"\\\\?\\") == 0) p = p.substr(4);
  if (p.size() >= 2 && p[0] == L'\\' && p[1] == L'\\') return fail(ERROR_BAD_NETPATH);

  std::string root;          // host folder of the drive
  std::wstring rest;         // the path below the drive's root
  std::vector<std::string> parts;  // host components already resolved below root
  bool absolute = false;
  if (p.size() >= 2 && p[1] == L':') {
    wchar_t letter = p[0];
    if (!iswalpha(static_cast<wint_t>(letter)) || letter > 127) return fail(ERROR_INVALID_NAME);
    rest = p.substr(2);
    if (FoldCase(letter) != L'Z') root = DriveDir(letter);
    absolute = !rest.empty() && rest[0] == L'\\';
    if (!absolute) {
      // "C:foo": relative to that drive's root, as there is one current
      // directory per process here.
      absolute = true;
    }
  } else {
    std::wstring cwd = ToWindowsPath(CurrentDirHost());
    if (!p.empty() && p[0] == L'\\') {
      p = cwd.substr(0, 2) + p;  // root of the current drive
    } else {
      if (cwd.back() != L'\\') cwd += L'\\';
      p = cwd + p;
    }
    return ToHostPath(p, hostPath, error);
  }

  // Split into components, resolving "." and "..".
  std::vector<std::wstring> comps;
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find(L'\\', start);
    if (end == std::wstring::npos) end = rest.size();
    std::wstring c = rest.substr(start, end - start);
    start = end + 1;
    if (c.empty() || c == L".") continue;
    if (c == L"..") {
      if (!comps.empty()) comps.pop_back();
      continue;
    }
    // Windows drops trailing dots and blanks of a component.
    while (!c.empty() && (c.back() == L'.' || c.back() == L' ')) c.pop_back();
    if (c.empty()) continue;
    if (!ValidComponent(c)) return fail(ERROR_INVALID_NAME);
    comps.push_back(c);
  }

  auto done = [&](const std::string& host) {
    if (hostPath) *hostPath = host;
    if (error) *error = ERROR_SUCCESS;
    return true;
  };
  // Most paths are spelled as they are stored, or name a new entry of a
  // folder so spelled: one lookup, or one and a search of that folder,
  // settles them as the walk below would.
  if (!comps.empty()) {
    std::string parent = root;
    for (size_t i = 0; i + 1 < comps.size(); ++i) parent += "/" + WideToUtf8(comps[i]);
    std::string last = WideToUtf8(comps.back());
    if (Exists(parent + "/" + last)) return done(parent + "/" + last);
    if ((parent.empty() || (comps.size() > 1 ? Exists(parent) : IsDir(parent)))) {
      std::string found;
      if (FindNoCase(parent, last, &found)) last = found;
      return done(parent + "/" + last);
    }
  }
  if (!root.empty() && !IsDir(root)) return fail(ERROR_PATH_NOT_FOUND);

  std::string host = root;
  bool missing = false;  // once a component is absent, the rest is taken as given
  for (const auto& c : comps) {
    std::string name = WideToUtf8(c);
    if (!missing) {
      std::string candidate = host + "/" + name;
      if (!Exists(candidate)) {
        std::string found;
        if (FindNoCase(host, name, &found)) {
          name = found;
        } else {
          missing = true;
        }
      }
    }
    host += "/" + name;
  }
  if (host.empty()) host = root.empty() ? "/" : root;
  return done(host);
}

std::string HostPathOrEmpty(const std::wstring& windowsPath) {
  std::string host;
  DWORD err = 0;
  if (!ToHostPath(windowsPath, &host, &err)) {
    SetLastError(err);
    return std::string();
  }
  return host;
}

std::wstring ToWindowsPath(const std::string& hostPath) {
  std::string machine = MachineDir();
  std::string p = hostPath;
  if (p.empty() || p[0] != '/') {
    std::string cwd = CurrentDirHost();
    p = cwd + (cwd == "/" ? "" : "/") + p;
  }
  if (p.compare(0, machine.size() + 1, machine + "/") == 0) {
    std::string below = p.substr(machine.size() + 1);
    if (below.size() >= 1 && isalpha(static_cast<unsigned char>(below[0])) &&
        (below.size() == 1 || below[1] == '/')) {
      std::wstring out;
      out += static_cast<wchar_t>(toupper(below[0]));
      out += L":\\";
      std::wstring tail = Utf8ToWide(below.size() > 2 ? below.substr(2) : std::string());
      for (auto& ch : tail)
        if (ch == L'/') ch = L'\\';
      return out + tail;
    }
  }
  std::wstring tail = Utf8ToWide(p.substr(1));
  for (auto& ch : tail)
    if (ch == L'/') ch = L'\\';
  return L"Z:\\" + tail;
}

}  // namespace win32
