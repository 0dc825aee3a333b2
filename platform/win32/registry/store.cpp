#include "store.h"

#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <new>
#include <thread>
#include <unordered_map>

#include "internal/machine.h"
#include "internal/unicode.h"

namespace win32 {
namespace registry {
namespace {

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS keys("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  parent INTEGER NOT NULL,"
    "  name TEXT NOT NULL,"
    "  folded TEXT NOT NULL,"
    "  allowed_access INTEGER NOT NULL DEFAULT 4294967295,"
    "  last_write INTEGER NOT NULL DEFAULT 0,"
    "  UNIQUE(parent, folded));"
    "CREATE TABLE IF NOT EXISTS key_values("
    "  key INTEGER NOT NULL,"
    "  seq INTEGER NOT NULL,"
    "  name TEXT NOT NULL,"
    "  folded TEXT NOT NULL,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY(key, folded));"
    "INSERT OR IGNORE INTO keys(id, parent, name, folded) VALUES"
    "  (1, 0, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE'),"
    "  (2, 0, 'HKEY_CURRENT_USER', 'HKEY_CURRENT_USER');";

const char kKeyColumns[] = "SELECT id, parent, name, allowed_access, last_write FROM keys ";
const char kValueColumns[] = "SELECT name, type, data FROM key_values ";

// The process's connection. Never destroyed: registry calls may run from
// at-exit code of other modules.
struct Connection {
  std::mutex mutex;
  sqlite3* db = nullptr;
  std::string path;
  dev_t dev = 0;
  ino_t ino = 0;
  pid_t pid = 0;
  uint64_t generation = 0;
};

Connection& TheConnection();

// SQLite's lock bookkeeping must not be inherited by a forked child, or the
// child's locks would look held when they are not: the connection is closed
// before every fork and reopened lazily on both sides.
void BeforeFork() {
  Connection& c = TheConnection();
  c.mutex.lock();
  if (c.db && c.pid == getpid()) sqlite3_close_v2(c.db);
  c.db = nullptr;
}
void AfterForkInParent() { TheConnection().mutex.unlock(); }
void AfterForkInChild() {
  // The lock belongs to the parent's thread; the child starts with a fresh one.
  new (&TheConnection().mutex) std::mutex();
}

Connection& TheConnection() {
  static Connection* connection = [] {
    pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild);
    return new Connection();
  }();
  return *connection;
}

// Runs SQL, waiting out the moments in which another process holds a lock
// that the busy handler does not cover (journal mode switch, WAL recovery).
int ExecWithRetry(sqlite3* db, const char* sql) {
  int rc = SQLITE_OK;
  for (int attempt = 0; attempt < 200; ++attempt) {
    rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if ((rc & 0xFF) != SQLITE_BUSY && (rc & 0xFF) != SQLITE_LOCKED) return rc;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return rc;
}

sqlite3* OpenDatabase(const std::string& path) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close_v2(db);
    return nullptr;
  }
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, 30000);
  // WAL lets readers and one writer of different processes work side by side;
  // FULL makes every committed change durable before the call returns.
  if (ExecWithRetry(db, "PRAGMA journal_mode=WAL") != SQLITE_OK ||
      ExecWithRetry(db, "PRAGMA synchronous=FULL") != SQLITE_OK) {
    sqlite3_close_v2(db);
    return nullptr;
  }
  if (ExecWithRetry(db, "BEGIN IMMEDIATE") != SQLITE_OK) {
    sqlite3_close_v2(db);
    return nullptr;
  }
  if (sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close_v2(db);
    return nullptr;
  }
  return db;
}

// The connection for the current machine directory, (re)opened as needed.
sqlite3* Acquire(Connection& c) {
  std::string path = MachineDir() + "/registry.db";
  struct stat st {};
  bool exists = stat(path.c_str(), &st) == 0;
  if (c.db && c.pid != getpid()) c.db = nullptr;  // inherited past the fork hooks: not ours
  bool same = exists && c.path == path && st.st_dev == c.dev && st.st_ino == c.ino;
  if (c.db && !same) {
    sqlite3_close_v2(c.db);
    c.db = nullptr;
  }
  if (c.db) return c.db;
  sqlite3* db = OpenDatabase(path);
  if (!db || stat(path.c_str(), &st) != 0) {
    if (db) sqlite3_close_v2(db);
    throw StoreError{SQLITE_CANTOPEN};
  }
  // Handles stay valid while the database is the same file.
  if (!(c.path == path && st.st_dev == c.dev && st.st_ino == c.ino)) ++c.generation;
  c.db = db;
  c.path = path;
  c.dev = st.st_dev;
  c.ino = st.st_ino;
  c.pid = getpid();
  return db;
}

std::string Folded(const std::wstring& name) {
  std::wstring folded(name);
  for (wchar_t& ch : folded) ch = FoldCase(ch);
  return WideToUtf8(folded);
}

KeyRow ReadKeyRow(const Statement& st) {
  KeyRow row;
  row.id = st.Int(0);
  row.parent = st.Int(1);
  row.name = Utf8ToWide(st.Text(2));
  row.allowed = static_cast<DWORD>(st.Int(3));
  row.lastWrite = st.Int(4);
  return row;
}

std::optional<KeyRow> OneKey(Statement& st) {
  if (!st.Step()) return std::nullopt;
  return ReadKeyRow(st);
}

std::optional<ValueRow> OneValue(Statement& st) {
  if (!st.Step()) return std::nullopt;
  ValueRow row;
  row.name = Utf8ToWide(st.Text(0));
  row.type = static_cast<DWORD>(st.Int(1));
  row.data = st.Blob(2);
  return row;
}

int64_t OneInt(Statement& st) { return st.Step() ? st.Int(0) : 0; }

// Open key handles live far from the kernel handles' numbers.
std::mutex g_handleMutex;
std::unordered_map<uintptr_t, KeyHandle>& HandleTable() {
  static auto* table = new std::unordered_map<uintptr_t, KeyHandle>();
  return *table;
}
uintptr_t g_nextHandle = 0x7F000000;

bool PredefinedId(HKEY handle, int64_t* id) {
  if (handle == HKEY_LOCAL_MACHINE) {
    *id = kLocalMachineId;
    return true;
  }
  if (handle == HKEY_CURRENT_USER) {
    *id = kCurrentUserId;
    return true;
  }
  return false;
}

}  // namespace

