// Connecting sockets on loopback: direct connects and their hand-over, refused
// and hanging connects, attempts that cannot start, the local bind, deletion
// inside OnConnected, and CONNECT tunnels through tinyproxy and through scripted
// proxies that answer exactly as a test needs.
#include <algorithm>
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "base/znplatform.h"
#include "base/znsocket.h"
#include "base/zntask.h"
#include "support/TestOs.h"
#include "support/ScriptedServer.h"
#include "support/TestNet.h"
#include "support/TinyProxy.h"

namespace {

using zntest::kEventWaitMs;

// Records OnConnected and the task it ran on; takes the descriptor over or
// deletes the socket inside the callback when asked.
// Thread: callbacks on the socket's task; the test thread reads through the waiter.
class CnnSink final : public CZNITCPCnnSocketSink {
 public:
  CnnSink(CZNTaskBase* task, CZNITCPCnnSocket** owner, bool handOver, bool deleteInside)
      : m_bHandOver(handOver), m_bDelete(deleteInside), m_pTask(task), m_ppOwner(owner) {}

  void OnConnected(bool bSuccess, uint64_t) override {
    znsocket_t s = znsocket_makeinvalid();
    const bool handed = bSuccess && m_bHandOver && (*m_ppOwner)->HandOver(s);
    if (m_bDelete) {
      delete *m_ppOwner;
      *m_ppOwner = nullptr;
    }
    m_waiter.Update([&] {
      ++count;
      success = bSuccess;
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
  znsocket_t handedOver = znsocket_makeinvalid();

 private:
  CZNTaskBase* m_pTask;          // borrowed: where callbacks must run
  CZNITCPCnnSocket** m_ppOwner;  // borrowed: the test's pointer to the socket
};

// Log lines collected while a test installs LogSink.
std::mutex g_logMutex;
std::string g_log;  // guarded by g_logMutex
void LogSink(int, const char*, int, const char* text, void*) {
  std::lock_guard<std::mutex> lock(g_logMutex);
  (g_log += text) += '\n';
}

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
      const int fd = zntest::NewSocket(AF_INET);
      zntest::SetNonBlocking(fd);
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(m_listener.port());
      to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to));
      m_fds.push_back(fd);
      pollfd p = zntest::PollRecord(fd, POLLOUT);
      m_full = zntest::PollSockets(&p, 1, 500) == 0;  // an answered loopback connect takes far less
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
             uint16_t bindPort = 0) {
    sink = std::make_unique<CnnSink>(task.task(), &cnn, handOver, deleteInside);
    bool started = false;
    EXPECT_TRUE(task.Run([&] {
      cnn = kind == Kind::kDirect ? ZNCreateNoneProxyCnnTCPSocket() : ZNCreateCnnTCPSocket();
      cnn->SetSink(sink.get());
      cnn->SetIpAndPort2Bind(bindIp, bindPort);
      started = cnn->Connect(ip, port, timeoutMs);
    }));
    return started;
  }
  bool WaitConnected() { return sink->m_waiter.WaitFor([&] { return sink->count >= 1; }); }
  int Count() { return sink->m_waiter.Get(sink->count); }
  bool Success() { return sink->m_waiter.Get(sink->success); }
  int HandedFd() { return static_cast<int>(sink->m_waiter.Get(sink->handedOver)); }

  zntest::TaskThread task{"ZnCnnTest"};
  std::unique_ptr<CnnSink> sink;
  CZNITCPCnnSocket* cnn = nullptr;  // owned; lives on the task
  bool handOver = true;             // for the next Start's sink
  bool deleteInside = false;
};

