#include "body/CDataReader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BodyTestSupport.h"
#include "body/ZnRequestId.h"

namespace {

using zn::CDataReader;
using zntest::LimitedAllocator;
using zntest::LogCapture;
using zntest::Pattern;
using zntest::TempDir;
using zntest::WriteWholeFile;

const char kTag[] = "Http.DataReader";

size_t OpenDescriptors() {
  size_t n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)e;
    ++n;
  }
  return n;
}

// Overwrites bytes of a file in place through a descriptor of its own.
void Overwrite(const std::string& path, uint64_t offset, const std::vector<unsigned char>& bytes) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<unsigned char> Window(const unsigned char* data, uint32_t len) { return {data, data + len}; }

std::vector<unsigned char> Slice(const std::vector<unsigned char>& v, size_t from, size_t len) {
  return {v.begin() + static_cast<std::ptrdiff_t>(from), v.begin() + static_cast<std::ptrdiff_t>(from + len)};
}

// Sends a whole body through GetData/Skip, confirming `confirm` bytes of each
// window at most, and returns the window lengths and the bytes sent.
struct Drain {
  std::vector<uint32_t> windows;
  std::vector<unsigned char> sent;
};
Drain SendAll(CDataReader& r, uint32_t confirm) {
  Drain d;
  while (!r.IsEnd()) {
    const unsigned char* data = nullptr;
    uint32_t len = 0;
    if (!r.GetData(&data, &len) || len == 0) break;
    d.windows.push_back(len);
    const uint32_t n = len < confirm ? len : confirm;
    d.sent.insert(d.sent.end(), data, data + n);
    if (!r.Skip(n)) break;
  }
  return d;
}

TEST(CDataReaderTest, WindowsOfMemoryAndFileSources) {
  struct Case {
    const char* name;
    bool file;
    uint32_t length;
    size_t allocLimit;  // largest cache the allocator grants
    uint32_t confirm;   // bytes confirmed of each window at most
    std::vector<uint32_t> windows;
  };
  const std::vector<Case> cases = {
      {"memory 100000", false, 100000, SIZE_MAX, UINT32_MAX, {65536, 34464}},
      {"memory, partial confirmations", false, 70000, SIZE_MAX, 40000, {65536, 30000}},
      {"memory below a window", false, 10, SIZE_MAX, UINT32_MAX, {10}},
      {"file 100000 with a 65536 cache", true, 100000, 65536, UINT32_MAX, {65536, 34464}},
      {"file 1000000 with the full cache", true, 1000000, SIZE_MAX, UINT32_MAX, {524288, 475712}},
      {"file, partly sent windows", true, 70000, 32768, 30000, {32768, 2768, 32768, 2768, 4464}},
      {"file with the smallest cache", true, 40000, 16384, UINT32_MAX, {16384, 16384, 7232}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    LimitedAllocator alloc(c.allocLimit);
    const std::vector<unsigned char> body = Pattern(c.length, c.length);
    CDataReader r;
    if (c.file) {
      const std::string path = dir.File("src.bin");
      ASSERT_TRUE(WriteWholeFile(path, body));
      ASSERT_TRUE(r.SetFileName(path.c_str()));
    } else {
      ASSERT_TRUE(r.SetBuffer(body.data(), c.length));
    }
    EXPECT_EQ(r.GetLength(), c.length);
    const Drain d = SendAll(r, c.confirm);
    EXPECT_EQ(d.windows, c.windows);
    EXPECT_TRUE(d.sent == body) << "the bytes sent differ from the source";
    EXPECT_TRUE(r.IsEnd());
    EXPECT_EQ(r.GetPos(), c.length);
    const unsigned char* data = nullptr;
    uint32_t len = 0;
    EXPECT_FALSE(r.GetData(&data, &len)) << "nothing left";
    EXPECT_EQ(r.Meter().TotalBytes(), c.length) << "confirmed bytes are counted";
  }
}

TEST(CDataReaderTest, MemorySourceIsTheReadersOwnCopy) {
  std::vector<unsigned char> body = Pattern(1000, 2);
  const std::vector<unsigned char> original = body;
  CDataReader r;
  ASSERT_TRUE(r.SetBuffer(body.data(), 1000));
  body.assign(body.size(), 0);
  const unsigned char* data = nullptr;
  uint32_t len = 0;
  ASSERT_TRUE(r.GetData(&data, &len));
  EXPECT_EQ(Window(data, len), original);
  EXPECT_FALSE(r.SetBuffer(nullptr, 10));
  EXPECT_FALSE(r.SetBuffer(original.data(), 0));
  EXPECT_FALSE(r.GetData(nullptr, &len));
  EXPECT_FALSE(r.GetData(&data, nullptr));
}

// The rest of a partly sent window comes from the cache: the file is changed on
// disk in between, and the window still holds the bytes read before.
TEST(CDataReaderTest, PartlySentWindowIsServedFromTheCacheWithoutANewRead) {
  TempDir dir;
  const std::string path = dir.File("cached.bin");
  const std::vector<unsigned char> body = Pattern(65536, 3);
  ASSERT_TRUE(WriteWholeFile(path, body));
  CDataReader r;
  ASSERT_TRUE(r.SetFileName(path.c_str()));
  const unsigned char* first = nullptr;
  uint32_t firstLen = 0;
  ASSERT_TRUE(r.GetData(&first, &firstLen));
  ASSERT_EQ(firstLen, 65536u);
  ASSERT_TRUE(r.Skip(10));

  const std::vector<unsigned char> changed = Pattern(65536, 4);
  Overwrite(path, 0, changed);
  const unsigned char* second = nullptr;
  uint32_t secondLen = 0;
  ASSERT_TRUE(r.GetData(&second, &secondLen));
  EXPECT_EQ(second, first + 10);
  EXPECT_EQ(secondLen, 65526u);
  EXPECT_EQ(Window(second, secondLen), Slice(body, 10, 65526));

  // Unconfirmed bytes are offered again, unchanged.
  ASSERT_TRUE(r.GetData(&second, &secondLen));
  EXPECT_EQ(secondLen, 65526u);

  // Reset empties the cache: the next window is read from the file again.
  ASSERT_TRUE(r.Reset());
  EXPECT_EQ(r.GetPos(), 0u);
  ASSERT_TRUE(r.GetData(&second, &secondLen));
  EXPECT_EQ(secondLen, 65536u);
  EXPECT_EQ(Window(second, secondLen), changed);
  EXPECT_EQ(r.Meter().TotalBytes(), 10u) << "the meter keeps counting across a reset";
}

TEST(CDataReaderTest, SkipBeforeTheFirstWindowStartsTheReadThere) {
  struct Case {
    uint64_t offset;
    uint32_t window;
  };
  const uint32_t kLength = 1000000;
  const Case cases[] = {
      {0, 524288}, {1, 524288}, {65535, 524288}, {524288, 475712}, {600000, 400000}, {kLength - 1, 1},
  };
  TempDir dir;
  const std::string path = dir.File("offset.bin");
  const std::vector<unsigned char> body = Pattern(kLength, 5);
  ASSERT_TRUE(WriteWholeFile(path, body));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    CDataReader r;
    ASSERT_TRUE(r.SetFileName(path.c_str()));
    ASSERT_TRUE(r.Skip(c.offset));
    EXPECT_EQ(r.GetPos(), c.offset);
    const unsigned char* data = nullptr;
    uint32_t len = 0;
    ASSERT_TRUE(r.GetData(&data, &len));
    EXPECT_EQ(len, c.window);
    EXPECT_EQ(Window(data, len), Slice(body, c.offset, c.window));
  }
}

