// Delegates and event sources: a control's OnNotify calls every delegate
// added to it with the notification (a TNotifyUI*) as its parameter.
#pragma once
#include <vector>
#include <duilib/dui_base.h>

namespace DuiLib {

class UILIB_API CDelegateBase {
 public:
  // fnBytes/fnSize: the bytes of the function pointer, which identify it.
  CDelegateBase(void* object, const void* fnBytes, size_t fnSize);
  CDelegateBase(const CDelegateBase& src);
  virtual ~CDelegateBase();
  bool Equals(const CDelegateBase& other) const;
  bool operator()(void* param);
  virtual CDelegateBase* Copy() const = 0;

 protected:
  virtual bool Invoke(void* param) = 0;

 private:
  void* objectKey_;
  unsigned char fnKey_[2 * sizeof(void*)];
};

// A free function bool (*)(void*).
class CDelegateStatic : public CDelegateBase {
  typedef bool (*Fn)(void*);

 public:
  explicit CDelegateStatic(Fn fn) : CDelegateBase(nullptr, &fn, sizeof(fn)), fn_(fn) {}
  CDelegateBase* Copy() const override { return new CDelegateStatic(*this); }

 protected:
  bool Invoke(void* param) override { return fn_(param); }

 private:
  Fn fn_;
};

// A member function bool (T::*)(void*) of an object.
template <class O, class T>
class CDelegate : public CDelegateBase {
  typedef bool (T::*Fn)(void*);

 public:
  CDelegate(O* object, Fn fn)
      : CDelegateBase(static_cast<T*>(object), &fn, sizeof(fn)), object_(object), fn_(fn) {}
  CDelegateBase* Copy() const override { return new CDelegate(*this); }

 protected:
  bool Invoke(void* param) override { return (static_cast<T*>(object_)->*fn_)(param); }

 private:
  O* object_;
  Fn fn_;
};

template <class O, class T>
CDelegate<O, T> MakeDelegate(O* object, bool (T::*fn)(void*)) {
  return CDelegate<O, T>(object, fn);
}

inline CDelegateStatic MakeDelegate(bool (*fn)(void*)) { return CDelegateStatic(fn); }

class UILIB_API CEventSource {
  typedef bool (*FnType)(void*);

 public:
  CEventSource() = default;
  CEventSource(const CEventSource&) = delete;
  CEventSource& operator=(const CEventSource&) = delete;
  ~CEventSource();
  operator bool() const;
  void operator+=(const CDelegateBase& d);
  void operator+=(FnType fn);
  void operator-=(const CDelegateBase& d);
  void operator-=(FnType fn);
  // Calls every delegate in the order added; false as soon as one returns false.
  bool operator()(void* param);

 private:
  std::vector<CDelegateBase*> delegates_;
};

}  // namespace DuiLib
