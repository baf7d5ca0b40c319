#include <gtest/gtest.h>

#include "HttpTestSupport.h"
#include "http/CHttpHeaderQuery.h"

namespace {

using zn::CHttpHeaderQuery;
using zn_test::Str;

const zn::strutf8 kHead(
    "HTTP/1.1 200 OK\r\n"
    "Content-Length: 42\r\n"
    "X-Spaced : with blank\r\n"
    "X-Dup: first\r\n"
    "X-Dup: second\r\n"
    "X-Empty:\r\n"
    "X-Blank:   \r\n"
    "X-Colons: a:b\r\n"
    "X-Hex: 0x1F\r\n"
    "\r\n");

TEST(CHttpHeaderQueryTest, QueryInfoTable) {
  const struct {
    const char* name;
    bool trim;
    bool found;
    const char* value;
    const char* head = nullptr;  // kHead when null
  } cases[] = {
      {"content-length", true, true, "42"}, {"CONTENT-LENGTH", false, true, " 42"}, {"Length", true, false, ""},
      {"Content", true, false, ""},         {"X-Spaced", true, true, "with blank"}, {"X-Dup", true, true, "first"},
      {"X-Empty", true, false, ""},         {"X-Blank", true, false, ""},           {"X-Blank", false, true, "   "},
      {"X-Colons", true, true, "a:b"},      {"HTTP/1.1 200 OK", true, false, ""},   {"Missing", true, false, ""},
      {"X-Dup", true, false, "", ""},                              // an empty head
      {"X-Last", true, false, "", "HTTP/1.1 200 OK\r\nX-Last: v"},  // a line needs its end
      {"x-lf", false, true, " v", "HTTP/1.1 200 OK\nX-Lf: v\n\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + (c.trim ? " trimmed" : " raw"));
    const zn::strutf8 head = c.head ? zn::strutf8(c.head) : kHead;
    zn::strutf8 out;
    zn::strutf16 wide;
    EXPECT_EQ(c.found, CHttpHeaderQuery::QueryInfo(head, c.name, out, c.trim));
    EXPECT_EQ(c.found, CHttpHeaderQuery::QueryInfo(head, zn::strutf16(c.name), wide, c.trim));
    if (c.found) {
      EXPECT_EQ(c.value, Str(out));
      EXPECT_EQ(c.value, Str(zn::strutf8(wide)));
    }
  }
  zn::strutf8 out("kept ");
  EXPECT_TRUE(CHttpHeaderQuery::QueryInfo(kHead, "X-Dup", out, false));
  EXPECT_EQ("kept  first", Str(out));  // appended behind what the caller had
}

TEST(CHttpHeaderQueryTest, QueryInfoNumber) {
  const struct { const char* name; bool found; uint32_t value; } cases[] = {
      {"Content-Length", true, 42}, {"X-Hex", true, 31}, {"X-Dup", true, 0}, {"Missing", false, 0},
      {"X-Empty", false, 0}};
  for (const auto& c : cases) {
    uint32_t n = 77;
    EXPECT_EQ(c.found, CHttpHeaderQuery::QueryInfoNumber(kHead, zn::strutf16(c.name), n));
    EXPECT_EQ(c.value, n);
  }
}

TEST(CHttpHeaderQueryTest, ResponseFileName) {
  const zn::strutf8 url("http://example.test/dir/file.bin?token=1&x=2");
  const std::string urlNoQuery = "http://example.test/dir/file.bin";
  const struct {
    const char* disposition;  // null: no such header
    std::string expected;
  } cases[] = {
      {"attachment; filename=\"report.pdf\"", "report.pdf"},
      {"attachment; filename=report.txt", "report.txt"},
      {"attachment; filename=ab ; size=5", "ab"},
      {"attachment; filename=\"a.txt\"; size=10", "a.txt"},
      {"attachment; filename=\"a\\\"b;c\\\\.txt\"; x=1", "a\"b;c\\.txt"},
      {"attachment; filename=\"open.txt", "open.txt"},
      {"attachment; filename=\"x.txt\"; filename*=UTF-8''%E6%96%87%20a.txt", "\xE6\x96\x87 a.txt"},
      {"attachment; filename*=iso-8859-1'en'caf%E9.txt", "caf\xC3\xA9.txt"},
      {"attachment; filename*=KOI8-R''x; filename=y.txt", "y.txt"},
      {"attachment; filename*=UTF-8''bad%4; filename=\"\"", urlNoQuery},
      {"attachment; filename=;", urlNoQuery},
      {"attachment; FILENAME=\"x.bin\"", urlNoQuery},
      {"inline", urlNoQuery},
      {nullptr, urlNoQuery},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.disposition ? c.disposition : "(none)");
    std::string head = "HTTP/1.1 200 OK\r\n";
    if (c.disposition) head += std::string("Content-Disposition: ") + c.disposition + "\r\n";
    head += "\r\n";
    zntest::LogCapture log;
    zn::strutf16 inout("content-disposition");
    EXPECT_TRUE(CHttpHeaderQuery::GetResponseFileName(zn::strutf8(head.c_str()), url, inout));
    EXPECT_EQ(c.expected, Str(zn::strutf8(inout)));
    const bool fromUrl = c.expected == urlNoQuery;
    EXPECT_EQ(fromUrl ? 1 : 0,
              log.Count(3, "znhttp", "Id[0] GetResponseFileName [" + urlNoQuery + "] URL[" + Str(url) + "]"));
    EXPECT_EQ(fromUrl ? 0 : 1, log.Count(3, "znhttp", "Id[0] GetResponseFileName [" + c.expected + "]"));
  }
  zn::strutf16 whole("Content-Disposition");
  CHttpHeaderQuery::GetResponseFileName(zn::strutf8(), zn::strutf8("http://h/f"), whole);
  EXPECT_EQ("http://h/f", Str(zn::strutf8(whole)));
}

}  // namespace
