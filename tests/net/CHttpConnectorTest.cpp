// The connector: resolution through a test resolver, de-duplication, the race
// between the IPv6 and the IPv4 family, the shared failure flags, the
// handshake time-out and the single success, all on loopback.
#include "net/CHttpConnector.h"

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "NetTestUtil.h"
#include "net/CHttpSubConnector.h"
#include "net/CZNSslProcessor.h"
#include "support/TlsTestServer.h"

namespace {

using zntest::LogCapture;
using zntest::RefusingPort;
using zntest::ScopedResolver;
using zntest::TaskThread;
using zntest::TlsConnectionResult;
using zntest::TlsServerOptions;
using zntest::TlsTestServer;

const int kWaitMs = 10000;
const uint64_t kId = 9;
const char kTag[] = "CHttpConnector";

// Records what the connector tells its owner. Callbacks arrive on the task.
class Owner final : public CHttpConnectorSink {
 public:
  struct Event {
    bool https;
    bool success;
    int code;
    bool validSocket;
    CZNSslProcessor* processor;
    uint64_t threadId;
    std::chrono::steady_clock::time_point at;
  };
  void OnConnected(bool bSuccess, znsocket_t s) override {
    const bool valid = znsocket_isvalid(s);
    if (bSuccess) znsocket_close(s);
    Add(Event{false, bSuccess, -1, valid, nullptr, znthread_selfid(), std::chrono::steady_clock::now()});
  }
  void OnHttpsConnected(int eResult, CZNSslProcessor* p) override {
    Add(Event{true, eResult == 0, eResult, false, p, znthread_selfid(), std::chrono::steady_clock::now()});
  }
  bool WaitCount(size_t n, int ms) {
    return zntest::WaitFor(m_mutex, m_cv, ms, [&] { return m_events.size() >= n; });
  }
  std::vector<Event> Events() {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_events;
  }

 private:
  void Add(const Event& e) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_events.push_back(e);
    m_cv.notify_all();
  }
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<Event> m_events;  // guarded by m_mutex
};

// A connector living on the test task.
struct Fixture {
  explicit Fixture(bool https = false, const char* name = "localhost") {
    task.Run([&] {
      connector = new CHttpConnector(kId, &owner, false);
      if (https) connector->SetHttps(zn::strutf8(name));
      connector->SetIpAndPort2Bind("", 0);
    });
  }
  ~Fixture() {
    task.Run([&] { delete connector; });
  }
  bool Connect(const std::vector<std::string>& hosts, uint16_t port, uint32_t timeout = 0) {
    bool ok = false;
    task.Run([&] {
      zn::hostlist list;
      for (const auto& h : hosts) list.push_back(zn::strutf8(h.c_str()));
      ok = connector->Connect(list, port, timeout);
    });
    return ok;
  }
  // Lets everything already queued on the task run.
  void Settle() { task.Run([] {}); }
  TaskThread task;
  Owner owner;
  CHttpConnector* connector = nullptr;  // owned, used on the task
};

std::string Line(const char* fmt, const char* a = "", unsigned n = 0, const char* b = "") {
  char buf[256];
  snprintf(buf, sizeof(buf), fmt, (unsigned long long)kId, a, n, b);
  return buf;
}

// "localhost" answers with both loopbacks, IPv6 first, as a dual-stack hosts
// file would.
ScopedResolver::Answer DualStackLocalhost() { return {true, {"::1", "127.0.0.1"}}; }

TEST(CHttpConnectorTest, RefusesEmptyListAndPortZero) {
  struct Row {
    std::vector<std::string> hosts;
    uint16_t port;
    const char* log;
  };
  const Row rows[] = {{{}, 443, "Id[9] Connect:strIPs is empty or wPort[443] is 0"},
                      {{"localhost"}, 0, "Id[9] Connect:strIPs is empty or wPort[0] is 0"}};
  for (const Row& r : rows) {
    ScopedResolver resolver({});
    LogCapture log;
    Fixture f;
    EXPECT_FALSE(f.Connect(r.hosts, r.port));
    EXPECT_EQ(log.Count(kTag, r.log), 1);
    EXPECT_EQ(ScopedResolver::Queries("localhost"), 0);  // nothing was resolved
    f.Settle();
    EXPECT_TRUE(f.owner.Events().empty());
  }
}