TEST(CDataReaderTest, SkipPastTheEndIsRefusedAndChangesNothing) {
  struct Case {
    bool file;
    uint64_t before;  // confirmed first
    uint64_t skip;
  };
  const uint32_t kLength = 5000;
  const Case cases[] = {
      {false, 0, kLength + 1}, {false, kLength - 5, 6}, {false, 1, UINT64_MAX},
      {true, 0, kLength + 1},  {true, kLength - 5, 6},  {true, 100, UINT64_MAX - 50},
  };
  TempDir dir;
  const std::string path = dir.File("end.bin");
  const std::vector<unsigned char> body = Pattern(kLength, 6);
  ASSERT_TRUE(WriteWholeFile(path, body));
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.file) + "/" + std::to_string(c.before) + "/" + std::to_string(c.skip));
    CDataReader r;
    if (c.file) {
      ASSERT_TRUE(r.SetFileName(path.c_str()));
    } else {
      ASSERT_TRUE(r.SetBuffer(body.data(), kLength));
    }
    const unsigned char* data = nullptr;
    uint32_t len = 0;
    ASSERT_TRUE(r.GetData(&data, &len));
    ASSERT_TRUE(r.Skip(c.before));
    EXPECT_FALSE(r.Skip(c.skip));
    EXPECT_EQ(r.GetPos(), c.before);
    EXPECT_EQ(r.Meter().TotalBytes(), c.before);
    // The window is still the one at the unchanged position.
    ASSERT_TRUE(r.GetData(&data, &len));
    EXPECT_EQ(len, kLength - c.before);
    EXPECT_EQ(Window(data, len), Slice(body, c.before, kLength - c.before));
  }
}

