// Connecting sockets on loopback: direct connects, the local bind and the
// hand-over, every way an attempt ends, and CONNECT tunnels through scripted
// proxies.
#include <algorithm>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/znplatform.h"
#include "base/znsocket.h"
#include "base/zntask.h"
#include "support/TestOs.h"
#include "support/ScriptedServer.h"
#include "support/TestNet.h"
#include "support/TestUtil.h"

namespace {

using zntest::kEventWaitMs;

// Records OnConnected and the task it ran on; takes the descriptor over or
// deletes the socket inside the callback when asked.
// Thread: callbacks on the socket's task; the test thread reads through the waiter.
class CnnSink final : public CZNITCPCnnSocketSink {
 public:
  CnnSink(CZNTaskBase* task, CZNITCPCnnSocket** owner, bool handOver, bool deleteInside)
      : m_bHandOver(handOver), m_bDelete(deleteInside), m_pTask(task), m_ppOwner(owner) {}

  void OnConnected(bool bSuccess, uint64_t value) override {
    znsocket_t s = znsocket_makeinvalid();
    const bool handed = bSuccess && m_bHandOver && (*m_ppOwner)->HandOver(s);
    if (m_bDelete) {
      delete *m_ppOwner;
      *m_ppOwner = nullptr;
    }
    m_waiter.Update([&] {
      ++count;
      success = bSuccess;
      reported = value;
      wrongThread |= CZNTaskBase::Current() != m_pTask;
      if (handed) handedOver = s;
    });
  }

  const bool m_bHandOver;  // take the descriptor inside a successful OnConnected
  const bool m_bDelete;    // delete the socket inside OnConnected
  zntest::Waiter m_waiter;
  // Guarded by m_waiter.
  int count = 0;
  bool success = false, wrongThread = false;
  uint64_t reported = 0;  // OnConnected's 64-bit value
  znsocket_t handedOver = znsocket_makeinvalid();

 private:
  CZNTaskBase* m_pTask;          // borrowed: where callbacks must run
  CZNITCPCnnSocket** m_ppOwner;  // borrowed: the test's pointer to the socket
};

// A one-connection proxy played by a script: it reads the request head, then
// writes the answer pieces in order and keeps the connection until the client
// closes it (or closes at once when told).
std::vector<zntest::ServerScript> ProxyScript(const std::vector<std::string>& pieces, bool closeAfterAnswer) {
  zntest::ServerScript script;
  script.ReadHead();
  for (const std::string& piece : pieces) script.Send(piece);
  if (closeAfterAnswer) script.Close();
  return {script};
}

// A listener whose accept queue is full: Linux drops further connection
// requests, so a connect to it stays pending. The queue is filled with
// connects of our own until one no longer completes.
// Thread: the test thread. Owns: the listener and the filling descriptors.
class FullListener final {
 public:
  FullListener() : m_listener("127.0.0.1", 0, 0) {
    for (int i = 0; i < 64 && !m_full; ++i) {
      const int fd = zntest::ConnectTo("127.0.0.1", m_listener.port(), 500);  // answered ones take far less
      m_full = fd < 0;
      if (fd >= 0) m_fds.push_back(fd);
    }
  }
  ~FullListener() {
    for (int fd : m_fds) zntest::CloseSocket(fd);
  }
  FullListener(const FullListener&) = delete;
  FullListener& operator=(const FullListener&) = delete;
  bool full() const { return m_full; }
  uint16_t port() const { return m_listener.port(); }

