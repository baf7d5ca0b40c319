// The string types: null storage, comparison order, the prefix and equality
// rules, search, trim, formatting, growth, and UTF-8 <-> UTF-16 conversion.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/znstring.h"

namespace {

using zn::strutf16;
using zn::strutf8;

std::u16string U16(const strutf16& s) {
  return std::u16string(s.c_str(), s.length());
}

TEST(ZnStringTest, NullStorageAndEquality) {
  strutf8 s;
  EXPECT_EQ(nullptr, s.data());
  ASSERT_NE(nullptr, s.c_str());
  EXPECT_STREQ("", s.c_str());
  EXPECT_EQ(0u, s.length());
  EXPECT_TRUE(s == static_cast<const char*>(nullptr));
  EXPECT_TRUE(s == "");
  EXPECT_FALSE(s.equals(""));
  EXPECT_FALSE(s.equals(nullptr));

  strutf8 a("abc");
  EXPECT_FALSE(a == static_cast<const char*>(nullptr));
  EXPECT_TRUE(a == "abc");
  EXPECT_FALSE(a == "abcd");
  EXPECT_FALSE(a == "ab");
  EXPECT_TRUE(a.equals("abc"));
  EXPECT_FALSE(a.equals("ABC"));
  EXPECT_TRUE(strutf8() == strutf8(""));

  a.clear();
  EXPECT_EQ(nullptr, a.data());
  EXPECT_EQ(0u, a.length());

  // Bytes past an embedded zero count for string equality.
  strutf8 x("a\0b", 3);
  strutf8 y("a\0c", 3);
  EXPECT_EQ(3u, x.length());
  EXPECT_FALSE(x == y);
}

TEST(ZnStringTest, CompareOrder) {
  strutf8 null;
  strutf8 empty("");
  strutf8 a("a");
  struct Case {
    const strutf8* lhs;
    const char* rhs;
    int sign;
  } cases[] = {
      {&null, "a", -1},     {&null, nullptr, 0}, {&a, nullptr, 1},   {&empty, "", 0},
      {&a, "a", 0},         {&a, "b", -1},       {&a, "", 1},        {&empty, "a", -1},
      {&a, "\xC3\xA9", -1},  // bytes compare unsigned: 'a' < 0xC3
  };
  for (const Case& c : cases) {
    const int r = c.lhs->compare(c.rhs);
    EXPECT_EQ(c.sign, r) << '"' << c.lhs->c_str() << "\" vs " << (c.rhs ? c.rhs : "(null)");
  }
  EXPECT_TRUE(null < a);
  EXPECT_FALSE(a < null);
  EXPECT_TRUE(strutf8("ab") < strutf8("b"));
}

TEST(ZnStringTest, PrefixSuffixRules) {
  struct Case {
    const char* s;
    const char* text;
    bool starts;
    bool ends;
  } cases[] = {
      {"abc", "ab", true, false},  {"abc", "bc", false, true},  {"ab", "abc", false, false},
      {"abc", "abc", true, true},  {"abc", "", false, false},    {"abc", nullptr, false, false},
      {"", "a", false, false},     {"Abc", "ab", false, false},  {"abC", "bc", false, false},
  };
  for (const Case& c : cases) {
    strutf8 s(c.s);
    EXPECT_EQ(c.starts, s.startswith(c.text)) << c.s << " / " << (c.text ? c.text : "(null)");
    EXPECT_EQ(c.ends, s.endswith(c.text)) << c.s << " / " << (c.text ? c.text : "(null)");
  }
  EXPECT_FALSE(strutf8().startswith("a"));
}

TEST(ZnStringTest, FindAndReverseFind) {
  struct Case {
    const char* s;
    const char* text;
    uint32_t start;
    bool ignorecase;
    int expected;
  } cases[] = {
      {"Content-Length: 5\r\n", "\r\n", 0, false, 17},
      {"abcabc", "bc", 0, false, 1},
      {"abcabc", "bc", 2, false, 4},
      {"abcabc", "bc", 5, false, -1},
      {"abcabc", "bc", 100, false, -1},
      {"abcabc", "abcabcx", 0, false, -1},
      {"Set-Cookie: a", "set-cookie:", 0, false, -1},
      {"Set-Cookie: a", "set-cookie:", 0, true, 0},
      {"x TRANSFER-encoding", "Transfer-Encoding", 0, true, 2},
      {"abc", "", 0, false, -1},
      {"abc", nullptr, 0, false, -1},
      {"", "a", 0, false, -1},
      {"aaa", "aa", 1, false, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, strutf8(c.s).find(c.text, c.start, c.ignorecase))
        << c.s << " / " << (c.text ? c.text : "(null)") << " from " << c.start;
  }

  struct RCase {
    const char* s;
    const char* text;
    int start;
    bool ignorecase;
    int expected;
  } rcases[] = {
      {"a/b/c", "/", -1, false, 3}, {"a/b/c", "/", 2, false, 1}, {"a/b/c", "/", 0, false, -1},
      {"abcABC", "abc", -1, true, 3}, {"abcABC", "abc", -1, false, 0}, {"abc", "abcd", -1, false, -1},
      {"abc", "c", 100, false, 2},  {"", "a", -1, false, -1},
  };
  for (const RCase& c : rcases) {
    EXPECT_EQ(c.expected, strutf8(c.s).reversefind(c.text, c.start, c.ignorecase))
        << c.s << " / " << c.text << " from " << c.start;
  }

  strutf16 w(u"Hello World");
  EXPECT_EQ(6, w.find(u"world", 0, true));
  EXPECT_EQ(-1, w.find(u"world", 0, false));
}

TEST(ZnStringTest, TrimFlags) {
  struct Case {
    const char* s;
    bool right;
    bool left;
    const char* expected;
  } cases[] = {
      {" \t a b \r\n", true, true, "a b"},
      {" \t a b \r\n", true, false, " \t a b"},
      {" \t a b \r\n", false, true, "a b \r\n"},
      {" \t a b \r\n", false, false, " \t a b \r\n"},
      {" \r\n\t ", true, true, ""},
      {"x", true, true, "x"},
  };
  for (const Case& c : cases) {
    strutf8 s(c.s);
    s.trim(c.right, c.left);
    EXPECT_STREQ(c.expected, s.c_str()) << '"' << c.s << "\" right=" << c.right << " left=" << c.left;
    EXPECT_EQ(std::strlen(c.expected), s.length());
  }
  strutf8 l("  a  ");
  EXPECT_STREQ("a  ", l.trimleft().c_str());
  strutf8 r("  a  ");
  EXPECT_STREQ("  a", r.trimright().c_str());
  strutf8 n;
  n.trim();
  EXPECT_EQ(nullptr, n.data());
}

TEST(ZnStringTest, SubstrLowerAndAppend) {
  strutf8 s("Hello");
  EXPECT_STREQ("ell", s.substr(1, 3).c_str());
  EXPECT_STREQ("llo", s.substr(2).c_str());
  EXPECT_STREQ("", s.substr(5).c_str());
  EXPECT_STREQ("", s.substr(50, 2).c_str());
  EXPECT_STREQ("hello", strutf8("HeLLo").makelower().c_str());

  strutf8 t;
  t.append(static_cast<const char*>(nullptr));
  EXPECT_EQ(nullptr, t.data());
  t.append("ab");
  t.append('c');
  t += strutf8("de");
  t += "f";
  EXPECT_STREQ("abcdef", t.c_str());
  EXPECT_EQ(6u, t.length());

  // Appending a piece of itself must survive the reallocation it causes.
  for (int i = 0; i < 6; ++i) t.append(t.c_str(), t.length());
  EXPECT_EQ(6u * 64, t.length());
  EXPECT_EQ(0, std::memcmp(t.c_str() + 6 * 63, "abcdef", 6));
  EXPECT_EQ('\0', t.c_str()[t.length()]);

  strutf8 u("0123456789");
  u.assign(u.c_str() + 4, 3);
  EXPECT_STREQ("456", u.c_str());
}

TEST(ZnStringTest, GrowthIsAmortised) {
  // Byte-by-byte appends must not reallocate on every byte: count how often
  // the storage moves.
  strutf8 s;
  const char* last = nullptr;
  int moves = 0;
  const int kBytes = 100000;
  for (int i = 0; i < kBytes; ++i) {
    s.append(static_cast<char>('a' + i % 26));
    if (s.data() != last) {
      ++moves;
      last = s.data();
    }
  }
  EXPECT_EQ(static_cast<uint32_t>(kBytes), s.length());
  EXPECT_LT(moves, 40);
  EXPECT_EQ('a' + (kBytes - 1) % 26, s[kBytes - 1]);
}

TEST(ZnStringTest, CopyAndMoveKeepNullness) {
  strutf8 null;
  strutf8 copy(null);
  EXPECT_EQ(nullptr, copy.data());
  strutf8 empty("");
  strutf8 copy2(empty);
  EXPECT_NE(nullptr, copy2.data());
  EXPECT_EQ(0, copy2.compare(""));

  strutf8 a("payload");
  strutf8 b(std::move(a));
  EXPECT_STREQ("payload", b.c_str());
  EXPECT_EQ(nullptr, a.data());  // NOLINT: moved-from state is part of the contract
  a = b;
  EXPECT_STREQ("payload", a.c_str());
  a = a;
  EXPECT_STREQ("payload", a.c_str());
}

TEST(ZnStringTest, FormatShortLongAndSelfReferencing) {
  strutf8 s;
  s.format("%s-%d-%u", "x", -3, 7u);
  EXPECT_STREQ("x--3-7", s.c_str());
  s.appendformat("[%05d]", 42);
  EXPECT_STREQ("x--3-7[00042]", s.c_str());

  std::string big(5000, 'z');
  s.format("<%s>", big.c_str());
  EXPECT_EQ(5002u, s.length());
  EXPECT_EQ('>', s[5001]);

  // The argument points into the string being formatted.
  strutf8 t("abc");
  t.format("%s%s", t.c_str(), t.c_str());
  EXPECT_STREQ("abcabc", t.c_str());
  t.appendformat("%s", t.c_str());
  EXPECT_STREQ("abcabcabcabc", t.c_str());

  strutf8 e;
  e.format("%s", "");
  EXPECT_NE(nullptr, e.data());
  EXPECT_EQ(0u, e.length());
}

TEST(ZnStringTest, Utf8ToUtf16) {
  struct Case {
    const char* name;
    std::string in;
    std::u16string expected;
  } cases[] = {
      {"ascii", "abc", u"abc"},
      {"two-byte", "\xC3\xA9", u"\u00E9"},
      {"three-byte", "\xE4\xB8\xAD\xE6\x96\x87", u"\u4E2D\u6587"},
      {"four-byte", "\xF0\x9F\x98\x80", u"\U0001F600"},
      {"max", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
      {"stray continuation", "a\x80z", u"a\uFFFDz"},
      {"truncated at end", "a\xE4\xB8", u"a\uFFFD"},
      {"truncated in middle", "\xE4\xB8z", u"\uFFFDz"},
      {"overlong", "\xC0\xAF", u"\uFFFD\uFFFD"},
      {"overlong three", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
      {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"bad lead", "\xFF", u"\uFFFD"},
      {"lone four-byte lead", "\xF0", u"\uFFFD"},
  };
  for (const Case& c : cases) {
    // Copy into an exact-size heap block so that reading past the end shows
    // under AddressSanitizer.
    std::vector<char> exact(c.in.begin(), c.in.end());
    exact.push_back('\0');
    strutf16 w(exact.data());
    EXPECT_EQ(c.expected, U16(w)) << c.name;
    strutf16 w2{strutf8(exact.data(), static_cast<uint32_t>(c.in.size()))};
    EXPECT_EQ(c.expected, U16(w2)) << c.name;
  }
}

TEST(ZnStringTest, Utf16ToUtf8) {
  struct Case {
    const char* name;
    std::u16string in;
    std::string expected;
  } cases[] = {
      {"ascii", u"abc", "abc"},
      {"bmp", u"\u4E2D\u00E9", "\xE4\xB8\xAD\xC3\xA9"},
      {"pair", u"\U0001F600", "\xF0\x9F\x98\x80"},
      {"lone high at end", std::u16string(1, char16_t(0xD83D)), "\xEF\xBF\xBD"},
      {"lone high before text", std::u16string{char16_t(0xD83D), u'a'}, "\xEF\xBF\xBD" "a"},
      {"lone low", std::u16string{u'a', char16_t(0xDE00)}, "a\xEF\xBF\xBD"},
      {"swapped pair", std::u16string{char16_t(0xDE00), char16_t(0xD83D)}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    strutf16 w(c.in.data(), static_cast<uint32_t>(c.in.size()));
    strutf8 s(w);
    EXPECT_EQ(c.expected, std::string(s.c_str(), s.length())) << c.name;
  }
  // Round trip of every valid code point class.
  std::u16string all;
  for (char32_t cp : {U'A', U'\u07FF', U'\u0800', U'\uFFFD', U'\U00010000', U'\U0010FFFF'}) {
    if (cp < 0x10000) {
      all.push_back(static_cast<char16_t>(cp));
    } else {
      all.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      all.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
  }
  strutf16 back{strutf8(strutf16(all.data(), static_cast<uint32_t>(all.size())))};
  EXPECT_EQ(all, U16(back));

  // Null storage stays null across conversion; empty stays empty.
  EXPECT_EQ(nullptr, strutf8(strutf16()).data());
  EXPECT_EQ(nullptr, strutf16(strutf8()).data());
  EXPECT_EQ(0u, strutf16(strutf8("")).length());
}

TEST(ZnStringTest, StreamBytes) {
  const unsigned char bytes[] = {0, 1, 2, 0xFF, 0};
  zn::stream s(bytes, sizeof(bytes));
  EXPECT_EQ(5u, s.length());
  EXPECT_EQ(0xFF, s[3]);
  s.append(bytes, 2);
  EXPECT_EQ(7u, s.length());
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
