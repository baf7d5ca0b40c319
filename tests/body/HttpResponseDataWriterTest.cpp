#include "body/HttpResponseDataWriter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "BodyTestSupport.h"
#include "body/ZnRequestId.h"

namespace {

using zn::HttpResponseDataWriter;
using zntest::LimitedAllocator;
using zntest::LogCapture;
using zntest::Pattern;
using zntest::ReadWholeFile;
using zntest::TempDir;
using zntest::WriteWholeFile;

const char kTag[] = "Http.DataWriter";

uint64_t DiskSize(const std::string& path) {
  std::error_code ec;
  const auto n = std::filesystem::file_size(path, ec);
  return ec ? 0 : static_cast<uint64_t>(n);
}

std::vector<unsigned char> Concat(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b) {
  std::vector<unsigned char> r(a);
  r.insert(r.end(), b.begin(), b.end());
  return r;
}

TEST(HttpResponseDataWriterTest, FileStaysEmptyUntilFlushWhileSizeCountsTheCache) {
  TempDir dir;
  ASSERT_TRUE(dir.Ok());
  LogCapture log;
  zn::g_qwHttpRequestId.store(41);
  const std::string path = dir.File("body.bin");
  const std::vector<unsigned char> data = Pattern(300);
  {
    HttpResponseDataWriter w;
    ASSERT_TRUE(w.Open(true, path.c_str(), nullptr));
    EXPECT_TRUE(log.WaitFor(kTag, 4, "Id[41] HttpResponseDataWriter Open File [" + path + "]")) << log.Dump();
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(w.Write(data.data() + i * 100, 100));
      EXPECT_EQ(w.GetDownloadedSize(), static_cast<uint64_t>((i + 1) * 100));
      EXPECT_EQ(DiskSize(path), 0u) << "after write " << i;
    }
    EXPECT_TRUE(log.WaitFor(kTag, 3, "Id[41] m_dwFileCacheBufLen =[512000]")) << log.Dump();
    ASSERT_TRUE(w.Flush());
    EXPECT_EQ(w.GetDownloadedSize(), 300u);
    EXPECT_EQ(ReadWholeFile(path), data);
    // A second flush with nothing cached writes nothing more.
    EXPECT_TRUE(w.Flush());
    EXPECT_TRUE(w.CloseFile());
  }
  EXPECT_EQ(ReadWholeFile(path), data);
  zn::g_qwHttpRequestId.store(0);
}

// A piece that does not fit behind the cached bytes drains the cache first and
// then goes straight to the file; a piece that fits exactly stays cached.
TEST(HttpResponseDataWriterTest, PieceLargerThanTheCacheLandsAfterTheCachedBytes) {
  struct Case {
    size_t allocLimit;  // largest cache the allocator grants
    uint32_t cached;    // first piece, fits the cache
    uint32_t piece;     // second piece
    bool spills;        // the second piece does not fit behind the first
  };
  const Case cases[] = {
      {1u << 30, 100, 600000, true},   // the full 512000-byte cache
      {1u << 30, 100, 511900, false},  // exactly full
      {1u << 30, 100, 511901, true},
      {10240, 100, 10241, true},       // the smallest cache
      {10240, 10000, 240, false},
      {10240, 10000, 241, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.allocLimit) + "/" + std::to_string(c.cached) + "/" + std::to_string(c.piece));
    TempDir dir;
    LimitedAllocator alloc(c.allocLimit);
    const std::string path = dir.File("chunk.bin");
    const std::vector<unsigned char> first = Pattern(c.cached, 3);
    const std::vector<unsigned char> second = Pattern(c.piece, 4);
    HttpResponseDataWriter w;
    ASSERT_TRUE(w.Open(true, path.c_str(), nullptr));
    ASSERT_TRUE(w.Write(first.data(), c.cached));
    ASSERT_TRUE(w.Write(second.data(), c.piece));
    EXPECT_EQ(w.GetDownloadedSize(), uint64_t{c.cached} + c.piece);
    if (c.spills) {
      EXPECT_EQ(ReadWholeFile(path), Concat(first, second));
    } else {
      EXPECT_EQ(DiskSize(path), 0u);
    }
    ASSERT_TRUE(w.Flush());
    EXPECT_EQ(ReadWholeFile(path), Concat(first, second));
    // A third piece after the straight write keeps the order.
    const std::vector<unsigned char> third = Pattern(7, 5);
    ASSERT_TRUE(w.Write(third.data(), 7));
    ASSERT_TRUE(w.Flush());
    EXPECT_EQ(ReadWholeFile(path), Concat(Concat(first, second), third));
  }
}