 private:
  zntest::LoopbackListener m_listener;
  std::vector<int> m_fds;  // owned client descriptors filling the queue
  bool m_full = false;
};

enum class Kind { kDirect, kProxyAware };  // which factory makes the connecting socket

class ZnCnnSocketTest : public ::testing::Test {
 protected:
  void SetUp() override { znnet_setproxy(nullptr, 0); }  // whatever the environment says
  void TearDown() override {
    Destroy();
    if (sink && znsocket_isvalid(sink->handedOver)) znsocket_close(sink->handedOver);
    if (sink) sink->handedOver = znsocket_makeinvalid();
    for (const char* v : {"http_proxy", "https_proxy", "HTTPS_PROXY", "ALL_PROXY", "no_proxy"}) {
      zntest::SetProxyVariable(v, nullptr);
    }
    zntest::SetSystemProxy(nullptr, nullptr);
    znnet_setproxy(nullptr, 0);
  }
  void Destroy() {
    ASSERT_TRUE(task.Run([this] {
      delete cnn;
      cnn = nullptr;
    }));
  }
  // The proxy comes from the system's setting from now on: the environment,
  // or where the system does not read it (Windows), its own setting with the
  // same proxy and bypass list.
  void UseEnvironment(const char* variable, const std::string& url, const char* noProxy = nullptr) {
    if (zntest::SetProxyVariable(variable, url.c_str())) {
      if (noProxy) zntest::SetProxyVariable("no_proxy", noProxy);
    } else {
      std::string hostPort = url.substr(url.find("://") + 3);
      if (hostPort.back() == '/') hostPort.pop_back();
      std::string bypass = noProxy ? noProxy : "";
      bypass.erase(std::remove(bypass.begin(), bypass.end(), ' '), bypass.end());
      std::replace(bypass.begin(), bypass.end(), ',', ';');
      ASSERT_TRUE(zntest::SetSystemProxy(hostPort.c_str(), noProxy ? bypass.c_str() : nullptr));
    }
    znnet_resetproxy();
  }
  // Makes the socket on the task and starts it; the result of Connect.
  bool Start(Kind kind, const char* ip, uint16_t port, uint32_t timeoutMs = kEventWaitMs, const char* bindIp = nullptr,
             uint16_t bindPort = 0, const char* hostName = nullptr) {
    sink = std::make_unique<CnnSink>(task.task(), &cnn, handOver, deleteInside);
    bool started = false;
    EXPECT_TRUE(task.Run([&] {
      cnn = kind == Kind::kDirect ? ZNCreateNoneProxyCnnTCPSocket() : ZNCreateCnnTCPSocket();
      cnn->SetSink(sink.get());
      cnn->SetIpAndPort2Bind(bindIp, bindPort);
      if (hostName) cnn->SetTargetHost(hostName, false);
      started = cnn->Connect(ip, port, timeoutMs);
    }));
    return started;
  }
  bool WaitConnected() { return sink->m_waiter.WaitFor([&] { return sink->count >= 1; }); }
  int Count() { return sink->m_waiter.Get(sink->count); }
  bool Success() { return sink->m_waiter.Get(sink->success); }
  uint64_t Reported() { return sink->m_waiter.Get(sink->reported); }
  int HandedFd() { return static_cast<int>(sink->m_waiter.Get(sink->handedOver)); }

