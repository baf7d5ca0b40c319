// The string types: null storage, comparison order, the prefix and equality
// rules, search, trim, formatting, growth, and conversions between UTF-8,
// UTF-16 and GBK.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/znplatform.h"
#include "base/znstring.h"
#include "support/TestUtil.h"

namespace {

using zn::strutf16;
using zn::strutf8;

typedef std::basic_string<znwchar_t> WideText;  // the interface's character type
WideText U16(const strutf16& s) { return WideText(s.c_str(), s.length()); }
using zntest::Str;
const char* kNull = nullptr;

TEST(ZnStringTest, NullStorageEqualityOrderAndPrefixes) {
  strutf8 null, empty(""), a("abc");
  EXPECT_EQ(nullptr, null.data());
  EXPECT_STREQ("", null.c_str());
  EXPECT_TRUE(null == kNull);
  EXPECT_TRUE(null == "");
  EXPECT_FALSE(null.equals(""));  // equals needs stored bytes
  EXPECT_FALSE(null.equals(kNull));
  EXPECT_TRUE(null == empty);
  EXPECT_FALSE(a == kNull);
  EXPECT_TRUE(a == "abc");
  EXPECT_FALSE(a == "abcd");
  EXPECT_FALSE(a == "ab");
  EXPECT_TRUE(a.equals("abc"));
  EXPECT_FALSE(a.equals("ABC"));
  EXPECT_FALSE(strutf8("a\0b", 3) == strutf8("a\0c", 3));  // bytes past an embedded zero count
  // compare: null sorts first; bytes compare unsigned ('a' < 0xC3).
  EXPECT_LT(null.compare("a"), 0);
  EXPECT_EQ(null.compare(kNull), 0);
  EXPECT_EQ(empty.compare(""), 0);
  EXPECT_LT(empty.compare("a"), 0);
  EXPECT_GT(a.compare(kNull), 0);
  EXPECT_GT(a.compare(""), 0);
  EXPECT_EQ(a.compare("abc"), 0);
  EXPECT_LT(a.compare("abd"), 0);
  EXPECT_LT(a.compare("\xC3\xA9"), 0);
  EXPECT_TRUE(null < a);
  EXPECT_FALSE(a < null);
  EXPECT_TRUE(strutf8("ab") < strutf8("b"));
  // Prefixes and suffixes are case-sensitive; an empty or null text matches nothing.
  const struct { const char *s, *text; bool starts, ends; } cases[] = {
      {"abc", "ab", true, false}, {"abc", "bc", false, true},   {"ab", "abc", false, false}, {"abc", "abc", true, true},
      {"abc", "", false, false},  {"abc", nullptr, false, false}, {"", "a", false, false},  {"Abc", "ab", false, false},
      {"abC", "bc", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.s) + " / " + (c.text ? c.text : "(null)"));
    EXPECT_EQ(c.starts, strutf8(c.s).startswith(c.text));
    EXPECT_EQ(c.ends, strutf8(c.s).endswith(c.text));
  }
  EXPECT_FALSE(null.startswith("a"));
}

TEST(ZnStringTest, FindReverseFindAndTrim) {
  EXPECT_EQ(17, strutf8("Content-Length: 5\r\n").find("\r\n", 0, false));
  EXPECT_EQ(1, strutf8("abcabc").find("bc", 0, false));
  EXPECT_EQ(4, strutf8("abcabc").find("bc", 2, false));
  EXPECT_EQ(-1, strutf8("abcabc").find("bc", 5, false));
  EXPECT_EQ(-1, strutf8("abcabc").find("bc", 100, false));
  EXPECT_EQ(-1, strutf8("abcabc").find("abcabcx", 0, false));
  EXPECT_EQ(-1, strutf8("Set-Cookie: a").find("set-cookie:", 0, false));
  EXPECT_EQ(0, strutf8("Set-Cookie: a").find("set-cookie:", 0, true));
  EXPECT_EQ(2, strutf8("x TRANSFER-encoding").find("Transfer-Encoding", 0, true));
  EXPECT_EQ(-1, strutf8("abc").find("", 0, false));
  EXPECT_EQ(-1, strutf8("abc").find(kNull, 0, false));
  EXPECT_EQ(-1, strutf8("").find("a", 0, false));
  EXPECT_EQ(1, strutf8("aaa").find("aa", 1, false));
  EXPECT_EQ(6, strutf16(ZN_WTEXT("Hello World")).find(ZN_WTEXT("world"), 0, true));
  EXPECT_EQ(-1, strutf16(ZN_WTEXT("Hello World")).find(ZN_WTEXT("world"), 0, false));

  EXPECT_EQ(3, strutf8("a/b/c").reversefind("/", -1, false));
  EXPECT_EQ(1, strutf8("a/b/c").reversefind("/", 2, false));
  EXPECT_EQ(-1, strutf8("a/b/c").reversefind("/", 0, false));
  EXPECT_EQ(3, strutf8("abcABC").reversefind("abc", -1, true));
  EXPECT_EQ(0, strutf8("abcABC").reversefind("abc", -1, false));
  EXPECT_EQ(-1, strutf8("abc").reversefind("abcd", -1, false));
  EXPECT_EQ(2, strutf8("abc").reversefind("c", 100, false));
  EXPECT_EQ(-1, strutf8("").reversefind("a", -1, false));

  const struct {
    bool right, left;
    const char* expected;
  } trims[] = {{true, true, "a b"}, {true, false, " \t a b"}, {false, true, "a b \r\n"}, {false, false, " \t a b \r\n"}};
  for (const auto& c : trims) {
    strutf8 s(" \t a b \r\n");
    s.trim(c.right, c.left);
    EXPECT_EQ(c.expected, Str(s)) << "right=" << c.right << " left=" << c.left;
  }
  strutf8 blank(" \r\n\t "), l("  a  "), r("  a  "), n;
  EXPECT_EQ("", Str(blank.trim()));
  EXPECT_STREQ("a  ", l.trimleft().c_str());
  EXPECT_STREQ("  a", r.trimright().c_str());
  EXPECT_EQ(nullptr, n.trim().data());
}