TEST(CDataReaderTest, EmptyOrMissingFileIsRefusedWithItsLogLine) {
  TempDir dir;
  const std::string empty = dir.File("empty.bin");
  ASSERT_TRUE(WriteWholeFile(empty, {}));
  struct Case {
    std::string path;
    std::string line;
  };
  const Case cases[] = {
      {empty, "Id[31] OpenFile but len is 0,let's fail [" + empty + "]"},
      {dir.File("missing.bin"), "Id[31] OpenFile Fail FileName[" + dir.File("missing.bin") + "]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    LogCapture log;
    zn::g_qwHttpRequestId.store(31);
    const size_t fds = OpenDescriptors();
    {
      CDataReader r;
      EXPECT_FALSE(r.SetFileName(c.path.c_str()));
      EXPECT_TRUE(log.WaitFor(kTag, 1, c.line)) << log.Dump();
      EXPECT_EQ(OpenDescriptors(), fds) << "no file may stay open";
      const unsigned char* data = nullptr;
      uint32_t len = 0;
      EXPECT_FALSE(r.GetData(&data, &len));
    }
    zn::g_qwHttpRequestId.store(0);
  }
  CDataReader r;
  EXPECT_FALSE(r.SetFileName(nullptr));
}

TEST(CDataReaderTest, NewFileNameClosesTheOldFileAndServesTheNewOne) {
  TempDir dir;
  LogCapture log;
  const std::string a = dir.File("a.bin");
  const std::string b = dir.File("b.bin");
  const std::vector<unsigned char> bodyA = Pattern(3000, 7);
  const std::vector<unsigned char> bodyB = Pattern(2000, 8);
  ASSERT_TRUE(WriteWholeFile(a, bodyA));
  ASSERT_TRUE(WriteWholeFile(b, bodyB));
  const size_t fds = OpenDescriptors();
  {
    CDataReader r;
    ASSERT_TRUE(r.SetFileName(a.c_str()));
    const unsigned char* data = nullptr;
    uint32_t len = 0;
    ASSERT_TRUE(r.GetData(&data, &len));
    ASSERT_TRUE(r.SetFileName(b.c_str()));
    EXPECT_TRUE(log.WaitFor(kTag, 1, "CDataReader::SetFileName,close file, " + a)) << log.Dump();
    EXPECT_EQ(OpenDescriptors(), fds + 1);
    EXPECT_EQ(r.GetLength(), 2000u);
    ASSERT_TRUE(r.GetData(&data, &len));
    EXPECT_EQ(Window(data, len), bodyB) << "no window of the old file";
  }
  EXPECT_EQ(OpenDescriptors(), fds);
}

TEST(CDataReaderTest, FileCacheFallsBackAndFailuresEndTheBody) {
  TempDir dir;
  const std::string path = dir.File("fallback.bin");
  const std::vector<unsigned char> body = Pattern(200000, 9);
  ASSERT_TRUE(WriteWholeFile(path, body));
  struct Case {
    size_t allocLimit;
    uint32_t granted;  // 0: every size refused
  };
  const Case cases[] = {{SIZE_MAX, 524288}, {300000, 262144}, {200000, 131072},
                        {100000, 65536},    {50000, 32768},   {20000, 16384},
                        {16383, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.allocLimit);
    LogCapture log;
    LimitedAllocator alloc(c.allocLimit);
    CDataReader r;
    ASSERT_TRUE(r.SetFileName(path.c_str()));
    const unsigned char* data = nullptr;
    uint32_t len = 0;
    if (c.granted == 0) {
      EXPECT_FALSE(r.GetData(&data, &len));
      EXPECT_TRUE(log.WaitFor(kTag, 1, "malloc m_pFileCacheBuf fail")) << log.Dump();
      continue;
    }
    ASSERT_TRUE(r.GetData(&data, &len));
    EXPECT_EQ(len, std::min<uint32_t>(c.granted, 200000));
    EXPECT_TRUE(log.WaitFor(kTag, 3, "m_bufTmpMaxLen =[" + std::to_string(c.granted) + "]")) << log.Dump();
  }

  // A file that shrinks under the reader ends the body with a failed window.
  CDataReader r;
  ASSERT_TRUE(r.SetFileName(path.c_str()));
  std::filesystem::resize_file(path, 1000);
  ASSERT_TRUE(r.Skip(5000));
  const unsigned char* data = nullptr;
  uint32_t len = 0;
  EXPECT_FALSE(r.GetData(&data, &len));
}

TEST(CDataReaderTest, RateCountsConfirmedBytes) {
  const std::vector<unsigned char> body = Pattern(4000, 10);
  CDataReader r;
  ASSERT_TRUE(r.SetBuffer(body.data(), 4000));
  ASSERT_TRUE(r.Skip(1000));
  ASSERT_TRUE(r.Skip(500));
  const uint64_t start = r.Meter().StartTime();
  ASSERT_NE(start, 0u);
  uint64_t delta = 0;
  EXPECT_EQ(r.Meter().GetSpeed(start + 3000, &delta), 500u);
  EXPECT_EQ(delta, 1500u);
  ASSERT_TRUE(r.Reset());
  ASSERT_TRUE(r.Skip(1500));
  EXPECT_EQ(r.Meter().TotalBytes(), 3000u);
  r.GetSpeed(&delta);
  EXPECT_EQ(delta, 1500u);
}

}  // namespace
