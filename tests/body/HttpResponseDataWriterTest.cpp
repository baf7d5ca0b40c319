#include "body/HttpResponseDataWriter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "../http/HttpTestSupport.h"
#include "body/ZnRequestId.h"

namespace {

using zn::HttpResponseDataWriter;
using zn_test::LimitedAllocator;
using zntest::LogCapture;
using zn_test::Pattern;
using zn_test::ReadWholeFile;
using zn_test::TempDir;
using zn_test::U;

const char kTag[] = "Http.DataWriter";

// A file target caches what fits behind the cached bytes (an exact fit stays
// cached); a piece that does not fit drains the cache, then goes straight to
// the file. The cache sizes are tried from the largest down. The size reported
// counts every byte from the length the file had when opened.
TEST(HttpResponseDataWriterTest, FileCacheDrainOrderAndSize) {
  const struct {
    size_t allocLimit;  // largest block the allocator grants
    uint32_t cache;     // the cache size granted (0: none)
    size_t present;     // bytes in the file before Open
    std::vector<uint32_t> pieces;
  } cases[] = {
      {SIZE_MAX, 512000, 0, {100, 100, 100}},         {SIZE_MAX, 512000, 0, {100, 600000, 7}},
      {SIZE_MAX, 512000, 0, {100, 511900, 7}},        {SIZE_MAX, 512000, 0, {100, 511901, 7}},
      {10240, 10240, 0, {100, 10241, 7}},             {10240, 10240, 0, {10000, 240, 7}},
      {10240, 10240, 0, {10000, 241, 7}},             {600000, 512000, 0, {512000, 1}},
      {300000, 204800, 0, {204800, 1}},               {150000, 102400, 0, {102400, 1}},
      {60000, 51200, 0, {51200, 1}},                  {20000, 10240, 0, {10240, 1}},
      {10239, 0, 0, {1}},                             {SIZE_MAX, 512000, 0, {16384, 16384, 16384}},
      {SIZE_MAX, 512000, 777, {16384, 600000, 5, 511999, 1}}, {SIZE_MAX, 512000, 1000000, {600000, 600000}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.allocLimit << " " << c.present << " " << c.pieces.size());
    TempDir dir;
    LogCapture log;
    LimitedAllocator alloc(c.allocLimit);
    const std::string path = dir.File("body.bin");
    std::string disk = Pattern(c.present, 3);  // what the file must hold
    ASSERT_TRUE(zn_test::WriteWholeFile(path, disk));
    HttpResponseDataWriter w;
    ASSERT_TRUE(w.Open(true, path.c_str(), nullptr));
    EXPECT_EQ(w.GetDownloadedSize(), c.present);
    std::string all = disk;
    uint32_t cached = 0;
    uint32_t seed = 20;
    for (uint32_t len : c.pieces) {
      const std::string piece = Pattern(len, seed++);
      if (c.cache == 0) {
        EXPECT_FALSE(w.Write(U(piece), len));
        EXPECT_TRUE(log.Has(1, kTag, "malloc m_pFileCacheBuf fail")) << log.Dump();
        break;
      }
      ASSERT_TRUE(w.Write(U(piece), len));
      all += piece;
      if (cached + len <= c.cache) {
        cached += len;
      } else {
        cached = 0;
        disk = all;
      }
      EXPECT_EQ(w.GetDownloadedSize(), all.size());
      EXPECT_TRUE(ReadWholeFile(path) == disk) << "after a piece of " << len;
    }
    if (c.cache == 0) continue;
    EXPECT_TRUE(log.Has(3, kTag, "m_dwFileCacheBufLen =[" + std::to_string(c.cache) + "]")) << log.Dump();
    EXPECT_EQ(alloc.Granted(), std::vector<size_t>{c.cache});
    ASSERT_TRUE(w.Flush());
    EXPECT_EQ(w.GetDownloadedSize(), all.size());
    EXPECT_TRUE(ReadWholeFile(path) == all);
  }
}

// Resuming appends; a restart from zero drops the cached bytes; a reopen
// without a name reads the stored file again, counting bytes added meanwhile.
TEST(HttpResponseDataWriterTest, ResumeRestartAndReopen) {
  TempDir dir;
  LogCapture log;
  zn::g_qwHttpRequestId.store(41);
  const std::string path = dir.File("resume.bin");
  const std::string old = Pattern(50, 7), more = Pattern(10, 8), fresh = Pattern(5, 9);
  ASSERT_TRUE(zn_test::WriteWholeFile(path, old));
  {
    HttpResponseDataWriter w;
    ASSERT_TRUE(w.Open(true, path.c_str(), nullptr));
    EXPECT_EQ(1, log.Count(4, kTag, "Id[41] HttpResponseDataWriter Open File [" + path + "]")) << log.Dump();
    ASSERT_TRUE(w.Write(U(more), 10));
    EXPECT_EQ(1, log.Count(3, kTag, "Id[41] m_dwFileCacheBufLen =[512000]")) << log.Dump();
    ASSERT_TRUE(w.Flush());
    ASSERT_TRUE(w.Flush());  // nothing cached: nothing written twice
    EXPECT_EQ(ReadWholeFile(path), old + more);

    ASSERT_TRUE(w.Write(U(more), 10));
    ASSERT_TRUE(w.SetLength0());
    EXPECT_EQ(w.GetDownloadedSize(), 0u);
    ASSERT_TRUE(w.Write(U(fresh), 5));
    ASSERT_TRUE(w.Flush());
    EXPECT_EQ(ReadWholeFile(path), fresh);

    ASSERT_TRUE(w.CloseFile());
    EXPECT_FALSE(w.SetLength0()) << "no open file";
    ASSERT_TRUE(zn_test::WriteWholeFile(path, more, true));
    ASSERT_TRUE(w.Open(true, nullptr, nullptr));
    EXPECT_EQ(w.GetDownloadedSize(), 15u);
    zn::strutf8 name;
    EXPECT_TRUE(w.GetFileName(name));
    EXPECT_EQ(zn_test::Str(name), path);
  }
  EXPECT_EQ(ReadWholeFile(path), fresh + more);
  zn::g_qwHttpRequestId.store(0);
}

TEST(HttpResponseDataWriterTest, OpenFailureIsLoggedAndRefusesWrites) {
  TempDir dir;
  LogCapture log;
  const std::string path = dir.File("missing/dir/file.bin");
  HttpResponseDataWriter w;
  EXPECT_FALSE(w.Open(true, path.c_str(), nullptr));
  EXPECT_TRUE(log.Has(1, kTag, "Open file Fail [" + path + "]")) << log.Dump();
  const unsigned char b = 1;
  EXPECT_FALSE(w.Write(&b, 1));
  EXPECT_TRUE(w.Flush());
  EXPECT_EQ(w.GetDownloadedSize(), 0u);
  EXPECT_FALSE(w.SetLength0());
}

// Each write lists the allocations it must cause (sizes of fresh blocks); a
// restart from zero holds nothing until the next write.
TEST(HttpResponseDataWriterTest, MemoryTargetGrowsInStepsAndRestarts) {
  const struct {
    std::vector<uint32_t> writes;
    std::vector<size_t> allocations;
  } cases[] = {
      {{10, 10}, {10, 102410}},                       // first piece exact, then a step
      {{10, 10, 102389}, {10, 102410}},               // below the spare room
      {{10, 10, 102390}, {10, 102410, 102420}},       // equal to the spare room
      {{5, 102400}, {5, 102405}},                     // a large piece grows exactly
      {{102400, 1}, {102400, 204800}},                // large first piece
      {{1, 1, 200000}, {1, 102401, 200002}},          // larger piece after a step
      {{102400, 102400, 102400, 102400, 102400}, {102400, 204800, 409600, 614400}},  // grows by what it holds
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.allocations.back());
    LimitedAllocator alloc(SIZE_MAX);
    std::unique_ptr<HttpResponseDataWriter> w(zn_test::NewWriter());
    unsigned char* data = nullptr;
    uint32_t len = 0;
    EXPECT_FALSE(w->Write(nullptr, 1));
    EXPECT_FALSE(w->Write(U("x"), 0));
    EXPECT_FALSE(w->GetBuffer(&data, &len)) << "no buffer yet";
    std::string expected;
    uint32_t seed = 20;
    for (uint32_t n : c.writes) {
      const std::string piece = Pattern(n, seed++);
      ASSERT_TRUE(w->Write(U(piece), n));
      expected += piece;
    }
    EXPECT_EQ(alloc.Granted(), c.allocations);
    EXPECT_TRUE(zn_test::MemoryOf(w.get()) == expected);
    EXPECT_EQ(w->GetDownloadedSize(), expected.size());
    EXPECT_FALSE(w->GetBuffer(nullptr, &len));
    EXPECT_FALSE(w->GetBuffer(&data, nullptr));
    ASSERT_TRUE(w->SetLength0());
    EXPECT_EQ(w->GetDownloadedSize(), 0u);
    EXPECT_FALSE(w->GetBuffer(&data, &len)) << "no data held";
    ASSERT_TRUE(w->Write(U(expected), 20));
    EXPECT_EQ(zn_test::MemoryOf(w.get()), expected.substr(0, 20));
  }
  // 20 MB in receive-sized pieces: a few allocations, and the bytes they copy
  // stay a small multiple of the body instead of growing with its square.
  LimitedAllocator alloc(SIZE_MAX);
  std::unique_ptr<HttpResponseDataWriter> w(zn_test::NewWriter());
  const std::string piece = Pattern(16384, 40);
  for (int i = 0; i < 1280; ++i) ASSERT_TRUE(w->Write(U(piece), 16384));
  size_t allocated = 0;
  for (size_t n : alloc.Granted()) allocated += n;
  EXPECT_LE(alloc.Granted().size(), 12u);
  EXPECT_LE(allocated, 3u * 1280 * 16384);
}

