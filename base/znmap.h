// znstl::map: an ordered map on a red-black search tree, with in-order,
// parent-first (pre-order) and parent-last (post-order) iterators.
//
// Insertion keeps the red-black rules. Removal rotates the doomed node down to
// the left until it has no right child and splices its left child into its
// place; it repairs no colours, so after removals the tree stays a correct
// search tree but may lose its balance. That is the price of a removal with no
// case analysis; the one user (CZNLockRW) holds a handful of keys.
//
// Thread safety: none. The owner guards a map with a lock when threads share it.
// The map owns its nodes; delink() hands one node's ownership to the caller.
#pragma once

#include <cstdint>
#include <utility>

namespace znstl {

template <class K, class V>
class map;

// One node of the tree. Owned by its map (or by the caller after delink).
template <class K, class V>
class RBTree final {
 public:
  typedef K key_type;
  typedef V value_type;

  RBTree(const K& key, const V& value) : m_key(key), m_value(value) {}
  RBTree(const RBTree&) = delete;
  RBTree& operator=(const RBTree&) = delete;

  const K& getKey() const { return m_key; }
  V& getValue() { return m_value; }
  const V& getValue() const { return m_value; }
  void setValue(const V& value) { m_value = value; }

  RBTree* getLeftChild() const { return m_pLeft; }
  RBTree* getRightChild() const { return m_pRight; }
  RBTree* getParent() const { return m_pParent; }
  bool isRed() const { return m_bRed; }
  bool isBlack() const { return !m_bRed; }
  bool isRoot() const { return m_pParent == nullptr; }
  bool isLeftChild() const { return m_pParent && m_pParent->m_pLeft == this; }
  bool isRightChild() const { return m_pParent && m_pParent->m_pRight == this; }
  bool isLeaf() const { return !m_pLeft && !m_pRight; }

 private:
  friend class map<K, V>;

  void setLeftChild(RBTree* p) {
    m_pLeft = p;
    if (p) p->m_pParent = this;
  }
  void setRightChild(RBTree* p) {
    m_pRight = p;
    if (p) p->m_pParent = this;
  }

  K m_key;
  V m_value;
  RBTree* m_pLeft = nullptr;    // owned through the map; keys below m_key
  RBTree* m_pRight = nullptr;   // owned through the map; keys above m_key
  RBTree* m_pParent = nullptr;  // borrowed; null at the root
  bool m_bRed = true;           // a new node is red
};

template <class K, class V>
class map final {
 public:
  typedef RBTree<K, V> Node;
  typedef K key_type;
  typedef V value_type;

  // In-order traversal. An iterator is (root, current); a null current is the
  // end. Incrementing the end stays at the end; decrementing it gives the
  // largest key.
  class iterator {
   public:
    iterator() = default;
    iterator(Node* root, Node* cur) : m_pRoot(root), m_pCur(cur) {}

    // Back to the smallest key (or, with false, the largest).
    void reset(bool atLowest = true) { m_pCur = atLowest ? Leftmost(m_pRoot) : Rightmost(m_pRoot); }
    bool atEnd() const { return m_pCur == nullptr; }
    Node* getNode() const { return m_pCur; }
    Node& operator*() const { return *m_pCur; }
    Node* operator->() const { return m_pCur; }

    iterator& operator++() {
      if (!m_pCur) return *this;
      if (m_pCur->getRightChild()) {
        m_pCur = Leftmost(m_pCur->getRightChild());
        return *this;
      }
      while (m_pCur->isRightChild()) m_pCur = m_pCur->getParent();
      m_pCur = m_pCur->getParent();
      return *this;
    }
    iterator& operator--() {
      if (!m_pCur) {
        m_pCur = Rightmost(m_pRoot);
        return *this;
      }
      if (m_pCur->getLeftChild()) {
        m_pCur = Rightmost(m_pCur->getLeftChild());
        return *this;
      }
      while (m_pCur->isLeftChild()) m_pCur = m_pCur->getParent();
      m_pCur = m_pCur->getParent();
      return *this;
    }
    iterator operator++(int) {
      iterator old = *this;
      ++*this;
      return old;
    }
    iterator operator--(int) {
      iterator old = *this;
      --*this;
      return old;
    }
    bool operator==(const iterator& other) const { return m_pCur == other.m_pCur; }
    bool operator!=(const iterator& other) const { return m_pCur != other.m_pCur; }

   private:
    Node* m_pRoot = nullptr;  // borrowed; the tree this iterator walks
    Node* m_pCur = nullptr;   // borrowed; null at the end
  };

  // Pre-order traversal: a node, then its left subtree, then its right.
  class ParentFirstiterator {
   public:
    ParentFirstiterator() = default;
    explicit ParentFirstiterator(Node* root) : m_pRoot(root), m_pCur(root) {}

    void reset() { m_pCur = m_pRoot; }
    bool atEnd() const { return m_pCur == nullptr; }
    Node* getNode() const { return m_pCur; }
    Node& operator*() const { return *m_pCur; }
    Node* operator->() const { return m_pCur; }

