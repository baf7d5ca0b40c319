// The request engine end to end against a real nginx on loopback: downloads
// to files over HTTP and HTTPS, resume, a server without ranges, conditional
// requests, status codes, redirects, connection reuse and the in-memory and
// stream targets.
#include <gtest/gtest.h>

#include <atomic>

#include "ClientTestUtil.h"
#include "base/znsocket.h"
#include "support/NginxFixture.h"
#include "support/TestSha256.h"

namespace {

using zntest::Host;
using zntest::NginxFixture;
using zntest::TempDir;

// The largest download of the size table: 256 MiB when ZN_BIG_TESTS is set
// in the environment, else a size that keeps the binary quick (smaller still
// under the sanitizers, where a transfer is much slower).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr uint64_t kDefaultLargeSize = 4ull << 20;
#else
constexpr uint64_t kDefaultLargeSize = 24ull << 20;
#endif
const uint64_t kLargeSize = getenv("ZN_BIG_TESTS") ? (256ull << 20) : kDefaultLargeSize;

zn::strutf8 U8(const std::string& s) { return zn::strutf8(s.c_str()); }
zn::strutf16 U16(const std::string& s) { return zn::strutf16(s.c_str()); }

// A host stream that keeps what it is given and records its end.
class CollectingStream : public IZNStreamWriter {
 public:
  struct Shared {
    std::mutex mutex;
    std::string bytes;
    std::atomic<int> closed{0};
    std::atomic<int> deleted{0};
  };
  explicit CollectingStream(Shared* shared) : m_pShared(shared) {}
  ~CollectingStream() override { ++m_pShared->deleted; }
  void Close() override { ++m_pShared->closed; }
  uint64_t Write(const void* data, uint32_t len) override {
    std::lock_guard<std::mutex> g(m_pShared->mutex);
    m_pShared->bytes.append(static_cast<const char*>(data), len);
    return len;
  }

 private:
  Shared* m_pShared;  // borrowed; outlives the stream
};

class CHttpClientEngineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_pNginx = new NginxFixture(); }
  static void TearDownTestSuite() {
    delete s_pNginx;
    s_pNginx = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(s_pNginx->ok()) << s_pNginx->error(); }
  static NginxFixture& nginx() { return *s_pNginx; }
  // Access log lines that name path in their request line, once there are
  // at least n of them (bounded).
  static std::vector<zntest::AccessLogEntry> LogOf(const std::string& path, size_t n = 0) {
    return nginx().AccessLogOf(path, n);
  }
  static NginxFixture* s_pNginx;
  TempDir m_dir;
};
NginxFixture* CHttpClientEngineTest::s_pNginx = nullptr;

TEST_F(CHttpClientEngineTest, DownloadsToAFileOverHttpAndHttps) {
  struct Case {
    uint64_t size;
    bool https;
  };
  const Case cases[] = {{0, false},    {1, false},          {16383, false},      {16384, false},
                        {1000001, false}, {kLargeSize, false}, {0, true},          {1, true},
                        {16385, true},  {1000001, true},      {kLargeSize, true}};
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << (c.https ? " https" : " http"));
    const std::string name = "f" + std::to_string(c.size);
    const std::string sha = nginx().MakeFile(name, c.size);
    ASSERT_FALSE(sha.empty());
    Host host;
    const std::string target = m_dir.File("out" + std::to_string(n++));
    const std::string url = c.https ? nginx().HttpsUrl("/files/" + name) : nginx().HttpUrl("/files/" + name);
    ASSERT_TRUE(host->Download(U8(url), U8(target), nullptr, false));
    EXPECT_TRUE(host->IsRunning());
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

