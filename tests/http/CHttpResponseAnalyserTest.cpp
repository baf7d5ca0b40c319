#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "HttpTestSupport.h"
#include "http/CChunker.h"
#include "http/CHttpCookie.h"
#include "http/CHttpHeaderQuery.h"
#include "http/CHttpResponseAnalyser.h"
#include "http/IHttpResponseSink.h"

namespace {

using zn::CHttpResponseAnalyser;
using zn_test::Str;

class RecordingSink final : public zn::IHttpResponseSink {
 public:
  void NotifyOnDownloadStart(uint32_t present, uint32_t total) override { starts.push_back({present, total}); }
  void ReportProgress(bool force) override { progress.push_back(force); }
  std::vector<std::pair<uint32_t, uint32_t>> starts;
  std::vector<bool> progress;
};

// The engine's side of one request: the receive buffer, the records, the
// owned objects and the verdict presets before each analysis.
struct Exchange {
  zn::HttpRequestInfo req;
  zn::HttpResponseInfo resp;
  zn::HttpMessageSettings settings;
  zn::HttpResponseDataWriter* writer = nullptr;  // owned
  zn::CChunker* chunker = nullptr;               // owned
  zn::CHttpCookie* cookie = nullptr;             // owned
  RecordingSink sink;
  bool complete = false;

