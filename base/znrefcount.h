// Intrusive reference counts, the scope holder and the scope call.
//
// CRefCount counts on one thread only; CRefCountSafe may be counted from any
// thread. Both start at 1 and delete themselves through the virtual destructor
// when Release brings the count to 0.
//
// CScopeHolder<T> is a counted handle to an object that work queued on another
// thread must be able to reach: the object owns one holder pointing at itself;
// queued work holds a reference to the holder, never to the object. The object's
// destructor clears the holder's target, so queued work that runs later finds
// IsValid() false and does nothing.
#pragma once

#include <atomic>

#include "base/zndef.h"

class ZNBASE_API CRefCount {
 public:
  CRefCount() = default;
  CRefCount(const CRefCount&) = delete;
  CRefCount& operator=(const CRefCount&) = delete;
  virtual ~CRefCount() = default;
  virtual int AddRef() { return ++m_nRef; }
  // True when this call destroyed the object.
  virtual bool Release() {
    if (--m_nRef == 0) {
      delete this;
      return true;
    }
    return false;
  }
  virtual CRefCount* SafeInstance() { return this; }
  virtual bool IsValid() { return true; }
  int RefCount() const { return m_nRef; }

 protected:
  int32_t m_nRef = 1;
};

class ZNBASE_API CRefCountSafe : public CRefCount {
 public:
  int AddRef() override;
  bool Release() override;
};

// T must outlive every call made through target(); the owner guarantees this by
// clearing the target (Invalidate) before it dies.
template <class T, int N = 0, class Base = CRefCountSafe>
class CScopeHolder : public Base {
 public:
  explicit CScopeHolder(T* target) : m_pTarget(target) {}
  CRefCount* SafeInstance() override { return nullptr; }
  bool IsValid() override { return m_pTarget.load(std::memory_order_acquire) != nullptr; }
  T* target() const { return m_pTarget.load(std::memory_order_acquire); }
  void Invalidate() { m_pTarget.store(nullptr, std::memory_order_release); }

 private:
  std::atomic<T*> m_pTarget;  // borrowed; null once the object died
};

// A call record carried to another thread by CZNTaskBase::PushTask. It holds a
// counted reference to the holder and to the argument. When it runs, the
// function is called only while the holder is valid.
class ZNBASE_API CScopeCall {
 public:
  // Runs on the target task's thread; the result is ignored by the platform.
  typedef int (*Function)(void* pObject, CRefCount* pArg);

  CScopeCall() = default;
  CScopeCall(CRefCount* holder, void* object, Function fn, CRefCount* arg);
  CScopeCall(const CScopeCall& other);
  CScopeCall& operator=(const CScopeCall& other);
  ~CScopeCall();

  // Takes a reference to the new argument, then releases the old one.
  void setArg(CRefCount* arg);
  CRefCount* getArg() const { return m_pArg; }
  void setHolder(CRefCount* holder);
  CRefCount* getHolder() const { return m_pHolder; }
  void* getObject() const { return m_pObject; }
  Function getFunction() const { return m_pfn; }

  // Calls the function when the holder is valid (or absent). Returns its
  // result, or 0 when the call was dropped.
  int Run() const;

 private:
  CRefCount* m_pHolder = nullptr;  // counted reference, may be null
  void* m_pObject = nullptr;       // borrowed; reached only through a valid holder
  Function m_pfn = nullptr;
  CRefCount* m_pArg = nullptr;     // counted reference, may be null
  uintptr_t m_nReserved = 0;       // always 0
};