TEST(ZnStringTest, SubstrAppendFormatCopyAndGrowth) {
  strutf8 s("Hello");
  EXPECT_STREQ("ell", s.substr(1, 3).c_str());
  EXPECT_STREQ("llo", s.substr(2).c_str());
  EXPECT_STREQ("", s.substr(5).c_str());
  EXPECT_STREQ("", s.substr(50, 2).c_str());
  EXPECT_STREQ("hello", strutf8("HeLLo").makelower().c_str());

  strutf8 t;
  t.append(kNull);
  EXPECT_EQ(nullptr, t.data());
  t.append("ab");
  t.append('c');
  t += strutf8("de");
  t += "f";
  EXPECT_EQ("abcdef", Str(t));
  // Appending a piece of itself must survive the reallocation it causes.
  for (int i = 0; i < 6; ++i) t.append(t.c_str(), t.length());
  EXPECT_EQ(6u * 64, t.length());
  EXPECT_EQ(0, std::memcmp(t.c_str() + 6 * 63, "abcdef", 6));
  EXPECT_EQ('\0', t.c_str()[t.length()]);
  strutf8 u("0123456789");
  u.assign(u.c_str() + 4, 3);
  EXPECT_STREQ("456", u.c_str());

  s.format("%s-%d-%u", "x", -3, 7u);
  s.appendformat("[%05d]", 42);
  EXPECT_STREQ("x--3-7[00042]", s.c_str());
  const std::string big(5000, 'z');
  s.format("<%s>", big.c_str());
  EXPECT_EQ("<" + big + ">", Str(s));
  strutf8 self("abc");  // the argument points into the string being formatted
  self.format("%s%s", self.c_str(), self.c_str());
  self.appendformat("%s", self.c_str());
  EXPECT_STREQ("abcabcabcabc", self.c_str());
  strutf8 e;
  e.format("%s", "");
  EXPECT_NE(nullptr, e.data());

  // Copies and moves keep null storage null and empty storage empty.
  strutf8 null;
  EXPECT_EQ(nullptr, strutf8(null).data());
  EXPECT_NE(nullptr, strutf8(strutf8("")).data());
  strutf8 moved(std::move(self));
  EXPECT_STREQ("abcabcabcabc", moved.c_str());
  EXPECT_EQ(nullptr, self.data());  // NOLINT: moved-from state is part of the contract
  self = moved;
  self = self;
  EXPECT_STREQ("abcabcabcabc", self.c_str());

  // Byte-by-byte appends must not reallocate on every byte.
  strutf8 g;
  const char* last = nullptr;
  int moves = 0;
  const int kBytes = 100000;
  for (int i = 0; i < kBytes; ++i) {
    g.append(static_cast<char>('a' + i % 26));
    moves += g.data() != last;
    last = g.data();
  }
  EXPECT_EQ(static_cast<uint32_t>(kBytes), g.length());
  EXPECT_LT(moves, 40);
  EXPECT_EQ('a' + (kBytes - 1) % 26, g[kBytes - 1]);
}