    ParentFirstiterator& operator++() {
      if (!m_pCur) return *this;
      if (m_pCur->getLeftChild()) {
        m_pCur = m_pCur->getLeftChild();
      } else if (m_pCur->getRightChild()) {
        m_pCur = m_pCur->getRightChild();
      } else {
        // Climb until a left child whose parent has a right subtree to visit.
        while (m_pCur) {
          Node* parent = m_pCur->getParent();
          if (m_pCur->isLeftChild() && parent->getRightChild()) {
            m_pCur = parent->getRightChild();
            break;
          }
          m_pCur = parent;  // null past the root: the end
        }
      }
      return *this;
    }
    bool operator==(const ParentFirstiterator& other) const { return m_pCur == other.m_pCur; }
    bool operator!=(const ParentFirstiterator& other) const { return m_pCur != other.m_pCur; }

   private:
    Node* m_pRoot = nullptr;  // borrowed
    Node* m_pCur = nullptr;   // borrowed; null at the end
  };

  // Post-order traversal: the left subtree, the right subtree, then the node.
  class ParentLastiterator {
   public:
    ParentLastiterator() = default;
    explicit ParentLastiterator(Node* root) : m_pRoot(root), m_pCur(FirstLeaf(root)) {}

    void reset() { m_pCur = FirstLeaf(m_pRoot); }
    bool atEnd() const { return m_pCur == nullptr; }
    Node* getNode() const { return m_pCur; }
    Node& operator*() const { return *m_pCur; }
    Node* operator->() const { return m_pCur; }

    ParentLastiterator& operator++() {
      if (!m_pCur) return *this;
      Node* parent = m_pCur->getParent();
      if (m_pCur->isLeftChild() && parent->getRightChild()) {
        m_pCur = FirstLeaf(parent->getRightChild());
      } else {
        m_pCur = parent;  // null after the root: the end
      }
      return *this;
    }
    bool operator==(const ParentLastiterator& other) const { return m_pCur == other.m_pCur; }
    bool operator!=(const ParentLastiterator& other) const { return m_pCur != other.m_pCur; }

   private:
    // The first leaf below p, going left when possible, else right.
    static Node* FirstLeaf(Node* p) {
      while (p && !p->isLeaf()) p = p->getLeftChild() ? p->getLeftChild() : p->getRightChild();
      return p;
    }
    Node* m_pRoot = nullptr;  // borrowed
    Node* m_pCur = nullptr;   // borrowed; null at the end
  };

  map() = default;
  map(const map& other) { copyFrom(other); }
  map& operator=(const map& other) {
    if (this != &other) {
      clear();
      copyFrom(other);
    }
    return *this;
  }
  ~map() { clear(); }

  // False, and nothing changes, when the key is already present.
  bool insert(const K& key, const V& value) { return insertNode(key, value).second; }
  // The iterator points at the node holding the key (the existing one when the
  // insert was refused).
  std::pair<iterator, bool> insert(const std::pair<K, V>& kv) {
    std::pair<Node*, bool> r = insertNode(kv.first, kv.second);
    return std::pair<iterator, bool>(iterator(m_pRoot, r.first), r.second);
  }
  // Overwrites the value of an existing key, else inserts.
  void set(const K& key, const V& value) {
    std::pair<Node*, bool> r = insertNode(key, value);
    if (!r.second) r.first->setValue(value);
  }
  // An absent key is first inserted with a value-initialised V.
  V& operator[](const K& key) { return insertNode(key, V()).first->getValue(); }

  iterator find(const K& key) const { return iterator(m_pRoot, findnode(key)); }
  Node* findnode(const K& key) const {
    Node* p = m_pRoot;
    while (p) {
      if (key < p->getKey()) {
        p = p->getLeftChild();
      } else if (p->getKey() < key) {
        p = p->getRightChild();
      } else {
        return p;
      }
    }
    return nullptr;
  }
  // The first node whose key is not less than key; the end when none.
  iterator lower_bound(const K& key) const {
    Node* best = nullptr;
    for (Node* p = m_pRoot; p;) {
      if (p->getKey() < key) {
        p = p->getRightChild();
      } else {
        best = p;
        p = p->getLeftChild();
      }
    }
    return iterator(m_pRoot, best);
  }
  // The first node whose key is greater than key; the end when none.
  iterator upper_bound(const K& key) const {
    Node* best = nullptr;
    for (Node* p = m_pRoot; p;) {
      if (key < p->getKey()) {
        best = p;
        p = p->getLeftChild();
      } else {
        p = p->getRightChild();
      }
    }
    return iterator(m_pRoot, best);
  }