  explicit Exchange(bool withWriter = true, const char* method = "GET") {
    req.m_strMethod = method;
    req.m_strUrl = "http://example.test/a/c?x";
    resp.m_dwRecvBufLen = zn::kHttpRecvBufSize;
    resp.m_pRecvBuf = static_cast<unsigned char*>(calloc(zn::kHttpRecvBufSize + 1, 1));
    if (withWriter) writer = zn_test::NewWriter();
  }
  ~Exchange() {
    free(resp.m_pRecvBuf);
    delete writer;
    delete chunker;
    delete cookie;
  }
  CHttpResponseAnalyser Analyser() {
    return CHttpResponseAnalyser(req, resp, settings, writer, chunker, cookie, &sink);
  }
  // One receive: the bytes land behind the held ones, then the analysis runs.
  bool Receive(const std::string& bytes) {
    EXPECT_LE(resp.m_dwTmpRecvCurPos + bytes.size(), resp.m_dwRecvBufLen);
    memcpy(resp.m_pRecvBuf + resp.m_dwTmpRecvCurPos, bytes.data(), bytes.size());
    resp.m_dwTmpRecvCurPos += static_cast<uint32_t>(bytes.size());
    resp.m_pRecvBuf[resp.m_dwTmpRecvCurPos] = 0;
    resp.m_bReConnect = 2;
    resp.m_nErrorCode = zn::kHttpResultFailed;
    return Analyser().AnalyseResp(complete);
  }
  std::string Body() const { return zn_test::MemoryOf(writer); }
};

TEST(CHttpResponseAnalyserTest, StatusDispatch) {
  const char* const kUrl = "http://example.test/a/c?x";
  const struct {
    std::string head;
    bool result;
    int32_t code;
    int32_t reconnect;
    const char* url;  // m_strUrl afterwards
    int32_t redirTimes;
    int logLevel = 0;  // a line logged under "znhttp", when set
    std::string log = "";
    bool closes = false;  // the connection cannot carry another request
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", true, 2, 2, kUrl, 0},
      {"http/1.1 200 ok\r\nContent-Length: 2\r\n\r\nok", true, 2, 2, kUrl, 0},
      {"HTTP/1.1 500 Oops\r\nContent-Length: 2\r\n\r\nok", true, 2, 2, kUrl, 0},
      {"HTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\nok", true, 2, 2, kUrl, 0},
      {"HTTP/1.1 202 Accepted\r\nContent-Length: 2\r\n\r\nok", true, 2, 2, kUrl, 0},
      {"HTTP/1.1 203 Other\r\nContent-Length: 2\r\ncontent-length:  2 \r\n\r\nok", true, 2, 2, kUrl, 0},
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early\r\nLink: x\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
       true, 2, 2, kUrl, 0, 3, "Id[0] skip interim answer [103]"},
      {"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok", true, 2, 2, kUrl, 0, 0, "", true},
      {"HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 2\r\n\r\nok", true, 2, 2, kUrl, 0},
      {"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\nok", true, 2, 2, kUrl, 0, 0, "", true},
      {"HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\nok", false, 2, 2, kUrl, 0, 1,
       "Id[0] Content-Length broken, let it Error"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 12abc\r\n\r\nok", false, 2, 2, kUrl, 0, 1,
       "Id[0] Content-Length broken, let it Error"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nok", false, 2, 2, kUrl, 0, 1,
       "Id[0] Content-Length broken, let it Error"},
      {"HTTP/1.1 206 Part\r\nContent-Range: bytes 5-6/7\r\nContent-Length: 2\r\n\r\nok", false, 2, 2, kUrl, 0, 1,
       "Id[0] Content-Range [bytes 5-6/7] not from [0], let it Error"},
      {"HTTP/1.1 308 Perm\r\nLocation: /b\r\n\r\n", false, 2, 1, "http://example.test/b", 1},
      {"HTTP/1.1 301 Moved\r\nLocation: /b\r\n\r\n", false, 2, 1, "http://example.test/b", 1},
      {"HTTP/1.1 302 Found\r\nLocation: ../d\r\n\r\n", false, 2, 1, "http://example.test/d", 1},
      {"HTTP/1.1 303 See\r\nLocation:  https://other.test/z \r\n\r\n", false, 2, 1, "https://other.test/z", 1},
      {"HTTP/1.1 307 Temp\r\nLocation: ?y\r\n\r\n", false, 2, 1, "http://example.test/a/c?y", 1},
      {"HTTP/1.1 302 Found\r\nLocation: /new dir/caf\xC3\xA9\x7F?a b#frag\r\n\r\n", false, 2, 1,
       "http://example.test/new%20dir/caf%C3%A9%7F?a%20b", 1},
      {"HTTP/1.1 302 Found\r\nLocation: //other.test:81/p#x\r\n\r\n", false, 2, 1, "http://other.test:81/p", 1},
      {"HTTP/1.1 302 Found\r\nLocation: http://o.test/a\tb\r\n\r\n", false, 2, 1, "http://o.test/a%09b", 1},
      {"HTTP/1.1 302 Found\r\nLocation: #top\r\n\r\n", false, 7, 2, kUrl, 0},
      {"HTTP/1.1 302 Found\r\n\r\n", false, 7, 2, kUrl, 0, 3, "Id[0] Get Location Fail [HTTP/1.1 302 Found\r\n\r\n]"},
      {"HTTP/1.1 302 Found\r\nLocation: /a/c?x\r\n\r\n", false, 7, 2, kUrl, 0, 1,
       "Id[0] fuck URL[http://example.test/a/c?x] == URL[http://example.test/a/c?x]"},
      {"HTTP/1.1 302 Found\r\nLocation: http://example.test/a/c?x\r\n\r\n", false, 7, 2, kUrl, 0},
      {"HTTP/1.1 304 Not Modified\r\n\r\n", false, 1, 2, kUrl, 0},
      {"HTTP/1.1 401 No\r\n\r\n", false, 3, 2, kUrl, 0},
      {"HTTP/1.1 402 No\r\n\r\n", false, 3, 2, kUrl, 0},
      {"HTTP/1.1 404 Not Found\r\n\r\n", false, 7, 2, kUrl, 0},
      {"HTTP/1.1 503 Busy\r\n\r\n", false, 8, 2, kUrl, 0},
      {"HTTP/1.1 418 Teapot\r\n\r\n", false, 2, 2, kUrl, 0},
      {"HTTP/1.1 200\r\n\r\n", false, 2, 2, kUrl, 0, 1, "Id[0] Error Analyse Code Head [HTTP/1.1 200] not two space"},
      {"ICY 200 OK\r\n\r\n", false, 2, 2, kUrl, 0, 1, "Id[0] Error Analyse Code Head [ICY 200 OK] not find HTTP"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.head);
    zntest::LogCapture log;
    Exchange x;
    x.req.m_nRetryTimes = 1;
    x.req.m_bRangeRetried = true;
    EXPECT_EQ(c.result, x.Receive(c.head));
    EXPECT_EQ(c.redirTimes == 0, x.req.m_bRangeRetried);  // a redirect earns a new attempt after a 416
    EXPECT_EQ(c.closes, x.resp.m_bCloseConnection);
    EXPECT_EQ(c.code, x.resp.m_nErrorCode);
    EXPECT_EQ(c.reconnect, x.resp.m_bReConnect);
    EXPECT_EQ(c.url, Str(x.req.m_strUrl));
    EXPECT_EQ(c.redirTimes, x.req.m_nRedirTimes);
    EXPECT_EQ(c.redirTimes ? 0 : 1, x.req.m_nRetryTimes);
    EXPECT_EQ(c.result, x.complete);
    EXPECT_EQ(c.result ? "ok" : "", x.Body());
    if (c.logLevel) {
      EXPECT_EQ(1, log.Count(c.logLevel, "znhttp", c.log)) << log.Dump();
    }
  }
}

