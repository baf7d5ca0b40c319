// The byte queue between the TLS memory BIOs and the socket: order and free
// space through appends and removals, and the logged refusals.
#include "net/CByteBuffer.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "NetTestUtil.h"

namespace {

// Appends text at the write pointer, as the TLS processor does after a read.
void Append(CByteBuffer& b, const std::string& text) {
  unsigned char* p = nullptr;
  ASSERT_GE(b.WritePtr(&p), text.size());
  std::memcpy(p, text.data(), text.size());
  b.AddSize(uint32_t(text.size()));
}

std::string Contents(const CByteBuffer& b) { return std::string(reinterpret_cast<const char*>(b.ReadPtr()), b.Size()); }

// Each row appends, removes from the front (or replaces), and checks what is
// left, how much room the next write has, and the one level-2 line when a
// request could not be met.
TEST(CByteBufferTest, AppendRemoveAndReplace) {
  enum Op { kRemove, kCopy, kAdd, kReset };
  struct Row {
    const char* name;
    std::vector<std::string> appends;
    std::vector<std::pair<Op, uint32_t>> ops;
    std::string left;
    uint32_t freeSpace;
    const char* log;  // the expected line under "unnamed", "" for none
    uint32_t capacity = 16;
  };
  const Row rows[] = {
      // The space in front of the data is not reused until the buffer empties.
      {"10 in, 4 out", {"0123456789"}, {{kRemove, 4}}, "456789", 6, ""},
      {"exact drain restarts at the front", {"0123456789"}, {{kRemove, 4}, {kRemove, 6}}, "", 16, ""},
      {"append after a partial drain", {"0123456789", "ab"}, {{kRemove, 3}}, "3456789ab", 4, ""},
      {"fill to capacity", {"0123456789abcdef"}, {}, "0123456789abcdef", 0, ""},
      {"reset keeps the storage", {"abcd"}, {{kRemove, 1}, {kReset, 0}}, "", 16, ""},
      {"replace from the front", {"abcdef"}, {{kRemove, 5}, {kCopy, 16}}, "zzzzzzzzzzzzzzzz", 0, ""},
      {"remove more than stored", {"abcdef"}, {{kRemove, 7}}, "", 16, "RemoveFront Size[6] < Remove Size[7] "},
      {"remove from empty", {}, {{kRemove, 1}}, "", 16, "RemoveFront Size[0] < Remove Size[1] "},
      {"copy beyond capacity", {"abc"}, {{kCopy, 17}}, "abc", 13, "CopyFrom Size[17] > capacity[16] "},
      {"add beyond capacity", {"abc"}, {{kAdd, 14}}, "abc", 13, "AddSize 14 to origSize[3] > capacity[16]"},
      // Within the capacity but past the storage behind the start index.
      {"add past the storage", {"0123456789"}, {{kRemove, 8}, {kAdd, 10}}, "89", 6,
       "AddSize 10 to origSize[2] > capacity[16]"},
      {"no storage", {}, {}, "", 0, "", 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    CByteBuffer b(r.capacity);
    for (const auto& a : r.appends) Append(b, a);
    zntest::LogCapture log;
    const std::string fill(64, 'z');
    for (const auto& op : r.ops) {
      switch (op.first) {
        case kRemove: b.RemoveFront(op.second); break;
        case kCopy: b.CopyFrom(fill.data(), op.second); break;
        case kAdd: b.AddSize(op.second); break;
        case kReset: b.Reset(); break;
      }
    }
    EXPECT_EQ(Contents(b), r.left);
    unsigned char* p = nullptr;
    EXPECT_EQ(b.WritePtr(&p), r.freeSpace);
    EXPECT_TRUE(!r.freeSpace || p == b.ReadPtr() + b.Size());  // writes go right after the stored bytes
    EXPECT_EQ(b.IsFull(), r.left.size() == r.capacity);
    EXPECT_EQ(log.Dump(), *r.log ? std::string("[2] unnamed ") + r.log + "\n" : "");
  }
}

}  // namespace
