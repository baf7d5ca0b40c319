// The byte queue between the TLS memory BIOs and the socket: appending,
// consuming, replacing, and the logged refusals of impossible requests.
#include "net/CByteBuffer.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "NetTestUtil.h"

namespace {

using zntest::LogCapture;

// Appends text at the write pointer, as the TLS processor does after a read.
void Append(CByteBuffer& b, const std::string& text) {
  unsigned char* p = nullptr;
  ASSERT_GE(b.WritePtr(&p), text.size());
  std::memcpy(p, text.data(), text.size());
  b.AddSize(uint32_t(text.size()));
}

std::string Contents(const CByteBuffer& b) {
  return std::string(reinterpret_cast<const char*>(b.ReadPtr()), b.Size());
}

TEST(CByteBufferTest, NewBufferIsEmptyWithWholeCapacityFree) {
  CByteBuffer b(16);
  EXPECT_EQ(b.Size(), 0u);
  EXPECT_EQ(b.Capacity(), 16u);
  EXPECT_EQ(b.WritePtr(), 16u);
  EXPECT_FALSE(b.IsFull());

  CByteBuffer none(0);
  EXPECT_EQ(none.Capacity(), 0u);
  EXPECT_EQ(none.WritePtr(), 0u);
  EXPECT_TRUE(none.IsFull());
}

// Each row appends, then removes from the front, and checks what is left and
// how much room the next write has.
TEST(CByteBufferTest, AppendThenRemoveFrontKeepsOrderAndFreeSpace) {
  struct Row {
    const char* name;
    std::vector<std::string> appends;
    std::vector<uint32_t> removes;
    std::string left;
    uint32_t freeSpace;
  };
  const Row rows[] = {
      // The space in front of the data is not reused until the buffer empties.
      {"10 in, 4 out", {"0123456789"}, {4}, "456789", 6},
      {"exact drain restarts at front", {"0123456789"}, {10}, "", 16},
      {"drain in two steps", {"0123456789"}, {4, 6}, "", 16},
      {"append after partial drain", {"0123456789", "ab"}, {3}, "3456789ab", 4},
      {"fill to capacity", {"0123456789abcdef"}, {}, "0123456789abcdef", 0},
      {"remove zero", {"abc"}, {0}, "abc", 13},
      {"interleaved", {"abcd", "efgh"}, {2, 2, 2}, "gh", 8},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    CByteBuffer b(16);
    for (const auto& a : r.appends) Append(b, a);
    for (uint32_t n : r.removes) b.RemoveFront(n);
    EXPECT_EQ(Contents(b), r.left);
    EXPECT_EQ(b.WritePtr(), r.freeSpace);
    EXPECT_EQ(b.IsFull(), r.left.size() == 16);
  }
}

TEST(CByteBufferTest, WritePtrPointsBehindStoredData) {
  CByteBuffer b(16);
  Append(b, "0123456789");
  b.RemoveFront(4);
  unsigned char* p = nullptr;
  b.WritePtr(&p);
  EXPECT_EQ(p, b.ReadPtr() + 6);
}

// Requests that cannot be met are logged under "unnamed" and leave the buffer
// in a consistent state.
TEST(CByteBufferTest, ImpossibleRequestsAreLoggedAndContained) {
  struct Row {
    const char* name;
    std::string before;     // appended first
    uint32_t removeFirst;   // then removed from the front
    enum { kRemove, kCopy, kAdd } op;
    uint32_t n;
    std::string log;        // the expected level-2 line
    std::string after;
    uint32_t freeAfter;
  };
  const Row rows[] = {
      {"remove more than stored", "abcdef", 0, Row::kRemove, 7, "RemoveFront Size[6] < Remove Size[7] ", "", 16},
      {"remove from empty", "", 0, Row::kRemove, 1, "RemoveFront Size[0] < Remove Size[1] ", "", 16},
      {"copy beyond capacity", "abc", 0, Row::kCopy, 17, "CopyFrom Size[17] > capacity[16] ", "abc", 13},
      {"add beyond capacity", "abc", 0, Row::kAdd, 14, "AddSize 14 to origSize[3] > capacity[16]", "abc", 13},
      // Within the capacity but beyond the space behind the start index: the
      // stored size must never reach past the storage.
      {"add beyond space behind start", "0123456789", 8, Row::kAdd, 10, "AddSize 10 to origSize[2] > capacity[16]",
       "89", 6},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    LogCapture log;
    CByteBuffer b(16);
    if (!r.before.empty()) Append(b, r.before);
    b.RemoveFront(r.removeFirst);
    log.Clear();
    const std::string big(r.n, 'z');
    switch (r.op) {
      case Row::kRemove: b.RemoveFront(r.n); break;
      case Row::kCopy: b.CopyFrom(big.data(), r.n); break;
      case Row::kAdd: b.AddSize(r.n); break;
    }
    EXPECT_EQ(log.Count("unnamed", r.log), 1);
    EXPECT_EQ(log.CountLevel("unnamed", 2), 1);
    EXPECT_EQ(Contents(b), r.after);
    EXPECT_EQ(b.WritePtr(), r.freeAfter);
  }
}

TEST(CByteBufferTest, CopyFromReplacesContentsFromTheFront) {
  CByteBuffer b(8);
  Append(b, "abcdef");
  b.RemoveFront(5);  // start index now 5
  b.CopyFrom("12345678", 8);
  EXPECT_EQ(Contents(b), "12345678");
  EXPECT_TRUE(b.IsFull());
  b.CopyFrom("", 0);
  EXPECT_EQ(b.Size(), 0u);
  EXPECT_EQ(b.WritePtr(), 8u);
}

TEST(CByteBufferTest, ResetDropsBytesAndKeepsStorage) {
  CByteBuffer b(8);
  Append(b, "abcd");
  b.RemoveFront(1);
  b.Reset();
  EXPECT_EQ(b.Size(), 0u);
  EXPECT_EQ(b.Capacity(), 8u);
  EXPECT_EQ(b.WritePtr(), 8u);
  Append(b, "12345678");
  EXPECT_EQ(Contents(b), "12345678");
}

}  // namespace
