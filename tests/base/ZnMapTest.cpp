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

// "key colour" of every node in pre-order, e.g. "2B 1R 3R".
std::string Shape(const Node* p) {
  if (!p) return "";
  std::string s = std::to_string(p->getKey()) + (p->isRed() ? "R" : "B");
  const std::string l = Shape(p->getLeftChild());
  const std::string r = Shape(p->getRightChild());
  if (!l.empty()) s += " " + l;
  if (!r.empty()) s += " " + r;
  return s;
}

void PreOrder(const Node* p, std::vector<unsigned long>& out) {
  if (!p) return;
  out.push_back(p->getKey());
  PreOrder(p->getLeftChild(), out);
  PreOrder(p->getRightChild(), out);
}

void PostOrder(const Node* p, std::vector<unsigned long>& out) {
  if (!p) return;
  PostOrder(p->getLeftChild(), out);
  PostOrder(p->getRightChild(), out);
  out.push_back(p->getKey());
}

// Checks parent links and search order below p; returns the node count.
size_t CheckLinks(const Node* p, const Node* parent, const unsigned long* lo, const unsigned long* hi) {
  if (!p) return 0;
  EXPECT_EQ(parent, p->getParent()) << p->getKey();
  if (lo) {
    EXPECT_LT(*lo, p->getKey());
  }
  if (hi) {
    EXPECT_GT(*hi, p->getKey());
  }
  return 1 + CheckLinks(p->getLeftChild(), p, lo, &p->getKey()) +
         CheckLinks(p->getRightChild(), p, &p->getKey(), hi);
}

// Checks the red-black rules below p; returns the black height, or -1.
int BlackHeight(const Node* p) {
  if (!p) return 1;
  if (p->isRed()) {
    if ((p->getLeftChild() && p->getLeftChild()->isRed()) || (p->getRightChild() && p->getRightChild()->isRed())) {
      return -1;
    }
  }
  const int l = BlackHeight(p->getLeftChild());
  const int r = BlackHeight(p->getRightChild());
  if (l < 0 || r < 0 || l != r) return -1;
  return l + (p->isBlack() ? 1 : 0);
}

std::vector<unsigned long> InOrder(const Map& m) {
  std::vector<unsigned long> keys;
  for (Map::iterator it = m.begin(); it != m.end(); ++it) keys.push_back(it->getKey());
  return keys;
}

TEST(ZnMapTest, InsertRefusesDuplicatesAndSetOverwrites) {
  Map m;
  EXPECT_TRUE(m.insert(5, 50));
  EXPECT_FALSE(m.insert(5, 99));
  EXPECT_EQ(50u, m.findnode(5)->getValue());
  EXPECT_EQ(1u, m.size());

  std::pair<Map::iterator, bool> r = m.insert(std::pair<unsigned long, unsigned int>(5, 77));
  EXPECT_FALSE(r.second);
  ASSERT_FALSE(r.first.atEnd());
  EXPECT_EQ(5u, r.first->getKey());
  EXPECT_EQ(50u, r.first->getValue());
  r = m.insert(std::pair<unsigned long, unsigned int>(6, 60));
  EXPECT_TRUE(r.second);
  EXPECT_EQ(6u, r.first->getKey());

  m.set(5, 51);
  m.set(7, 70);
  EXPECT_EQ(51u, m.findnode(5)->getValue());
  EXPECT_EQ(70u, m.findnode(7)->getValue());
  m[8] = 80;
  m[5] += 1;
  EXPECT_EQ(80u, m.findnode(8)->getValue());
  EXPECT_EQ(52u, m.findnode(5)->getValue());
  EXPECT_EQ(4u, m.size());
  EXPECT_TRUE(m.find(9) == m.end());
  EXPECT_EQ(nullptr, m.findnode(9));
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
  size_t expectedSize = 0;
  for (const Step& s : steps) {
    if (s.insert) {
      ASSERT_TRUE(m.insert(s.key, static_cast<unsigned int>(s.key * 10)));
      ++expectedSize;
    } else {
      ASSERT_TRUE(m.erase(s.key));
      --expectedSize;
    }
    EXPECT_EQ(s.shape, Shape(m.getRoot())) << (s.insert ? "insert " : "erase ") << s.key;
    EXPECT_EQ(expectedSize, m.size());
    EXPECT_EQ(expectedSize, CheckLinks(m.getRoot(), nullptr, nullptr, nullptr));
  }
  EXPECT_TRUE(m.empty());
  EXPECT_EQ(nullptr, m.getRoot());
}

