// znstl::map: insertion with repair, removal by left rotations and splicing,
// bounds, the three iterators, delink, copies, and a randomised comparison
// with std::map.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/znmap.h"

namespace {

typedef znstl::map<unsigned long, unsigned int> Map;
typedef Map::Node Node;
typedef std::vector<unsigned long> Keys;

// "key colour" of every node in pre-order, e.g. "2B 1R 3R".
std::string Shape(const Node* p) {
  if (!p) return "";
  std::string s = std::to_string(p->getKey()) + (p->isRed() ? "R" : "B");
  for (const Node* child : {p->getLeftChild(), p->getRightChild()}) {
    if (child) s += " " + Shape(child);
  }
  return s;
}

void Walk(const Node* p, bool parentFirst, Keys& out) {
  if (!p) return;
  if (parentFirst) out.push_back(p->getKey());
  Walk(p->getLeftChild(), parentFirst, out);
  Walk(p->getRightChild(), parentFirst, out);
  if (!parentFirst) out.push_back(p->getKey());
}

// Checks parent links and search order below p; returns the node count.
size_t CheckLinks(const Node* p, const Node* parent = nullptr, const unsigned long* lo = nullptr,
                  const unsigned long* hi = nullptr) {
  if (!p) return 0;
  EXPECT_EQ(parent, p->getParent()) << p->getKey();
  EXPECT_TRUE(!lo || *lo < p->getKey()) << p->getKey();
  EXPECT_TRUE(!hi || *hi > p->getKey()) << p->getKey();
  return 1 + CheckLinks(p->getLeftChild(), p, lo, &p->getKey()) + CheckLinks(p->getRightChild(), p, &p->getKey(), hi);
}

// Checks the red-black rules below p; returns the black height, or -1.
int BlackHeight(const Node* p) {
  if (!p) return 1;
  for (const Node* child : {p->getLeftChild(), p->getRightChild()}) {
    if (p->isRed() && child && child->isRed()) return -1;
  }
  const int l = BlackHeight(p->getLeftChild());
  const int r = BlackHeight(p->getRightChild());
  if (l < 0 || r < 0 || l != r) return -1;
  return l + (p->isBlack() ? 1 : 0);
}

Keys InOrder(const Map& m) {
  Keys keys;
  for (Map::iterator it = m.begin(); it != m.end(); ++it) keys.push_back(it->getKey());
  return keys;
}

// What the randomised comparison does not reach: the pair insert and its
// iterator, operator[], find, erasing through an iterator, and the links of a
// delinked node.
TEST(ZnMapTest, PairInsertSubscriptIteratorEraseAndDelink) {
  Map m;
  m.set(5, 50);
  std::pair<Map::iterator, bool> r = m.insert(std::pair<unsigned long, unsigned int>(5, 77));
  EXPECT_FALSE(r.second);
  ASSERT_FALSE(r.first.atEnd());
  EXPECT_EQ(50u, r.first->getValue());  // refused: the first value stays
  r = m.insert(std::pair<unsigned long, unsigned int>(6, 60));
  EXPECT_TRUE(r.second);
  EXPECT_EQ(6u, r.first->getKey());
  m.set(7, 70);
  m[8] = 80;
  m[5] += 1;
  EXPECT_EQ(Keys({5, 6, 7, 8}), InOrder(m));
  EXPECT_EQ(51u, m.findnode(5)->getValue());
  EXPECT_EQ(80u, m.findnode(8)->getValue());
  EXPECT_EQ(7u, m.find(7)->getKey());
  EXPECT_TRUE(m.find(9) == m.end());
  EXPECT_EQ(nullptr, m.findnode(9));
  EXPECT_TRUE(m.erase(m.find(6)));
  EXPECT_FALSE(m.erase(m.end()));

  Node* n = m.delink(7);
  ASSERT_NE(nullptr, n);
  EXPECT_EQ(70u, n->getValue());
  EXPECT_EQ(nullptr, n->getParent());
  EXPECT_EQ(nullptr, n->getLeftChild());
  EXPECT_EQ(nullptr, n->getRightChild());
  delete n;  // the caller owns it now; the map must not free it again (ASan)
  EXPECT_EQ(Keys({5, 8}), InOrder(m));
}

// Shapes worked out by hand from the insertion repair and the rotate-and-splice
// removal: any deviation in either shows as a different pre-order.
TEST(ZnMapTest, ShapesAfterInsertAndErase) {
  struct Step {
    bool insert;
    unsigned long key;
    const char* shape;  // pre-order "key colour" after the step
  } steps[] = {
      {true, 1, "1B"},
      {true, 2, "1B 2R"},
      {true, 3, "2B 1R 3R"},
      {true, 4, "2B 1B 3B 4R"},
      {true, 5, "2B 1B 4B 3R 5R"},
      {true, 6, "2B 1B 4R 3B 5B 6R"},
      {true, 7, "2B 1B 4R 3B 6B 5R 7R"},
      {false, 4, "2B 1B 6B 5R 3B 7R"},
      {false, 2, "6B 5R 3B 1B 7R"},
      {false, 6, "7B 5R 3B 1B"},
      {false, 7, "5B 3B 1B"},
      {false, 5, "3B 1B"},
      {false, 1, "3B"},
      {false, 3, ""},
  };
  Map m;
  for (const Step& s : steps) {
    SCOPED_TRACE(testing::Message() << (s.insert ? "insert " : "erase ") << s.key);
    ASSERT_TRUE(s.insert ? m.insert(s.key, 0) : m.erase(s.key));
    EXPECT_EQ(s.shape, Shape(m.getRoot()));
    CheckLinks(m.getRoot());  // the parent links, which the shape does not show
  }
  EXPECT_TRUE(m.empty());
}

TEST(ZnMapTest, IteratorEndsAndOrders) {
  Map m;
  EXPECT_TRUE(m.begin() == m.end());
  EXPECT_TRUE(m.lower_bound(1) == m.end());
  EXPECT_TRUE(m.upper_bound(1) == m.end());
  EXPECT_TRUE(m.getParentFirstiterator().atEnd());
  EXPECT_TRUE(m.getParentLastiterator().atEnd());
  Map::iterator e = m.end();
  EXPECT_TRUE((--e).atEnd());  // nothing to step back to
  m.clear();                   // clearing an empty map does nothing

  for (unsigned long k : {5ul, 1ul, 9ul, 3ul, 7ul}) m.insert(k, 0);
  Map::iterator end = m.end();
  EXPECT_TRUE(++end == m.end());  // incrementing the end stays there
  Keys down;
  for (Map::iterator r = --m.end(); !r.atEnd(); --r) down.push_back(r->getKey());
  EXPECT_EQ(Keys({9, 7, 5, 3, 1}), down);
  Map::iterator g = m.getiterator();
  EXPECT_EQ(1u, g->getKey());
  g.reset(false);
  EXPECT_EQ(9u, g->getKey());
  Map::iterator post = g++;
  EXPECT_EQ(9u, post->getKey());
  EXPECT_TRUE(g.atEnd());

  // Parent-first and parent-last orders through inserts and erases.
  std::mt19937 rng(7);
  for (int round = 0; round < 60; ++round) {
    const unsigned long k = rng() % 40;
    rng() % 3 == 0 ? (void)m.erase(k) : (void)m.insert(k, 0);
    Keys pre, post, gotPre, gotPost;
    Walk(m.getRoot(), true, pre);
    Walk(m.getRoot(), false, post);
    for (Map::ParentFirstiterator it = m.getParentFirstiterator(); !it.atEnd(); ++it) gotPre.push_back(it->getKey());
    for (Map::ParentLastiterator it = m.getParentLastiterator(); !it.atEnd(); ++it) gotPost.push_back(it->getKey());
    ASSERT_EQ(pre, gotPre) << "round " << round;
    ASSERT_EQ(post, gotPost) << "round " << round;
  }
}

TEST(ZnMapTest, CopiesAreDeepAndBalanced) {
  Map a;
  for (unsigned long k = 1; k <= 20; ++k) a.insert(k, static_cast<unsigned int>(k));
  for (unsigned long k = 1; k <= 20; k += 3) a.erase(k);  // unbalances a
  Map b(a);
  EXPECT_EQ(InOrder(a), InOrder(b));
  EXPECT_EQ(a.size(), b.size());
  EXPECT_GT(BlackHeight(b.getRoot()), 0);  // rebuilt by insertion only
  b.set(2, 999);
  EXPECT_EQ(2u, a.findnode(2)->getValue());
  Map c;
  c.insert(500, 1);
  c = a;
  EXPECT_EQ(nullptr, c.findnode(500));
  c = c;
  EXPECT_EQ(InOrder(a), InOrder(c));
}

// Also the only check of lower_bound and upper_bound against a reference.
TEST(ZnMapTest, RandomisedAgainstStdMap) {
  std::mt19937 rng(12345);
  Map m;
  std::map<unsigned long, unsigned int> ref;
  const int kOps = 6000;
  const unsigned long kKeys = 400;
  for (int i = 0; i < kOps; ++i) {
    const unsigned long k = rng() % kKeys;
    const unsigned int v = rng();
    // The first third only inserts, so that the red-black rules can be checked.
    switch ((i < kOps / 3) ? 0 : rng() % 4) {
      case 0:
        ASSERT_EQ(ref.emplace(k, v).second, m.insert(k, v));
        break;
      case 1:
        ref[k] = v;
        m.set(k, v);
        break;
      case 2:
        ASSERT_EQ(ref.erase(k) == 1, m.erase(k));
        break;
      default: {
        Node* n = m.delink(k);
        ASSERT_EQ(ref.erase(k) == 1, n != nullptr);
        delete n;
      }
    }
    ASSERT_EQ(ref.size(), m.size());
    if (i % 97 != 0 && i != kOps / 3 - 1) continue;
    ASSERT_EQ(ref.size(), CheckLinks(m.getRoot()));
    ASSERT_TRUE(i >= kOps / 3 || BlackHeight(m.getRoot()) > 0) << "after insert " << i;
    Keys keys;
    for (const auto& kv : ref) {
      keys.push_back(kv.first);
      const Node* n = m.findnode(kv.first);
      ASSERT_NE(nullptr, n);
      ASSERT_EQ(kv.second, n->getValue());
    }
    ASSERT_EQ(keys, InOrder(m));
    auto refKey = [&](std::map<unsigned long, unsigned int>::iterator it) {
      return it == ref.end() ? -1L : static_cast<long>(it->first);
    };
    auto mapKey = [](Map::iterator it) { return it.atEnd() ? -1L : static_cast<long>(it->getKey()); };
    for (const unsigned long probe : {k, k + 1, static_cast<unsigned long>(rng() % (kKeys + 2))}) {
      ASSERT_EQ(refKey(ref.lower_bound(probe)), mapKey(m.lower_bound(probe))) << probe;
      ASSERT_EQ(refKey(ref.upper_bound(probe)), mapKey(m.upper_bound(probe))) << probe;
    }
  }
  m.clear();
  EXPECT_TRUE(m.empty());
  EXPECT_EQ(0u, m.size());
}

}  // namespace