// The cache sizes are tried from the largest down; the size granted decides
// how much stays cached before the file is written.
TEST(HttpResponseDataWriterTest, FileCacheFallsBackToSmallerSizes) {
  struct Case {
    size_t allocLimit;
    uint32_t expected;  // 0: no size granted
  };
  const Case cases[] = {
      {600000, 512000}, {300000, 204800}, {150000, 102400}, {60000, 51200}, {20000, 10240}, {10239, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.allocLimit);
    TempDir dir;
    LogCapture log;
    LimitedAllocator alloc(c.allocLimit);
    const std::string path = dir.File("cache.bin");
    HttpResponseDataWriter w;
    ASSERT_TRUE(w.Open(true, path.c_str(), nullptr));
    if (c.expected == 0) {
      const unsigned char b = 1;
      EXPECT_FALSE(w.Write(&b, 1));
      EXPECT_TRUE(log.WaitFor(kTag, 1, "malloc m_pFileCacheBuf fail")) << log.Dump();
      EXPECT_EQ(DiskSize(path), 0u);
      continue;
    }
    const std::vector<unsigned char> full = Pattern(c.expected, 6);
    ASSERT_TRUE(w.Write(full.data(), c.expected));
    EXPECT_TRUE(log.WaitFor(kTag, 3, "m_dwFileCacheBufLen =[" + std::to_string(c.expected) + "]")) << log.Dump();
    EXPECT_EQ(DiskSize(path), 0u) << "a full cache is not written yet";
    const unsigned char one = 0x5A;
    ASSERT_TRUE(w.Write(&one, 1));
    std::vector<unsigned char> expected = full;
    expected.push_back(one);
    EXPECT_EQ(ReadWholeFile(path), expected);
    EXPECT_EQ(alloc.Granted(), std::vector<size_t>{c.expected});
  }
}

TEST(HttpResponseDataWriterTest, OpenAppendsToAnExistingFileAndTruncationDropsTheCache) {
  TempDir dir;
  LogCapture log;
  const std::string path = dir.File("resume.bin");
  const std::vector<unsigned char> old = Pattern(50, 7);
  ASSERT_TRUE(WriteWholeFile(path, old));

  HttpResponseDataWriter w;
  ASSERT_TRUE(w.Open(true, path.c_str(), nullptr));
  EXPECT_EQ(w.GetDownloadedSize(), 50u);
  const std::vector<unsigned char> more = Pattern(10, 8);
  ASSERT_TRUE(w.Write(more.data(), 10));
  EXPECT_EQ(w.GetDownloadedSize(), 60u);
  ASSERT_TRUE(w.Flush());
  EXPECT_EQ(ReadWholeFile(path), Concat(old, more));

  // Restart from zero with bytes still cached: none of them may reach the file.
  ASSERT_TRUE(w.Write(more.data(), 10));
  ASSERT_TRUE(w.SetLength0());
  EXPECT_EQ(w.GetDownloadedSize(), 0u);
  const std::vector<unsigned char> fresh = Pattern(5, 9);
  ASSERT_TRUE(w.Write(fresh.data(), 5));
  ASSERT_TRUE(w.Flush());
  EXPECT_EQ(ReadWholeFile(path), fresh);

  // Reopening the same writer without a name uses the stored one.
  ASSERT_TRUE(w.CloseFile());
  EXPECT_FALSE(w.SetLength0()) << "no open file";
  ASSERT_TRUE(w.Open(true, nullptr, nullptr));
  EXPECT_EQ(w.GetDownloadedSize(), 5u);
  zn::strutf8 name;
  EXPECT_TRUE(w.GetFileName(name));
  EXPECT_EQ(std::string(name.c_str()), path);
}