TEST(ZnMapTest, EraseRootOfThree) {
  Map m;
  m.insert(1, 0);
  m.insert(2, 0);
  m.insert(3, 0);
  EXPECT_EQ("2B 1R 3R", Shape(m.getRoot()));
  EXPECT_TRUE(m.erase(2));
  ASSERT_NE(nullptr, m.getRoot());
  EXPECT_EQ(3u, m.getRoot()->getKey());
  EXPECT_TRUE(m.getRoot()->isBlack());
  ASSERT_NE(nullptr, m.getRoot()->getLeftChild());
  EXPECT_EQ(1u, m.getRoot()->getLeftChild()->getKey());
  EXPECT_EQ(nullptr, m.getRoot()->getRightChild());
  EXPECT_FALSE(m.erase(2));
  EXPECT_TRUE(m.erase(m.find(1)));
  EXPECT_FALSE(m.erase(m.end()));
  EXPECT_EQ(1u, m.size());
}

TEST(ZnMapTest, Bounds) {
  Map m;
  for (unsigned long k : {2ul, 4ul, 6ul}) m.insert(k, 0);
  struct Case {
    unsigned long key;
    long lower;  // -1: the end
    long upper;
  } cases[] = {
      {0, 2, 2}, {2, 2, 4}, {3, 4, 4}, {4, 4, 6}, {5, 6, 6}, {6, 6, -1}, {7, -1, -1},
  };
  for (const Case& c : cases) {
    Map::iterator lo = m.lower_bound(c.key);
    Map::iterator up = m.upper_bound(c.key);
    EXPECT_EQ(c.lower, lo.atEnd() ? -1 : static_cast<long>(lo->getKey())) << "lower_bound " << c.key;
    EXPECT_EQ(c.upper, up.atEnd() ? -1 : static_cast<long>(up->getKey())) << "upper_bound " << c.key;
  }
  Map empty;
  EXPECT_TRUE(empty.lower_bound(1) == empty.end());
  EXPECT_TRUE(empty.upper_bound(1) == empty.end());
}

TEST(ZnMapTest, InOrderIteratorEnds) {
  Map m;
  EXPECT_TRUE(m.begin() == m.end());
  Map::iterator e = m.end();
  --e;
  EXPECT_TRUE(e.atEnd());  // nothing to step back to
  m.clear();               // clearing an empty map does nothing
  EXPECT_FALSE(m.erase(1));

  for (unsigned long k : {5ul, 1ul, 9ul, 3ul, 7ul}) m.insert(k, 0);
  Map::iterator it = m.end();
  --it;
  ASSERT_FALSE(it.atEnd());
  EXPECT_EQ(9u, it->getKey());
  Map::iterator end = m.end();
  ++end;
  EXPECT_TRUE(end == m.end());  // incrementing the end stays there

  std::vector<unsigned long> down;
  for (Map::iterator r = --m.end(); !r.atEnd(); --r) down.push_back(r->getKey());
  EXPECT_EQ((std::vector<unsigned long>{9, 7, 5, 3, 1}), down);
  EXPECT_EQ((std::vector<unsigned long>{1, 3, 5, 7, 9}), InOrder(m));

  Map::iterator g = m.getiterator();
  EXPECT_EQ(1u, g->getKey());
  g.reset(false);
  EXPECT_EQ(9u, g->getKey());
  Map::iterator post = g++;
  EXPECT_EQ(9u, post->getKey());
  EXPECT_TRUE(g.atEnd());
}