Statement::Statement(sqlite3* db, const char* sql) : db_(db) {
  int rc = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
  if (rc != SQLITE_OK) throw StoreError{rc};
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

Statement& Statement::Bind(int index, int64_t value) {
  int rc = sqlite3_bind_int64(stmt_, index, value);
  if (rc != SQLITE_OK) throw StoreError{rc};
  return *this;
}

Statement& Statement::Bind(int index, const std::string& text) {
  int rc = sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                             SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) throw StoreError{rc};
  return *this;
}

Statement& Statement::BindBlob(int index, const void* data, size_t size) {
  // A zero-length blob needs a non-null pointer, or SQLite stores NULL.
  static const char kEmpty = 0;
  int rc = sqlite3_bind_blob64(stmt_, index, size ? data : &kEmpty, size, SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) throw StoreError{rc};
  return *this;
}

bool Statement::Step() {
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  throw StoreError{rc};
}

void Statement::Run() {
  while (Step()) {
  }
}

int64_t Statement::Int(int column) const { return sqlite3_column_int64(stmt_, column); }

std::string Statement::Text(int column) const {
  const unsigned char* text = sqlite3_column_text(stmt_, column);
  int size = sqlite3_column_bytes(stmt_, column);
  return text ? std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(size))
              : std::string();
}

std::vector<BYTE> Statement::Blob(int column) const {
  const BYTE* data = static_cast<const BYTE*>(sqlite3_column_blob(stmt_, column));
  int size = sqlite3_column_bytes(stmt_, column);
  return data ? std::vector<BYTE>(data, data + size) : std::vector<BYTE>();
}

Session::Session(bool write) : lock_(TheConnection().mutex) {
  Connection& c = TheConnection();
  db_ = Acquire(c);
  generation_ = c.generation;
  int rc = write ? ExecWithRetry(db_, "BEGIN IMMEDIATE") : ExecWithRetry(db_, "BEGIN");
  if (rc != SQLITE_OK) throw StoreError{rc};
  open_ = true;
}