  bool erase(const K& key) {
    Node* p = delink(key);
    if (!p) return false;
    delete p;
    return true;
  }
  bool erase(iterator it) { return it.getNode() ? erase(K(it->getKey())) : false; }
  // Unlinks the node of key as erase does and hands it to the caller (who
  // then owns it, its links cleared); null when absent.
  Node* delink(const K& key) {
    Node* p = findnode(key);
    if (!p) return nullptr;
    // Rotate p down to the left until it has no right child.
    while (p->getRightChild()) rotateLeft(p);
    // Splice its left child into its place.
    replaceChild(p, p->getLeftChild());
    p->m_pLeft = nullptr;
    p->m_pRight = nullptr;
    p->m_pParent = nullptr;
    --m_nSize;
    return p;
  }
  // Frees every node, children before parents.
  void clear() {
    Node* p = m_pRoot;
    while (p) {
      if (p->m_pLeft) {
        p = p->m_pLeft;
      } else if (p->m_pRight) {
        p = p->m_pRight;
      } else {
        Node* parent = p->m_pParent;
        if (parent) {
          if (parent->m_pLeft == p) {
            parent->m_pLeft = nullptr;
          } else {
            parent->m_pRight = nullptr;
          }
        }
        delete p;
        p = parent;
      }
    }
    m_pRoot = nullptr;
    m_nSize = 0;
  }

  bool empty() const { return m_pRoot == nullptr; }
  uint32_t size() const { return m_nSize; }
  Node* getRoot() const { return m_pRoot; }
  iterator begin() const { return iterator(m_pRoot, Leftmost(m_pRoot)); }
  iterator end() const { return iterator(m_pRoot, nullptr); }
  iterator getiterator() const { return begin(); }
  ParentFirstiterator getParentFirstiterator() const { return ParentFirstiterator(m_pRoot); }
  ParentLastiterator getParentLastiterator() const { return ParentLastiterator(m_pRoot); }

 private:
  static Node* Leftmost(Node* p) {
    while (p && p->getLeftChild()) p = p->getLeftChild();
    return p;
  }
  static Node* Rightmost(Node* p) {
    while (p && p->getRightChild()) p = p->getRightChild();
    return p;
  }

  void copyFrom(const map& other) {
    for (iterator it = other.begin(); it != other.end(); ++it) insert(it->getKey(), it->getValue());
  }

  // Puts `child` (may be null) where `p` hangs; at the root it turns black.
  void replaceChild(Node* p, Node* child) {
    Node* parent = p->m_pParent;
    if (!parent) {
      m_pRoot = child;
      if (child) {
        child->m_pParent = nullptr;
        child->m_bRed = false;
      }
    } else if (parent->m_pLeft == p) {
      parent->setLeftChild(child);
    } else {
      parent->setRightChild(child);
    }
  }

  // p's right child takes p's place; p becomes its left child and takes over
  // its former left subtree as p's right subtree.
  void rotateLeft(Node* p) {
    Node* r = p->m_pRight;
    p->setRightChild(r->m_pLeft);
    replaceChild(p, r);
    r->setLeftChild(p);
  }
  void rotateRight(Node* p) {
    Node* l = p->m_pLeft;
    p->setLeftChild(l->m_pRight);
    replaceChild(p, l);
    l->setRightChild(p);
  }

  // The node of key and whether it is new.
  std::pair<Node*, bool> insertNode(const K& key, const V& value) {
    Node* parent = nullptr;
    Node* p = m_pRoot;
    bool left = false;
    while (p) {
      parent = p;
      if (key < p->getKey()) {
        p = p->getLeftChild();
        left = true;
      } else if (p->getKey() < key) {
        p = p->getRightChild();
        left = false;
      } else {
        return std::pair<Node*, bool>(p, false);
      }
    }
    Node* fresh = new Node(key, value);
    ++m_nSize;
    if (!parent) {
      fresh->m_bRed = false;
      m_pRoot = fresh;
      return std::pair<Node*, bool>(fresh, true);
    }
    if (left) {
      parent->setLeftChild(fresh);
    } else {
      parent->setRightChild(fresh);
    }
    repairAfterInsert(fresh);
    return std::pair<Node*, bool>(fresh, true);
  }

  void repairAfterInsert(Node* x) {
    while (x != m_pRoot && x->m_pParent->m_bRed) {
      Node* parent = x->m_pParent;
      Node* grand = parent->m_pParent;  // exists: a red parent is never the root
      if (parent == grand->m_pLeft) {
        Node* uncle = grand->m_pRight;
        if (uncle && uncle->m_bRed) {
          parent->m_bRed = false;
          uncle->m_bRed = false;
          grand->m_bRed = true;
          x = grand;
          continue;
        }
        if (x == parent->m_pRight) {
          x = parent;
          rotateLeft(x);
        }
        x->m_pParent->m_bRed = false;
        x->m_pParent->m_pParent->m_bRed = true;
        rotateRight(x->m_pParent->m_pParent);
      } else {
        Node* uncle = grand->m_pLeft;
        if (uncle && uncle->m_bRed) {
          parent->m_bRed = false;
          uncle->m_bRed = false;
          grand->m_bRed = true;
          x = grand;
          continue;
        }
        if (x == parent->m_pLeft) {
          x = parent;
          rotateRight(x);
        }
        x->m_pParent->m_bRed = false;
        x->m_pParent->m_pParent->m_bRed = true;
        rotateLeft(x->m_pParent->m_pParent);
      }
    }
    m_pRoot->m_bRed = false;
  }

  Node* m_pRoot = nullptr;  // owned tree; null when empty; black
  uint32_t m_nSize = 0;     // number of nodes reachable from m_pRoot
};

}  // namespace znstl
