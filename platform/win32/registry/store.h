// The registry database of the machine (<machine>/registry.db) and the open
// key handles of this process. Private to the registry module.
#pragma once
#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>

namespace win32 {
namespace registry {

constexpr int64_t kLocalMachineId = 1;
constexpr int64_t kCurrentUserId = 2;
constexpr DWORD kAllAccess = 0xFFFFFFFFu;

// Thrown by the statements on an unexpected SQLite result; the API entry
// points turn it into a Win32 error.
struct StoreError {
  int code;
};

class Statement {
 public:
  Statement(sqlite3* db, const char* sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, int64_t value);
  Statement& Bind(int index, const std::string& text);
  Statement& BindBlob(int index, const void* data, size_t size);
  // True while a row is available.
  bool Step();
  void Run();  // a statement without result rows
  int64_t Int(int column) const;
  std::string Text(int column) const;
  std::vector<BYTE> Blob(int column) const;

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

struct KeyRow {
  int64_t id = 0;
  int64_t parent = 0;
  std::wstring name;
  DWORD allowed = kAllAccess;
  int64_t lastWrite = 0;  // FILETIME ticks
};

struct ValueRow {
  std::wstring name;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

// One call's use of the database: the process-wide lock, the connection
// (opened lazily, reopened when the machine directory changes) and one
// transaction, rolled back unless committed.
class Session {
 public:
  explicit Session(bool write);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void Commit();
  // Identity of the database this session works on; handles remember it.
  uint64_t Generation() const { return generation_; }

  std::optional<KeyRow> Key(int64_t id);
  std::optional<KeyRow> Child(int64_t parent, const std::wstring& name);
  int64_t CreateChild(int64_t parent, const std::wstring& name);
  void DeleteKey(int64_t id);
  void SetAllowed(int64_t id, DWORD allowed);
  void Touch(int64_t id);
  int64_t SubKeyCount(int64_t id);
  size_t MaxSubKeyLength(int64_t id);
  std::optional<KeyRow> SubKeyAt(int64_t id, int64_t index);

  std::optional<ValueRow> Value(int64_t key, const std::wstring& name);
  void SetValue(int64_t key, const std::wstring& name, DWORD type, const BYTE* data, size_t size);
  bool DeleteValue(int64_t key, const std::wstring& name);
  int64_t ValueCount(int64_t key);
  size_t MaxValueNameLength(int64_t key);
  size_t MaxValueSize(int64_t key);
  std::optional<ValueRow> ValueAt(int64_t key, int64_t index);

 private:
  // The one number that `sql` selects for the key `id` (bound as ?1).
  int64_t Scalar(const char* sql, int64_t id);

  std::unique_lock<std::mutex> lock_;
  sqlite3* db_ = nullptr;
  uint64_t generation_ = 0;
  bool open_ = false;
};

// Splits a sub-key path at backslashes. One trailing backslash is allowed;
// a leading one or an empty name in between is not.
bool SplitKeyPath(const wchar_t* path, std::vector<std::wstring>* names);

// Copies an enumerated name into a buffer of *length characters; on success
// *length becomes the name's length without the terminator.
bool CopyName(const std::wstring& name, LPWSTR buffer, LPDWORD length);

// Grants `requested` (generic rights mapped, WOW64 view bits dropped) when
// the key allows it.
LSTATUS GrantAccess(REGSAM requested, DWORD allowed, REGSAM* granted);

// Current time as FILETIME ticks.
int64_t NowFileTime();
void ToFileTime(int64_t ticks, FILETIME* out);

// Handles of open keys. The predefined roots are always valid with full
// access; other handles belong to the database generation they came from.
struct KeyHandle {
  int64_t id = 0;
  REGSAM granted = 0;
  uint64_t generation = 0;
  bool predefined = false;
};
HKEY NewKeyHandle(const KeyHandle& key);
bool LookupKeyHandle(HKEY handle, KeyHandle* key);
bool ReleaseKeyHandle(HKEY handle);

// The key behind `handle`, checked: ERROR_INVALID_HANDLE for an unknown
// handle, ERROR_KEY_DELETED when the key is gone, ERROR_ACCESS_DENIED when
// the handle lacks `need`.
LSTATUS ResolveHandle(Session& session, HKEY handle, REGSAM need, KeyHandle* key);

// Runs one API call, turning store failures into ERROR_REGISTRY_IO_FAILED.
template <class F>
LSTATUS Guarded(F&& body) {
  try {
    return body();
  } catch (const StoreError&) {
    return ERROR_REGISTRY_IO_FAILED;
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
}

}  // namespace registry
}  // namespace win32
