// The platform's doubly linked list: element count, first node, last node; each
// node holds next, previous and the value. The host list of the client
// interface is znstl::list<zn::strutf8>.
//
// Thread safety: none.
#pragma once

#include "base/znstring.h"

namespace znstl {

template <class T>
class list {
 public:
  struct node {
    node* next;
    node* prev;
    T value;
  };

  class iterator {
   public:
    explicit iterator(node* n = nullptr) : m_pNode(n) {}
    T& operator*() const { return m_pNode->value; }
    T* operator->() const { return &m_pNode->value; }
    iterator& operator++() {
      m_pNode = m_pNode->next;
      return *this;
    }
    bool operator==(const iterator& o) const { return m_pNode == o.m_pNode; }
    bool operator!=(const iterator& o) const { return m_pNode != o.m_pNode; }

   private:
    node* m_pNode;
  };

  list() = default;
  list(const list& other) { *this = other; }
  list& operator=(const list& other) {
    if (this != &other) {
      clear();
      for (node* n = other.m_pFirst; n; n = n->next) push_back(n->value);
    }
    return *this;
  }
  ~list() { clear(); }

  void push_back(const T& v) {
    node* n = new node{nullptr, m_pLast, v};
    if (m_pLast) m_pLast->next = n; else m_pFirst = n;
    m_pLast = n;
    ++m_nCount;
  }
  void push_front(const T& v) {
    node* n = new node{m_pFirst, nullptr, v};
    if (m_pFirst) m_pFirst->prev = n; else m_pLast = n;
    m_pFirst = n;
    ++m_nCount;
  }
  void pop_front() {
    if (!m_pFirst) return;
    node* n = m_pFirst;
    m_pFirst = n->next;
    if (m_pFirst) m_pFirst->prev = nullptr; else m_pLast = nullptr;
    delete n;
    --m_nCount;
  }
  void clear() {
    while (m_pFirst) pop_front();
  }
  uint32_t size() const { return m_nCount; }
  bool empty() const { return m_nCount == 0; }
  T& front() { return m_pFirst->value; }
  const T& front() const { return m_pFirst->value; }
  T& back() { return m_pLast->value; }
  iterator begin() const { return iterator(m_pFirst); }
  iterator end() const { return iterator(nullptr); }

 private:
  uint32_t m_nCount = 0;   // nodes in the list
  node* m_pFirst = nullptr;  // owned chain, null when empty
  node* m_pLast = nullptr;
};

}  // namespace znstl

namespace zn {
typedef znstl::list<zn::strutf8> hostlist;
}
