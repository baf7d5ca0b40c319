// Thread-safe reference counts and the scope call record.
#include "base/znrefcount.h"

int CRefCountSafe::AddRef() {
  return __atomic_add_fetch(&m_nRef, 1, __ATOMIC_RELAXED);
}

bool CRefCountSafe::Release() {
  if (__atomic_sub_fetch(&m_nRef, 1, __ATOMIC_ACQ_REL) == 0) {
    delete this;
    return true;
  }
  return false;
}

CScopeCall::CScopeCall(CRefCount* holder, void* object, Function fn, CRefCount* arg)
    : m_pObject(object), m_pfn(fn) {
  setHolder(holder);
  setArg(arg);
}

CScopeCall::CScopeCall(const CScopeCall& other)
    : m_pObject(other.m_pObject), m_pfn(other.m_pfn) {
  setHolder(other.m_pHolder);
  setArg(other.m_pArg);
}

CScopeCall& CScopeCall::operator=(const CScopeCall& other) {
  if (this != &other) {
    setHolder(other.m_pHolder);
    setArg(other.m_pArg);
    m_pObject = other.m_pObject;
    m_pfn = other.m_pfn;
  }
  return *this;
}

CScopeCall::~CScopeCall() {
  setArg(nullptr);
  setHolder(nullptr);
}

void CScopeCall::setArg(CRefCount* arg) {
  if (arg) arg->AddRef();
  if (m_pArg) m_pArg->Release();
  m_pArg = arg;
}

void CScopeCall::setHolder(CRefCount* holder) {
  if (holder) holder->AddRef();
  if (m_pHolder) m_pHolder->Release();
  m_pHolder = holder;
}

int CScopeCall::Run() const {
  if (!m_pfn) return 0;
  if (m_pHolder && !m_pHolder->IsValid()) return 0;
  return m_pfn(m_pObject, m_pArg);
}