TEST_F(CHttpClientEngineTest, ResumeAsksForTheRestAndAppends) {
  struct Case {
    const char* location;  // "/files/" answers ranges, "/norange/" sends the whole file
    uint64_t present;
    bool resumeArgument;   // the call's flag, else SetResume
    const char* expectedRange;
    uint64_t reportedPresent;  // OnDownloadStart's first value
  };
  const uint64_t size = 300000;
  const Case cases[] = {
      {"/files/", 1000, true, "bytes=1000-", 1000},
      {"/files/", 123457, false, "bytes=123457-", 123457},
      // Answered from the start: the file is emptied before the body starts.
      {"/norange/", 1000, true, "bytes=1000-", 0},
  };
  const std::string sha = nginx().MakeFile("resume", size);
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.location + std::to_string(c.present));
    const std::string target = m_dir.File("resume" + std::to_string(n++));
    ASSERT_TRUE(zntest::WriteFile(target, NginxFixture::FileBytes("resume", size, 0, c.present)));
    Host host;
    if (!c.resumeArgument) host->SetResume(true);
    const std::string path = std::string(c.location) + "resume";
    const size_t before = LogOf(path).size();
    ASSERT_TRUE(host->Download(U8(nginx().HttpUrl(path)), U8(target), nullptr, c.resumeArgument));
    ASSERT_EQ(host.WaitComplete(), 0);
    EXPECT_EQ(zntest::Sha256OfFile(target), sha);
    std::vector<zntest::AccessLogEntry> log = LogOf(path, before + 1);
    ASSERT_EQ(log.size(), before + 1);
    EXPECT_EQ(log.back().range, c.expectedRange);
    // The download start reports what the file already held.
    for (const auto& e : host.rec().Events()) {
      if (e.name == "OnDownloadStart") {
        EXPECT_EQ(e.a, c.reportedPresent);
      }
    }
  }
}

TEST_F(CHttpClientEngineTest, RangePastTheEndIsAnsweredFromTheStartOnTheNextAttempt) {
  const uint64_t size = 20000;
  const std::string sha = nginx().MakeFile("longer", size);
  const std::string target = m_dir.File("longer");
  // The local file is longer than the resource: the server answers 416.
  ASSERT_TRUE(zntest::WriteFile(target, std::string(size + 10, 'z')));
  Host host;
  ASSERT_TRUE(host->Download(U8(nginx().HttpUrl("/files/longer")), U8(target), nullptr, true));
  ASSERT_EQ(host.WaitComplete(), 0);
  EXPECT_EQ(zntest::Sha256OfFile(target), sha);
  std::vector<zntest::AccessLogEntry> log = LogOf("/files/longer", 2);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].status, 416);
  EXPECT_EQ(log[0].range, "bytes=" + std::to_string(size + 10) + "-");
  EXPECT_EQ(log[1].status, 200);
  EXPECT_EQ(log[1].range, "-");
}

TEST_F(CHttpClientEngineTest, ExistingFileIsEmptiedWithoutResume) {
  const std::string sha = nginx().MakeFile("fresh", 5000);
  const std::string target = m_dir.File("fresh");
  ASSERT_TRUE(zntest::WriteFile(target, std::string(100000, 'x')));
  Host host;
  ASSERT_TRUE(host->Download(U8(nginx().HttpUrl("/files/fresh")), U8(target), nullptr, false));
  ASSERT_EQ(host.WaitComplete(), 0);
  EXPECT_EQ(zntest::Sha256OfFile(target), sha);
  EXPECT_EQ(LogOf("/files/fresh", 1).back().range, "-");
}

TEST_F(CHttpClientEngineTest, IfModifiedSinceAnsweredNotModified) {
  nginx().MakeFile("ims", 1000);
  struct Case {
    SYSTEMTIME when;
    int64_t code;
    const char* header;
  };
  const Case cases[] = {
      {{2037, 1, 4, 1, 0, 0, 0, 0}, 1, "Thu, 01 Jan 2037 00:00:00 GMT"},
      {{2000, 2, 2, 29, 13, 5, 9, 0}, 0, "Tue, 29 Feb 2000 13:05:09 GMT"},
  };
  size_t logged = 0;
  for (const Case& c : cases) {
    Host host;
    const std::string target = m_dir.File("ims");
    ASSERT_TRUE(host->Download(U16(nginx().HttpUrl("/files/ims")), U16(target), &c.when, false));
    EXPECT_EQ(host.WaitComplete(), c.code);
    EXPECT_EQ(LogOf("/files/ims", ++logged).back().ifModifiedSince, c.header);
  }
}

