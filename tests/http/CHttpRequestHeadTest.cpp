#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "HttpTestSupport.h"
#include "body/CDataReader.h"
#include "http/CHttpCookie.h"
#include "http/CHttpRequestHead.h"

namespace {

using zn::CHttpRequestHead;
using zn_test::Str;

const std::string kAccept = "Accept: */*\r\nConnection:Keep-Alive\r\n";
const std::string kLine1 = "GET / HTTP/1.1\r\n" + kAccept;
const std::string kPost = "POST / HTTP/1.1\r\n" + kAccept;
const std::string kAgent = "User-Agent: Mozilla/5.0 (compatible; MSIE 10.0; Windows NT 6.2)\r\n";
const std::string kTail = "Host: example.test\r\nPragma: no-cache\r\n";
const std::string kDefaultGet = kLine1 + kAgent + kTail + "\r\n";

// One request as the engine prepares it, plus the objects a head reads.
struct HeadFixture {
  zn_test::TempDir dir;  // for a target file
  zn::HttpRequestInfo req;
  zn::HttpHeaderState headers;
  zn::HttpMessageSettings settings;
  std::unique_ptr<zn::CDataReader> reader;
  std::unique_ptr<zn::HttpResponseDataWriter> writer;
  zn::CHttpCookie* cookie = nullptr;  // owned; made by the head
  std::string data;                   // reader's memory body
  HeadFixture() {
    req.m_strMethod = "GET";
    req.m_strPath = "/";
    req.m_strHost = "example.test";
    req.m_wPort = 80;
    req.m_strUrl = "http://example.test/";
  }
  ~HeadFixture() { delete cookie; }
  // A body of which the first `sent` bytes went out already.
  void Post(const std::string& body, uint64_t sent) {
    req.m_strMethod = "POST";
    data = body;
    reader.reset(new zn::CDataReader());
    reader->SetBuffer(data.data(), static_cast<uint32_t>(data.size()));
    ASSERT_TRUE(reader->Skip(sent));
  }
  // A target file holding n bytes (sparse: sizes past 4 GiB cost nothing),
  // opened for resuming.
  void ResumeFrom(uint64_t n) {
    ASSERT_TRUE(zntest::WriteSparseFile(dir.File("resume.bin"), n, ""));
    writer.reset(new zn::HttpResponseDataWriter());
    ASSERT_TRUE(writer->Open(true, dir.File("resume.bin").c_str(), nullptr));
  }
  // A sparse upload file of size bytes, the first `sent` of which went out.
  void PostFile(uint64_t size, uint64_t sent) {
    req.m_strMethod = "POST";
    ASSERT_TRUE(zntest::WriteSparseFile(dir.File("upload.bin"), size, ""));
    reader.reset(new zn::CDataReader());
    ASSERT_TRUE(reader->SetFileName(dir.File("upload.bin").c_str()) && reader->Skip(sent));
  }
  void Header(const char* name, const char* value) {  // UTF-8 text
    ASSERT_TRUE(CHttpRequestHead::AddHeader(headers, zn::strutf16(name), zn::strutf16(value)));
  }
  void Form(const char* boundary, const std::string& text) {
    req.m_bFormData = true;
    req.m_strBoundary = boundary;
    req.m_strFormDataHead = text.c_str();
  }
  std::string Build() {
    zn::strutf8 out("left over");
    const bool built = CHttpRequestHead::BuildRqHead(req, headers, settings, reader.get(), writer.get(), cookie, out);
    return (built ? "" : "refused: ") + Str(out);
  }
};

const SYSTEMTIME kOct21 = {2015, 10, 3, 21, 7, 28, 0, 999};
const SYSTEMTIME kJan1 = {2024, 1, 1, 1, 0, 0, 5, 0};

TEST(CHttpRequestHeadTest, HeadsByteForByte) {
  const struct {
    const char* name;
    std::function<void(HeadFixture&)> setup;
    std::string head;
  } cases[] = {
      {"default get", [](HeadFixture&) {}, kDefaultGet},
      {"accept in capitals", [](HeadFixture& f) { f.Header("ACCEPT", "text/html"); },
       "GET / HTTP/1.1\r\nAccept: text/html\r\nConnection:Keep-Alive\r\n" + kAgent + kTail + "\r\n"},
      {"extra lines in order, trimmed",
       [](HeadFixture& f) {
         f.Header("X-Test", "  v 1\t ");
         CHttpRequestHead::AddHeaderLine(f.headers, zn::strutf16("  X-Raw: 2 \r\n"));
         CHttpRequestHead::AddHeader(f.headers, zn::strutf16("X-Num"), 42u);
       },
       kLine1 + "X-Test:v 1\r\nX-Raw: 2\r\nX-Num:42\r\n" + kAgent + kTail + "\r\n"},
      {"overrides of agent, host and pragma",
       [](HeadFixture& f) {
         f.Header("user-agent", "agent/1"), f.Header("Host", "other.test"), f.Header("PRAGMA", "x");
         f.req.m_wPort = 8080;
       },
       kLine1 + "User-Agent: agent/1\r\nHost: other.test\r\nPragma: x\r\n\r\n"},
      {"blank user agent", [](HeadFixture& f) { f.Header("User-Agent", "   "); }, kLine1 + kTail + "\r\n"},
      {"empty parts refused, duplicates kept",
       [](HeadFixture& f) {
         EXPECT_FALSE(CHttpRequestHead::AddHeader(f.headers, zn::strutf16(""), zn::strutf16("v")));
         EXPECT_FALSE(CHttpRequestHead::AddHeader(f.headers, zn::strutf16("X"), zn::strutf16("")));
         f.Header("X", "1"), f.Header("X", "1");
       },
       kLine1 + "X:1\r\nX:1\r\n" + kAgent + kTail + "\r\n"},
      {"port 8080", [](HeadFixture& f) { f.req.m_wPort = 8080; },
       kLine1 + kAgent + "Host: example.test:8080\r\nPragma: no-cache\r\n\r\n"},
      {"ipv6 literal keeps its brackets", [](HeadFixture& f) { f.req.m_strHost = "::1", f.req.m_wPort = 8080; },
       kLine1 + kAgent + "Host: [::1]:8080\r\nPragma: no-cache\r\n\r\n"},
      {"tls on 443 names the port", [](HeadFixture& f) { f.req.m_wPort = 443, f.req.m_bHttps = true; },
       kLine1 + kAgent + "Host: example.test:443\r\nPragma: no-cache\r\n\r\n"},
      {"if-modified-since", [](HeadFixture& f) { CHttpRequestHead::BuildIfModifiedSince(f.req, &kOct21); },
       kLine1 + kAgent + kTail + "If-Modified-Since: Wed, 21 Oct 2015 07:28:00 GMT\r\n\r\n"},
      {"if-modified-since two-digit day", [](HeadFixture& f) { CHttpRequestHead::BuildIfModifiedSince(f.req, &kJan1); },
       kLine1 + kAgent + kTail + "If-Modified-Since: Mon, 01 Jan 2024 00:00:05 GMT\r\n\r\n"},
      {"if-modified-since invalid",
       [](HeadFixture& f) {
         SYSTEMTIME bad[3] = {kOct21, kOct21, kOct21};
         bad[0].wMonth = 13, bad[1].wMonth = 0, bad[2].wDayOfWeek = 7;
         for (const SYSTEMTIME& t : bad) CHttpRequestHead::BuildIfModifiedSince(f.req, &t);
         CHttpRequestHead::BuildIfModifiedSince(f.req, nullptr);
       },
       kDefaultGet},
      {"range from a 1000-byte file", [](HeadFixture& f) { f.ResumeFrom(1000); },
       kLine1 + kAgent + kTail + "Range: bytes=1000-\r\n\r\n"},
      {"range past 4 GiB", [](HeadFixture& f) { f.ResumeFrom((4ull << 30) + 7); },
       kLine1 + kAgent + kTail + "Range: bytes=4294967303-\r\n\r\n"},
      {"no range for an empty file", [](HeadFixture& f) { f.ResumeFrom(0); }, kDefaultGet},
      {"file post past 4 GiB, resumed", [](HeadFixture& f) { f.PostFile(5ull << 30, (4ull << 30) + 1); },
       kPost + kAgent + kTail + "Range: bytes=4294967297-\r\nContent-Length: 1073741823\r\n\r\n"},
      {"post from the start", [](HeadFixture& f) { f.Post("hello", 0); },
       kPost + kAgent + kTail + "Content-Length: 5\r\n\r\n"},
      {"post resumed", [](HeadFixture& f) { f.Post("0123456789", 4); },
       kPost + kAgent + kTail + "Range: bytes=4-\r\nContent-Length: 6\r\n\r\n"},
      {"post of nothing", [](HeadFixture& f) { f.Post("", 0); }, kPost + kAgent + kTail + "\r\n"},
      // 121 = text 100 + body 5 + the delimiter "\r\n--b0UND6--\r\n\r\n" 16.
      {"multipart counts text, body, boundary and delimiter",
       [](HeadFixture& f) { f.Post("12345", 0), f.Form("b0UND6", std::string(100, 'F')); },
       kPost + kAgent + kTail + "Content-Length: 121\r\nContent-Type: multipart/form-data; boundary=b0UND6\r\n\r\n" +
           std::string(100, 'F')},
      {"gbk head, form text left alone",
       [](HeadFixture& f) {
         f.settings.m_bGbkHead = true;
         f.Header("X-Name", "\xE4\xB8\xAD\xE6\x96\x87");
         f.req.m_strMethod = "POST";
         f.Form("abcdef", "\xE4\xB8\xAD");
       },
       kPost + "X-Name:\xD6\xD0\xCE\xC4\r\n" + kAgent + kTail +
           "Content-Length: 19\r\nContent-Type: multipart/form-data; boundary=abcdef\r\n\r\n\xE4\xB8\xAD"},
      {"gbk head with a line GBK cannot hold",
       [](HeadFixture& f) { f.settings.m_bGbkHead = true, f.Header("X-K", "\xE4\xB8\xAD\xED\x95\x9C"); },
       "refused: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HeadFixture f;
    c.setup(f);
    EXPECT_EQ(c.head, f.Build());
    EXPECT_NE(nullptr, f.cookie);  // the jar is made for every head
  }
}

// Overrides apply to one head; extra lines and an empty agent stay for the
// heads of a redirect or retry.
TEST(CHttpRequestHeadTest, SecondHeadOfARequest) {
  HeadFixture f;
  f.settings.m_bUseCookie = false;
  f.Header("Accept", "a/b"), f.Header("Host", "h2"), f.Header("Pragma", "p"), f.Header("X-Keep", "1");
  f.Build();
  EXPECT_EQ(kLine1 + "X-Keep:1\r\n" + kAgent + kTail + "\r\n", f.Build());

  HeadFixture g;
  g.Header("User-Agent", " ");
  g.Build();
  EXPECT_EQ(kLine1 + kTail + "\r\n", g.Build());
  CHttpRequestHead::ClearHeaders(g.headers);
  EXPECT_EQ(kDefaultGet, g.Build());
}

}  // namespace
