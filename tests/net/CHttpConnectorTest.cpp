// The connector: resolution through a test resolver, de-duplication, the race
// between the IPv6 and the IPv4 family, the shared failure flags, the
// handshake time-out and the single success, all on loopback.
#include "net/CHttpConnector.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "NetTestUtil.h"
#include "net/CHttpSubConnector.h"

namespace {

using zntest::ConnectEvents;
using zntest::LogCapture;
using zntest::RefusingPort;
using zntest::ScopedResolver;
using zntest::TlsServerOptions;
using zntest::TlsTestServer;

const int kWaitMs = 10000;
const char kTag[] = "CHttpConnector";

// A connector (Id 9) on the test task, reporting into events.
struct Fixture final : public CHttpConnectorSink {
  explicit Fixture(bool https = false) {
    task.Run([&] {
      connector = new CHttpConnector(9, this, false);
      if (https) connector->SetHttps(zn::strutf8("localhost"));
      connector->SetIpAndPort2Bind("", 0);
    });
  }
  ~Fixture() override {
    task.Run([&] { delete connector; });
  }
  void OnConnected(bool bSuccess, znsocket_t s) override { events.Plain(bSuccess, s); }
  void OnHttpsConnected(int code, CZNSslProcessor* p) override { events.Https(code, p); }
  bool Connect(const std::vector<std::string>& hosts, uint16_t port) {
    bool ok = false;
    task.Run([&] {
      zn::hostlist list;
      for (const auto& h : hosts) list.push_back(zn::strutf8(h.c_str()));
      ok = connector->Connect(list, port, 0);
    });
    return ok;
  }
  // Waits for the first report, lets the task settle, and returns them all.
  std::vector<ConnectEvents::Event> Outcome() {
    events.WaitCount(1, kWaitMs);
    task.Run();
    return events.Events();
  }
  zntest::TaskThread task;
  ConnectEvents events;
  CHttpConnector* connector = nullptr;  // owned, used on the task
};

// "localhost" as a dual-stack hosts file answers it: IPv6 first.
const ScopedResolver::Answer kDualStack = {true, {"::1", "127.0.0.1"}};
const ScopedResolver::Answer kIpv4Only = {true, {"127.0.0.1"}};

// Nothing can start: no callback follows a false Connect.
TEST(CHttpConnectorTest, NothingToConnect) {
  struct Row {
    std::vector<std::string> hosts;
    uint16_t port;
    const char* log;
  };
  const Row rows[] = {{{}, 443, "Id[9] Connect:strIPs is empty or wPort[443] is 0"},
                      {{"localhost"}, 0, "Id[9] Connect:strIPs is empty or wPort[0] is 0"},
                      {{"nowhere.test"}, 80, "Id[9] gethostbyname fail for host [nowhere.test]"}};
  for (const Row& r : rows) {
    ScopedResolver resolver({});
    LogCapture log;
    Fixture f;
    EXPECT_FALSE(f.Connect(r.hosts, r.port));
    EXPECT_EQ(log.Count(kTag, r.log), 1);
    EXPECT_EQ(ScopedResolver::QueriesOf("localhost"), 0);  // port 0 resolves nothing
    f.task.Run();
    EXPECT_TRUE(f.events.Events().empty());
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
    if (!ipv6 && std::string(r.server) == "::1") continue;
    TlsServerOptions options;
    options.address = r.server;
    options.tls = r.https;
    TlsTestServer server(options);
    ASSERT_TRUE(server.Start());
    RefusingPort refusing(r.refused, server.port());
    ASSERT_TRUE(refusing.valid() || !ipv6);
    ScopedResolver resolver({{"localhost", kDualStack}});
    LogCapture log;
    Fixture f(r.https);
    ASSERT_TRUE(f.Connect({"localhost"}, server.port()));
    ASSERT_TRUE(server.WaitForAccepted(1, kWaitMs));
    const auto events = f.Outcome();
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
  RefusingPort b("127.0.0.2", a.port());
  RefusingPort c("127.0.0.3", a.port());
  ASSERT_TRUE(a.valid() && b.valid() && c.valid());
  ScopedResolver resolver({{"one.test", {true, {"127.0.0.2", "127.0.0.1"}}},
                           {"two.test", {true, {"127.0.0.1", "127.0.0.3", "127.0.0.2"}}}});
  LogCapture log;
  Fixture f;
  ASSERT_TRUE(f.Connect({"one.test", "two.test"}, a.port()));
  const auto events = f.Outcome();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_FALSE(events[0].success || events[0].validSocket);

  std::vector<std::string> unique;
  int attempts = 0;
  const std::string prefix = "CHttpSubConnector::Connect:Id[9] unique ip of vecIPs_v4:";
  for (const auto& l : log.Lines()) {
    if (l.text.rfind(prefix, 0) == 0) unique.push_back(l.text.substr(prefix.size()));
    if (l.text.find("Start Connect To [") != std::string::npos || l.text.find("Next IP [") != std::string::npos) {
      ++attempts;
    }
  }
  EXPECT_EQ(unique, (std::vector<std::string>{"127.0.0.2", "127.0.0.1", "127.0.0.3"}));
  EXPECT_EQ(attempts, 3);
  // Duplicates are still reported as resolved.
  EXPECT_EQ(log.Count(kTag, "Id[9] gethostbyname for host [two.test]->[2][127.0.0.2]"), 1);
  EXPECT_EQ(log.CountContaining(kTag, "gethostbyname for host ["), 5);
}

// A resolver that leaves its flag false: the host text itself goes to the
// IPv4 family, whatever it looks like.
TEST(CHttpConnectorTest, UnresolvedHostTextIsTriedByIpv4) {
  const char* hosts[] = {"127.0.0.1", "::1"};
  for (const char* host : hosts) {
    SCOPED_TRACE(host);
    if (std::string(host) == "::1" && !zntest::HasIpv6Loopback()) continue;
    TlsServerOptions options;
    options.address = host;
    options.tls = false;
    TlsTestServer server(options);
    ASSERT_TRUE(server.Start());
    ScopedResolver resolver({{host, {false, {}}}});
    LogCapture log;
    Fixture f;
    ASSERT_TRUE(f.Connect({host}, server.port()));
    const auto events = f.Outcome();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0].success);
    EXPECT_EQ(log.Count(kTag, std::string("CHttpSubConnector::Connect:Id[9] unique ip of vecIPs_v4:") + host), 1);
    EXPECT_EQ(log.CountContaining(kTag, "unique ip of vecIPs_v6"), 0);
    EXPECT_EQ(log.Count(kTag, "Id[9] OnConnected: bSuccess[1] IPV4"), 1);
  }
}