// A server on one loopback only; the other family is refused on the same
// port. Exactly one success reaches the owner, from the family with the server.
TEST(CHttpConnectorTest, FamilyWithTheServerWins) {
  struct Row {
    const char* server;
    const char* refused;
    bool https;
    const char* winnerLine;
  };
  const Row rows[] = {
      {"127.0.0.1", "::1", false, "Id[9] OnConnected: bSuccess[1] IPV4"},
      {"127.0.0.1", "::1", true, "Id[9] OnHttpsConnected: eResult[0] IPV4"},
      {"::1", "127.0.0.1", false, "Id[9] OnConnected: bSuccess[1] IPV6"},
      {"::1", "127.0.0.1", true, "Id[9] OnHttpsConnected: eResult[0] IPV6"},
  };
  const bool ipv6 = zntest::HasIpv6Loopback();
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.server) + (r.https ? " https" : " plain"));
    if (!ipv6) {
      // Without an IPv6 loopback only the IPv4 rows can run.
      if (std::string(r.server) == "::1") continue;
    }
    TlsServerOptions options;
    options.address = r.server;
    options.tls = r.https;
    TlsTestServer server(options);
    ASSERT_TRUE(server.Start());
    RefusingPort refusing(r.refused, server.port());
    if (ipv6) {
      ASSERT_TRUE(refusing.valid());
    }
    ScopedResolver resolver({{"localhost", DualStackLocalhost()}});
    LogCapture log;
    Fixture f(r.https);
    ASSERT_TRUE(f.Connect({"localhost"}, server.port()));
    ASSERT_TRUE(f.owner.WaitCount(1, kWaitMs));
    ASSERT_TRUE(server.WaitForAccepted(1, kWaitMs));
    f.Settle();
    auto events = f.owner.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].https, r.https);
    EXPECT_TRUE(events[0].success);
    EXPECT_EQ(events[0].threadId, f.task.task()->getthreadid());
    EXPECT_EQ(log.Count(kTag, r.winnerLine), 1);
    EXPECT_EQ(log.Count(kTag, "CHttpSubConnector::Connect:Id[9] unique ip of vecIPs_v4:127.0.0.1"), 1);
    EXPECT_EQ(log.Count(kTag, "CHttpSubConnector::Connect:Id[9] unique ip of vecIPs_v6:::1"), 1);
    EXPECT_EQ(server.AcceptedCount(), 1u);
  }
  if (!ipv6) GTEST_SKIP() << "no IPv6 loopback: the IPv6 rows were not run";
}

// Addresses are de-duplicated across hosts and kept in the order of their
// first appearance; every address is tried once.
TEST(CHttpConnectorTest, SharedAddressesAreTriedOnce) {
  RefusingPort a("127.0.0.1", 0);
  ASSERT_TRUE(a.valid());
  RefusingPort b("127.0.0.2", a.port());
  RefusingPort c("127.0.0.3", a.port());
  ASSERT_TRUE(b.valid() && c.valid());
  const uint16_t port = a.port();
  ScopedResolver resolver({{"one.test", {true, {"127.0.0.2", "127.0.0.1"}}},
                           {"two.test", {true, {"127.0.0.1", "127.0.0.3", "127.0.0.2"}}}});
  LogCapture log;
  Fixture f;
  ASSERT_TRUE(f.Connect({"one.test", "two.test"}, port));
  ASSERT_TRUE(f.owner.WaitCount(1, kWaitMs));
  f.Settle();
  auto events = f.owner.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_FALSE(events[0].success);
  EXPECT_FALSE(events[0].validSocket);

  std::vector<std::string> unique;
  std::vector<std::string> tried;
  const std::string uniquePrefix = "CHttpSubConnector::Connect:Id[9] unique ip of vecIPs_v4:";
  for (const auto& l : log.Lines()) {
    if (l.tag != kTag) continue;
    if (l.text.rfind(uniquePrefix, 0) == 0) unique.push_back(l.text.substr(uniquePrefix.size()));
    if (l.text.find("Start Connect To [") != std::string::npos ||
        l.text.find("Connect To Next IP [") != std::string::npos) {
      tried.push_back(l.text);
    }
  }
  EXPECT_EQ(unique, (std::vector<std::string>{"127.0.0.2", "127.0.0.1", "127.0.0.3"}));
  EXPECT_EQ(tried.size(), 3u);
  // Duplicates are still reported as resolved.
  EXPECT_EQ(log.Count(kTag, Line("Id[%llu] gethostbyname for host [%s]->[%u][%s]", "two.test", 2, "127.0.0.2")), 1);
  EXPECT_EQ(log.CountContaining(kTag, "gethostbyname for host ["), 5);
}