TEST(HttpResponseDataWriterTest, MemoryTargetCeilingIsExact) {
  LogCapture log;
  zn::g_qwHttpRequestId.store(9);
  const uint32_t kMax = HttpResponseDataWriter::kMemoryMax;
  // A source of zero pages that are only read, so it costs no memory.
  std::unique_ptr<unsigned char, decltype(&std::free)> zeros(static_cast<unsigned char*>(std::calloc(kMax + 1u, 1)),
                                                             &std::free);
  ASSERT_TRUE(zeros);
  unsigned char* data = nullptr;
  uint32_t len = 0;
  {
    std::unique_ptr<HttpResponseDataWriter> refused(zn_test::NewWriter());
    EXPECT_FALSE(refused->Write(zeros.get(), kMax + 1u));
    EXPECT_EQ(1, log.Count(3, kTag, "Id[9] Recv Buf Len[102400001] > MAX[102400000],FAIL ")) << log.Dump();
    EXPECT_FALSE(refused->GetBuffer(&data, &len)) << "nothing may be held";
    EXPECT_EQ(refused->GetDownloadedSize(), 0u);
  }
  std::unique_ptr<HttpResponseDataWriter> w(zn_test::NewWriter());
  const std::string head = Pattern(10, 30);
  ASSERT_TRUE(w->Write(U(head), 10));
  ASSERT_TRUE(w->Write(zeros.get(), kMax - 10));
  ASSERT_TRUE(w->GetBuffer(&data, &len));
  EXPECT_EQ(len, kMax);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), 10), head);
  const unsigned char one = 0xEE;
  EXPECT_FALSE(w->Write(&one, 1));
  unsigned char* after = nullptr;
  ASSERT_TRUE(w->GetBuffer(&after, &len));
  EXPECT_EQ(after, data) << "a refused piece must not move the buffer";
  EXPECT_EQ(len, kMax);
  EXPECT_EQ(after[kMax - 1], 0) << "nothing copied";
  zn::g_qwHttpRequestId.store(0);
}

