// GBK conversion through iconv.
#include <gtest/gtest.h>

#include <string>

#include "base/znplatform.h"

namespace {

TEST(ZnGbkTest, ChineseRoundTrip) {
  struct Case {
    const char16_t* text;
    std::string gbk;
  } cases[] = {
      {u"\u4E2D\u6587", "\xD6\xD0\xCE\xC4"},            // "Chinese" in Chinese
      {u"a\u4E2Db.txt", "a\xD6\xD0" "b.txt"},
      {u"plain ascii", "plain ascii"},
      {u"", ""},
  };
  for (const auto& c : cases) {
    zn::strutf8 gbk("stale");
    ASSERT_TRUE(znutf162gbk(zn::strutf16(c.text), gbk));
    EXPECT_EQ(c.gbk, std::string(gbk.c_str(), gbk.length()));
    zn::strutf16 back(u"stale");
    ASSERT_TRUE(zngbk2utf16(gbk.c_str(), gbk.length(), back));
    EXPECT_EQ(std::u16string(c.text), std::u16string(back.c_str(), back.length()));
  }
}

TEST(ZnGbkTest, UnconvertibleInputFailsWithEmptyOutput) {
  zn::strutf8 gbk("stale");
  // An emoji has no GBK form.
  EXPECT_FALSE(znutf162gbk(zn::strutf16(u"a\U0001F600"), gbk));
  EXPECT_EQ(0u, gbk.length());

  zn::strutf16 out(u"stale");
  const char broken[] = "\xD6";  // a lead byte with no trail byte
  EXPECT_FALSE(zngbk2utf16(broken, 1, out));
  EXPECT_EQ(0u, out.length());
  EXPECT_FALSE(zngbk2utf16(nullptr, 3, out));
}

}  // namespace
