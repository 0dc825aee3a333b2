// The machine-wide window station: this process's record of its top-level
// windows, the walk over every process's records, and the socket through
// which other processes post to our windows and automate them.
#include <dirent.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include <json/json.h>

#include "internal/machine.h"
#include "internal/unicode.h"
#include "win32/user/user_state.h"

namespace win32 {
namespace user {
namespace {

using station::WindowRecord;

constexpr int kRequestTimeoutMs = 5000;
constexpr uint32_t kMaxFrame = 16u << 20;

struct Cached {
  ino_t ino = 0;
  int64_t mtime = 0;
  off_t size = 0;
  uint64_t start = 0;
  std::vector<WindowRecord> records;
};

struct Station {
  std::mutex publishMutex;  // one writer of this process's record at a time
  std::string recordPath;
  std::string lastText;
  std::mutex serverMutex;
  std::string serverDir;
  int serverFd = -1;
  std::mutex cacheMutex;
  std::map<std::string, Cached> cache;
};

Station& T() {
  static Station* station = new Station();
  return *station;
}

std::string Serialize(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, value);
}

bool Parse(const std::string& text, Json::Value* value) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  return reader->parse(text.data(), text.data() + text.size(), value, &errors);
}

uint64_t Fnv64(const std::string& text) {
  uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

// Abstract socket names: no file to leave behind, no path length limit, and
// the name disappears with the process.
socklen_t SocketAddress(const std::string& stationDir, DWORD pid, sockaddr_un* address) {
  char real[PATH_MAX];
  std::string dir = realpath(stationDir.c_str(), real) ? real : stationDir;
  char name[96];
  int n = snprintf(name, sizeof(name), "win32-station.%016llx.%u",
                   static_cast<unsigned long long>(Fnv64(dir)), static_cast<unsigned>(pid));
  memset(address, 0, sizeof(*address));
  address->sun_family = AF_UNIX;
  memcpy(address->sun_path + 1, name, static_cast<size_t>(n));
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + static_cast<size_t>(n));
}

// Start time of a live process (clock ticks since boot); 0 when it is gone
// or a zombie. Telling a process from a later one with the same pid.
uint64_t ProcessStart(DWORD pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return 0;
  size_t close = line.rfind(')');
  if (close == std::string::npos || close + 2 > line.size()) return 0;
  std::istringstream fields(line.substr(close + 2));
  std::string state, skip;
  fields >> state;
  if (state == "Z" || state == "X" || state == "x") return 0;
  for (int i = 0; i < 18; ++i) fields >> skip;  // fields 4 to 21
  uint64_t start = 0;
  fields >> start;
  return start;
}

Json::Value ToJson(const WindowRecord& r) {
  Json::Value v(Json::objectValue);
  v["hwnd"] = Json::UInt64(reinterpret_cast<uintptr_t>(r.hwnd));
  v["tid"] = Json::UInt(r.tid);
  v["class"] = WideToUtf8(r.className);
  v["title"] = WideToUtf8(r.title);
  v["style"] = Json::UInt(r.style);
  v["exstyle"] = Json::UInt(r.exStyle);
  Json::Value rect(Json::arrayValue);
  rect.append(r.rect.left);
  rect.append(r.rect.top);
  rect.append(r.rect.right);
  rect.append(r.rect.bottom);
  v["rect"] = rect;
  v["owner"] = Json::UInt64(reinterpret_cast<uintptr_t>(r.owner));
  v["z"] = Json::Int64(r.z);
  Json::Value props(Json::arrayValue);
  for (auto& p : r.props) {
    Json::Value pair(Json::arrayValue);
    pair.append(WideToUtf8(p.first));
    pair.append(Json::UInt64(p.second));
    props.append(pair);
  }
  v["props"] = props;
  return v;
}

bool FromJson(const Json::Value& v, DWORD pid, WindowRecord* r) {
  if (!v.isObject() || !v["hwnd"].isUInt64()) return false;
  r->hwnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(v["hwnd"].asUInt64()));
  r->pid = pid;
  r->tid = v["tid"].asUInt();
  r->className = Utf8ToWide(v["class"].asString());
  r->title = Utf8ToWide(v["title"].asString());
  r->style = v["style"].asUInt();
  r->exStyle = v["exstyle"].asUInt();
  const Json::Value& rect = v["rect"];
  if (rect.isArray() && rect.size() == 4)
    r->rect = RECT{rect[0].asInt(), rect[1].asInt(), rect[2].asInt(), rect[3].asInt()};
  r->owner = reinterpret_cast<HWND>(static_cast<uintptr_t>(v["owner"].asUInt64()));
  r->z = v["z"].asInt64();
  for (const auto& pair : v["props"])
    if (pair.isArray() && pair.size() == 2)
      r->props.emplace_back(Utf8ToWide(pair[0].asString()),
                            static_cast<ULONG_PTR>(pair[1].asUInt64()));
  return true;
}