// Every case connects, once, on the task, to the server and not to the proxy
// the environment names, from the local address asked for; the descriptor it
// hands over outlives the connecting socket.
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
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.proxyVariable) UseEnvironment(c.proxyVariable, proxyUrl, c.noProxy);
    if (HasFatalFailure()) return;
    zntest::LoopbackListener server(c.ip);
    ASSERT_TRUE(Start(c.kind, c.ip, server.port(), kEventWaitMs, c.bindIp, c.bindPort));
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
    ASSERT_TRUE(task.Run([&] {
      znsocket_t again = 0;
      EXPECT_FALSE(cnn->HandOver(again));  // given once only
    }));
    Destroy();
    ASSERT_TRUE(zntest::WriteAll(fd, "through"));
    EXPECT_EQ(zntest::ReadAtLeast(accepted, 7), "through");
    zn::strutf8 ip;
    uint16_t port = 0;
    EXPECT_TRUE(znsocket_getpeername6(static_cast<znsocket_t>(fd), ip, port));
    EXPECT_STREQ(ip.c_str(), c.ip);
    EXPECT_EQ(port, server.port());
    TearDown();  // closes the handed descriptor
    EXPECT_TRUE(zntest::WaitPeerClosed(accepted));
    zntest::CloseSocket(accepted);
  }
  EXPECT_LT(proxy.Accept(0), 0);
}

TEST_F(ZnCnnSocketTest, RefusedAndHangingConnectsFailLaterAndOnce) {
  FullListener hang;
  ASSERT_TRUE(hang.full());
  g_log.clear();  // no other thread logs to the sink before it is set
  znsyslog_setlevel(4);
  znsyslog_setsink(&LogSink, nullptr);
  for (const uint16_t port : {zntest::FreeLoopbackPort(), hang.port()}) {
    SCOPED_TRACE(port == hang.port() ? "hangs" : "refused");
    ASSERT_TRUE(Start(Kind::kDirect, "127.0.0.1", port, port == hang.port() ? 200 : kEventWaitMs));
    ASSERT_TRUE(WaitConnected());
    ASSERT_TRUE(task.Drain());
    EXPECT_EQ(Count(), 1);
    EXPECT_FALSE(Success());
    EXPECT_FALSE(sink->m_waiter.Get(sink->wrongThread));
    ASSERT_TRUE(task.Run([&] {
      znsocket_t s = 0;
      EXPECT_FALSE(cnn->HandOver(s));
      EXPECT_FALSE(znsocket_isvalid(s));
    }));
    {
      std::lock_guard<std::mutex> lock(g_logMutex);
      EXPECT_EQ(g_log.find("time-out") != std::string::npos, port == hang.port());
    }
    TearDown();
  }
  znsyslog_setsink(nullptr, nullptr);
  znsyslog_setlevel(0);
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

TEST_F(ZnCnnSocketTest, DeletingInsideOnConnectedIsClean) {
  const struct { bool serverListens, handOver; } cases[] = {{true, false}, {true, true}, {false, false}};
  deleteInside = true;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.serverListens << c.handOver);
    zntest::LoopbackListener server("127.0.0.1");
    handOver = c.handOver;
    ASSERT_TRUE(Start(Kind::kDirect, "127.0.0.1", c.serverListens ? server.port() : zntest::FreeLoopbackPort()));
    ASSERT_TRUE(WaitConnected());
    ASSERT_TRUE(task.Drain());
    EXPECT_EQ(Count(), 1);
    EXPECT_EQ(Success(), c.serverListens);
    if (c.serverListens) {
      const int accepted = server.Accept();
      ASSERT_GE(accepted, 0);
      // Deleted without a hand-over, the socket took its descriptor along.
      EXPECT_EQ(zntest::WaitPeerClosed(accepted, c.handOver ? 200 : kEventWaitMs), !c.handOver);
      zntest::CloseSocket(accepted);
    }
    TearDown();
  }
}