// A resolver that leaves its flag false: the host text itself goes to the
// IPv4 family, whatever it looks like.
TEST(CHttpConnectorTest, UnresolvedHostTextIsTriedByIpv4) {
  struct Row {
    const char* host;
    bool needsIpv6;
  };
  const Row rows[] = {{"127.0.0.1", false}, {"::1", true}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.host);
    if (r.needsIpv6 && !zntest::HasIpv6Loopback()) continue;
    TlsServerOptions options;
    options.address = r.host;
    options.tls = false;
    TlsTestServer server(options);
    ASSERT_TRUE(server.Start());
    ScopedResolver resolver({{r.host, {false, {}}}});
    LogCapture log;
    Fixture f;
    ASSERT_TRUE(f.Connect({r.host}, server.port()));
    ASSERT_TRUE(f.owner.WaitCount(1, kWaitMs));
    EXPECT_TRUE(f.owner.Events()[0].success);
    EXPECT_EQ(log.Count(kTag, std::string("CHttpSubConnector::Connect:Id[9] unique ip of vecIPs_v4:") + r.host), 1);
    EXPECT_EQ(log.CountContaining(kTag, "unique ip of vecIPs_v6"), 0);
    EXPECT_EQ(log.Count(kTag, "Id[9] OnConnected: bSuccess[1] IPV4"), 1);
  }
}

TEST(CHttpConnectorTest, NameWithoutAddressesStartsNothing) {
  ScopedResolver resolver({{"nowhere.test", {true, {}}}});
  LogCapture log;
  Fixture f;
  EXPECT_FALSE(f.Connect({"nowhere.test"}, 80));
  EXPECT_EQ(log.Count(kTag, "Id[9] gethostbyname fail for host [nowhere.test]"), 1);
  f.Settle();
  EXPECT_TRUE(f.owner.Events().empty());
}

// Both families fail: the owner hears exactly once, through the callback of
// the family that failed last.
TEST(CHttpConnectorTest, BothFamiliesFailingEndInOneCallback) {
  if (!zntest::HasIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback";
  {
    SCOPED_TRACE("both refused");
    RefusingPort v4("127.0.0.1", 0);
    RefusingPort v6("::1", v4.port());
    ASSERT_TRUE(v4.valid() && v6.valid());
    ScopedResolver resolver({{"localhost", DualStackLocalhost()}});
    Fixture f;
    ASSERT_TRUE(f.Connect({"localhost"}, v4.port()));
    ASSERT_TRUE(f.owner.WaitCount(1, kWaitMs));
    f.Settle();
    auto events = f.owner.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_FALSE(events[0].https);
    EXPECT_FALSE(events[0].success);
    EXPECT_FALSE(events[0].validSocket);
  }
  {
    // IPv4 is refused first; IPv6 then fails its certificate check.
    SCOPED_TRACE("refused, then certificate");
    TlsServerOptions options;
    options.address = "::1";
    options.subject = "/CN=somebody.else";
    options.handshakeDelayMs = 200;
    TlsTestServer server(options);
    ASSERT_TRUE(server.Start());
    RefusingPort v4("127.0.0.1", server.port());
    ASSERT_TRUE(v4.valid());
    ScopedResolver resolver({{"localhost", DualStackLocalhost()}});
    Fixture f(true);
    ASSERT_TRUE(f.Connect({"localhost"}, server.port()));
    ASSERT_TRUE(f.owner.WaitCount(1, kWaitMs));
    f.Settle();
    auto events = f.owner.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0].https);
    EXPECT_EQ(events[0].code, 6);
    EXPECT_NE(events[0].processor, nullptr);
  }
}

