// Helpers of the message, body and transport tests: memory or refusing
// writers, byte patterns and an allocator that refuses sizes.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/znplatform.h"
#include "base/znstreamwriter.h"
#include "body/BodyAllocator.h"
#include "body/HttpResponseDataWriter.h"
#include "support/TestSha256.h"
#include "support/TestUtil.h"

namespace zn_test {

// A host stream that takes nothing, so the writer refuses every byte.
class RefusingStream final : public IZNStreamWriter {
 public:
  uint64_t Write(const void*, uint32_t) override { return 0; }
};

inline zn::HttpResponseDataWriter* NewWriter(IZNStreamWriter* stream = nullptr) {
  zn::HttpResponseDataWriter* w = new zn::HttpResponseDataWriter();
  EXPECT_TRUE(w->Open(false, nullptr, stream));
  return w;
}

// The bytes a memory writer holds.
inline std::string MemoryOf(zn::HttpResponseDataWriter* w) {
  unsigned char* data = nullptr;
  uint32_t len = 0;
  if (!w || !w->GetBuffer(&data, &len) || !data) return std::string();
  return std::string(reinterpret_cast<char*>(data), len);
}

inline const unsigned char* U(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

using zntest::Pattern;

// A fresh temporary folder, removed with its content.
using TempDir = zntest::ScratchDir;
using zntest::ReadWholeFile;
using zntest::Str;
using zntest::WriteWholeFile;

// Installs an allocator for the body objects that refuses every block larger
// than a limit and records the sizes it grants; restores the C heap when it
// goes. The body objects allocate on the test's thread only.
class LimitedAllocator final {
 public:
  explicit LimitedAllocator(size_t limit) {
    s_limit = limit;
    s_sizes.clear();
    zn::SetBodyAllocator(&LimitedAllocator::Alloc);
  }
  ~LimitedAllocator() { zn::SetBodyAllocator(nullptr); }
  std::vector<size_t> Granted() const { return s_sizes; }

 private:
  static void* Alloc(size_t size) {
    if (size > s_limit) return nullptr;
    s_sizes.push_back(size);
    return std::malloc(size);
  }
  static inline size_t s_limit = 0;
  static inline std::vector<size_t> s_sizes;
};

}  // namespace zn_test
