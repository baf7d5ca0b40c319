// Proves the nginx fixture with a plain client of the tests' own before the
// request engine tests rely on it: generated files over HTTP and HTTPS, ranges,
// keep-alive as the access log shows it, redirects, fixed statuses, 304, and
// no nginx left behind.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/LoopbackClient.h"
#include "support/NginxFixture.h"
#include "support/TestSha256.h"

namespace {

using std::chrono::milliseconds;
using zntest::AccessLogEntry;
using zntest::LoopbackClient;
using zntest::NginxFixture;

const milliseconds kBound(10000);

std::string Get(const std::string& path, const std::string& extra = "") {
  return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
}

std::string Body(const std::string& response) {
  const size_t end = response.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : response.substr(end + 4);
}

std::string StatusLine(const std::string& response) { return response.substr(0, response.find("\r\n")); }

std::string Header(const std::string& response, const std::string& name) {
  const std::string key = "\r\n" + name + ": ";
  const size_t pos = response.find(key);
  if (pos == std::string::npos) return std::string();
  const size_t start = pos + key.size();
  return response.substr(start, response.find("\r\n", start) - start);
}

class NginxFixtureSmokeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_nginx = new NginxFixture(); }
  static void TearDownTestSuite() {
    delete s_nginx;
    s_nginx = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(s_nginx->ok()) << s_nginx->error(); }
  static NginxFixture* s_nginx;
};
NginxFixture* NginxFixtureSmokeTest::s_nginx = nullptr;

TEST_F(NginxFixtureSmokeTest, FilesOverHttpAndHttpsWithRangesOnOneConnection) {
  struct Case {
    uint64_t size;
    bool tls;
    std::string range;  // "" for the whole file
    uint64_t from;      // first byte of the range
    uint64_t len;       // bytes of the range
  };
  const Case cases[] = {
      {0, false, "", 0, 0},
      {1, false, "", 0, 1},
      {100000, false, "", 0, 100000},
      {100000, true, "", 0, 100000},
      {100000, false, "bytes=100-199", 100, 100},
      {100000, true, "bytes=99990-", 99990, 10},
      {3000000, true, "", 0, 3000000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + (c.tls ? " https " : " http ") + c.range);
    const std::string name = "f" + std::to_string(c.size);
    std::string path;
    const std::string sha = s_nginx->MakeFile(name, c.size, &path);
    ASSERT_FALSE(sha.empty());
    EXPECT_EQ(zntest::Sha256OfFile(path), sha);

    const size_t before = s_nginx->AccessLog().size();
    LoopbackClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", c.tls ? s_nginx->httpsPort() : s_nginx->httpPort(), c.tls));
    if (c.tls) {
      EXPECT_EQ(client.PeerSubject(), "/CN=127.0.0.1");
    }
    // Two requests on the same connection: keep-alive must hold.
    for (int round = 0; round < 2; ++round) {
      ASSERT_TRUE(client.SendAll(Get("/files/" + name, c.range.empty() ? "" : "Range: " + c.range + "\r\n")));
      const std::string response = client.ReadResponse(kBound);
      ASSERT_FALSE(response.empty());
      if (c.range.empty()) {
        EXPECT_EQ(StatusLine(response), "HTTP/1.1 200 OK");
        EXPECT_EQ(zntest::Sha256Hex(Body(response)), sha);
      } else {
        EXPECT_EQ(StatusLine(response), "HTTP/1.1 206 Partial Content");
        EXPECT_EQ(Body(response), NginxFixture::FileBytes(name, c.size, c.from, c.len));
      }
    }
    ASSERT_TRUE(s_nginx->WaitAccessLog(before + 2, kBound));
    const std::vector<AccessLogEntry> log = s_nginx->AccessLog();
    const AccessLogEntry& first = log[before];
    const AccessLogEntry& second = log[before + 1];
    EXPECT_EQ(first.connection, second.connection);
    EXPECT_EQ(first.connectionRequests, 1u);
    EXPECT_EQ(second.connectionRequests, 2u);
    EXPECT_EQ(first.request, "GET /files/" + name + " HTTP/1.1");
    EXPECT_EQ(first.range, c.range.empty() ? "-" : c.range);
    EXPECT_EQ(first.serverPort, c.tls ? s_nginx->httpsPort() : s_nginx->httpPort());
    EXPECT_EQ(first.remoteAddr, "127.0.0.1");
    EXPECT_EQ(first.bodyBytes, c.len);
  }
}

