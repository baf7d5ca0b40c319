// Files: modes, 64-bit positions, append, truncate, move and remove.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/znfile.h"

namespace {

using zn::io::CFile;

class ZnFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/znfiletest.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    m_dir = tmpl;
  }
  void TearDown() override {
    for (const char* n : {"a", "b", "c"}) CFile::Remove(Path(n).c_str());
    rmdir(m_dir.c_str());
  }
  std::string Path(const char* name) const { return m_dir + "/" + name; }
  std::string ReadAll(const std::string& path) {
    CFile f;
    if (!f.Open(path.c_str(), "rb")) return "<missing>";
    std::string out(static_cast<size_t>(f.GetSize()), '\0');
    if (f.Read(&out[0], static_cast<int64_t>(out.size())) != static_cast<int64_t>(out.size())) return "<short>";
    return out;
  }

  std::string m_dir;
};

TEST_F(ZnFileTest, ModesWriteAppendReadUpdate) {
  const std::string p = Path("a");
  CFile f;
  EXPECT_FALSE(f.Open(p.c_str(), "rb"));  // does not exist yet
  EXPECT_FALSE(CFile::Exists(p.c_str()));

  ASSERT_TRUE(f.Open(p.c_str(), "ab"));   // append creates
  EXPECT_EQ(3, f.Write("abc", 3));
  ASSERT_TRUE(f.Open(p.c_str(), "ab"));   // reopening closes the first
  EXPECT_EQ(0, f.Seek(0, 0));
  EXPECT_EQ(2, f.Write("de", 2));         // append ignores the position
  f.Close();
  EXPECT_EQ("abcde", ReadAll(p));

  ASSERT_TRUE(f.Open(p.c_str(), "r+b"));
  EXPECT_EQ(1, f.Seek(1, 0));
  EXPECT_EQ(1, f.Write("X", 1));
  EXPECT_EQ(5, f.Seek(0, 2));
  f.Close();
  EXPECT_EQ("aXcde", ReadAll(p));

  ASSERT_TRUE(f.Open(p.c_str(), "wb"));   // truncates
  EXPECT_EQ(0, f.GetSize());
  f.Close();
  EXPECT_EQ("", ReadAll(p));

  EXPECT_FALSE(f.Open(p.c_str(), "q"));
  EXPECT_FALSE(f.IsOpen());
  EXPECT_EQ(-1, f.Read(nullptr, 1));
  EXPECT_EQ(-1, f.GetSize());
}

TEST_F(ZnFileTest, LargeSizesAndReadsPastEnd) {
  const std::string p = Path("a");
  CFile f;
  ASSERT_TRUE(f.Open(p.c_str(), "wb"));
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
}

TEST_F(ZnFileTest, BigWriteIsComplete) {
  const std::string p = Path("a");
  std::vector<char> data(3 * 1024 * 1024 + 17);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31 + 7);
  CFile f;
  ASSERT_TRUE(f.Open(p.c_str(), "wb"));
  EXPECT_EQ(static_cast<int64_t>(data.size()), f.Write(data.data(), static_cast<int64_t>(data.size())));
  f.Close();
  const std::string back = ReadAll(p);
  ASSERT_EQ(data.size(), back.size());
  EXPECT_EQ(0, std::memcmp(data.data(), back.data(), data.size()));
}

TEST_F(ZnFileTest, MoveRemoveExists) {
  const std::string a = Path("a");
  const std::string b = Path("b");
  CFile f;
  ASSERT_TRUE(f.Open(a.c_str(), "wb"));
  f.Write("moved", 5);
  f.Close();
  EXPECT_TRUE(CFile::Move(a.c_str(), b.c_str()));
  EXPECT_FALSE(CFile::Exists(a.c_str()));
  EXPECT_EQ("moved", ReadAll(b));
  EXPECT_FALSE(CFile::Move(a.c_str(), b.c_str()));
  EXPECT_TRUE(CFile::Remove(b.c_str()));
  EXPECT_FALSE(CFile::Remove(b.c_str()));
  EXPECT_FALSE(CFile::Exists(b.c_str()));
  EXPECT_FALSE(CFile::Exists(nullptr));
}

}  // namespace
