// The shell's file stream: an IStream over a file handle of the file layer,
// so share modes and the read-only attribute hold for it as for CreateFileW.
#include <atomic>
#include <cstring>
#include <new>

#include <windows.h>
#include <objidl.h>

namespace {

const DWORD kAccessMask = 0x3;
const DWORD kShareMask = 0x70;
const HRESULT kInvalidFlag = static_cast<HRESULT>(0x800300FFL);  // STG_E_INVALIDFLAG

HRESULT LastErrorResult() {
  const DWORD error = GetLastError();
  return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}

class FileStream final : public IStream {
 public:
  FileStream(HANDLE file, DWORD mode) : file_(file), mode_(mode) {}
  // Appended after the interface slots, so callers that see only IStream are unaffected.
  virtual ~FileStream() { CloseHandle(file_); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_ISequentialStream || iid == IID_IStream) {
      *object = static_cast<IStream*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refCount_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refCount_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE Read(void* data, ULONG size, ULONG* read) override {
    if (read) *read = 0;
    if (!data && size) return STG_E_INVALIDPOINTER;
    if ((mode_ & kAccessMask) == STGM_WRITE) return STG_E_ACCESSDENIED;
    DWORD done = 0;
    if (!ReadFile(file_, data, size, &done, nullptr)) return LastErrorResult();
    if (read) *read = done;
    return done < size ? S_FALSE : S_OK;
  }

  HRESULT STDMETHODCALLTYPE Write(const void* data, ULONG size, ULONG* written) override {
    if (written) *written = 0;
    if (!data && size) return STG_E_INVALIDPOINTER;
    if ((mode_ & kAccessMask) == STGM_READ) return STG_E_ACCESSDENIED;
    DWORD done = 0;
    if (!WriteFile(file_, data, size, &done, nullptr)) {
      const DWORD error = GetLastError();
      return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ? STG_E_MEDIUMFULL : LastErrorResult();
    }
    if (written) *written = done;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override {
    if (origin > STREAM_SEEK_END) return STG_E_INVALIDFUNCTION;
    LARGE_INTEGER position;
    position.QuadPart = 0;
    // The stream origins are the file layer's FILE_BEGIN/CURRENT/END.
    if (!SetFilePointerEx(file_, move, &position, origin)) return STG_E_INVALIDFUNCTION;
    if (newPosition) newPosition->QuadPart = static_cast<ULONGLONG>(position.QuadPart);
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER newSize) override {
    if ((mode_ & kAccessMask) == STGM_READ) return STG_E_ACCESSDENIED;
    if (newSize.QuadPart > static_cast<ULONGLONG>(INT64_MAX)) return STG_E_INVALIDFUNCTION;
    LARGE_INTEGER zero, current, target;
    zero.QuadPart = 0;
    if (!SetFilePointerEx(file_, zero, &current, FILE_CURRENT)) return LastErrorResult();
    target.QuadPart = static_cast<LONGLONG>(newSize.QuadPart);
    HRESULT result = S_OK;
    if (!SetFilePointerEx(file_, target, nullptr, FILE_BEGIN) || !SetEndOfFile(file_)) result = LastErrorResult();
    SetFilePointerEx(file_, current, nullptr, FILE_BEGIN);
    return result;
  }

  HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }  // direct mode: nothing pending
  HRESULT STDMETHODCALLTYPE Revert() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }

  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flags) override {
    if (!stat) return STG_E_INVALIDPOINTER;
    // Only the nameless form: nothing here hands out task-allocated names.
    if (flags != STATFLAG_NONAME) return kInvalidFlag;
    LARGE_INTEGER size;
    STATSTG result;
    std::memset(&result, 0, sizeof(result));
    if (!GetFileSizeEx(file_, &size) || !GetFileTime(file_, &result.ctime, &result.atime, &result.mtime)) {
      return LastErrorResult();
    }
    result.type = STGTY_STREAM;
    result.cbSize.QuadPart = static_cast<ULONGLONG>(size.QuadPart);
    result.grfMode = mode_;
    *stat = result;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Clone(IStream** stream) override {
    if (stream) *stream = nullptr;
    return E_NOTIMPL;
  }

 private:
  std::atomic<ULONG> refCount_{1};
  HANDLE file_;
  DWORD mode_;
};

DWORD ShareModeOf(DWORD mode) {
  switch (mode & kShareMask) {
    case STGM_SHARE_EXCLUSIVE: return 0;
    case STGM_SHARE_DENY_WRITE: return FILE_SHARE_READ;
    case STGM_SHARE_DENY_READ: return FILE_SHARE_WRITE;
    default: return FILE_SHARE_READ | FILE_SHARE_WRITE;  // deny-none and the compatibility mode
  }
}

}  // namespace

HRESULT WINAPI SHCreateStreamOnFileEx(LPCWSTR file, DWORD mode, DWORD attributes, BOOL create,
                                      IStream* streamTemplate, IStream** stream) {
  if (!stream) return E_INVALIDARG;
  *stream = nullptr;
  const DWORD access = mode & kAccessMask;
  if (!file || streamTemplate || access > STGM_READWRITE || (mode & (STGM_TRANSACTED | STGM_DELETEONRELEASE))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return E_INVALIDARG;
  }
  const DWORD desired = access == STGM_READ ? GENERIC_READ
                        : access == STGM_WRITE ? GENERIC_WRITE
                                               : GENERIC_READ | GENERIC_WRITE;
  const DWORD disposition = (mode & STGM_CREATE) ? CREATE_ALWAYS : create ? CREATE_NEW : OPEN_EXISTING;
  HANDLE handle = CreateFileW(file, desired, ShareModeOf(mode), nullptr, disposition, attributes, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastErrorResult();
  *stream = new (std::nothrow) FileStream(handle, mode);
  if (!*stream) {
    CloseHandle(handle);
    return E_OUTOFMEMORY;
  }
  return S_OK;
}