TEST(ZnStringTest, Utf8ToUtf16) {
  const struct { const char* name; std::string in; WideText expected; } cases[] = {
      {"ascii", "abc", ZN_WTEXT("abc")},
      {"two-byte", "\xC3\xA9", ZN_WTEXT("\u00E9")},
      {"three-byte", "\xE4\xB8\xAD\xE6\x96\x87", ZN_WTEXT("\u4E2D\u6587")},
      {"four-byte", "\xF0\x9F\x98\x80", ZN_WTEXT("\U0001F600")},
      {"max", "\xF4\x8F\xBF\xBF", ZN_WTEXT("\U0010FFFF")},
      {"stray continuation", "a\x80z", ZN_WTEXT("a\uFFFDz")},
      {"truncated at end", "a\xE4\xB8", ZN_WTEXT("a\uFFFD")},
      {"truncated in middle", "\xE4\xB8z", ZN_WTEXT("\uFFFDz")},
      {"overlong", "\xC0\xAF", ZN_WTEXT("\uFFFD\uFFFD")},
      {"overlong three", "\xE0\x80\xAF", ZN_WTEXT("\uFFFD\uFFFD\uFFFD")},
      {"encoded surrogate", "\xED\xA0\x80", ZN_WTEXT("\uFFFD\uFFFD\uFFFD")},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", ZN_WTEXT("\uFFFD\uFFFD\uFFFD\uFFFD")},
      {"bad lead", "\xFF", ZN_WTEXT("\uFFFD")},
      {"lone four-byte lead", "\xF0", ZN_WTEXT("\uFFFD")},
  };
  for (const auto& c : cases) {
    // An exact-size heap copy, so that reading past the end shows under ASan.
    std::vector<char> exact(c.in.begin(), c.in.end());
    exact.push_back('\0');
    EXPECT_EQ(c.expected, U16(strutf16(exact.data()))) << c.name;
    EXPECT_EQ(c.expected, U16(strutf16(strutf8(exact.data(), static_cast<uint32_t>(c.in.size()))))) << c.name;
    if (c.expected.find(znwchar_t(0xFFFD)) == WideText::npos) {  // well-formed: comes back byte for byte
      EXPECT_EQ(c.in, Str(strutf8(strutf16(exact.data())))) << c.name;
    }
  }
}

TEST(ZnStringTest, Utf16ToUtf8) {
  const struct { const char* name; WideText in; std::string expected; } cases[] = {
      {"lone high at end", WideText(1, znwchar_t(0xD83D)), "\xEF\xBF\xBD"},
      {"lone high before text", WideText{znwchar_t(0xD83D), ZN_WTEXT('a')}, "\xEF\xBF\xBD" "a"},
      {"lone low", WideText{ZN_WTEXT('a'), znwchar_t(0xDE00)}, "a\xEF\xBF\xBD"},
      {"swapped pair", WideText{znwchar_t(0xDE00), znwchar_t(0xD83D)}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected, Str(strutf8(strutf16(c.in.data(), static_cast<uint32_t>(c.in.size()))))) << c.name;
  }
  // Round trip of every valid code point class.
  const WideText all = ZN_WTEXT("A\u07FF\u0800\uFFFD\U00010000\U0010FFFF");
  EXPECT_EQ(all, U16(strutf16(strutf8(strutf16(all.data(), static_cast<uint32_t>(all.size()))))));
  // Null storage stays null across conversion; empty stays empty.
  EXPECT_EQ(nullptr, strutf8(strutf16()).data());
  EXPECT_EQ(nullptr, strutf16(strutf8()).data());
  EXPECT_EQ(0u, strutf16(strutf8("")).length());
}

TEST(ZnStringTest, GbkRoundTripAndUnconvertibleInput) {
  const struct { const znwchar_t* text; std::string gbk; } cases[] = {
      {ZN_WTEXT("\u4E2D\u6587"), "\xD6\xD0\xCE\xC4"},  // "Chinese" in Chinese
      {ZN_WTEXT("a\u4E2Db.txt"), "a\xD6\xD0" "b.txt"},
      {ZN_WTEXT("plain ascii"), "plain ascii"},
      {ZN_WTEXT(""), ""},
  };
  for (const auto& c : cases) {
    strutf8 gbk("stale");
    ASSERT_TRUE(znutf162gbk(strutf16(c.text), gbk));
    EXPECT_EQ(c.gbk, Str(gbk));
    strutf16 back(ZN_WTEXT("stale"));
    ASSERT_TRUE(zngbk2utf16(gbk.c_str(), gbk.length(), back));
    EXPECT_EQ(WideText(c.text), U16(back));
  }
  // Failures leave the output empty, not stale.
  strutf8 gbk("stale");
  EXPECT_FALSE(znutf162gbk(strutf16(ZN_WTEXT("a\U0001F600")), gbk));  // no GBK form
  EXPECT_EQ(0u, gbk.length());
  strutf16 out(ZN_WTEXT("stale"));
  EXPECT_FALSE(zngbk2utf16("\xD6", 1, out));  // a lead byte with no trail byte
  EXPECT_EQ(0u, out.length());
  EXPECT_FALSE(zngbk2utf16(nullptr, 3, out));
}

TEST(ZnStringTest, StreamBytes) {
  const unsigned char bytes[] = {0, 1, 2, 0xFF, 0};
  zn::stream s(bytes, sizeof(bytes));
  s.append(bytes, 2);
  EXPECT_EQ(7u, s.length());
  EXPECT_EQ(0xFF, s[3]);
  zn::stream t(s);
  EXPECT_TRUE(t == s);
  t[0] = 9;
  EXPECT_TRUE(t != s);
  s.append(s.data(), s.length());  // self-append across a reallocation
  EXPECT_EQ(14u, s.length());
  EXPECT_EQ(0, std::memcmp(s.data() + 7, bytes, 5));
  s.clear();
  EXPECT_EQ(nullptr, s.data());
  EXPECT_TRUE(s == zn::stream());
}

}  // namespace