Session::~Session() {
  if (open_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

void Session::Commit() {
  int rc = ExecWithRetry(db_, "COMMIT");
  if (rc != SQLITE_OK) throw StoreError{rc};
  open_ = false;
}

int64_t Session::Scalar(const char* sql, int64_t id) {
  Statement st(db_, sql);
  st.Bind(1, id);
  return OneInt(st);
}

std::optional<KeyRow> Session::Key(int64_t id) {
  Statement st(db_, (std::string(kKeyColumns) + "WHERE id = ?1").c_str());
  st.Bind(1, id);
  return OneKey(st);
}

std::optional<KeyRow> Session::Child(int64_t parent, const std::wstring& name) {
  Statement st(db_, (std::string(kKeyColumns) + "WHERE parent = ?1 AND folded = ?2").c_str());
  st.Bind(1, parent).Bind(2, Folded(name));
  return OneKey(st);
}

int64_t Session::CreateChild(int64_t parent, const std::wstring& name) {
  Statement st(db_, "INSERT INTO keys(parent, name, folded, last_write) VALUES(?1, ?2, ?3, ?4)");
  st.Bind(1, parent).Bind(2, WideToUtf8(name)).Bind(3, Folded(name)).Bind(4, NowFileTime());
  st.Run();
  return sqlite3_last_insert_rowid(db_);
}

void Session::DeleteKey(int64_t id) {
  Statement values(db_, "DELETE FROM key_values WHERE key = ?1");
  values.Bind(1, id).Run();
  Statement key(db_, "DELETE FROM keys WHERE id = ?1");
  key.Bind(1, id).Run();
}

void Session::SetAllowed(int64_t id, DWORD allowed) {
  Statement st(db_, "UPDATE keys SET allowed_access = ?2 WHERE id = ?1");
  st.Bind(1, id).Bind(2, static_cast<int64_t>(allowed)).Run();
}

void Session::Touch(int64_t id) {
  Statement st(db_, "UPDATE keys SET last_write = ?2 WHERE id = ?1");
  st.Bind(1, id).Bind(2, NowFileTime()).Run();
}

int64_t Session::SubKeyCount(int64_t id) {
  return Scalar("SELECT COUNT(*) FROM keys WHERE parent = ?1", id);
}

size_t Session::MaxSubKeyLength(int64_t id) {
  return static_cast<size_t>(
      Scalar("SELECT COALESCE(MAX(length(name)), 0) FROM keys WHERE parent = ?1", id));
}

std::optional<KeyRow> Session::SubKeyAt(int64_t id, int64_t index) {
  Statement st(db_, (std::string(kKeyColumns) +
                     "WHERE parent = ?1 ORDER BY folded LIMIT 1 OFFSET ?2").c_str());
  st.Bind(1, id).Bind(2, index);
  return OneKey(st);
}

std::optional<ValueRow> Session::Value(int64_t key, const std::wstring& name) {
  Statement st(db_, (std::string(kValueColumns) + "WHERE key = ?1 AND folded = ?2").c_str());
  st.Bind(1, key).Bind(2, Folded(name));
  return OneValue(st);
}

void Session::SetValue(int64_t key, const std::wstring& name, DWORD type, const BYTE* data,
                       size_t size) {
  // A value that is set again keeps its name and its place in the enumeration.
  Statement st(db_,
               "INSERT INTO key_values(key, seq, name, folded, type, data) VALUES(?1, "
               "(SELECT COALESCE(MAX(seq), 0) + 1 FROM key_values WHERE key = ?1), ?2, ?3, ?4, ?5) "
               "ON CONFLICT(key, folded) DO UPDATE SET type = excluded.type, data = excluded.data");
  st.Bind(1, key).Bind(2, WideToUtf8(name)).Bind(3, Folded(name)).Bind(4, static_cast<int64_t>(type));
  st.BindBlob(5, data, size);
  st.Run();
}

bool Session::DeleteValue(int64_t key, const std::wstring& name) {
  Statement st(db_, "DELETE FROM key_values WHERE key = ?1 AND folded = ?2");
  st.Bind(1, key).Bind(2, Folded(name)).Run();
  return sqlite3_changes(db_) > 0;
}

int64_t Session::ValueCount(int64_t key) {
  return Scalar("SELECT COUNT(*) FROM key_values WHERE key = ?1", key);
}

size_t Session::MaxValueNameLength(int64_t key) {
  return static_cast<size_t>(
      Scalar("SELECT COALESCE(MAX(length(name)), 0) FROM key_values WHERE key = ?1", key));
}

size_t Session::MaxValueSize(int64_t key) {
  return static_cast<size_t>(
      Scalar("SELECT COALESCE(MAX(length(data)), 0) FROM key_values WHERE key = ?1", key));
}

std::optional<ValueRow> Session::ValueAt(int64_t key, int64_t index) {
  Statement st(db_, (std::string(kValueColumns) +
                     "WHERE key = ?1 ORDER BY seq LIMIT 1 OFFSET ?2").c_str());
  st.Bind(1, key).Bind(2, index);
  return OneValue(st);
}

bool SplitKeyPath(const wchar_t* path, std::vector<std::wstring>* names) {
  names->clear();
  if (!path || !*path) return true;
  std::wstring text(path);
  if (text.back() == L'\\') text.pop_back();
  if (text.empty()) return true;
  size_t start = 0;
  while (true) {
    size_t end = text.find(L'\\', start);
    std::wstring name = text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    if (name.empty()) return false;
    names->push_back(name);
    if (end == std::wstring::npos) return true;
    start = end + 1;
  }
}

bool CopyName(const std::wstring& name, LPWSTR buffer, LPDWORD length) {
  if (name.size() + 1 > *length) return false;
  std::memcpy(buffer, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
  *length = static_cast<DWORD>(name.size());
  return true;
}

LSTATUS GrantAccess(REGSAM requested, DWORD allowed, REGSAM* granted) {
  REGSAM wanted = requested & ~static_cast<REGSAM>(KEY_WOW64_RES | GENERIC_READ | GENERIC_WRITE |
                                                   GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (requested & GENERIC_READ) wanted |= KEY_READ;
  if (requested & GENERIC_WRITE) wanted |= KEY_WRITE;
  if (requested & GENERIC_EXECUTE) wanted |= KEY_EXECUTE;
  if (requested & GENERIC_ALL) wanted |= KEY_ALL_ACCESS;
  if (requested & MAXIMUM_ALLOWED) wanted |= allowed & KEY_ALL_ACCESS;
  if (wanted & ~allowed) return ERROR_ACCESS_DENIED;
  *granted = wanted;
  return ERROR_SUCCESS;
}

int64_t NowFileTime() {
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  constexpr int64_t kEpochDifference = 116444736000000000LL;  // 1601 -> 1970 in 100 ns
  return kEpochDifference + static_cast<int64_t>(ts.tv_sec) * 10000000LL + ts.tv_nsec / 100;
}

void ToFileTime(int64_t ticks, FILETIME* out) {
  out->dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) & 0xFFFFFFFFu);
  out->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
}

HKEY NewKeyHandle(const KeyHandle& key) {
  std::lock_guard<std::mutex> lock(g_handleMutex);
  uintptr_t value = g_nextHandle;
  g_nextHandle += 4;
  HandleTable()[value] = key;
  return reinterpret_cast<HKEY>(value);
}

bool LookupKeyHandle(HKEY handle, KeyHandle* key) {
  int64_t id = 0;
  if (PredefinedId(handle, &id)) {
    *key = KeyHandle{id, KEY_ALL_ACCESS, 0, true};
    return true;
  }
  std::lock_guard<std::mutex> lock(g_handleMutex);
  auto it = HandleTable().find(reinterpret_cast<uintptr_t>(handle));
  if (it == HandleTable().end()) return false;
  *key = it->second;
  return true;
}

bool ReleaseKeyHandle(HKEY handle) {
  std::lock_guard<std::mutex> lock(g_handleMutex);
  return HandleTable().erase(reinterpret_cast<uintptr_t>(handle)) > 0;
}

LSTATUS ResolveHandle(Session& session, HKEY handle, REGSAM need, KeyHandle* key) {
  if (!LookupKeyHandle(handle, key)) return ERROR_INVALID_HANDLE;
  if (!key->predefined && key->generation != session.Generation()) return ERROR_INVALID_HANDLE;
  if (!session.Key(key->id)) return ERROR_KEY_DELETED;
  if (need & ~key->granted) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

}  // namespace registry
}  // namespace win32
