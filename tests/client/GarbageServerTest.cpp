// Servers that answer with garbage: random bytes, a head that never ends,
// chunk sizes too long to be true, lengths that are negative or beyond 32
// bits, a Content-Range past 4 GiB, a Location of 10 KiB, zero bytes inside
// the head. Each download must end exactly once, with the result code and the
// log line the client gives for that fault, and never with a wrong file behind
// a success.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ClientTestUtil.h"
#include "support/ScriptedServer.h"

namespace {

using zntest::Head;
using zntest::kSanitizedBuild;
using zntest::ScriptedServer;
using zntest::ServerScript;

constexpr uint32_t kRecvTimeoutMs = kSanitizedBuild ? 800 : 300;
constexpr auto kDownloadBound = std::chrono::milliseconds(3 * kRecvTimeoutMs + 15000);
constexpr size_t kRecvBufSize = 16384;

std::string WithNul(std::string text, size_t at) {
  text[at] = '\0';
  return text;
}

enum class After { kClose, kStall };

struct GarbageCase {
  const char* name;
  std::string answer;             // what every connection gets after the request
  After after;                    // what the server does behind it
  uint32_t code;                  // the result the download ends with
  std::string logText;            // a line that must have been logged ...
  size_t requests = 0;            // requests the server saw, when not 0
  const char* logTag = "znhttp";  // ... under this tag
  size_t held = 0;                // bytes the file holds at the end
};

TEST(GarbageServerTest, EachFaultEndsWithItsCodeAndLogLine) {
  zntest::ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  std::string noise = zntest::Pattern(20000, 12345);
  ASSERT_EQ(std::string::npos, noise.find("\r\n\r\n"));
  const std::string endless = "HTTP/1.1 200 OK\r\nX-Pad: " + std::string(kRecvBufSize, 'a');
  const std::string nulHead = Head("200 OK", {"X-Nul: a?b", "Content-Length: 5"}) + "hello";
  const std::string chunked = Head("200 OK", {"Transfer-Encoding: chunked"});

  const GarbageCase cases[] = {
      {"random bytes filling the buffer", noise, After::kClose, 2,
       "before [16384] not recv Head Complete,let it Error"},
      {"random bytes, then close", noise.substr(0, 1000), After::kClose, 3, "OnClose dwTmpRecvCurPos[1000]"},
      {"a 16 KiB head without an end", endless, After::kStall, 2, "before [16384] not recv Head Complete,let it Error"},
      {"zero byte inside the head", WithNul(nulHead, nulHead.find('?')), After::kClose, 3,
       "OnClose dwTmpRecvCurPos[" + std::to_string(nulHead.size()) + "]"},
      {"zero byte in the status line", WithNul(Head("200 OK", {"Content-Length: 1"}) + "z", 10), After::kClose, 3,
       "OnClose dwTmpRecvCurPos["},
      {"chunk size of 17 hex digits", chunked + "00000000000000001\r\nx\r\n0\r\n\r\n", After::kStall, 2,
       "Chunker HexDigit > MAXNUM_SIZE[16]", 0, "Http"},
      {"chunk size of 16 hex digits", chunked + "FFFFFFFFFFFFFFFF\r\n" + std::string(100, 'c'), After::kClose, 5,
       "m_oRequestInfo.m_nRetryTimes[3] <= [3],FAIL", 0, "znhttp", 100},
      {"chunk data longer than its size", chunked + "5\r\nhelloEXTRA\r\n0\r\n\r\n", After::kStall, 2,
       "Chunker data longer than its size, byte[69]", 1, "Http"},
      {"negative Content-Length", Head("200 OK", {"Content-Length: -1"}) + "hello", After::kStall, 2,
       "Content-Length broken, let it Error", 1},
      {"Content-Length with letters", Head("200 OK", {"Content-Length: 12abc"}) + std::string(12, 'h'), After::kStall,
       2, "Content-Length broken, let it Error", 1},
      {"two Content-Length values", Head("200 OK", {"Content-Length: 5", "Content-Length: 3"}) + "hello",
       After::kStall, 2, "Content-Length broken, let it Error", 1},
      // The retry asks for bytes=100- and gets bytes 0-99 again.
      {"Content-Range beyond 4 GiB",
       Head("206 Partial Content", {"Content-Range: bytes 0-99/5000000000", "Content-Length: 100"}) +
           std::string(100, 'r'),
       After::kClose, 2, "Content-Length Change by Content-Range [100]-->[5000000000]", 2, "znhttp", 100},
      {"Content-Length beyond 64 bits", Head("200 OK", {"Content-Length: 18446744073709551616"}) + "h", After::kStall,
       2, "Content-Length beyond 64 bits, let it Error", 1},
      {"Content-Range total beyond 64 bits",
       Head("206 Partial Content", {"Content-Range: bytes 0-0/99999999999999999999", "Content-Length: 1"}) + "r",
       After::kStall, 2, "Content-Range beyond 64 bits, let it Error", 1},
      // The one attempt from byte 0 that a 416 earns is spent once.
      {"416 to every request", Head("416 Range Not Satisfiable", {"Content-Length: 0"}), After::kStall, 2,
       "Set Recv File 0 Length", 2},
  };
  for (const GarbageCase& c : cases) {
    SCOPED_TRACE(c.name);
    ServerScript script;
    script.ReadRequest().Send(c.answer);
    c.after == After::kClose ? script.Close() : script.Stall();
    zntest::ScriptedServerOptions options;
    options.defaultScript = std::make_shared<ServerScript>(script);
    ScriptedServer server({script}, options);
    ASSERT_TRUE(server.ok());

    zntest::LogCapture log(4);
    const std::string target = dir.File("garbage.bin");
    zntest::RemoveFile(target);
    EXPECT_EQ(zntest::DownloadOnce(server.Url("/g.bin"), target, kRecvTimeoutMs, kDownloadBound),
              std::vector<uint32_t>{c.code});
    EXPECT_TRUE(log.Has(c.logText, c.logTag)) << "missing log line: " << c.logText;
    if (c.requests != 0) {
      EXPECT_EQ(c.requests, server.RequestCount());
    }
    EXPECT_EQ(c.held, zntest::ReadWholeFile(target).size());
  }
}

// Locations as servers send them: 10 KiB long, with raw bytes and a
// fragment, scheme-relative. The next request carries the whole target,
// encoded, without the fragment, and to the server named; the caller's
// credentials go along only while scheme, host and port stay the same.
TEST(GarbageServerTest, LocationsAreFollowedWholeAndCredentialsStayWithTheirOrigin) {
  const std::string longPath = "/" + std::string(10240, 'l');
  const struct {
    const char* name;
    std::string location;  // "{T}" stands for the second server's address
    bool toTarget;         // the next request goes to the second server, else back on a new connection
    std::string path;      // of the next request line
  } cases[] = {
      {"10 KiB, absolute", "http://{T}" + longPath, true, longPath},
      {"10 KiB, relative", longPath, false, longPath},
      {"raw bytes and a fragment", "/a b\x01\xC3\xA9?q r#frag", false, "/a%20b%01%C3%A9?q%20r"},
      {"scheme-relative", "//{T}/s#x", true, "/s"},
  };
  const char* const kCredentials[] = {"Authorization", "Cookie", "Proxy-Authorization"};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ServerScript ok = ServerScript().ReadRequest().Send(Head("200 OK", {"Content-Length: 2"}) + "ok");
    ScriptedServer target({ok});
    ASSERT_TRUE(target.ok());
    std::string location = c.location;
    if (location.find("{T}") != std::string::npos) {
      location.replace(location.find("{T}"), 3, "127.0.0.1:" + std::to_string(target.port()));
    }
    std::vector<ServerScript> scripts{
        ServerScript().ReadRequest().Send(Head("302 Found", {"Location: " + location, "Content-Length: 0"}))};
    if (!c.toTarget) scripts.push_back(ok);
    ScriptedServer redirector(scripts);
    ASSERT_TRUE(redirector.ok());
    ScriptedServer& second = c.toTarget ? target : redirector;
    const size_t secondRequest = c.toTarget ? 0 : 1;

    zntest::LogCapture log(4);
    zntest::Host host;
    host->AddHeader(zntest::U16("Authorization"), zntest::U16("Basic eDp5"));
    host->AddHeaderLine(zntest::U16("Cookie: a=1"));
    host->AddHeader(zntest::U16("Proxy-Authorization"), zntest::U16("Basic cDpx"));
    host->AddHeader(zntest::U16("X-Keep"), zntest::U16("1"));
    ASSERT_TRUE(host->Download(zntest::U16(redirector.Url("/start")), nullptr));
    EXPECT_EQ(0, host.WaitComplete());
    EXPECT_EQ("ok", host.Body());
    ASSERT_EQ(1u, host.rec().Count("OnRedirected"));
    for (const auto& e : host.rec().Events()) {
      if (e.name == "OnRedirected") {
        EXPECT_EQ(second.Url(c.path), e.text);
      }
    }
    EXPECT_TRUE(log.Has("Redirection URL["));
    ASSERT_TRUE(second.WaitRequests(secondRequest + 1, std::chrono::seconds(5)));
    const std::string first = redirector.Request(0), next = second.Request(secondRequest);
    EXPECT_EQ(0u, next.find("GET " + c.path + " HTTP/1.1\r\n")) << next.substr(0, 200);
    EXPECT_EQ("1", zntest::HeaderOf(next, "X-Keep"));
    for (const char* name : kCredentials) {
      EXPECT_NE("", zntest::HeaderOf(first, name)) << name;
      EXPECT_EQ(c.toTarget, zntest::HeaderOf(next, name).empty()) << name;
    }
  }
}

}  // namespace