  zntest::TaskThread task{"ZnCnnTest"};
  std::unique_ptr<CnnSink> sink;
  CZNITCPCnnSocket* cnn = nullptr;  // owned; lives on the task
  bool handOver = true;             // for the next Start's sink
  bool deleteInside = false;
};

// Every case connects, once, on the task, to the server and not to the proxy
// the environment names, from the local address asked for; the descriptor it
// hands over still leads to the server after the connecting socket is gone.
TEST_F(ZnCnnSocketTest, ConnectsOnceOnTheTaskAndHandsTheDescriptorOver) {
  zntest::LoopbackListener proxy("127.0.0.1");  // must never be contacted
  const std::string proxyUrl = "http://127.0.0.1:" + std::to_string(proxy.port());
  const uint16_t localPort = zntest::FreeLoopbackPort("127.0.0.2");
  const struct {
    const char* name;
    const char* ip;
    Kind kind;
    const char *bindIp, *serverSees;
    uint16_t bindPort;
    const char *proxyVariable, *noProxy;  // null: no proxy at all
    const char* hostName = nullptr;       // of the URL, for the bypass list
  } cases[] = {
      {"v4", "127.0.0.1", Kind::kDirect, nullptr, "127.0.0.1", 0, nullptr, nullptr},
      {"v6", "::1", Kind::kDirect, nullptr, "::1", 0, nullptr, nullptr},
      {"proxy-aware without a proxy", "127.0.0.1", Kind::kProxyAware, nullptr, "127.0.0.1", 0, nullptr, nullptr},
      {"bind address", "127.0.0.1", Kind::kDirect, "127.0.0.2", "127.0.0.2", 0, nullptr, nullptr},
      {"bind address and port", "127.0.0.1", Kind::kDirect, "127.0.0.3", "127.0.0.3", localPort, nullptr, nullptr},
      {"a port alone binds the wildcard", "127.0.0.1", Kind::kDirect, "", "127.0.0.1", localPort, nullptr, nullptr},
      {"direct factory", "127.0.0.1", Kind::kDirect, nullptr, "127.0.0.1", 0, "http_proxy", ""},
      {"no_proxy exact", "127.0.0.1", Kind::kProxyAware, nullptr, "127.0.0.1", 0, "http_proxy", "example.invalid, 127.0.0.1"},
      {"no_proxy cidr", "127.0.0.1", Kind::kProxyAware, nullptr, "127.0.0.1", 0, "ALL_PROXY", "127.0.0.0/8"},
      {"no_proxy star", "127.0.0.1", Kind::kProxyAware, nullptr, "127.0.0.1", 0, "HTTPS_PROXY", "*"},
      {"wildcard", "127.0.0.1", Kind::kProxyAware, nullptr, "127.0.0.1", 0, "http_proxy", "example.invalid, 127.*"},
      {"name, any case", "127.0.0.1", Kind::kProxyAware, nullptr, "127.0.0.1", 0, "http_proxy", "LOCALHOST",
       "LocalHost"},
      {"<local> by name", "::1", Kind::kProxyAware, nullptr, "::1", 0, "http_proxy", "*.invalid, <local>", "localhost"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.proxyVariable) UseEnvironment(c.proxyVariable, proxyUrl, c.noProxy);
    if (HasFatalFailure()) return;
    zntest::LoopbackListener server(c.ip);
    ASSERT_TRUE(Start(c.kind, c.ip, server.port(), kEventWaitMs, c.bindIp, c.bindPort, c.hostName));
    std::string peerIp;
    uint16_t peerPort = 0;
    const int accepted = server.Accept(kEventWaitMs, &peerIp, &peerPort);
    ASSERT_GE(accepted, 0);
    EXPECT_EQ(peerIp, c.serverSees);
    EXPECT_EQ(peerPort, c.bindPort ? c.bindPort : peerPort);
    ASSERT_TRUE(WaitConnected());
    ASSERT_TRUE(task.Drain());
    EXPECT_EQ(Count(), 1);
    EXPECT_TRUE(Success());
    EXPECT_FALSE(sink->m_waiter.Get(sink->wrongThread));
    const int fd = HandedFd();
    ASSERT_GE(fd, 0);
    Destroy();
    zn::strutf8 ip;
    uint16_t port = 0;
    EXPECT_TRUE(znsocket_getpeername6(static_cast<znsocket_t>(fd), ip, port));
    EXPECT_STREQ(ip.c_str(), c.ip);
    EXPECT_EQ(port, server.port());
    TearDown();  // closes the handed descriptor
    zntest::CloseSocket(accepted);
  }
  EXPECT_LT(proxy.Accept(0), 0);
}

TEST_F(ZnCnnSocketTest, AttemptsThatCannotStartFailAtOnceWithoutCallback) {
  zntest::LoopbackListener server("127.0.0.1");
  zntest::LoopbackListener busy("127.0.0.1");
  const struct { const char* ip; const char* bindIp; uint16_t bindPort; } cases[] = {
      {"", nullptr, 0},
      {nullptr, nullptr, 0},
      {"localhost", nullptr, 0},  // a name, not an address
      {"127.0.0", nullptr, 0},
      {"127.0.0.1:80", nullptr, 0},
      {"[::1]", nullptr, 0},  // brackets are not part of an address text
      {"::g", nullptr, 0},
      {"127.0.0.1", "::1", 0},  // bind address of the other family
      {"127.0.0.1", "not-an-address", 0},
      {"127.0.0.1", "127.0.0.1", busy.port()},  // local port taken by a listener
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.ip ? c.ip : "(null)") + " bind " + (c.bindIp ? c.bindIp : "-"));
    EXPECT_FALSE(Start(Kind::kDirect, c.ip, server.port(), kEventWaitMs, c.bindIp, c.bindPort));
    ASSERT_TRUE(task.Drain());
    EXPECT_EQ(Count(), 0);
    Destroy();
  }
  EXPECT_LT(server.Accept(0), 0);  // none of them reached the server
}

// Open descriptors; on Windows, where OpenDescriptorCount cannot count them,
// the open sockets.
int OpenDescriptors() {
  int n = 0;
  for (int fd = 0; fd < 4096; ++fd) n += zntest::IsOpenFd(fd);
  return n;
}