TEST(CHttpConnectorTest, CloseDuringHandshakeIsCodeOne) {
  TlsServerOptions options;
  options.closeDuringHandshake = true;
  TlsTestServer server(options);
  ASSERT_TRUE(server.Start());
  ScopedResolver resolver({{"localhost", {true, {"127.0.0.1"}}}});
  Fixture f(true);
  ASSERT_TRUE(f.Connect({"localhost"}, server.port()));
  ASSERT_TRUE(f.owner.WaitCount(1, kWaitMs));
  f.Settle();
  auto events = f.owner.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].https);
  EXPECT_EQ(events[0].code, 1);
}

// The server starts its handshake only after 3.5 s: the owner hears 7 when
// the 3000 ms timer fires, and the success that follows is still passed on,
// with the same processor.
TEST(CHttpConnectorTest, SlowHandshakeTimesOutAndLateSuccessFollows) {
  TlsServerOptions options;
  options.handshakeDelayMs = 3500;
  TlsTestServer server(options);
  ASSERT_TRUE(server.Start());
  ScopedResolver resolver({{"localhost", {true, {"127.0.0.1"}}}});
  LogCapture log;
  Fixture f(true);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(f.Connect({"localhost"}, server.port()));
  ASSERT_TRUE(f.owner.WaitCount(2, kWaitMs));
  f.Settle();
  auto events = f.owner.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].code, 7);
  EXPECT_EQ(events[1].code, 0);
  EXPECT_EQ(events[0].processor, events[1].processor);
  EXPECT_NE(events[0].processor, nullptr);
  // The time-out is a lower bound set by the timer, not a speed.
  EXPECT_GE(events[0].at - start, std::chrono::milliseconds(2900));
  EXPECT_GE(events[1].at - start, std::chrono::milliseconds(3400));
  EXPECT_EQ(log.Count(kTag, "Id[9] OnTimer Connect Https timeout"), 1);
  EXPECT_EQ(log.Count(kTag, "Id[9] OnHttpsConnected: eResult[7] IPV4"), 1);
}

// IPv4 wins; the IPv6 handshake, already under way, completes later: its
// success is not passed on and its connection is closed.
TEST(CHttpConnectorTest, LateWinnerIsDropped) {
  if (!zntest::HasIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback";
  TlsServerOptions fast;
  TlsTestServer v4server(fast);
  ASSERT_TRUE(v4server.Start());
  TlsServerOptions slow;
  slow.address = "::1";
  slow.port = v4server.port();
  slow.handshakeDelayMs = 300;
  TlsTestServer v6server(slow);
  ASSERT_TRUE(v6server.Start());
  ScopedResolver resolver({{"localhost", DualStackLocalhost()}});
  LogCapture log;
  Fixture f(true);
  ASSERT_TRUE(f.Connect({"localhost"}, v4server.port()));
  ASSERT_TRUE(f.owner.WaitCount(1, kWaitMs));
  // The IPv6 connection ends once the client has dropped it.
  std::vector<TlsConnectionResult> results;
  ASSERT_TRUE(v6server.WaitForConnections(1, kWaitMs, &results));
  f.Settle();
  auto events = f.owner.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].code, 0);
  EXPECT_EQ(log.Count(kTag, "Id[9] OnHttpsConnected: eResult[0] IPV4"), 1);
  EXPECT_EQ(log.Count(kTag, "Id[9] OnHttpsConnected: eResult[0] IPV6"), 1);
  CZNSslProcessor* v6processor = reinterpret_cast<CZNSslProcessor*>(1);
  f.task.Run([&] { v6processor = f.connector->GetSubConnectorV6()->GetSslProcessor(); });
  EXPECT_EQ(v6processor, nullptr);
}

}  // namespace