TEST_F(NginxFixtureSmokeTest, RedirectsStatusesAndConditionalRequests) {
  ASSERT_FALSE(s_nginx->MakeFile("target", 10).empty());
  const std::string http = "http://127.0.0.1:" + std::to_string(s_nginx->httpPort());
  struct Case {
    std::string request;
    std::string status;
    std::string location;  // "" when none is expected
    std::string body;      // checked when not empty
  };
  const std::vector<Case> cases = {
      {Get("/redir/3/target"), "HTTP/1.1 302 Moved Temporarily", http + "/redir/2/target", ""},
      {Get("/redir/1/target"), "HTTP/1.1 302 Moved Temporarily", http + "/files/target", ""},
      {Get("/rel/2/target"), "HTTP/1.1 302 Moved Temporarily", "/rel/1/target", ""},
      {Get("/rel/1/target"), "HTTP/1.1 302 Moved Temporarily", "/files/target", ""},
      {Get("/self"), "HTTP/1.1 302 Moved Temporarily", http + "/self", ""},
      {Get("/self-rel"), "HTTP/1.1 302 Moved Temporarily", "/self-rel", ""},
      {Get("/status/401"), "HTTP/1.1 401 Unauthorized", "", "status 401\n"},
      {Get("/status/404"), "HTTP/1.1 404 Not Found", "", "status 404\n"},
      {Get("/status/503"), "HTTP/1.1 503 Service Temporarily Unavailable", "", "status 503\n"},
      {Get("/status/599"), "HTTP/1.1 599 ", "", "status 599\n"},
      {Get("/nothing-here"), "HTTP/1.1 404 Not Found", "", ""},
      {Get("/files/target", "If-Modified-Since: Fri, 01 Jan 2100 00:00:00 GMT\r\n"), "HTTP/1.1 304 Not Modified", "",
       ""},
      {Get("/files/target", "If-Modified-Since: Thu, 01 Jan 1970 00:00:00 GMT\r\n"), "HTTP/1.1 200 OK", "",
       NginxFixture::FileBytes("target", 10, 0, 10)},
      {Get("/files/target", "Range: bytes=50-60\r\n"), "HTTP/1.1 416 Requested Range Not Satisfiable", "", ""},
      {Get("/norange/target", "Range: bytes=5-\r\n"), "HTTP/1.1 200 OK", "",
       NginxFixture::FileBytes("target", 10, 0, 10)},
      {Get("/slow/target", "Range: bytes=5-\r\n"), "HTTP/1.1 206 Partial Content", "",
       NginxFixture::FileBytes("target", 10, 5, 5)},
      {"POST /post HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 5\r\n\r\nhello", "HTTP/1.1 200 OK", "", "posted\n"},
  };
  LoopbackClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", s_nginx->httpPort()));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    ASSERT_TRUE(client.SendAll(c.request));
    const std::string response = client.ReadResponse(kBound);
    ASSERT_FALSE(response.empty());
    EXPECT_EQ(StatusLine(response), c.status);
    EXPECT_EQ(Header(response, "Location"), c.location);
    if (!c.body.empty()) {
      EXPECT_EQ(Body(response), c.body);
    }
  }
}

TEST(NginxFixtureStopTest, NothingIsLeftBehind) {
  uint16_t port = 0;
  {
    NginxFixture nginx;
    ASSERT_TRUE(nginx.ok()) << nginx.error();
    port = nginx.httpPort();
    LoopbackClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", port));
  }
  LoopbackClient after;
  EXPECT_FALSE(after.Connect("127.0.0.1", port, false, milliseconds(1000))) << "nginx still listens";
}

TEST(NginxFixtureStopTest, AccessLinesParse) {
  struct Case {
    std::string line;
    bool ok;
    uint64_t connection;
    uint64_t requests;
    std::string request;
    std::string range;
  };
  const Case cases[] = {
      {"7 2 206 100 127.0.0.1 8080 \"GET /files/a HTTP/1.1\" \"bytes=1-100\" \"-\"", true, 7, 2,
       "GET /files/a HTTP/1.1", "bytes=1-100"},
      {"1 1 400 150 127.0.0.1 8080 \"\\x22bad\" \"-\" \"-\"", true, 1, 1, "\\x22bad", "-"},
      {"1 1 200", false, 0, 0, "", ""},
      {"1 1 200 5 127.0.0.1 80 \"GET / HTTP/1.1\"", false, 0, 0, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    AccessLogEntry e;
    ASSERT_EQ(NginxFixture::ParseAccessLine(c.line, &e), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(e.connection, c.connection);
    EXPECT_EQ(e.connectionRequests, c.requests);
    EXPECT_EQ(e.request, c.request);
    EXPECT_EQ(e.range, c.range);
  }
}

}  // namespace