// The size the writer reports follows every write, cached or straight
// through, from whatever the file held when it was opened; a reopen reads the
// file again, so bytes added while it was closed count.
TEST(HttpResponseDataWriterTest, DownloadedSizeFollowsCachedAndDirectWritesFromTheOpenedLength) {
  struct Case {
    size_t present;               // bytes in the file before Open
    std::vector<uint32_t> pieces; // written in order
  };
  const Case cases[] = {
      {0, {16384, 16384, 16384}},
      {777, {16384, 600000, 5, 511999, 1}},
      {1000000, {600000, 600000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.present);
    TempDir dir;
    const std::string path = dir.File("grow.bin");
    std::vector<unsigned char> expected = Pattern(c.present, 3);
    ASSERT_TRUE(WriteWholeFile(path, expected));
    HttpResponseDataWriter w;
    ASSERT_TRUE(w.Open(true, path.c_str(), nullptr));
    EXPECT_EQ(w.GetDownloadedSize(), c.present);
    uint8_t seed = 20;
    for (uint32_t len : c.pieces) {
      const std::vector<unsigned char> piece = Pattern(len, seed++);
      ASSERT_TRUE(w.Write(piece.data(), len));
      expected.insert(expected.end(), piece.begin(), piece.end());
      EXPECT_EQ(w.GetDownloadedSize(), expected.size());
    }
    ASSERT_TRUE(w.Flush());
    EXPECT_EQ(w.GetDownloadedSize(), expected.size());
    EXPECT_EQ(DiskSize(path), expected.size());
    EXPECT_EQ(ReadWholeFile(path), expected);

    ASSERT_TRUE(w.CloseFile());
    const std::vector<unsigned char> outside = Pattern(123, 99);
    FILE* f = fopen(path.c_str(), "ab");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fwrite(outside.data(), 1, outside.size(), f), outside.size());
    fclose(f);
    ASSERT_TRUE(w.Open(true, nullptr, nullptr));
    EXPECT_EQ(w.GetDownloadedSize(), expected.size() + outside.size());
  }
}

TEST(HttpResponseDataWriterTest, OpenFailureIsLoggedAndLeavesNoFile) {
  TempDir dir;
  LogCapture log;
  const std::string path = dir.File("missing/dir/file.bin");
  HttpResponseDataWriter w;
  EXPECT_FALSE(w.Open(true, path.c_str(), nullptr));
  EXPECT_TRUE(log.WaitFor(kTag, 1, "Open file Fail [" + path + "]")) << log.Dump();
  const unsigned char b = 1;
  EXPECT_FALSE(w.Write(&b, 1));
  EXPECT_TRUE(w.Flush());
  EXPECT_EQ(w.GetDownloadedSize(), 0u);
  EXPECT_FALSE(w.SetLength0());
  EXPECT_FALSE(w.Write(nullptr, 1));
  EXPECT_FALSE(w.Write(&b, 0));
}