TEST_F(CHttpClientEngineTest, StatusCodesGiveTheirResults) {
  struct Case {
    int status;
    int64_t code;
  };
  const Case cases[] = {{401, 3}, {404, 7}, {503, 8}, {299, 2}, {403, 2}, {400, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    Host host;
    const std::string path = "/status/" + std::to_string(c.status);
    ASSERT_TRUE(host->Download(U8(nginx().HttpUrl(path)), U8(m_dir.File("status")), nullptr, false));
    EXPECT_EQ(host.WaitComplete(), c.code);
    EXPECT_EQ(host->GetStatusCode(), static_cast<uint32_t>(c.status));
    zn::strutf16 head;
    EXPECT_TRUE(host->GetResponseHead(head));
    EXPECT_EQ(zn::strutf8(head).find(std::to_string(c.status).c_str()), 9);
  }
}

TEST_F(CHttpClientEngineTest, RedirectsAreFollowedUpToFive) {
  const std::string sha = nginx().MakeFile("target", 7777);
  struct Case {
    std::string path;
    int64_t code;
    size_t redirects;  // OnRedirected reports
  };
  const Case cases[] = {
      {"/redir/1/target", 0, 1}, {"/redir/5/target", 0, 5}, {"/redir/6/target", 2, 6},
      {"/rel/3/target", 0, 3},   {"/self", 7, 0},           {"/self-rel", 7, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    Host host;
    const std::string target = m_dir.File("redir");
    remove(target.c_str());
    ASSERT_TRUE(host->Download(U8(nginx().HttpUrl(c.path)), U8(target), nullptr, false));
    EXPECT_EQ(host.WaitComplete(), c.code);
    size_t redirects = 0;
    for (const auto& e : host.rec().Events()) redirects += e.name == "OnRedirected";
    EXPECT_EQ(redirects, c.redirects);
    if (c.code == 0) {
      EXPECT_EQ(zntest::Sha256OfFile(target), sha);
    }
  }
}

TEST_F(CHttpClientEngineTest, SynchronousRedirectReportRewritesTheTarget) {
  nginx().MakeFile("first", 100);
  const std::string sha = nginx().MakeFile("second", 200);
  Host host;
  host->SetSyncRedirectNotify(true);
  host.notify().m_rewrite = nginx().HttpUrl("/files/second");
  const std::string target = m_dir.File("sync");
  ASSERT_TRUE(host->Download(U8(nginx().HttpUrl("/redir/1/first")), U8(target), nullptr, false));
  ASSERT_EQ(host.WaitComplete(), 0);
  EXPECT_EQ(zntest::Sha256OfFile(target), sha);
  // The in-place report runs on the worker, not on the notify task.
  for (const auto& e : host.rec().Events()) {
    if (e.name == "OnRedirected") {
      EXPECT_NE(e.thread, host.task()->getthreadid());
    }
  }
}

TEST_F(CHttpClientEngineTest, SecondDownloadReusesTheConnection) {
  nginx().MakeFile("reuse", 50000);
  struct Case {
    bool https;
    std::string secondHost;  // host text of the second URL
    bool reused;
  };
  const Case cases[] = {
      {false, "127.0.0.1", true},
      {true, "127.0.0.1", true},
      {false, "localhost", false},  // a name and its address literal are different keys
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.secondHost + (c.https ? " https" : " http"));
    Host host;
    const uint16_t port = c.https ? nginx().httpsPort() : nginx().httpPort();
    const std::string scheme = c.https ? "https://" : "http://";
    const std::string first = scheme + "127.0.0.1:" + std::to_string(port) + "/files/reuse";
    const std::string second = scheme + c.secondHost + ":" + std::to_string(port) + "/files/reuse";
    const size_t before = LogOf("/files/reuse").size();
    ASSERT_TRUE(host->Download(U8(first), U8(m_dir.File("r1")), nullptr, false));
    ASSERT_EQ(host.WaitComplete(1), 0);
    ASSERT_TRUE(host->Download(U8(second), U8(m_dir.File("r2")), nullptr, false));
    ASSERT_EQ(host.WaitComplete(2), 0);
    std::vector<zntest::AccessLogEntry> log = LogOf("/files/reuse", before + 2);
    ASSERT_EQ(log.size(), before + 2);
    const auto& a = log[log.size() - 2];
    const auto& b = log[log.size() - 1];
    EXPECT_EQ(a.connection == b.connection, c.reused);
    if (c.reused) {
      EXPECT_EQ(b.connectionRequests, a.connectionRequests + 1);
    }
    // OnConnected is reported for both requests, reused or not.
    size_t connected = 0;
    for (const auto& e : host.rec().Events()) connected += e.name == "OnConnected";
    EXPECT_EQ(connected, 2u);
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

TEST_F(CHttpClientEngineTest, DownloadsToMemoryAndToAHostStream) {
  const uint64_t size = 250000;
  const std::string sha = nginx().MakeFile("mem", size);
  {
    Host host;
    ASSERT_TRUE(host->Download(U16(nginx().HttpsUrl("/files/mem")), nullptr));
    ASSERT_EQ(host.WaitComplete(), 0);
    const unsigned char* data = nullptr;
    uint32_t len = 0;
    ASSERT_TRUE(host->GetDownloadedBuffer(&data, &len));
    EXPECT_EQ(len, size);
    EXPECT_EQ(zntest::Sha256Hex(data, len), sha);
  }
  CollectingStream::Shared shared;
  {
    Host host;
    ASSERT_TRUE(host->DownloadToStream(U16(nginx().HttpUrl("/files/mem")), new CollectingStream(&shared), 0));
    ASSERT_EQ(host.WaitComplete(), 0);
    {
      std::lock_guard<std::mutex> g(shared.mutex);
      EXPECT_EQ(zntest::Sha256Hex(shared.bytes), sha);
    }
  }
  EXPECT_EQ(shared.deleted.load(), 1);  // owned by the request, freed with the client
}

TEST_F(CHttpClientEngineTest, RequestToBufferGetAndPost) {
  nginx().MakeFile("buf", 300);
  struct Case {
    int32_t method;
    std::string path;
    std::string body;
    std::string answer;
  };
  const Case cases[] = {
      {HTTPMETHOD_GET, "/files/buf", "", NginxFixture::FileBytes("buf", 300, 0, 300)},
      {HTTPMETHOD_POST, "/post", std::string(70000, 'p'), "posted\n"},
      {HTTPMETHOD_POST, "/post", "", "posted\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    Host host;
    ASSERT_TRUE(host->HttpRequestToBuffer(U16(nginx().HttpUrl(c.path)), c.method, c.body.data(),
                                          static_cast<uint32_t>(c.body.size())));
    ASSERT_EQ(host.WaitComplete(), 0);
    const unsigned char* data = nullptr;
    uint32_t len = 0;
    ASSERT_TRUE(host->GetDownloadedBuffer(&data, &len));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), len), c.answer);
  }
  // The host-list form: path, port text and the addresses.
  Host host;
  zn::hostlist hosts;
  hosts.push_back(zn::strutf8("127.0.0.1"));
  ASSERT_TRUE(host->HttpRequestToBuffer(U16("/files/buf"), U16(std::to_string(nginx().httpPort())), hosts,
                                        HTTPMETHOD_GET, nullptr, 0));
  ASSERT_EQ(host.WaitComplete(), 0);
  EXPECT_EQ(host->GetStatusCode(), 200u);
}

TEST_F(CHttpClientEngineTest, HostListDownload) {
  const std::string sha = nginx().MakeFile("list", 4321);
  Host host;
  zn::hostlist hosts;
  hosts.push_back(zn::strutf8("127.0.0.1"));
  const std::string target = m_dir.File("list");
  ASSERT_TRUE(host->Download(U16("/files/list"), U16(std::to_string(nginx().httpPort())), hosts, U16(target),
                             nullptr, false));
  ASSERT_EQ(host.WaitComplete(), 0);
  EXPECT_EQ(zntest::Sha256OfFile(target), sha);
}

TEST_F(CHttpClientEngineTest, NotificationOrderOfADownload) {
  nginx().MakeFile("order", 100000);
  Host host(0xFF);
  ASSERT_TRUE(host->Download(U8(nginx().HttpUrl("/redir/1/order")), U8(m_dir.File("order")), nullptr, false));
  ASSERT_EQ(host.WaitComplete(), 0);
  const std::vector<std::string> expected = {"OnConnecting",    "OnConnected", "OnRedirected",
                                             "OnConnected",     "OnDownloadStart", "OnDownloadComplete"};
  EXPECT_EQ(host.Course(), expected);
  // The forced progress report at the end of the body carries the whole size.
  std::vector<zntest::HostEvent> ev = host.rec().Events();
  ASSERT_GE(ev.size(), 2u);
  EXPECT_EQ(ev[ev.size() - 2].name, "OnProgress");
  EXPECT_EQ(ev[ev.size() - 2].a, 100000u);
  EXPECT_EQ(ev[ev.size() - 2].b, 100000u);
  for (const auto& e : ev) EXPECT_EQ(e.thread, host.task()->getthreadid()) << e.name;
}

TEST_F(CHttpClientEngineTest, NextTransferStartsFromInsideTheCompletion) {
  const std::string sha = nginx().MakeFile("chain", 3000);
  // With a notify task, and without one: then the callback runs on the
  // worker, inside the completion step of the first request.
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
    EXPECT_EQ(log[log.size() - 1].connection, log[log.size() - 2].connection);
  }
}

}  // namespace