// Failures: the owner hears exactly once, through the callback of the family
// that failed last.
TEST(CHttpConnectorTest, FailureIsReportedOnce) {
  const bool ipv6 = zntest::HasIpv6Loopback();
  struct Row {
    const char* name;
    bool needsIpv6;
    bool https;
    int code;  // -1: a plain failure
  };
  const Row rows[] = {
      {"both families refused", true, false, -1},
      // IPv4 is refused first; IPv6 then fails its certificate check.
      {"refused, then certificate", true, true, 6},
      {"closed during the handshake", false, true, 1},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    if (r.needsIpv6 && !ipv6) continue;
    TlsServerOptions options;
    options.address = r.needsIpv6 ? "::1" : "127.0.0.1";
    options.subject = "/CN=somebody.else";
    options.handshakeDelayMs = 500;
    options.closeDuringHandshake = r.code == 1;
    TlsTestServer server(options);
    ASSERT_TRUE(!r.https || server.Start());
    RefusingPort v4("127.0.0.1", r.https ? server.port() : 0);
    const uint16_t port = r.https ? server.port() : v4.port();
    RefusingPort v6("::1", port);
    ScopedResolver resolver({{"localhost", r.needsIpv6 ? kDualStack : kIpv4Only}});
    Fixture f(r.https);
    ASSERT_TRUE(f.Connect({"localhost"}, port));
    const auto events = f.Outcome();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_FALSE(events[0].success);
    EXPECT_EQ(events[0].code, r.code);
    EXPECT_EQ(events[0].processor != nullptr, r.https);
  }
  if (!ipv6) GTEST_SKIP() << "no IPv6 loopback: the two-family rows were not run";
}

// The server starts its handshake only after 3.5 s: the owner hears 7 when
// the 3000 ms timer fires, and the success that follows is still passed on,
// with the same processor.
TEST(CHttpConnectorTest, SlowHandshakeTimesOutAndLateSuccessFollows) {
  TlsServerOptions options;
  options.handshakeDelayMs = 3500;
  TlsTestServer server(options);
  ASSERT_TRUE(server.Start());
  ScopedResolver resolver({{"localhost", kIpv4Only}});
  LogCapture log;
  Fixture f(true);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(f.Connect({"localhost"}, server.port()));
  ASSERT_TRUE(f.events.WaitCount(2, kWaitMs));
  f.task.Run();
  const auto events = f.events.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].code, 7);
  EXPECT_EQ(events[1].code, 0);
  EXPECT_NE(events[0].processor, nullptr);
  EXPECT_EQ(events[0].processor, events[1].processor);
  // Lower bounds set by the timer and the server, not speeds.
  EXPECT_GE(events[0].at - start, std::chrono::milliseconds(2900));
  EXPECT_GE(events[1].at - start, std::chrono::milliseconds(3400));
  EXPECT_EQ(log.Count(kTag, "Id[9] OnTimer Connect Https timeout"), 1);
  EXPECT_EQ(log.Count(kTag, "Id[9] OnHttpsConnected: eResult[7] IPV4"), 1);
}

// IPv4 wins; the IPv6 handshake, already under way, completes later: its
// success is not passed on and its connection is closed.
TEST(CHttpConnectorTest, LateWinnerIsDropped) {
  if (!zntest::HasIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback";
  TlsTestServer v4server(TlsServerOptions{});
  ASSERT_TRUE(v4server.Start());
  TlsServerOptions slow;
  slow.address = "::1";
  slow.port = v4server.port();
  slow.handshakeDelayMs = 800;
  TlsTestServer v6server(slow);
  ASSERT_TRUE(v6server.Start());
  ScopedResolver resolver({{"localhost", kDualStack}});
  LogCapture log;
  Fixture f(true);
  ASSERT_TRUE(f.Connect({"localhost"}, v4server.port()));
  ASSERT_TRUE(f.events.WaitCount(1, kWaitMs));
  // The IPv6 connection ends only once the client has dropped it.
  ASSERT_TRUE(v6server.WaitForConnections(1, kWaitMs));
  const auto events = f.Outcome();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].code, 0);
  EXPECT_EQ(log.Count(kTag, "Id[9] OnHttpsConnected: eResult[0] IPV4"), 1);
  EXPECT_EQ(log.Count(kTag, "Id[9] OnHttpsConnected: eResult[0] IPV6"), 1);
  CZNSslProcessor* late = events[0].processor;
  f.task.Run([&] { late = f.connector->GetSubConnectorV6()->GetSslProcessor(); });
  EXPECT_EQ(late, nullptr);
}

}  // namespace