TEST_F(ZnCnnSocketTest, TunnelsThroughTinyproxyToALoopbackServer) {
  zntest::LoopbackListener server("127.0.0.1");
  zntest::TinyProxy proxy({server.port()});
  ASSERT_TRUE(proxy.ok()) << proxy.Log();
  for (const bool viaEnvironment : {false, true}) {
    SCOPED_TRACE(viaEnvironment ? "https_proxy" : "znnet_setproxy");
    if (viaEnvironment) {
      UseEnvironment("https_proxy", "http://127.0.0.1:" + std::to_string(proxy.port()) + "/",
                     "example.invalid,10.0.0.0/8");
      if (HasFatalFailure()) return;
    } else {
      znnet_setproxy("127.0.0.1", proxy.port());
    }
    ASSERT_TRUE(Start(Kind::kProxyAware, "127.0.0.1", server.port()));
    const int accepted = server.Accept(kEventWaitMs);
    ASSERT_GE(accepted, 0) << proxy.Log();
    ASSERT_TRUE(WaitConnected());
    ASSERT_TRUE(Success()) << proxy.Log();
    const int fd = HandedFd();
    ASSERT_GE(fd, 0);
    // The handed-over descriptor talks to the proxy, which relays both ways.
    zn::strutf8 ip;
    uint16_t port = 0;
    ASSERT_TRUE(znsocket_getpeername6(static_cast<znsocket_t>(fd), ip, port));
    EXPECT_EQ(port, proxy.port());
    ASSERT_TRUE(zntest::WriteAll(fd, "hello through the tunnel"));
    EXPECT_EQ(zntest::ReadAtLeast(accepted, 24), "hello through the tunnel");
    ASSERT_TRUE(zntest::WriteAll(accepted, "and back"));
    EXPECT_EQ(zntest::ReadAtLeast(fd, 8), "and back");
    zntest::CloseSocket(accepted);
    TearDown();
  }
}

