#include <duilib/dui_delegate.h>

#include <algorithm>
#include <cstring>

namespace DuiLib {

CDelegateBase::CDelegateBase(void* object, const void* fnBytes, size_t fnSize) : objectKey_(object) {
  std::memset(fnKey_, 0, sizeof(fnKey_));
  std::memcpy(fnKey_, fnBytes, std::min(fnSize, sizeof(fnKey_)));
}

CDelegateBase::CDelegateBase(const CDelegateBase& src) : objectKey_(src.objectKey_) {
  std::memcpy(fnKey_, src.fnKey_, sizeof(fnKey_));
}

CDelegateBase::~CDelegateBase() = default;

bool CDelegateBase::Equals(const CDelegateBase& other) const {
  return objectKey_ == other.objectKey_ && std::memcmp(fnKey_, other.fnKey_, sizeof(fnKey_)) == 0;
}

bool CDelegateBase::operator()(void* param) { return Invoke(param); }

CEventSource::~CEventSource() {
  for (CDelegateBase* d : delegates_) delete d;
}

CEventSource::operator bool() const { return !delegates_.empty(); }

void CEventSource::operator+=(const CDelegateBase& d) {
  for (CDelegateBase* existing : delegates_) {
    if (existing->Equals(d)) return;
  }
  delegates_.push_back(d.Copy());
}

void CEventSource::operator+=(FnType fn) { *this += CDelegateStatic(fn); }

void CEventSource::operator-=(const CDelegateBase& d) {
  for (auto it = delegates_.begin(); it != delegates_.end(); ++it) {
    if ((*it)->Equals(d)) {
      delete *it;
      delegates_.erase(it);
      return;
    }
  }
}

void CEventSource::operator-=(FnType fn) { *this -= CDelegateStatic(fn); }

bool CEventSource::operator()(void* param) {
  // A delegate may add or remove delegates: call a snapshot of copies.
  std::vector<CDelegateBase*> snapshot;
  for (CDelegateBase* d : delegates_) snapshot.push_back(d->Copy());
  bool result = true;
  for (CDelegateBase* d : snapshot) {
    if (result && !(*d)(param)) result = false;
  }
  for (CDelegateBase* d : snapshot) delete d;
  return result;
}

}  // namespace DuiLib
