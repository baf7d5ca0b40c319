// Files: modes, 64-bit positions, whole writes, truncation, move and remove.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/znfile.h"
#include "support/TestOs.h"
#include "support/TestSha256.h"

namespace {

using zn::io::CFile;

class ZnFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = zntest::MakeTempDir("znfiletest");
    ASSERT_FALSE(m_dir.empty());
  }
  void TearDown() override {
    for (const char* name : {"/a", "/b"}) CFile::Remove((m_dir + name).c_str());
    std::error_code ec;
    std::filesystem::remove(m_dir, ec);
  }
  std::string ReadAll(const std::string& path) {
    CFile f;
    if (!f.Open(path.c_str(), "rb")) return "<missing>";
    std::string out(static_cast<size_t>(f.GetSize()), '\0');
    if (f.Read(&out[0], static_cast<int64_t>(out.size())) != static_cast<int64_t>(out.size())) return "<short>";
    return out;
  }

  std::string m_dir;  // a fresh directory; the tests use the files a and b in it
};

TEST_F(ZnFileTest, ModesWriteAppendReadUpdateMoveAndRemove) {
  const std::string p = m_dir + "/a", q = m_dir + "/b";
  CFile f;
  EXPECT_FALSE(f.Open(p.c_str(), "rb"));  // does not exist yet
  EXPECT_FALSE(CFile::Exists(p.c_str()));
  ASSERT_TRUE(f.Open(p.c_str(), "ab"));  // append creates
  EXPECT_EQ(3, f.Write("abc", 3));
  ASSERT_TRUE(f.Open(p.c_str(), "ab"));  // reopening closes the first
  EXPECT_EQ(0, f.Seek(0, 0));
  EXPECT_EQ(2, f.Write("de", 2));  // append ignores the position
  f.Close();
  EXPECT_EQ("abcde", ReadAll(p));
  ASSERT_TRUE(f.Open(p.c_str(), "r+b"));
  EXPECT_EQ(1, f.Seek(1, 0));
  EXPECT_EQ(1, f.Write("X", 1));
  EXPECT_EQ(5, f.Seek(0, 2));
  f.Close();
  EXPECT_EQ("aXcde", ReadAll(p));

  EXPECT_TRUE(CFile::Move(p.c_str(), q.c_str()));
  EXPECT_FALSE(CFile::Exists(p.c_str()));
  EXPECT_EQ("aXcde", ReadAll(q));
  EXPECT_FALSE(CFile::Move(p.c_str(), q.c_str()));
  ASSERT_TRUE(f.Open(q.c_str(), "wb"));  // truncates
  EXPECT_EQ(0, f.GetSize());
  f.Close();
  EXPECT_EQ("", ReadAll(q));
  EXPECT_TRUE(CFile::Remove(q.c_str()));
  EXPECT_FALSE(CFile::Remove(q.c_str()));
  EXPECT_FALSE(CFile::Exists(q.c_str()));
  EXPECT_FALSE(CFile::Exists(nullptr));

  EXPECT_FALSE(f.Open(p.c_str(), "q"));
  EXPECT_FALSE(f.IsOpen());
  EXPECT_EQ(-1, f.Read(nullptr, 1));
  EXPECT_EQ(-1, f.GetSize());
}

TEST_F(ZnFileTest, LargeSizesWholeWritesAndReadsPastEnd) {
  const std::string p = m_dir + "/a";
  CFile f;
  ASSERT_TRUE(f.Open(p.c_str(), "wb"));
  const std::string data = zntest::Pattern(3 * 1024 * 1024 + 17, 1);  // one write that the kernel may take in parts
  EXPECT_EQ(static_cast<int64_t>(data.size()), f.Write(data.data(), static_cast<int64_t>(data.size())));
  f.Close();
  EXPECT_TRUE(ReadAll(p) == data);

  ASSERT_TRUE(f.Open(p.c_str(), "r+b"));
  const int64_t kBeyond4G = (int64_t(1) << 32) + 10;
  ASSERT_TRUE(f.SetSize(kBeyond4G));  // sparse; no real disk space used
  EXPECT_EQ(kBeyond4G, f.GetSize());
  EXPECT_EQ(kBeyond4G - 2, f.Seek(-2, 2));
  EXPECT_EQ(2, f.Write("zz", 2));
  f.Close();
  ASSERT_TRUE(f.Open(p.c_str(), "rb"));
  EXPECT_EQ(kBeyond4G - 1, f.Seek(kBeyond4G - 1, 0));
  char buf[8] = {};
  EXPECT_EQ(1, f.Read(buf, sizeof(buf)));  // stops at the end
  EXPECT_EQ('z', buf[0]);
  EXPECT_EQ(0, f.Read(buf, sizeof(buf)));
  EXPECT_TRUE(f.Open(p.c_str(), "r+b"));
  EXPECT_TRUE(f.SetSize(3));
  EXPECT_EQ(3, f.GetSize());
  EXPECT_EQ(data.substr(0, 3), ReadAll(p));
}

}  // namespace