// A second 416 in the same request ends it: the attempt from byte 0 is given once.
TEST(CHttpResponseAnalyserTest, RangeNotSatisfiableRetriesOnceFromZero) {
  for (int32_t tries : {0, 1, 2, 3, -1}) {
    SCOPED_TRACE(tries);
    Exchange x;
    x.req.m_nRetryTimes = tries < 0 ? 1 : tries;
    x.req.m_bRangeRetried = tries < 0;
    x.writer->Write(zn_test::U("old"), 3);
    EXPECT_FALSE(x.Receive("HTTP/1.1 416 Range\r\n\r\n"));
    const bool last = tries < 0 || tries >= x.settings.m_nMaxRetryTimes;
    EXPECT_EQ(last ? 2 : 0, x.resp.m_nErrorCode);
    EXPECT_EQ(last ? 2 : 1, x.resp.m_bReConnect);
    EXPECT_EQ(last ? "old" : "", x.Body());
    // The retry step adds one and gives up at the maximum: exactly one more attempt.
    if (!last) {
      EXPECT_EQ(x.settings.m_nMaxRetryTimes - 1, x.req.m_nRetryTimes + 1);
    }
  }
}

// Each receive lands behind the held bytes; a server that sends more than it
// announced ends the target at the announced length, resumed part or not.
TEST(CHttpResponseAnalyserTest, FramingHeadersAndBodyLength) {
  const std::string old(900, 'o');
  const struct {
    const char* name;
    const char* method;
    std::string prefill;  // bytes the writer holds before the response
    std::vector<std::string> receives;
    uint32_t present;                 // the start reported (for GET), clamped to 32 bits
    uint64_t contentLength;
    bool chunked, complete;
    std::string body;
    size_t progress;            // progress reports (for GET)
    const char* log = nullptr;  // a level 1 line, when set
    bool closes = false;        // bytes beyond the answer: the connection goes
  } cases[] = {
      {"head over several receives", "GET", "",
       {"HTT", "P/1.1 200 OK\r\nContent-Le", "ngth: 10\r\n\r", "\n01234", "56789"}, 0, 10, false, true, "0123456789", 2},
      {"206 grows the length to the whole", "GET", old,
       {"HTTP/1.1 206 Partial\r\nContent-Range: bytes 900-999/1000\r\nContent-Length: 100\r\n\r\n" +
        std::string(100, 'n')},
       900, 1000, false, true, old + std::string(100, 'n'), 1},
      {"200 restarts a partly filled target", "GET", old, {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc"}, 0, 3,
       false, true, "abc", 1},
      {"post ignores content-range", "POST", "",
       {"HTTP/1.1 200 OK\r\nContent-Range: bytes 0-1/1000\r\nContent-Length: 2\r\n\r\nok"}, 0, 2, false, true, "ok",
       0},
      {"chunked in mixed case", "GET", "",
       {"HTTP/1.1 200 OK\r\nTransfer-Encoding:  Chunked \r\nContent-Length: 99\r\n\r\n2\r\nok\r\n0\r\n\r\n"}, 0,
       0, true, true, "ok", 1},
      {"another coding before chunked", "GET", "", {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\nraw"},
       0, 0, false, false, "raw", 1},
      {"length clips the piece", "GET", "", {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n0123456789"}, 0, 5, false,
       true, "01234", 1, nullptr, true},
      {"no length: ends at close", "GET", "", {"HTTP/1.1 200 OK\r\n\r\nsome"}, 0, 0, false, false, "some", 1},
      {"empty body completes at once", "GET", "", {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\nxyz"}, 0, 0, false,
       true, "", 0, "Id[0] strResponseHead !bChunked Content-Length=0,Complete", true},
      {"204 has no body", "GET", "", {"HTTP/1.1 204 No Content\r\n\r\n"}, 0, 0, false, true, "", 0},
      {"second receive overruns", "GET", "", {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n012", "3456789"}, 0, 5,
       false, true, "01234", 2, nullptr, true},
      {"one byte at a time", "GET", "", {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n", "a", "b"}, 0, 2, false,
       true, "ab", 2},
      {"length past 4 GiB", "GET", "", {"HTTP/1.1 200 OK\r\nContent-Length: 5000000000\r\n\r\nab"}, 0, 5000000000ull,
       false, false, "ab", 1},
      {"range total past 4 GiB", "GET", "0123",
       {"HTTP/1.1 206 Partial\r\nContent-Range: bytes 4-5/6000000000\r\nContent-Length: 2\r\n\r\n45"}, 4,
       6000000000ull, false, false, "012345", 1},
      {"resumed part plus an overrun", "GET", "0123",
       {"HTTP/1.1 206 Partial\r\nContent-Range: bytes 4-7/8\r\nContent-Length: 4\r\n\r\n45", "67EXTRA"}, 4, 8,
       false, true, "01234567", 2, nullptr, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    zntest::LogCapture log;
    Exchange x(true, c.method);
    x.writer->Write(zn_test::U(c.prefill), static_cast<uint32_t>(c.prefill.size()));
    std::string wire;
    for (const std::string& piece : c.receives) {
      ASSERT_FALSE(x.complete);
      EXPECT_TRUE(x.Receive(piece));
      wire += piece;
    }
    EXPECT_EQ(wire.substr(0, wire.find("\r\n\r\n") + 4), Str(x.resp.m_strResponseHead));
    if (!c.body.empty()) {
      EXPECT_EQ(0u, x.resp.m_dwTmpRecvCurPos);  // the body piece frees the receive buffer
    }
    EXPECT_EQ(c.contentLength, x.resp.m_qwContentLength);
    EXPECT_EQ(c.chunked, x.resp.m_bChunked);
    EXPECT_EQ(c.complete, x.complete);
    EXPECT_EQ(c.body, x.Body());
    std::vector<std::pair<uint32_t, uint32_t>> starts;
    if (std::string(c.method) == "GET") starts.push_back({c.present, zn::ClampToUint32(c.contentLength)});
    EXPECT_EQ(starts, x.sink.starts);
    EXPECT_EQ(c.progress, x.sink.progress.size());
    if (c.progress) {
      EXPECT_EQ(c.complete, x.sink.progress.back());
    }
    if (c.log) {
      EXPECT_EQ(1, log.Count(1, "znhttp", c.log)) << log.Dump();
    }
    EXPECT_EQ(c.closes, x.resp.m_bCloseConnection);
  }
}

TEST(CHttpResponseAnalyserTest, HeadThatFillsTheBuffer) {
  zntest::LogCapture log;
  Exchange x;
  const std::string start = "HTTP/1.1 200 OK\r\nX-Long: ";
  EXPECT_TRUE(x.Receive(start));
  EXPECT_TRUE(x.Receive(std::string(zn::kHttpRecvBufSize - start.size() - 1, 'L')));
  EXPECT_FALSE(x.Receive("\r"));
  EXPECT_EQ(1, log.Count(1, "znhttp", "Id[0] before [16384] not recv Head Complete,let it Error"));
}

TEST(CHttpResponseAnalyserTest, ChunkedTrailerAndCookies) {
  zntest::LogCapture log;
  Exchange x(false);
  EXPECT_TRUE(
      x.Receive("HTTP/1.1 200 OK\r\nSet-Cookie: a=1\r\nTransfer-Encoding: chunked\r\nTrailer: X-T\r\n"
                "Set-Cookie:  b=2; Path=/ \r\n\r\n3\r\nabc\r\n0\r\nX-T: 1\r\n"));
  EXPECT_FALSE(x.complete);
  EXPECT_TRUE(x.resp.m_bWithChunkTrailer);
  EXPECT_TRUE(x.Receive("\r\n"));
  EXPECT_TRUE(x.complete);
  ASSERT_NE(nullptr, x.writer);  // made as a memory target
  EXPECT_EQ("abc", x.Body());
  EXPECT_TRUE(x.sink.starts.empty());  // no writer when the head arrived
  zn::strutf16 trailer;
  ASSERT_NE(nullptr, x.chunker);
  ASSERT_TRUE(x.chunker->GetTrailer(trailer));
  EXPECT_EQ("X-T: 1\r\n\r\n", Str(zn::strutf8(trailer)));
  ASSERT_NE(nullptr, x.cookie);
  EXPECT_EQ(1, log.Count(3, "Http", "Id[0] SetRawCookie [a=1] bRet[1]"));
  EXPECT_EQ(1, log.Count(3, "Http", "Id[0] SetRawCookie [b=2; Path=/] bRet[1]"));
}

TEST(CHttpResponseAnalyserTest, WriterFailures) {
  zntest::LogCapture log;
  Exchange x(false);
  x.writer = zn_test::NewWriter(new zn_test::RefusingStream());
  EXPECT_FALSE(x.Receive("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody"));
  EXPECT_EQ(4, x.resp.m_nErrorCode);
  EXPECT_EQ(1, log.Count(3, "znhttp", "Id[0] Write Content Len[4] FAIL"));
  bool complete = false;
  EXPECT_FALSE(x.Analyser().WriteContentData(nullptr, 0, complete));
  EXPECT_EQ(1, log.Count(1, "znhttp", "WriteContentData Param Error dwLen[0]"));
}

TEST(CHttpResponseAnalyserTest, GbkHeadStoredAsUtf8) {
  Exchange x;
  x.settings.m_bGbkHead = true;
  EXPECT_TRUE(x.Receive("HTTP/1.1 200 OK\r\nX-Name: \xD6\xD0\r\nContent-Length: 1\r\n\r\n!"));
  zn::strutf8 value;
  EXPECT_TRUE(zn::CHttpHeaderQuery::QueryInfo(x.resp.m_strResponseHead, "X-Name", value, true));
  EXPECT_EQ("\xE4\xB8\xAD", Str(value));
  EXPECT_EQ("!", x.Body());

  // UTF-8 in a GBK head (a Content-Disposition name) is read as it came.
  zntest::LogCapture log;
  Exchange raw;
  raw.settings.m_bGbkHead = true;
  EXPECT_TRUE(raw.Receive("HTTP/1.1 200 OK\r\nX-Name: \xE6\x96\x87.txt\r\nContent-Length: 1\r\n\r\n!"));
  EXPECT_TRUE(raw.complete);
  zn::strutf8 name;
  EXPECT_TRUE(zn::CHttpHeaderQuery::QueryInfo(raw.resp.m_strResponseHead, "X-Name", name, true));
  EXPECT_EQ("\xE6\x96\x87.txt", Str(name));
  EXPECT_EQ("!", raw.Body());
  EXPECT_EQ(1, log.Count(3, "znhttp", "Id[0] AnalyseResp head is not GBK, kept as it came"));
  EXPECT_FALSE(log.Has(1, "zngbk", "gbk to utf16 fail"));  // no failure: the answer goes on
}

TEST(CHttpResponseAnalyserTest, MakeRedirectUrl) {
  const char* const cases[][3] = {
      {"http://h/a/c?x", "/b", "http://h/b"},           {"http://h/a/b/c", "../d", "http://h/a/d"},
      {"http://h/p?x", "?y", "http://h/p?y"},           {"http://h/a/b", "./c", "http://h/a/c"},
      {"http://h/a/b/c/d", "../../x", "http://h/a/x"},  {"http://h/a/b", "../../../x", "http://h/x"},
      {"http://h:8080/dir/", "f.txt", "http://h:8080/dir/f.txt"}, {"http://h", "x", "http://h/x"},
      {"http://h", "?q", "http://h?q"},                 {"http://h/", "?q", "http://h/?q"},
      {"http://h?q=/a", "x", "http://h/x"},             {"h/a/b", "c", "h/a/c"},
      {"https://h:1/a?q", "//o:2/p", "https://o:2/p"},  {"h/a", "//o/p", "//o/p"},
  };
  for (const auto& c : cases) {
    char* url = CHttpResponseAnalyser::MakeRedirectUrl(c[0], c[1]);
    ASSERT_NE(nullptr, url);
    EXPECT_STREQ(c[2], url) << c[0] << " + " << c[1];
    free(url);
  }
}

}  // namespace