bool WriteFileAtomically(const std::string& path, const std::string& text) {
  std::string temp = path + ".tmp";
  FILE* f = fopen(temp.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = fclose(f) == 0 && ok;
  if (ok) ok = rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) unlink(temp.c_str());
  return ok;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Records of one other process; prunes the file when that process is gone.
bool ReadRecords(const std::string& path, DWORD pid, std::vector<WindowRecord>* out) {
  struct stat st{};
  if (stat(path.c_str(), &st) != 0) return false;
  const int64_t mtime = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  Cached entry;
  {
    std::lock_guard<std::mutex> lock(T().cacheMutex);
    auto it = T().cache.find(path);
    if (it != T().cache.end() && it->second.ino == st.st_ino && it->second.mtime == mtime &&
        it->second.size == st.st_size) {
      entry = it->second;
    } else {
      Json::Value root;
      if (!Parse(ReadWholeFile(path), &root) || !root.isObject()) return false;
      entry.ino = st.st_ino;
      entry.mtime = mtime;
      entry.size = st.st_size;
      entry.start = root["start"].asUInt64();
      for (const auto& w : root["windows"]) {
        WindowRecord r;
        if (FromJson(w, pid, &r)) entry.records.push_back(std::move(r));
      }
      T().cache[path] = entry;
    }
  }
  const uint64_t start = ProcessStart(pid);
  if (start == 0 || start != entry.start) {
    struct stat again{};
    if (stat(path.c_str(), &again) == 0 && again.st_ino == st.st_ino) unlink(path.c_str());
    std::lock_guard<std::mutex> lock(T().cacheMutex);
    T().cache.erase(path);
    return false;
  }
  *out = std::move(entry.records);
  return true;
}

bool SendAll(int fd, const char* data, size_t size) {
  while (size) {
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool WriteFrame(int fd, const Json::Value& value) {
  std::string text = Serialize(value);
  uint32_t size = static_cast<uint32_t>(text.size());
  unsigned char header[4] = {static_cast<unsigned char>(size), static_cast<unsigned char>(size >> 8),
                             static_cast<unsigned char>(size >> 16), static_cast<unsigned char>(size >> 24)};
  return SendAll(fd, reinterpret_cast<const char*>(header), 4) && SendAll(fd, text.data(), text.size());
}

enum class ReadResult { kOk, kTimeout, kBroken };

ReadResult ReceiveAll(int fd, char* data, size_t size, Clock::time_point deadline) {
  while (size) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return ReadResult::kTimeout;
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return ReadResult::kBroken;
    if (r == 0) return ReadResult::kTimeout;
    ssize_t n = recv(fd, data, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return ReadResult::kBroken;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return ReadResult::kOk;
}

ReadResult ReadFrame(int fd, Json::Value* value, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  unsigned char header[4];
  ReadResult r = ReceiveAll(fd, reinterpret_cast<char*>(header), 4, deadline);
  if (r != ReadResult::kOk) return r;
  uint32_t size = header[0] | header[1] << 8 | header[2] << 16 | static_cast<uint32_t>(header[3]) << 24;
  if (size > kMaxFrame) return ReadResult::kBroken;
  std::string text(size, '\0');
  r = ReceiveAll(fd, &text[0], size, deadline);
  if (r != ReadResult::kOk) return r;
  return Parse(text, value) ? ReadResult::kOk : ReadResult::kBroken;
}

// Answer of an automation command; a command dropped unanswered (its thread
// ended) still tells the caller.
class PendingReply {
 public:
  explicit PendingReply(int fd) : fd_(fd) {}
  ~PendingReply() {
    if (fd_ >= 0) Send(station::CommandStatus::kNotFound, "not found: the window's thread has ended");
  }
  void Send(station::CommandStatus status, const std::string& text) {
    if (fd_ < 0) return;
    Json::Value reply(Json::objectValue);
    reply["status"] = static_cast<int>(status);
    reply["reply"] = text;
    WriteFrame(fd_, reply);
    close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

void Serve(int fd, const Json::Value& request) {
  const std::string op = request["op"].asString();
  HWND hwnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(request["hwnd"].asUInt64()));
  if (op == "command") {
    auto pending = std::make_shared<PendingReply>(fd);
    std::vector<std::string> args;
    for (const auto& a : request["args"]) args.push_back(a.asString());
    ServeCommand(hwnd, request["command"].asString(), args,
                 [pending](station::CommandStatus status, const std::string& text) {
                   pending->Send(status, text);
                 });
    return;
  }
  Json::Value reply(Json::objectValue);
  if (op == "post") {
    DWORD error = 0;
    bool ok = ServePost(hwnd, request["msg"].asUInt(),
                        static_cast<WPARAM>(request["wparam"].asUInt64()),
                        static_cast<LPARAM>(request["lparam"].asInt64()), &error);
    reply["ok"] = ok;
    reply["error"] = Json::UInt(error);
  } else if (op == "zorder") {
    HWND after = reinterpret_cast<HWND>(static_cast<intptr_t>(request["after"].asInt64()));
    reply["ok"] = IsLocalHandle(hwnd) && ApplyZOrder(hwnd, after);
  } else {
    reply["ok"] = false;
  }
  WriteFrame(fd, reply);
  close(fd);
}

void ServerLoop(int listener) {
  for (;;) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      break;  // shut down: the machine directory changed
    }
    timeval timeout{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    Json::Value request;
    if (ReadFrame(fd, &request, 2000) != ReadResult::kOk || !request.isObject()) {
      close(fd);
      continue;
    }
    Serve(fd, request);
  }
  close(listener);
}

void EnsureServer(const std::string& dir) {
  std::lock_guard<std::mutex> lock(T().serverMutex);
  if (T().serverFd >= 0 && T().serverDir == dir) return;
  if (T().serverFd >= 0) {
    shutdown(T().serverFd, SHUT_RDWR);  // its thread closes it
    T().serverFd = -1;
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_un address;
  socklen_t length = SocketAddress(dir, GetCurrentProcessId(), &address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, 64) != 0) {
    close(fd);
    return;
  }
  T().serverFd = fd;
  T().serverDir = dir;
  std::thread(ServerLoop, fd).detach();
}

enum class RequestResult { kOk, kNoProcess, kTimeout, kBroken };

RequestResult Request(DWORD pid, const Json::Value& request, int timeoutMs, Json::Value* reply) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return RequestResult::kBroken;
  sockaddr_un address;
  socklen_t length = SocketAddress(StationDir(), pid, &address);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    close(fd);
    return RequestResult::kNoProcess;
  }
  timeval timeout{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
  RequestResult result = RequestResult::kBroken;
  if (WriteFrame(fd, request)) {
    switch (ReadFrame(fd, reply, timeoutMs)) {
      case ReadResult::kOk: result = RequestResult::kOk; break;
      case ReadResult::kTimeout: result = RequestResult::kTimeout; break;
      case ReadResult::kBroken: result = RequestResult::kBroken; break;
    }
  }
  close(fd);
  return result;
}

void RemoveRecordAtExit() {
  std::lock_guard<std::mutex> lock(T().publishMutex);
  if (!T().recordPath.empty()) unlink(T().recordPath.c_str());
  T().recordPath.clear();
}

bool Above(const WindowRecord& a, const WindowRecord& b) {
  if (a.topmost() != b.topmost()) return a.topmost();
  if (a.z != b.z) return a.z > b.z;
  return reinterpret_cast<uintptr_t>(a.hwnd) < reinterpret_cast<uintptr_t>(b.hwnd);
}

HWND ReadForeground() {
  std::string text = ReadWholeFile(StationDir() + "/foreground");
  return reinterpret_cast<HWND>(static_cast<uintptr_t>(strtoull(text.c_str(), nullptr, 10)));
}

}  // namespace

std::string StationDir() {
  std::string dir = MachineDir() + "/windows";
  mkdir(dir.c_str(), 0755);
  return dir;
}

void Publish() {
  std::lock_guard<std::mutex> lock(T().publishMutex);
  std::vector<WindowRecord> records;
  {
    std::lock_guard<std::mutex> stateLock(S().mutex);
    records = LocalRecordsLocked();
  }
  if (records.empty()) {
    if (!T().recordPath.empty()) unlink(T().recordPath.c_str());
    T().recordPath.clear();
    T().lastText.clear();
    return;
  }
  const DWORD pid = GetCurrentProcessId();
  const std::string dir = StationDir();
  const std::string path = dir + "/" + std::to_string(pid) + ".json";
  if (!T().recordPath.empty() && T().recordPath != path) {
    unlink(T().recordPath.c_str());  // the machine directory changed
    T().recordPath.clear();
    T().lastText.clear();
  }
  EnsureServer(dir);
  static const uint64_t start = ProcessStart(pid);
  Json::Value root(Json::objectValue);
  root["pid"] = Json::UInt(pid);
  root["start"] = Json::UInt64(start);
  Json::Value windows(Json::arrayValue);
  for (const auto& r : records) windows.append(ToJson(r));
  root["windows"] = windows;
  std::string text = Serialize(root);
  if (text == T().lastText && path == T().recordPath) return;
  if (!WriteFileAtomically(path, text)) return;
  T().recordPath = path;
  T().lastText = text;
  static bool hooked = (atexit(RemoveRecordAtExit), true);
  (void)hooked;
}

bool RemotePost(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, DWORD* error) {
  Json::Value request(Json::objectValue), reply;
  request["op"] = "post";
  request["hwnd"] = Json::UInt64(reinterpret_cast<uintptr_t>(hwnd));
  request["msg"] = Json::UInt(msg);
  request["wparam"] = Json::UInt64(wParam);
  request["lparam"] = Json::Int64(lParam);
  switch (Request(PidOfHandle(hwnd), request, kRequestTimeoutMs, &reply)) {
    case RequestResult::kOk:
      if (reply["ok"].asBool()) return true;
      *error = reply["error"].asUInt();
      return false;
    case RequestResult::kTimeout:
      *error = ERROR_TIMEOUT;
      return false;
    default:
      *error = ERROR_INVALID_WINDOW_HANDLE;
      return false;
  }
}

bool RemoteZOrder(HWND hwnd, HWND insertAfter) {
  Json::Value request(Json::objectValue), reply;
  request["op"] = "zorder";
  request["hwnd"] = Json::UInt64(reinterpret_cast<uintptr_t>(hwnd));
  request["after"] = Json::Int64(reinterpret_cast<intptr_t>(insertAfter));
  if (Request(PidOfHandle(hwnd), request, kRequestTimeoutMs, &reply) == RequestResult::kOk &&
      reply["ok"].asBool())
    return true;
  SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return false;
}

void StoreForeground(HWND hwnd) {
  WriteFileAtomically(StationDir() + "/foreground",
                      std::to_string(reinterpret_cast<uintptr_t>(hwnd)) + "\n");
}

}  // namespace user

namespace station {

using user::S;

const ULONG_PTR* WindowRecord::prop(const std::wstring& name) const {
  for (auto& p : props)
    if (EqualsNoCase(p.first, name)) return &p.second;
  return nullptr;
}

std::vector<WindowRecord> Snapshot() {
  std::vector<WindowRecord> all;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    all = user::LocalRecordsLocked();
  }
  const std::string dir = user::StationDir();
  const DWORD self = GetCurrentProcessId();
  if (DIR* d = opendir(dir.c_str())) {
    std::vector<std::pair<std::string, DWORD>> files;
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name.size() <= 5 || name.compare(name.size() - 5, 5, ".json") != 0) continue;
      std::string digits = name.substr(0, name.size() - 5);
      if (digits.find_first_not_of("0123456789") != std::string::npos) continue;
      DWORD pid = static_cast<DWORD>(strtoul(digits.c_str(), nullptr, 10));
      if (pid != self) files.emplace_back(dir + "/" + name, pid);
    }
    closedir(d);
    for (auto& f : files) {
      std::vector<WindowRecord> records;
      if (user::ReadRecords(f.first, f.second, &records))
        all.insert(all.end(), records.begin(), records.end());
    }
  }
  std::sort(all.begin(), all.end(), user::Above);
  return all;
}