// Every attempt is reported once at most, later and on the task, gives its
// descriptor once and only after a success, and leaves no descriptor behind:
// failed, timed-out and cancelled attempts, and connections kept, handed over
// or deleted inside OnConnected.
TEST_F(ZnCnnSocketTest, EveryOutcomeIsReportedOnceOnTheTaskAndLeavesNoDescriptor) {
  zntest::LoopbackListener server("127.0.0.1");
  FullListener hang;
  ASSERT_TRUE(hang.full());
  const uint16_t closedPort = zntest::FreeLoopbackPort();
  // The task's reactor opens its own descriptors (epoll, timer, wake-up) with
  // the first socket it watches; they belong to the task, so count after that.
  ASSERT_TRUE(Start(Kind::kDirect, "127.0.0.1", closedPort));
  ASSERT_TRUE(WaitConnected());
  TearDown();
  ASSERT_TRUE(task.Drain());
  const int before = OpenDescriptors();
  const uint32_t kShortMs = 100;  // the only attempt given this time-out is the one that runs out
  const struct {
    const char* name;
    uint16_t port;
    uint32_t timeoutMs;
    bool reported;                // false: the socket is destroyed while it connects
    bool handOver, deleteInside;  // what OnConnected does
  } cases[] = {
      {"refused", closedPort, kEventWaitMs, true, true, false},
      {"timed out", hang.port(), kShortMs, true, true, false},
      {"destroyed while connecting", hang.port(), kEventWaitMs, false, true, false},
      {"connected, never handed over", server.port(), kEventWaitMs, true, false, false},
      {"handed over, then closed", server.port(), kEventWaitMs, true, true, false},
      {"refused, deleted inside", closedPort, kEventWaitMs, true, false, true},
      {"deleted inside", server.port(), kEventWaitMs, true, false, true},
      {"handed over, then deleted inside", server.port(), kEventWaitMs, true, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    zntest::LogCapture log;
    handOver = c.handOver;
    deleteInside = c.deleteInside;
    const bool connects = c.port == server.port();
    ASSERT_TRUE(Start(Kind::kDirect, "127.0.0.1", c.port, c.timeoutMs));
    ASSERT_TRUE(!c.reported || WaitConnected());
    const int accepted = connects ? server.Accept() : -1;
    ASSERT_EQ(accepted >= 0, connects);
    EXPECT_EQ(Success(), connects);
    EXPECT_FALSE(sink->m_waiter.Get(sink->wrongThread));
    ASSERT_TRUE(task.Run([&] {
      znsocket_t s = 0;
      if (!cnn || (connects && !c.handOver)) return;
      EXPECT_FALSE(cnn->HandOver(s));
      EXPECT_FALSE(znsocket_isvalid(s));
    }));
    const int handed = HandedFd();
    ASSERT_EQ(handed >= 0, connects && c.handOver);
    if (handed >= 0) {
      // Still connected, whatever became of the connecting socket; a plain
      // socket takes it over and closes it with itself.
      ASSERT_TRUE(zntest::WriteAll(handed, "x"));
      EXPECT_EQ(zntest::ReadAtLeast(accepted, 1), "x");
      ASSERT_TRUE(task.Run([&] {
        CZNITCPSocket* s = ZNCreateTCPSocket();
        EXPECT_TRUE(s->Attach(static_cast<znsocket_t>(handed)));
        s->SelectEvent(ZNSOCKET_EVENT_READ | ZNSOCKET_EVENT_WRITE, false);
        delete s;
      }));
      sink->handedOver = znsocket_makeinvalid();
    }
    TearDown();
    // The cancelled wait and timer complete as no-ops on the next turns.
    ASSERT_TRUE(task.Drain());
    EXPECT_EQ(Count(), c.reported ? 1 : 0);
    EXPECT_EQ(log.Has(0, "", "time-out"), c.timeoutMs == kShortMs);
    if (connects) {
      EXPECT_TRUE(zntest::WaitPeerClosed(accepted));  // closed by whoever held the descriptor last
      zntest::CloseSocket(accepted);
    }
  }
  ASSERT_TRUE(task.Drain());
  EXPECT_EQ(OpenDescriptors(), before);
}

// The CONNECT request goes out byte for byte, with the credentials of the
// proxy's URL decoded and sent as Basic. A 2xx answer, whole or in pieces,
// connects, and the bytes behind it stay for the descriptor's new owner; any
// other answer, or none, fails the connect without reaching the target, and a
// refusing status is reported with the failure. (The client tests tunnel
// through tinyproxy.)
TEST_F(ZnCnnSocketTest, TunnelRequestIsExactAndOnlyA2xxAnswerConnects) {
  zntest::LoopbackListener server("127.0.0.1");  // the target: every proxy here answers itself
  const char* kPlain = "CONNECT 127.0.0.1:%u HTTP/1.1\r\nHost: 127.0.0.1:%u\r\n\r\n";
  const struct {
    const char* name;
    const char* target;
    const char* variable;  // the proxy comes from this variable (null: znnet_setproxy), a no_proxy list
    const char* userinfo;  // that does not match and these credentials
    std::vector<std::string> answer;  // of the scripted proxy, after it read the request head
    bool close;                       // it closes after the answer
    const char* request;              // expected, %u the target port; null: no proxy listens
    bool connects;
    uint64_t refusal = 0;             // OnConnected's value
  } cases[] = {
      {"200", "127.0.0.1", nullptr, nullptr,
       {"HTTP/1.1 200 Connection established\r\nProxy-Agent: test\r\n\r\nEXTRA"}, false, kPlain, true},
      {"200 in pieces to ::1", "::1", nullptr, nullptr, {"H", "TTP/1.0 200 OK\r", "\n\r", "\nEX", "TRA"}, false,
       "CONNECT [::1]:%u HTTP/1.1\r\nHost: [::1]:%u\r\n\r\n", true},
      {"escapes decoded before encoding", "127.0.0.1", "http_proxy", "user:p%40ss", {"HTTP/1.1 200 OK\r\n\r\nEXTRA"},
       false, "CONNECT 127.0.0.1:%u HTTP/1.1\r\nHost: 127.0.0.1:%u\r\nProxy-Authorization: Basic dXNlcjpwQHNz\r\n\r\n",
       true},
      {"base64 with padding", "127.0.0.1", "https_proxy", "ab:c", {"HTTP/1.1 200 OK\r\n\r\nEXTRA"}, false,
       "CONNECT 127.0.0.1:%u HTTP/1.1\r\nHost: 127.0.0.1:%u\r\nProxy-Authorization: Basic YWI6Yw==\r\n\r\n", true},
      {"407", "127.0.0.1", nullptr, nullptr,
       {"HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 0\r\n\r\n"}, false, kPlain, false, 407},
      {"502 in pieces", "127.0.0.1", nullptr, nullptr, {"HTTP/1.0 50", "2 Bad Gateway\r\n", "\r\n"}, false, kPlain,
       false, 502},
      {"closes without answer", "127.0.0.1", nullptr, nullptr, {}, true, kPlain, false},
      {"closes inside the head", "127.0.0.1", nullptr, nullptr, {"HTTP/1.1 200 Connection established\r\n"}, true,
       kPlain, false},
      {"not HTTP", "127.0.0.1", nullptr, nullptr, {"SSH-2.0-OpenSSH\r\n\r\n"}, false, kPlain, false},
      {"no proxy listening", "127.0.0.1", nullptr, nullptr, {}, false, nullptr, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    zntest::ScriptedServer proxy(ProxyScript(c.answer, c.close));
    ASSERT_TRUE(proxy.ok());
    const uint16_t proxyPort = c.request ? proxy.port() : zntest::FreeLoopbackPort();
    if (c.variable) {
      UseEnvironment(c.variable, std::string("http://") + c.userinfo + "@127.0.0.1:" + std::to_string(proxyPort) + "/",
                     "example.invalid,10.0.0.0/8,128.*,<local>");
      if (HasFatalFailure()) return;
    } else {
      znnet_setproxy("127.0.0.1", proxyPort);
    }
    ASSERT_TRUE(Start(Kind::kProxyAware, c.target, server.port()));
    ASSERT_TRUE(WaitConnected());
    ASSERT_TRUE(task.Drain());
    EXPECT_EQ(Count(), 1);
    ASSERT_EQ(Success(), c.connects);
    EXPECT_EQ(Reported(), c.refusal);
    if (c.connects) {
      EXPECT_EQ(zntest::ReadAtLeast(HandedFd(), 5), "EXTRA");
    }
    if (c.request) {
      char expect[256];
      std::snprintf(expect, sizeof(expect), c.request, server.port(), server.port());
      EXPECT_EQ(proxy.Request(0), expect);
    }
    TearDown();
  }
  EXPECT_LT(server.Accept(0), 0);
}

TEST(ZnReverseCnnSocketTest, ConnectIsRefused) {
  CZNITCPCnnSocket* s = ZNCreateReverseCnnTCPSocket(nullptr, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_FALSE(s->Connect("127.0.0.1", 80, 1000));
  znsocket_t h = 0;
  EXPECT_FALSE(s->HandOver(h));
  delete s;
}

}  // namespace