TEST_F(ZnCnnSocketTest, ProxiesThatRefuseOrMisbehaveFailTheConnect) {
  zntest::LoopbackListener server("127.0.0.1");
  const uint16_t otherPort = zntest::FreeLoopbackPort();
  zntest::TinyProxy tinyproxy({otherPort});  // allows CONNECT to another port only: 403
  ASSERT_TRUE(tinyproxy.ok()) << tinyproxy.Log();
  const struct {
    const char* name;
    std::vector<std::string> answer;  // of a scripted proxy
    bool close;
    uint16_t proxyPort;  // 0: the scripted proxy
  } cases[] = {
      {"tinyproxy 403", {}, false, tinyproxy.port()},
      {"no proxy listening", {}, false, otherPort},
      {"407", {"HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 0\r\n\r\n"}, false, 0},
      {"502 in pieces", {"HTTP/1.0 50", "2 Bad Gateway\r\n", "\r\n"}, false, 0},
      {"closes without answer", {}, true, 0},
      {"closes inside the head", {"HTTP/1.1 200 Connection established\r\n"}, true, 0},
      {"not HTTP", {"SSH-2.0-OpenSSH\r\n\r\n"}, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    zntest::ScriptedServer scripted(ProxyScript(c.answer, c.close));
    ASSERT_TRUE(scripted.ok());
    znnet_setproxy("127.0.0.1", c.proxyPort ? c.proxyPort : scripted.port());
    ASSERT_TRUE(Start(Kind::kProxyAware, "127.0.0.1", server.port()));
    ASSERT_TRUE(WaitConnected());
    ASSERT_TRUE(task.Drain());
    EXPECT_EQ(Count(), 1);
    EXPECT_FALSE(Success());
    TearDown();
  }
  EXPECT_LT(server.Accept(0), 0);  // the target never heard of any of it
}

TEST_F(ZnCnnSocketTest, TunnelRequestIsExactAndBytesBehindTheAnswerStay) {
  const struct {
    const char* target;
    const char* userinfo;  // the proxy comes from http_proxy with these credentials (null: znnet_setproxy)
    std::vector<std::string> answer;
    const char* expectRequest;  // with %u for the target port
  } cases[] = {
      {"127.0.0.1", nullptr, {"HTTP/1.1 200 Connection established\r\nProxy-Agent: test\r\n\r\nEXTRA"},
       "CONNECT 127.0.0.1:%u HTTP/1.1\r\nHost: 127.0.0.1:%u\r\n\r\n"},
      {"::1", nullptr, {"H", "TTP/1.0 200 OK\r", "\n\r", "\nEX", "TRA"},
       "CONNECT [::1]:%u HTTP/1.1\r\nHost: [::1]:%u\r\n\r\n"},
      {"127.0.0.1", "user:p%40ss", {"HTTP/1.1 200 OK\r\n\r\nEXTRA"},  // escapes decoded before encoding
       "CONNECT 127.0.0.1:%u HTTP/1.1\r\nHost: 127.0.0.1:%u\r\nProxy-Authorization: Basic dXNlcjpwQHNz\r\n\r\n"},
      {"127.0.0.1", "ab:c", {"HTTP/1.1 200 OK\r\n\r\nEXTRA"},  // base64 with padding
       "CONNECT 127.0.0.1:%u HTTP/1.1\r\nHost: 127.0.0.1:%u\r\nProxy-Authorization: Basic YWI6Yw==\r\n\r\n"},
  };
  const unsigned targetPort = 4433;  // never reached: the scripted proxy answers itself
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.target) + " " + (c.userinfo ? c.userinfo : ""));
    zntest::ScriptedServer proxy(ProxyScript(c.answer, false));
    ASSERT_TRUE(proxy.ok());
    if (c.userinfo) {
      UseEnvironment("http_proxy", std::string("http://") + c.userinfo + "@127.0.0.1:" + std::to_string(proxy.port()));
      if (HasFatalFailure()) return;
    } else {
      znnet_setproxy("127.0.0.1", proxy.port());
    }
    ASSERT_TRUE(Start(Kind::kProxyAware, c.target, targetPort));
    ASSERT_TRUE(WaitConnected());
    ASSERT_TRUE(Success());
    const int fd = HandedFd();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(zntest::ReadAtLeast(fd, 5), "EXTRA");
    char expect[256];
    std::snprintf(expect, sizeof(expect), c.expectRequest, targetPort, targetPort);
    EXPECT_EQ(proxy.Request(0), expect);
    TearDown();
  }
}

int OpenDescriptors() {
  int n = 0;
  for (int fd = 0; fd < 4096; ++fd) n += zntest::IsOpenFd(fd);
  return n;
}

TEST_F(ZnCnnSocketTest, NoDescriptorOutlivesItsOwnerAndACancelledConnectReportsNothing) {
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
  const struct {
    const char* name;
    uint16_t port;
    uint32_t timeoutMs;
    bool waitResult;  // false: the socket is destroyed while it connects
    bool handOver;
  } cases[] = {
      {"refused", closedPort, kEventWaitMs, true, false},
      {"timed out", hang.port(), 100, true, false},
      {"destroyed while connecting", hang.port(), kEventWaitMs, false, false},
      {"connected, never handed over", server.port(), kEventWaitMs, true, false},
      {"handed over, then closed", server.port(), kEventWaitMs, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    handOver = c.handOver;
    ASSERT_TRUE(Start(Kind::kDirect, "127.0.0.1", c.port, c.timeoutMs));
    ASSERT_TRUE(!c.waitResult || WaitConnected());
    const int handed = HandedFd();
    if (handed >= 0) {
      // A plain socket takes it over and closes it with itself.
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
    EXPECT_EQ(Count(), c.waitResult ? 1 : 0);
    const int accepted = c.port == server.port() ? server.Accept() : -1;
    if (accepted >= 0) zntest::CloseSocket(accepted);
  }
  ASSERT_TRUE(task.Drain());
  EXPECT_EQ(OpenDescriptors(), before);
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