bool Find(HWND hwnd, WindowRecord* record) {
  if (!hwnd) return false;
  std::vector<WindowRecord> records;
  if (user::IsLocalHandle(hwnd)) {
    std::lock_guard<std::mutex> lock(S().mutex);
    records = user::LocalRecordsLocked();
  } else {
    DWORD pid = user::PidOfHandle(hwnd);
    if (!user::ReadRecords(user::StationDir() + "/" + std::to_string(pid) + ".json", pid, &records))
      return false;
  }
  for (auto& r : records)
    if (r.hwnd == hwnd) {
      *record = std::move(r);
      return true;
    }
  return false;
}

CommandStatus SendCommand(HWND hwnd, const std::string& command,
                          const std::vector<std::string>& args, int timeoutMs, std::string* reply) {
  Json::Value request(Json::objectValue), answer;
  request["op"] = "command";
  request["hwnd"] = Json::UInt64(reinterpret_cast<uintptr_t>(hwnd));
  request["command"] = command;
  Json::Value list(Json::arrayValue);
  for (auto& a : args) list.append(a);
  request["args"] = list;
  switch (user::Request(user::PidOfHandle(hwnd), request, timeoutMs, &answer)) {
    case user::RequestResult::kOk: {
      int status = answer["status"].asInt();
      *reply = answer["reply"].asString();
      if (status < 0 || status > static_cast<int>(CommandStatus::kTimeout)) return CommandStatus::kFailed;
      return static_cast<CommandStatus>(status);
    }
    case user::RequestResult::kNoProcess:
      *reply = "not found: no window " + FormatHandle(hwnd);
      return CommandStatus::kNotFound;
    case user::RequestResult::kTimeout:
      *reply = "the process owning " + FormatHandle(hwnd) + " did not answer";
      return CommandStatus::kTimeout;
    default:
      *reply = "the process owning " + FormatHandle(hwnd) + " closed the connection";
      return CommandStatus::kFailed;
  }
}

std::string FormatHandle(HWND hwnd) {
  char text[32];
  snprintf(text, sizeof(text), "0x%llx",
           static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(hwnd)));
  return text;
}

bool ParseHandle(const std::string& text, HWND* hwnd) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long value = strtoull(text.c_str(), &end, 0);
  if (errno || !end || *end || text[0] == '-') return false;
  *hwnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(value));
  return true;
}

}  // namespace station
}  // namespace win32

HWND WINAPI GetForegroundWindow() {
  HWND stored = win32::user::ReadForeground();
  if (stored && IsWindow(stored) && IsWindowVisible(stored) && !IsIconic(stored)) return stored;
  // The window that had it is gone, hidden or minimised: the next one in
  // z-order takes over, as when Windows activates another window.
  for (const auto& record : win32::station::Snapshot())
    if (record.visible() && !record.minimized()) return record.hwnd;
  return nullptr;
}
