#include "body/CDataReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../http/HttpTestSupport.h"
#include "body/ZnRequestId.h"
#include "support/TestUtil.h"

namespace {

using zn::CDataReader;
using zn_test::LimitedAllocator;
using zntest::LogCapture;
using zn_test::Pattern;
using zn_test::TempDir;
using zn_test::WriteWholeFile;

const char kTag[] = "Http.DataReader";

const std::string kNone = "(no window)";

// The window GetData offers now, as bytes.
std::string Window(CDataReader& r) {
  const unsigned char* data = nullptr;
  uint32_t len = 0;
  if (!r.GetData(&data, &len)) return kNone;
  return std::string(reinterpret_cast<const char*>(data), len);
}

// The file reads use a cache from the largest size the allocator grants;
// confirming part of a window offers the rest next.
TEST(CDataReaderTest, WindowsOfMemoryAndFileSources) {
  const struct {
    const char* name;
    bool file;
    uint32_t length;
    size_t allocLimit;  // largest cache the allocator grants
    uint32_t confirm;   // bytes confirmed of each window at most
    std::vector<uint32_t> windows;
  } cases[] = {
      {"memory 100000", false, 100000, SIZE_MAX, UINT32_MAX, {65536, 34464}},
      {"memory, partial confirmations", false, 70000, SIZE_MAX, 40000, {65536, 30000}},
      {"memory below a window", false, 10, SIZE_MAX, UINT32_MAX, {10}},
      {"file 1000000 with the full cache", true, 1000000, SIZE_MAX, UINT32_MAX, {524288, 475712}},
      {"file with a 262144 cache", true, 300000, 300000, UINT32_MAX, {262144, 37856}},
      {"file with a 131072 cache", true, 200000, 200000, UINT32_MAX, {131072, 68928}},
      {"file 100000 with a 65536 cache", true, 100000, 65536, UINT32_MAX, {65536, 34464}},
      {"file, partly sent windows", true, 70000, 32768, 30000, {32768, 2768, 32768, 2768, 4464}},
      {"file with the smallest cache", true, 40000, 16384, UINT32_MAX, {16384, 16384, 7232}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    LogCapture log;
    LimitedAllocator alloc(c.allocLimit);
    const std::string body = Pattern(c.length, c.length);
    CDataReader r;
    if (c.file) {
      ASSERT_TRUE(WriteWholeFile(dir.File("src.bin"), body));
      ASSERT_TRUE(r.SetFileName(dir.File("src.bin").c_str()));
    } else {
      ASSERT_TRUE(r.SetBuffer(body.data(), c.length));
    }
    EXPECT_EQ(r.GetLength(), c.length);
    std::vector<uint32_t> windows;
    std::string sent;
    while (!r.IsEnd()) {
      const std::string w = Window(r);
      ASSERT_TRUE(w != kNone && !w.empty());
      windows.push_back(static_cast<uint32_t>(w.size()));
      sent += w.substr(0, c.confirm);
      ASSERT_TRUE(r.Skip(std::min<uint64_t>(w.size(), c.confirm)));
    }
    EXPECT_EQ(windows, c.windows);
    EXPECT_TRUE(sent == body) << "the bytes sent differ from the source";
    EXPECT_TRUE(r.IsEnd());
    EXPECT_EQ(r.GetPos(), c.length);
    EXPECT_EQ(Window(r), kNone) << "nothing left";
    EXPECT_EQ(r.Meter().TotalBytes(), c.length) << "confirmed bytes are counted";
    if (c.file) {
      EXPECT_TRUE(log.Has(3, kTag, "m_bufTmpMaxLen =[" + std::to_string(c.windows[0]) + "]")) << log.Dump();
    }
  }
}

TEST(CDataReaderTest, MemorySourceIsTheReadersOwnCopy) {
  std::string body = Pattern(1000, 2);
  const std::string original = body;
  CDataReader r;
  ASSERT_TRUE(r.SetBuffer(body.data(), 1000));
  body.assign(body.size(), '\0');
  EXPECT_EQ(Window(r), original);
  const unsigned char* data = nullptr;
  uint32_t len = 0;
  EXPECT_FALSE(r.SetBuffer(nullptr, 10));
  EXPECT_FALSE(r.SetBuffer(original.data(), 0));
  EXPECT_FALSE(r.GetData(nullptr, &len));
  EXPECT_FALSE(r.GetData(&data, nullptr));
}

// The rest of a partly sent window comes from the cache: the file is changed on
// disk in between, and the window still holds the bytes read before.
TEST(CDataReaderTest, PartlySentWindowIsServedFromTheCacheUntilAReset) {
  TempDir dir;
  const std::string path = dir.File("cached.bin");
  const std::string body = Pattern(65536, 3), changed = Pattern(65536, 4);
  ASSERT_TRUE(WriteWholeFile(path, body));
  CDataReader r;
  ASSERT_TRUE(r.SetFileName(path.c_str()));
  const unsigned char* first = nullptr;
  const unsigned char* second = nullptr;
  uint32_t len = 0;
  ASSERT_TRUE(r.GetData(&first, &len));
  ASSERT_EQ(len, 65536u);
  ASSERT_TRUE(r.Skip(10));
  { std::fstream(path, std::ios::binary | std::ios::in | std::ios::out).write(changed.data(), 65536); }
  ASSERT_TRUE(r.GetData(&second, &len));
  EXPECT_EQ(second, first + 10);
  EXPECT_EQ(Window(r), body.substr(10));
  EXPECT_EQ(Window(r), body.substr(10)) << "unconfirmed bytes are offered again";

  ASSERT_TRUE(r.Reset());  // empties the cache: the next window is read again
  EXPECT_EQ(r.GetPos(), 0u);
  EXPECT_TRUE(Window(r) == changed);
  EXPECT_EQ(r.Meter().TotalBytes(), 10u) << "the meter keeps counting across a reset";
}

// A skip before the first window (or a start: where a reset comes back to)
// starts the read there. A skip past the end is refused and changes nothing:
// the window stays at the position held.
TEST(CDataReaderTest, SkipAheadOrRefusedPastTheEnd) {
  const uint32_t kLength = 1000000;
  TempDir dir;
  const std::string path = dir.File("skip.bin");
  const std::string body = Pattern(kLength, 5);
  ASSERT_TRUE(WriteWholeFile(path, body));
  const struct {
    bool file;
    uint64_t before;  // confirmed of a first window, for a refused skip
    uint64_t skip;
    bool ok;
    uint32_t window;  // the size of the window offered then
  } cases[] = {
      {true, 0, 0, true, 524288},           {true, 0, 1, true, 524288},
      {true, 0, 65535, true, 524288},       {true, 0, 524288, true, 475712},
      {true, 0, 600000, true, 400000},      {true, 0, kLength - 1, true, 1},
      {false, 0, kLength + 1, false, 65536}, {false, 60000, kLength - 59999, false, 65536},
      {false, 1, UINT64_MAX, false, 65536},  {true, 0, kLength + 1, false, 524288},
      {true, 5, kLength - 4, false, 524283}, {true, 100, UINT64_MAX - 50, false, 524188},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.file << " " << c.before << " " << c.skip);
    CDataReader r;
    ASSERT_TRUE(c.file ? r.SetFileName(path.c_str()) : r.SetBuffer(body.data(), kLength));
    if (!c.ok) {
      ASSERT_NE(Window(r), kNone);
      ASSERT_TRUE(r.Skip(c.before));
    }
    EXPECT_EQ(c.before == 0 ? r.SetStart(c.skip) : r.Skip(c.skip), c.ok);
    const uint64_t pos = c.ok ? c.skip : c.before;
    EXPECT_EQ(r.GetPos(), pos);
    EXPECT_EQ(r.Meter().TotalBytes(), pos);
    EXPECT_TRUE(Window(r) == body.substr(pos, c.window));
    if (!c.ok) continue;
    ASSERT_TRUE(r.Skip(1));
    ASSERT_TRUE(r.Reset());
    EXPECT_EQ(r.GetPos(), pos);
    EXPECT_TRUE(Window(r) == body.substr(pos, c.window)) << "a reset goes back to the start";
  }

  // A skip of 4 GiB with the first window held (a resumed upload of a large
  // file) lands past that window, not back inside it modulo 2^32.
  const std::string big = dir.File("big.bin"), tail = Pattern(3000, 6);
  ASSERT_TRUE(zntest::WriteSparseFile(big, uint64_t(1) << 32, tail));
  CDataReader r;
  ASSERT_TRUE(r.SetFileName(big.c_str()));
  ASSERT_EQ(Window(r), std::string(524288, '\0'));
  ASSERT_TRUE(r.Skip(uint64_t(1) << 32));
  EXPECT_TRUE(Window(r) == tail);
}

// Every failure ends the body with its log line and leaves no file open; a new
// name closes the old file.
TEST(CDataReaderTest, FileFailuresAndReplacement) {
  TempDir dir;
  LogCapture log;
  zn::g_qwHttpRequestId.store(31);
  const std::string a = dir.File("a.bin"), b = dir.File("b.bin"), bodyB = Pattern(2000, 8);
  const std::string empty = dir.File("empty.bin"), missing = dir.File("missing.bin");
  ASSERT_TRUE(WriteWholeFile(a, Pattern(200000, 7)) && WriteWholeFile(b, bodyB) && WriteWholeFile(empty, ""));
  const int fds = zntest::OpenDescriptorCount();  // -1 under Wine: the checks on it are left out
  {
    CDataReader r;
    EXPECT_FALSE(r.SetFileName(nullptr));
    EXPECT_FALSE(r.SetFileName(empty.c_str()));
    EXPECT_TRUE(log.Has(1, kTag, "Id[31] OpenFile but len is 0,let's fail [" + empty + "]")) << log.Dump();
    EXPECT_FALSE(r.SetFileName(missing.c_str()));
    EXPECT_TRUE(log.Has(1, kTag, "Id[31] OpenFile Fail FileName[" + missing + "]")) << log.Dump();
    EXPECT_TRUE(fds < 0 || zntest::OpenDescriptorCount() == fds) << "no file may stay open";
    EXPECT_EQ(Window(r), kNone);
    ASSERT_TRUE(r.SetFileName(a.c_str()));
    ASSERT_EQ(Window(r).size(), 200000u);
    ASSERT_TRUE(r.SetFileName(b.c_str()));
    EXPECT_TRUE(log.Has(1, kTag, "CDataReader::SetFileName,close file, " + a)) << log.Dump();
    EXPECT_TRUE(fds < 0 || zntest::OpenDescriptorCount() == fds + 1) << "the new file alone is open";
    EXPECT_EQ(r.GetLength(), 2000u);
    EXPECT_EQ(Window(r), bodyB) << "no window of the old file";
  }
  EXPECT_TRUE(fds < 0 || zntest::OpenDescriptorCount() == fds) << "the reader closed its file";
  {
    LimitedAllocator alloc(16383);  // no cache size granted
    CDataReader r;
    ASSERT_TRUE(r.SetFileName(a.c_str()));
    EXPECT_EQ(Window(r), kNone);
    EXPECT_TRUE(log.Has(1, kTag, "Id[31] malloc m_pFileCacheBuf fail")) << log.Dump();
  }
  CDataReader r;  // a file that shrinks under the reader
  ASSERT_TRUE(r.SetFileName(a.c_str()));
  std::filesystem::resize_file(a, 1000);
  ASSERT_TRUE(r.Skip(5000));
  EXPECT_EQ(Window(r), kNone);
  zn::g_qwHttpRequestId.store(0);
}

}  // namespace