TEST(ZnMapTest, DelinkHandsOverTheNode) {
  Map m;
  for (unsigned long k = 1; k <= 10; ++k) m.insert(k, static_cast<unsigned int>(k + 100));
  EXPECT_EQ(nullptr, m.delink(42));
  Node* n = m.delink(4);
  ASSERT_NE(nullptr, n);
  EXPECT_EQ(4u, n->getKey());
  EXPECT_EQ(104u, n->getValue());
  EXPECT_EQ(nullptr, n->getParent());
  EXPECT_EQ(nullptr, n->getLeftChild());
  EXPECT_EQ(nullptr, n->getRightChild());
  delete n;  // the caller owns it now; the map must not free it again
  EXPECT_EQ(9u, m.size());
  EXPECT_EQ(nullptr, m.findnode(4));
  EXPECT_EQ((std::vector<unsigned long>{1, 2, 3, 5, 6, 7, 8, 9, 10}), InOrder(m));
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
  EXPECT_EQ(InOrder(a), InOrder(c));
  EXPECT_EQ(nullptr, c.findnode(500));
  c = c;
  EXPECT_EQ(InOrder(a), InOrder(c));
}

TEST(ZnMapTest, PreAndPostOrderIterators) {
  Map empty;
  EXPECT_TRUE(empty.getParentFirstiterator().atEnd());
  EXPECT_TRUE(empty.getParentLastiterator().atEnd());

  std::mt19937 rng(7);
  Map m;
  for (int round = 0; round < 60; ++round) {
    const unsigned long k = rng() % 40;
    if (rng() % 3 == 0) {
      m.erase(k);
    } else {
      m.insert(k, 0);
    }
    std::vector<unsigned long> pre;
    std::vector<unsigned long> post;
    PreOrder(m.getRoot(), pre);
    PostOrder(m.getRoot(), post);
    std::vector<unsigned long> gotPre;
    std::vector<unsigned long> gotPost;
    for (Map::ParentFirstiterator it = m.getParentFirstiterator(); !it.atEnd(); ++it) gotPre.push_back(it->getKey());
    for (Map::ParentLastiterator it = m.getParentLastiterator(); !it.atEnd(); ++it) gotPost.push_back(it->getKey());
    ASSERT_EQ(pre, gotPre) << "round " << round;
    ASSERT_EQ(post, gotPost) << "round " << round;
  }
}

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
    const unsigned op = (i < kOps / 3) ? 0 : rng() % 4;
    switch (op) {
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
    if (i % 97 == 0 || i == kOps / 3 - 1) {
      ASSERT_EQ(ref.size(), CheckLinks(m.getRoot(), nullptr, nullptr, nullptr));
      if (i < kOps / 3) {
        ASSERT_GT(BlackHeight(m.getRoot()), 0) << "after insert " << i;
      }
      std::vector<unsigned long> keys;
      for (const auto& kv : ref) {
        keys.push_back(kv.first);
        const Node* n = m.findnode(kv.first);
        ASSERT_NE(nullptr, n);
        ASSERT_EQ(kv.second, n->getValue());
      }
      ASSERT_EQ(keys, InOrder(m));
      const unsigned long probe = rng() % (kKeys + 2);
      auto lo = ref.lower_bound(probe);
      auto up = ref.upper_bound(probe);
      Map::iterator mlo = m.lower_bound(probe);
      Map::iterator mup = m.upper_bound(probe);
      ASSERT_EQ(lo == ref.end(), mlo.atEnd());
      ASSERT_EQ(up == ref.end(), mup.atEnd());
      if (lo != ref.end()) {
        ASSERT_EQ(lo->first, mlo->getKey());
      }
      if (up != ref.end()) {
        ASSERT_EQ(up->first, mup->getKey());
      }
    }
  }
  m.clear();
  EXPECT_TRUE(m.empty());
  EXPECT_EQ(0u, m.size());
}

}  // namespace
