// The request engine end to end against a real nginx on loopback: downloads
// to files over HTTP and HTTPS, resume, a server without ranges, conditional
// requests, status codes, redirects and their reports, connection reuse and
// the in-memory, stream and host-list targets.
#include <gtest/gtest.h>

#include <atomic>

#include "ClientTestUtil.h"
#include "include/znhttpclienttls.h"
#include "base/znsocket.h"
#include "support/TestSha256.h"

namespace {

using zntest::Host;
using zntest::NginxFixture;
using zntest::U16;
using zntest::U8;

// The largest download: 256 MiB when ZN_BIG_TESTS is set, else a size that
// keeps the binary quick (smaller still under the sanitizers).
constexpr uint64_t kDefaultLargeSize = zntest::kSanitizedBuild ? 4ull << 20 : 24ull << 20;
const uint64_t kLargeSize = getenv("ZN_BIG_TESTS") ? (256ull << 20) : kDefaultLargeSize;

class CHttpClientEngineTest : public zntest::NginxSuite {
 protected:
  // Access log lines naming path, once there are at least n of them (bounded).
  static std::vector<zntest::AccessLogEntry> LogOf(const std::string& path, size_t n = 0) {
    return nginx().AccessLogOf(path, n);
  }
  zntest::ScratchDir m_dir;
};

TEST_F(CHttpClientEngineTest, DownloadsToAFileOverHttpAndHttps) {
  const struct {
    uint64_t size;
    bool https;
  } cases[] = {{0, false}, {1, false}, {16383, false}, {16384, false},  {1000001, false},  {kLargeSize, false},
               {0, true},  {1, true},  {16385, true},  {1000001, true}, {kLargeSize, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << (c.https ? " https" : " http"));
    const std::string name = "f" + std::to_string(c.size);
    const std::string sha = nginx().MakeFile(name, c.size);
    ASSERT_FALSE(sha.empty());
    Host host;
    const std::string target = m_dir.File("out");
    const std::string url = c.https ? nginx().HttpsUrl("/files/" + name) : nginx().HttpUrl("/files/" + name);
    {
      // Held back on the notify task, the completion cannot clear the flag yet.
      zntest::TaskGate gate(host.task());
      ASSERT_TRUE(host->Download(U8(url), U8(target), nullptr, false));
      EXPECT_TRUE(host->IsRunning());
    }
    ASSERT_EQ(host.WaitComplete(1, std::chrono::seconds(120)), 0);
    EXPECT_FALSE(host->IsRunning());
    EXPECT_EQ(host->GetStatusCode(), 200u);
    EXPECT_EQ(zntest::Sha256OfFile(target), sha);
    zn::strutf16 path;
    EXPECT_TRUE(host->GetDownloadFilePath(path));
    EXPECT_STREQ(zn::strutf8(path).c_str(), target.c_str());
    remove(target.c_str());
  }
}

TEST_F(CHttpClientEngineTest, LocalFileIsResumedOrReplaced) {
  const uint64_t size = 300000;
  const std::string sha = nginx().MakeFile("resume", size);
  const uint64_t kAny = ~0ull;
  const struct {
    const char* name;
    const char* location;                          // "/files/" answers ranges, "/norange/" sends the whole file
    std::string local;                             // the file before the download
    int resume;                                    // 0 none, 1 the call's flag, 2 SetResume
    std::vector<std::pair<int, std::string>> log;  // status and Range of each request
    uint64_t reportedPresent;                      // OnDownloadStart's first value
  } cases[] = {
      {"resume flag", "/files/", NginxFixture::FileBytes("resume", size, 0, 1000), 1, {{206, "bytes=1000-"}}, 1000},
      {"SetResume", "/files/", NginxFixture::FileBytes("resume", size, 0, 123457), 2, {{206, "bytes=123457-"}}, 123457},
      // Answered from the start: the file is emptied before the body starts.
      {"server without ranges",
       "/norange/",
       NginxFixture::FileBytes("resume", size, 0, 1000),
       1,
       {{200, "bytes=1000-"}},
       0},
      // Longer than the resource: 416, then the next attempt asks for all of it.
      {"range past the end",
       "/files/",
       std::string(size + 10, 'z'),
       1,
       {{416, "bytes=" + std::to_string(size + 10) + "-"}, {200, "-"}},
       kAny},
      {"no resume empties the file", "/files/", std::string(400000, 'x'), 0, {{200, "-"}}, kAny},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string target = m_dir.File("resume");
    ASSERT_TRUE(zntest::WriteWholeFile(target, c.local));
    Host host;
    if (c.resume == 2) host->SetResume(true);
    const std::string path = std::string(c.location) + "resume";
    const size_t before = LogOf(path).size();
    ASSERT_TRUE(host->Download(U8(nginx().HttpUrl(path)), U8(target), nullptr, c.resume == 1));
    ASSERT_EQ(host.WaitComplete(), 0);
    EXPECT_EQ(zntest::Sha256OfFile(target), sha);
    std::vector<zntest::AccessLogEntry> log = LogOf(path, before + c.log.size());
    ASSERT_EQ(log.size(), before + c.log.size());
    for (size_t i = 0; i < c.log.size(); ++i) {
      EXPECT_EQ(log[before + i].status, c.log[i].first) << i;
      EXPECT_EQ(log[before + i].range, c.log[i].second) << i;
    }
    for (const auto& e : host.rec().Events()) {
      if (e.name == "OnDownloadStart" && c.reportedPresent != kAny) {
        EXPECT_EQ(e.a, c.reportedPresent);
      }
    }
  }
}

// Lengths past 4 GiB, served from sparse files that cost no disk: a body of
// 4 GiB + 1 MiB arrives whole in a host stream, and a partial file of 4 GiB +
// 100 bytes is resumed from its end. OnDownloadStart's 32-bit values are
// clamped.
TEST_F(CHttpClientEngineTest, LengthsPast4GiB) {
  const uint64_t hole = 4ull << 30;
  const std::string tail = NginxFixture::FileBytes("big", 1 << 20, 0, 1 << 20);
  ASSERT_FALSE(nginx().MakeSparseFile("big", hole, tail).empty());
  const uint64_t size = hole + tail.size();
  for (bool resume : {false, true}) {
    SCOPED_TRACE(resume ? "resume" : "stream");
    Host host;
    const size_t before = LogOf("/files/big").size();
    zntest::StreamRecord stream;
    const std::string target = m_dir.File("big");
    const std::string url = nginx().HttpUrl("/files/big");
    if (resume) {
      ASSERT_TRUE(zntest::WriteSparseFile(target, hole, tail.substr(0, 100)));
      ASSERT_TRUE(host->Download(U8(url), U8(target), nullptr, true));
    } else {
      ASSERT_TRUE(host->DownloadToStream(U16(url), new zntest::RecordingStream(&stream), 0));
    }
    ASSERT_EQ(host.WaitComplete(1, std::chrono::seconds(300)), 0);
    const std::vector<zntest::AccessLogEntry> log = LogOf("/files/big", before + 1);
    ASSERT_EQ(log.size(), before + 1);
    EXPECT_EQ(log[before].status, resume ? 206 : 200);
    EXPECT_EQ(log[before].range, resume ? "bytes=" + std::to_string(hole + 100) + "-" : "-");
    if (resume) {
      EXPECT_EQ(zntest::FileSize(target), size);
      EXPECT_TRUE(zntest::ReadFileFrom(target, hole) == tail);
      remove(target.c_str());
    } else {
      EXPECT_EQ(stream.bytes.load(), size);
    }
    for (const auto& e : host.rec().Events()) {
      if (e.name != "OnDownloadStart") continue;
      EXPECT_EQ(e.a, resume ? 0xFFFFFFFFu : 0u);
      EXPECT_EQ(e.b, 0xFFFFFFFFu);
    }
  }
}

// An empty answer and an error page to a file; a conditional request carries
// its date as an HTTP date, and a 304 ends it with 1.
TEST_F(CHttpClientEngineTest, StatusCodesGiveTheirResults) {
  nginx().MakeFile("ims", 1000);
  const SYSTEMTIME future = {2037, 1, 4, 1, 0, 0, 0, 0};
  const SYSTEMTIME past = {2000, 2, 2, 29, 13, 5, 9, 0};
  const struct {
    std::string path;
    const SYSTEMTIME* since;
    int status;
    int64_t code;
    const char* logged;  // the If-Modified-Since line nginx logged
  } cases[] = {
      {"/status/204", nullptr, 204, 0, nullptr},
      {"/status/500", nullptr, 500, 2, nullptr},  // an error page is no file
      {"/files/ims", &future, 304, 1, "Thu, 01 Jan 2037 00:00:00 GMT"},
      {"/files/ims", &past, 200, 0, "Tue, 29 Feb 2000 13:05:09 GMT"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    Host host;
    const size_t before = LogOf(c.path).size();
    ASSERT_TRUE(host->Download(U16(nginx().HttpUrl(c.path)), U16(m_dir.File("status")), c.since, false));
    EXPECT_EQ(host.WaitComplete(), c.code);
    EXPECT_EQ(host->GetStatusCode(), static_cast<uint32_t>(c.status));
    zn::strutf16 head;
    EXPECT_TRUE(host->GetResponseHead(head));
    EXPECT_EQ(zn::strutf8(head).find(std::to_string(c.status).c_str()), 9);
    if (c.logged) {
      EXPECT_EQ(LogOf(c.path, before + 1).back().ifModifiedSince, c.logged);
    }
  }
}

// Redirects are followed up to five, each reported between two connections
// (a kept one is reported again). A report made in place, on the worker, may
// rewrite the target; one made on the notify task may not.
TEST_F(CHttpClientEngineTest, RedirectsAreFollowedUpToFive) {
  const std::string sha = nginx().MakeFile("target", 7777);
  const std::string otherSha = nginx().MakeFile("other", 200);
  const std::string other = nginx().HttpUrl("/files/other");
  struct Case {
    std::string path;
    int64_t code;
    size_t redirects;       // OnRedirected reports
    bool sync = false;      // reported in place
    std::string rewrite{};  // the host's new target, given in the report
  };
  const Case cases[] = {
      {"/redir/1/target", 0, 1},
      {"/redir/5/target", 0, 5},
      {"/redir/6/target", 2, 6},
      {"/rel/3/target", 0, 3},
      {"/self", 7, 0},
      {"/self-rel", 7, 0},
      {"/redir/1/target", 0, 1, true, other},
      {"/redir/1/target", 0, 1, true},
      {"/redir/1/target", 0, 1, false, other},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + (c.sync ? " in place" : "") + (c.rewrite.empty() ? "" : " rewritten"));
    Host host;
    host->SetSyncRedirectNotify(c.sync);
    host.notify().m_rewrite = c.rewrite;
    const std::string target = m_dir.File("redir");
    remove(target.c_str());
    ASSERT_TRUE(host->Download(U8(nginx().HttpUrl(c.path)), U8(target), nullptr, false));
    EXPECT_EQ(host.WaitComplete(), c.code);
    EXPECT_EQ(host.rec().Count("OnRedirected"), c.redirects);
    const std::vector<zntest::HostEvent> ev = host.rec().Events();
    for (const auto& e : ev) {
      EXPECT_EQ(e.thread == host.task()->getthreadid(), !(c.sync && e.name == "OnRedirected")) << e.name;
    }
    if (c.code != 0) continue;
    EXPECT_EQ(zntest::Sha256OfFile(target), c.sync && !c.rewrite.empty() ? otherSha : sha);
    std::vector<std::string> course = {"OnConnecting", "OnConnected"};
    for (size_t i = 0; i < c.redirects; ++i) course.insert(course.end(), {"OnRedirected", "OnConnected"});
    course.insert(course.end(), {"OnDownloadStart", "OnDownloadComplete"});
    // A report made in place overtakes the ones still queued on the notify task.
    if (!c.sync) {
      EXPECT_EQ(host.Course(), course);
    }
    // The forced progress report at the end of the body carries the whole size.
    ASSERT_GE(ev.size(), 2u);
    EXPECT_EQ(ev[ev.size() - 2].name, "OnProgress");
    EXPECT_EQ(ev[ev.size() - 2].a, zntest::FileSize(target));
    EXPECT_EQ(ev[ev.size() - 2].b, zntest::FileSize(target));
  }
}

// A kept connection serves the next request only on the same channel: scheme,
// host text, port, certificate name and verification. Otherwise the request
// opens its own, and what that connection meets decides: a plain request on
// the TLS port gets nginx's 400, a handshake on the plain port fails, a name
// the certificate does not carry is refused.
TEST_F(CHttpClientEngineTest, SecondDownloadReusesTheConnection) {
  nginx().MakeFile("reuse", 50000);
  const struct {
    bool https;              // of the first URL; the port follows it
    std::string secondHost;  // host text of the second URL
    bool reused;
    const char* secondScheme = nullptr;  // when it differs from the first
    const char* sslName = "";            // given with the second request
    bool verify = false;                 // turned on before the second request
    int64_t code = 0;                    // of the second request
    int status = 200;                    // nginx logged for it, 0 when no request line arrived
  } cases[] = {
      {false, "127.0.0.1", true},
      {true, "127.0.0.1", true},
      {false, "localhost", false},  // a name and its address literal are different keys
      {true, "127.0.0.1", false, "http://", "", false, 2, 400},
      {false, "127.0.0.1", false, "https://", "", false, 5, 0},
      {true, "127.0.0.1", false, nullptr, "", true},
      {true, "127.0.0.1", false, nullptr, "other.test", false, 5, 0},
  };
  for (const auto& c : cases) {
    const std::string scheme = c.https ? "https://" : "http://";
    const std::string secondScheme = c.secondScheme ? c.secondScheme : scheme;
    SCOPED_TRACE(scheme + " then " + secondScheme + c.secondHost + " " + c.sslName + (c.verify ? " verified" : ""));
    Host host;
    const uint16_t port = c.https ? nginx().httpsPort() : nginx().httpPort();
    const std::string first = scheme + "127.0.0.1:" + std::to_string(port) + "/files/reuse";
    const std::string second = secondScheme + c.secondHost + ":" + std::to_string(port) + "/files/reuse";
    const size_t before = LogOf("/files/reuse").size();
    ASSERT_TRUE(host->Download(U8(first), U8(m_dir.File("r1")), nullptr, false));
    ASSERT_EQ(host.WaitComplete(1), 0);
    if (c.verify) {
      ASSERT_TRUE(zn_httpclient_set_tls_verify(host.get(), true, nginx().CaFile().c_str()));
    }
    ASSERT_TRUE(host->Download(U8(second), U8(c.sslName), U8(m_dir.File("r2")), nullptr, false));
    const int64_t code = host.WaitComplete(2);
    EXPECT_EQ(code, c.code);
    if (code != c.code) continue;
    const size_t logged = c.status ? 2 : 1;
    std::vector<zntest::AccessLogEntry> log = LogOf("/files/reuse", before + logged);
    ASSERT_EQ(log.size(), before + logged);
    if (!c.status) continue;
    const auto& a = log[before];
    const auto& b = log[before + 1];
    EXPECT_EQ(b.status, c.status);
    EXPECT_EQ(a.connection == b.connection, c.reused);
    if (c.reused) {
      EXPECT_EQ(b.connectionRequests, a.connectionRequests + 1);
    }
    if (c.code != 0) continue;
    // OnConnected is reported for both requests, reused or not.
    EXPECT_EQ(host.rec().Count("OnConnected"), 2u);
    zn::strutf8 sockHost;
    uint16_t sockPort = 0;
    EXPECT_TRUE(host->GetConnectedAddress(sockHost, sockPort));
    EXPECT_STREQ(sockHost.c_str(), c.secondHost.c_str());
    EXPECT_EQ(sockPort, port);
    zn::strutf8 peer;
    uint16_t peerPort = 0;
    EXPECT_TRUE(host->GetPeerName(peer, peerPort));
    EXPECT_EQ(peerPort, port);
    EXPECT_TRUE(znsocket_isvalid(host->NativeSocket()));  // the kept connection
  }
}

TEST_F(CHttpClientEngineTest, MemoryStreamAndHostListTargets) {
  const std::string sha = nginx().MakeFile("mem", 250000);
  const std::string posted = zntest::Sha256Hex("posted\n");
  const std::string port = std::to_string(nginx().httpPort());
  const std::string big(70000, 'p');
  zn::hostlist hosts;
  hosts.push_back(zn::strutf8("127.0.0.1"));
  enum Out { kBuffer, kFile, kStream };
  const std::string target = m_dir.File("mem");
  zntest::StreamRecord* shared = nullptr;
  const struct {
    const char* name;
    std::function<bool(zn::IHttpClientEx*)> start;
    Out out;
    std::string sha;
  } cases[] = {
      {"memory over https", [&](auto c) { return c->Download(U16(nginx().HttpsUrl("/files/mem")), nullptr); }, kBuffer,
       sha},
      {"stream",
       [&](auto c) {
         return c->DownloadToStream(U16(nginx().HttpUrl("/files/mem")), new zntest::RecordingStream(shared), 0);
       },
       kStream, sha},
      {"GET to buffer",
       [&](auto c) { return c->HttpRequestToBuffer(U16(nginx().HttpUrl("/files/mem")), HTTPMETHOD_GET, "", 0); },
       kBuffer, sha},
      {"POST",
       [&](auto c) {
         return c->HttpRequestToBuffer(U16(nginx().HttpUrl("/post")), HTTPMETHOD_POST, big.data(), 70000);
       },
       kBuffer, posted},
      {"empty POST",
       [&](auto c) { return c->HttpRequestToBuffer(U16(nginx().HttpUrl("/post")), HTTPMETHOD_POST, "", 0); }, kBuffer,
       posted},
      {"host-list request",
       [&](auto c) { return c->HttpRequestToBuffer(U16("/files/mem"), U16(port), hosts, HTTPMETHOD_GET, nullptr, 0); },
       kBuffer, sha},
      {"host-list download",
       [&](auto c) { return c->Download(U16("/files/mem"), U16(port), hosts, U16(target), nullptr, false); }, kFile,
       sha},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    zntest::StreamRecord stream(true);
    shared = &stream;
    {
      Host host;
      ASSERT_TRUE(c.start(host.get()));
      ASSERT_EQ(host.WaitComplete(), 0);
      const std::string got =
          c.out == kBuffer ? host.Body() : (c.out == kFile ? zntest::ReadWholeFile(target) : stream.kept);
      EXPECT_EQ(zntest::Sha256Hex(got), c.sha);
    }
    // The stream is owned by the request and freed with the client.
    EXPECT_EQ(stream.deleted.load(), c.out == kStream ? 1 : 0);
  }
}

TEST_F(CHttpClientEngineTest, NextTransferStartsFromInsideTheCompletion) {
  const std::string sha = nginx().MakeFile("chain", 3000);
  // Without a notify task the callback runs on the worker, inside the
  // completion step of the first request.
  for (bool withNotifyTask : {true, false}) {
    SCOPED_TRACE(withNotifyTask);
    Host host(0xFF, withNotifyTask);
    const std::string second = m_dir.File("chain2");
    remove(second.c_str());
    std::atomic<int> completions{0};
    std::atomic<bool> started{false};
    host.rec().SetHook([&](const zntest::HostEvent& e) {
      if (e.name == "OnDownloadComplete" && ++completions == 1) {
        started = host->Download(U8(nginx().HttpUrl("/files/chain")), U8(second), nullptr, false);
      }
    });
    const size_t before = LogOf("/files/chain").size();
    ASSERT_TRUE(host->Download(U8(nginx().HttpUrl("/files/chain")), U8(m_dir.File("chain1")), nullptr, false));
    ASSERT_EQ(host.WaitComplete(2), 0);
    EXPECT_TRUE(started.load());
    EXPECT_EQ(zntest::Sha256OfFile(second), sha);
    // The second request ran on the kept connection.
    std::vector<zntest::AccessLogEntry> log = LogOf("/files/chain", before + 2);
    ASSERT_EQ(log.size(), before + 2);
    EXPECT_EQ(log[before + 1].connection, log[before].connection);
  }
}

}  // namespace