// A host stream that records what happens to it in a journal that outlives it.
struct StreamJournal {
  std::vector<std::string> events;
  std::string bytes;
};

class RecordingStream final : public IZNStreamWriter {
 public:
  RecordingStream(StreamJournal* journal, std::string name, uint32_t shortBy = 0)
      : m_pJournal(journal), m_strName(std::move(name)), m_dwShortBy(shortBy) {}
  ~RecordingStream() override { m_pJournal->events.push_back("delete " + m_strName); }
  void Close() override { m_pJournal->events.push_back("close " + m_strName); }
  uint64_t Write(const void* data, uint32_t len) override {
    m_pJournal->bytes.append(static_cast<const char*>(data), len);
    m_pJournal->events.push_back("write " + m_strName + " " + std::to_string(len));
    return len - m_dwShortBy;
  }

 private:
  StreamJournal* m_pJournal;  // borrowed
  std::string m_strName;
  uint32_t m_dwShortBy;  // the count reported is this much below len
};

// The writer owns the host's stream: a replaced stream is closed, then
// deleted; the last is deleted with the writer. The count is the writer's.
TEST(HttpResponseDataWriterTest, StreamTargetCountsWritesAndDeletesTheStreams) {
  TempDir dir;
  const std::string p100 = Pattern(100, 50), p50 = Pattern(50, 51), file = dir.File("stream.bin");
  StreamJournal j;
  {
    HttpResponseDataWriter w;
    ASSERT_TRUE(w.Open(false, nullptr, new RecordingStream(&j, "s1")));
    ASSERT_TRUE(w.Write(U(p100), 100));
    ASSERT_TRUE(w.Write(U(p50), 50));
    EXPECT_EQ(w.GetDownloadedSize(), 150u);
    EXPECT_EQ(j.bytes, p100 + p50);
    // The body starts over: the stream keeps its 150 bytes and gets only what
    // lies beyond them.
    EXPECT_TRUE(w.SetLength0());
    EXPECT_EQ(w.GetDownloadedSize(), 0u);
    ASSERT_TRUE(w.Open(false, nullptr, nullptr));  // keeps the stream
    ASSERT_TRUE(w.Write(U(p100), 100));
    EXPECT_EQ(w.GetDownloadedSize(), 100u);
    EXPECT_EQ(w.GetSkipLeft(), 50u);
    ASSERT_TRUE(w.Write(U(p100), 100));
    EXPECT_EQ(w.GetSkipLeft(), 0u);
    EXPECT_EQ(j.bytes, p100 + p50 + p100.substr(50));
    ASSERT_TRUE(w.Open(false, nullptr, new RecordingStream(&j, "s2", 1)));
    EXPECT_FALSE(w.Write(U(p100), 100)) << "a short write fails";
    EXPECT_EQ(w.GetDownloadedSize(), 200u) << "and is not counted";
    ASSERT_TRUE(w.Open(true, file.c_str(), nullptr));  // a file target keeps the unused stream
    ASSERT_TRUE(w.Write(U(p50), 50));
    ASSERT_TRUE(w.Flush());
    EXPECT_EQ(ReadWholeFile(file), p50);
  }
  const std::vector<std::string> events = {"write s1 100", "write s1 50", "write s1 50", "close s1",
                                           "delete s1",    "write s2 100", "delete s2"};
  EXPECT_EQ(j.events, events);
}

// The rate starts at the first write and counts written bytes; the pacing
// itself is the speed counter's.
TEST(HttpResponseDataWriterTest, RateStartsAtTheFirstWrite) {
  std::unique_ptr<HttpResponseDataWriter> w(zn_test::NewWriter());
  uint64_t delta = 99;
  EXPECT_EQ(w->GetSpeed(&delta), 0u) << "no write yet";
  EXPECT_EQ(delta, 0u);
  ASSERT_TRUE(w->Write(U(Pattern(1000, 60)), 1000));
  const uint64_t t0 = w->FirstWriteTime();
  ASSERT_NE(t0, 0u);
  EXPECT_EQ(w->GetSpeed(t0 + 2000, &delta), 500u);
  EXPECT_EQ(delta, 1000u);
}

}  // namespace