// Each write lists the allocations it must cause (sizes of fresh blocks).
TEST(HttpResponseDataWriterTest, MemoryTargetGrowsInSteps) {
  struct Case {
    const char* name;
    std::vector<uint32_t> writes;
    std::vector<size_t> allocations;
  };
  const std::vector<Case> cases = {
      {"first piece exact, then a step", {10, 10}, {10, 102410}},
      {"piece below the spare room", {10, 10, 102389}, {10, 102410}},
      {"piece equal to the spare room", {10, 10, 102390}, {10, 102410, 102420}},
      {"large piece grows exactly", {5, 102400}, {5, 102405}},
      {"large first piece", {102400, 1}, {102400, 204800}},
      {"larger piece after a step", {1, 1, 200000}, {1, 102401, 200002}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LimitedAllocator alloc(SIZE_MAX);
    HttpResponseDataWriter w;
    ASSERT_TRUE(w.Open(false, nullptr, nullptr));
    std::vector<unsigned char> expected;
    uint32_t seed = 20;
    for (uint32_t n : c.writes) {
      const std::vector<unsigned char> piece = Pattern(n, seed++);
      ASSERT_TRUE(w.Write(piece.data(), n));
      expected.insert(expected.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(alloc.Granted(), c.allocations);
    unsigned char* data = nullptr;
    uint32_t len = 0;
    ASSERT_TRUE(w.GetBuffer(&data, &len));
    ASSERT_EQ(len, expected.size());
    EXPECT_EQ(std::vector<unsigned char>(data, data + len), expected);
    EXPECT_EQ(w.GetDownloadedSize(), expected.size());
  }
}

TEST(HttpResponseDataWriterTest, MemoryTargetCeilingIsExact) {
  LogCapture log;
  zn::g_qwHttpRequestId.store(9);
  const uint32_t kMax = HttpResponseDataWriter::kMemoryMax;
  // A source of zero pages that are only read, so it costs no memory.
  std::unique_ptr<unsigned char, decltype(&std::free)> zeros(
      static_cast<unsigned char*>(std::calloc(kMax + 1u, 1)), &std::free);
  ASSERT_TRUE(zeros);

  {
    HttpResponseDataWriter refused;
    ASSERT_TRUE(refused.Open(false, nullptr, nullptr));
    EXPECT_FALSE(refused.Write(zeros.get(), kMax + 1u));
    EXPECT_TRUE(log.WaitFor(kTag, 3, "Id[9] Recv Buf Len[102400001] > MAX[102400000],FAIL ")) << log.Dump();
    unsigned char* data = nullptr;
    uint32_t len = 0;
    EXPECT_FALSE(refused.GetBuffer(&data, &len)) << "nothing may be held";
    EXPECT_EQ(refused.GetDownloadedSize(), 0u);
  }

  HttpResponseDataWriter w;
  ASSERT_TRUE(w.Open(false, nullptr, nullptr));
  const std::vector<unsigned char> head = Pattern(10, 30);
  ASSERT_TRUE(w.Write(head.data(), 10));
  ASSERT_TRUE(w.Write(zeros.get(), kMax - 10));
  unsigned char* data = nullptr;
  uint32_t len = 0;
  ASSERT_TRUE(w.GetBuffer(&data, &len));
  EXPECT_EQ(len, kMax);
  EXPECT_EQ(std::vector<unsigned char>(data, data + 10), head);

  const unsigned char one = 0xEE;
  EXPECT_FALSE(w.Write(&one, 1));
  unsigned char* after = nullptr;
  uint32_t afterLen = 0;
  ASSERT_TRUE(w.GetBuffer(&after, &afterLen));
  EXPECT_EQ(after, data) << "a refused piece must not move the buffer";
  EXPECT_EQ(afterLen, kMax);
  EXPECT_EQ(after[kMax - 1], 0) << "nothing copied";
  zn::g_qwHttpRequestId.store(0);
}

TEST(HttpResponseDataWriterTest, MemoryTargetRestartsAtZeroAndRefusesEmptyQueries) {
  HttpResponseDataWriter w;
  ASSERT_TRUE(w.Open(false, nullptr, nullptr));
  unsigned char* data = nullptr;
  uint32_t len = 0;
  EXPECT_FALSE(w.GetBuffer(&data, &len)) << "no buffer yet";
  const std::vector<unsigned char> a = Pattern(300, 40);
  ASSERT_TRUE(w.Write(a.data(), 300));
  EXPECT_FALSE(w.GetBuffer(nullptr, &len));
  EXPECT_FALSE(w.GetBuffer(&data, nullptr));
  ASSERT_TRUE(w.SetLength0());
  EXPECT_EQ(w.GetDownloadedSize(), 0u);
  EXPECT_FALSE(w.GetBuffer(&data, &len)) << "no data held";
  const std::vector<unsigned char> b = Pattern(20, 41);
  ASSERT_TRUE(w.Write(b.data(), 20));
  ASSERT_TRUE(w.GetBuffer(&data, &len));
  EXPECT_EQ(std::vector<unsigned char>(data, data + len), b);
}

// A host stream that records what happens to it in a journal it shares with
// the test, so deletions and their order can be counted after the writer is gone.
struct StreamJournal {
  std::vector<std::string> events;
  std::vector<unsigned char> bytes;
};

class RecordingStream final : public IZNStreamWriter {
 public:
  RecordingStream(StreamJournal* journal, std::string name, int64_t shortBy = 0)
      : m_pJournal(journal), m_strName(std::move(name)), m_nShortBy(shortBy) {}
  ~RecordingStream() override { m_pJournal->events.push_back("delete " + m_strName); }
  void Close() override { m_pJournal->events.push_back("close " + m_strName); }
  uint64_t Write(const void* data, uint32_t len) override {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    m_pJournal->bytes.insert(m_pJournal->bytes.end(), p, p + len);
    m_pJournal->events.push_back("write " + m_strName + " " + std::to_string(len));
    return static_cast<uint64_t>(static_cast<int64_t>(len) - m_nShortBy);
  }

 private:
  StreamJournal* m_pJournal;  // borrowed; outlives the stream
  std::string m_strName;
  int64_t m_nShortBy;  // the count reported is this much below len
};

TEST(HttpResponseDataWriterTest, StreamTargetCountsWritesAndDeletesTheStreamOnEveryPath) {
  TempDir dir;
  const std::vector<unsigned char> p100 = Pattern(100, 50);
  const std::vector<unsigned char> p50 = Pattern(50, 51);
  struct Case {
    const char* name;
    void (*run)(HttpResponseDataWriter& w, StreamJournal& j, const std::string& file);
    std::vector<std::string> events;  // after the writer is destroyed
  };
  static const std::vector<unsigned char>* s100;
  static const std::vector<unsigned char>* s50;
  s100 = &p100;
  s50 = &p50;
  const Case cases[] = {
      {"writes are passed on and counted",
       [](HttpResponseDataWriter& w, StreamJournal& j, const std::string&) {
         ASSERT_TRUE(w.Open(false, nullptr, new RecordingStream(&j, "s1")));
         ASSERT_TRUE(w.Write(s100->data(), 100));
         ASSERT_TRUE(w.Write(s50->data(), 50));
         EXPECT_EQ(w.GetDownloadedSize(), 150u);
         EXPECT_EQ(j.bytes, Concat(*s100, *s50));
         EXPECT_TRUE(w.SetLength0());
         EXPECT_EQ(w.GetDownloadedSize(), 0u);
       },
       {"write s1 100", "write s1 50", "delete s1"}},
      {"a short write fails and is not counted",
       [](HttpResponseDataWriter& w, StreamJournal& j, const std::string&) {
         ASSERT_TRUE(w.Open(false, nullptr, new RecordingStream(&j, "s1", 1)));
         EXPECT_FALSE(w.Write(s100->data(), 100));
         EXPECT_EQ(w.GetDownloadedSize(), 0u);
       },
       {"write s1 100", "delete s1"}},
      {"a replaced stream is closed, then deleted",
       [](HttpResponseDataWriter& w, StreamJournal& j, const std::string&) {
         ASSERT_TRUE(w.Open(false, nullptr, new RecordingStream(&j, "s1")));
         ASSERT_TRUE(w.Write(s50->data(), 50));
         ASSERT_TRUE(w.Open(false, nullptr, new RecordingStream(&j, "s2")));
         ASSERT_TRUE(w.Write(s100->data(), 100));
         EXPECT_EQ(w.GetDownloadedSize(), 150u) << "the count is the writer's, not the stream's";
       },
       {"write s1 50", "close s1", "delete s1", "write s2 100", "delete s2"}},
      {"opening without a stream keeps the stream",
       [](HttpResponseDataWriter& w, StreamJournal& j, const std::string&) {
         ASSERT_TRUE(w.Open(false, nullptr, new RecordingStream(&j, "s1")));
         ASSERT_TRUE(w.Open(false, nullptr, nullptr));
         ASSERT_TRUE(w.Write(s50->data(), 50));
       },
       {"write s1 50", "delete s1"}},
      {"a file target keeps the stream it does not use",
       [](HttpResponseDataWriter& w, StreamJournal& j, const std::string& file) {
         ASSERT_TRUE(w.Open(false, nullptr, new RecordingStream(&j, "s1")));
         ASSERT_TRUE(w.Open(true, file.c_str(), nullptr));
         ASSERT_TRUE(w.Write(s50->data(), 50));
         ASSERT_TRUE(w.Flush());
         EXPECT_EQ(ReadWholeFile(file), *s50);
       },
       {"delete s1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StreamJournal journal;
    {
      HttpResponseDataWriter w;
      c.run(w, journal, dir.File(std::string("stream-") + c.name));
    }
    EXPECT_EQ(journal.events, c.events);
  }
}

TEST(HttpResponseDataWriterTest, RateIsTheAverageSinceTheFirstWrite) {
  HttpResponseDataWriter w;
  ASSERT_TRUE(w.Open(false, nullptr, nullptr));
  uint64_t delta = 99;
  EXPECT_EQ(w.GetSpeed(&delta), 0u) << "no write yet";
  EXPECT_EQ(delta, 0u);

  const std::vector<unsigned char> data = Pattern(1000, 60);
  ASSERT_TRUE(w.Write(data.data(), 1000));
  const uint64_t t0 = w.FirstWriteTime();
  ASSERT_NE(t0, 0u);
  EXPECT_EQ(w.GetSpeed(t0, &delta), 0u) << "no time has passed";
  EXPECT_EQ(w.GetSpeed(t0 + 2000, &delta), 500u);
  EXPECT_EQ(delta, 1000u);
  // The delta is handed out once; the rate stays an average over the whole run.
  EXPECT_EQ(w.GetSpeed(t0 + 4000, &delta), 250u);
  EXPECT_EQ(delta, 0u);
  ASSERT_TRUE(w.Write(data.data(), 1000));
  EXPECT_EQ(w.GetSpeed(t0 + 4000, nullptr), 500u);
  EXPECT_EQ(w.GetSpeed(t0 + 5000, &delta), 400u);
  EXPECT_EQ(delta, 0u) << "the null query above took the delta";
}

}  // namespace
