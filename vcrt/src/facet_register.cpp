// std::_Facet_Register: the C++ library's headers hand every facet they
// create lazily (the first use of a facet type in a locale) to the module,
// which destroys them when it ends, newest first, releasing the module's
// reference to each.
#include <locale>
#include <mutex>

namespace {

struct FacetNode {
  FacetNode* next;
  std::_Facet_base* facet;
};

// Thread: any (the list is guarded); lives until the module ends.
class FacetList {
 public:
  ~FacetList() {
    while (m_head) {
      FacetNode* node = m_head;
      m_head = node->next;
      delete node->facet->_Decref();
      delete node;
    }
  }
  void Add(std::_Facet_base* facet) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_head = new FacetNode{m_head, facet};
  }

 private:
  std::mutex m_lock;
  FacetNode* m_head = nullptr;
};

FacetList& Facets() {
  static FacetList list;
  return list;
}

}  // namespace

namespace std {
void __cdecl _Facet_Register(_Facet_base* facet) { Facets().Add(facet); }
}  // namespace std
