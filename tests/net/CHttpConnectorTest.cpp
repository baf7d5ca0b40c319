// The connector: resolution through a test resolver, de-duplication, the race
// between the IPv6 and the IPv4 family, the single report of a success or a
// failure, the handshake time-out and the late winner, all on loopback.
#include "net/CHttpConnector.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "NetTestUtil.h"
#include "net/CHttpSubConnector.h"

namespace {

using zntest::LogCapture;
using zntest::OnTask;
using zntest::RefusingPorts;
using zntest::ScopedResolver;
using zntest::ScriptedServer;
using zntest::ServerScript;

const int kWaitMs = 10000;
const char kTag[] = "CHttpConnector";
const std::string kUnique = "CHttpSubConnector::Connect:Id[9] unique ip of vecIPs_";

using Fixture = zntest::ConnectFixture<CHttpConnector>;

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
  const Row rows[] = {
      {{}, 443, "[2] CHttpConnector Id[9] Connect:strIPs is empty or wPort[443] is 0\n"},
      {{"localhost"}, 0, "[2] CHttpConnector Id[9] Connect:strIPs is empty or wPort[0] is 0\n"},
      {{"nowhere.test"}, 80,
       "[4] CHttpConnector gethostbyname of ip nowhere.test\n"
       "[2] CHttpConnector Id[9] gethostbyname fail for host [nowhere.test]\n"}};
  for (const Row& r : rows) {
    ScopedResolver resolver({});
    LogCapture log;
    Fixture f(9);
    EXPECT_FALSE(f.Connect(r.hosts, r.port));
    EXPECT_EQ(log.Dump(), r.log);  // and with port 0 nothing is resolved
    f.task.Drain();
    EXPECT_TRUE(f.Events().empty());
  }
}

// Addresses are de-duplicated across hosts and kept in the order of their
// first appearance; every address is tried once.
TEST(CHttpConnectorTest, SharedAddressesAreTriedOnce) {
  const RefusingPorts a({"127.0.0.1", "127.0.0.2", "127.0.0.3"});
  ASSERT_TRUE(a.valid());
  ScopedResolver resolver({{"one.test", {true, {"127.0.0.2", "127.0.0.1"}}},
                           {"two.test", {true, {"127.0.0.1", "127.0.0.3", "127.0.0.2"}}}});
  LogCapture log;
  Fixture f(9);
  ASSERT_TRUE(f.Connect({"one.test", "two.test"}, a.port()));
  const auto events = f.Outcome();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_FALSE(events[0].success || events[0].validSocket);
  const std::string v4 = "[4] CHttpConnector " + kUnique + "v4:";
  EXPECT_NE(log.Dump().find(v4 + "127.0.0.2\n" + v4 + "127.0.0.1\n" + v4 + "127.0.0.3\n"), std::string::npos)
      << log.Dump();
  EXPECT_EQ(log.Count(4, kTag, kUnique, true), 3);
  EXPECT_EQ(log.Count(3, kTag, "Start Connect To [", true) + log.Count(3, kTag, "Next IP [", true), 3);
  // Duplicates are still reported as resolved.
  EXPECT_EQ(log.Count(3, kTag, "Id[9] gethostbyname for host [two.test]->[2][127.0.0.2]"), 1);
  EXPECT_EQ(log.Count(3, kTag, "gethostbyname for host [", true), 5);
}

// The race between the families through one resolver answer. A server on
// one family's loopback, the other refused on the same port: exactly one
// report reaches the owner, from the family with the server; a failure comes
// once, through the callback of the family that failed last. The handshake
// rows check real certificates and server faults; the sub-connector swaps the
// processor's 1 and 2.
TEST(CHttpConnectorTest, OneReportFromTheRace) {
  enum Answer { kBoth, kV4, kText };  // dual stack, IPv4 only, or the flag left false
  struct Row {
    const char* name;
    Answer answer;
    const char* server;   // its loopback address, "" for none
    const char* subject;  // of its certificate; nullptr: it serves plain TCP
    const char* sslName;  // the name the client requires; nullptr: plain client
    int code;             // 0 success, -1 plain failure, or the HTTPS failure
    const char* log;      // the owner's report, "" to leave unchecked
  };
  const char* kLocal = "/CN=localhost";
  const Row rows[] = {
      {"plain, IPv4 wins", kBoth, "127.0.0.1", nullptr, nullptr, 0, "OnConnected: bSuccess[1] IPV4"},
      {"https, IPv4 wins", kBoth, "127.0.0.1", kLocal, "localhost", 0, "OnHttpsConnected: eResult[0] IPV4"},
      {"plain, IPv6 wins", kBoth, "::1", nullptr, nullptr, 0, "OnConnected: bSuccess[1] IPV6"},
      {"https, IPv6 wins", kBoth, "::1", kLocal, "localhost", 0, "OnHttpsConnected: eResult[0] IPV6"},
      // The host text itself goes to the IPv4 family, whatever it looks like.
      {"unresolved IPv4 text", kText, "127.0.0.1", nullptr, nullptr, 0, "OnConnected: bSuccess[1] IPV4"},
      {"unresolved IPv6 text", kText, "::1", nullptr, nullptr, 0, "OnConnected: bSuccess[1] IPV4"},
      {"both families refused", kBoth, "", nullptr, nullptr, -1, ""},
      // IPv4 is refused first; IPv6 then fails its certificate check.
      {"refused, then certificate", kBoth, "::1", "/CN=somebody.else", "localhost", 6, ""},
      {"name differs", kV4, "127.0.0.1", "/O=XX/CN=Alpha.Beta", "w.alpha.beta", 6, ""},
      // The subject line keeps a later field attached to the common name.
      {"later field attached", kV4, "127.0.0.1", "/CN=host/OU=x", "host", 6, ""},
      {"later field included", kV4, "127.0.0.1", "/CN=host/OU=x", "host/ou=x", 0, ""},
      {"closed during the handshake", kV4, "127.0.0.1", kLocal, "localhost", 1, ""},
      {"plain server to a TLS client", kV4, "127.0.0.1", nullptr, "localhost", 2, ""},
  };
  const bool ipv6 = zntest::HasIpv6Loopback();
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const std::string address = r.server, host = r.answer == kText ? address : "localhost";
    const bool https = r.sslName != nullptr;
    if (!ipv6 && (r.answer == kBoth || address == "::1")) continue;
    ServerScript script;
    if (r.answer == kBoth && r.code > 0) script.Delay(500).Handshake();
    if (r.code == 1) script.ReadHello().Close();
    if (https && !r.subject) script.Stream(100);  // bytes that are no TLS
    zntest::ScriptedServerOptions options = zntest::EveryConnection(script, r.subject ? r.subject : "");
    options.address = address;
    // With both families answered, the one without the server refuses.
    std::vector<std::string> refuse;
    for (const char* other : {"127.0.0.1", "::1"}) {
      if (r.answer == kBoth && address != other) refuse.push_back(other);
    }
    zntest::ServerAmongRefusals net;
    ASSERT_TRUE(net.Start(options, refuse));
    ScopedResolver resolver(
        {{host, r.answer == kBoth ? kDualStack : r.answer == kV4 ? kIpv4Only : ScopedResolver::Answer{false, {}}}});
    LogCapture log;
    Fixture f(9, r.sslName);
    ASSERT_TRUE(f.Connect({host}, net.port));
    ASSERT_TRUE(!net.server || net.server->WaitAccepted(1, kWaitMs));
    const auto events = f.Outcome();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].https, https);
    EXPECT_EQ(events[0].success, r.code == 0);
    EXPECT_EQ(events[0].code, https ? r.code : -1);
    EXPECT_EQ(events[0].processor != nullptr, https);
    EXPECT_EQ(events[0].threadId, f.task.task()->getthreadid());
    EXPECT_TRUE(!*r.log || log.Count(3, kTag, std::string("Id[9] ") + r.log) == 1);
    if (r.answer == kV4) {
      EXPECT_EQ(events[0].processor, OnTask(f.task, [&] { return f.obj->GetSubConnectorV4()->GetSslProcessor(); }));
    }
    EXPECT_EQ(log.Count(4, kTag, kUnique + "v4:" + (r.answer == kText ? address : "127.0.0.1")), 1);
    EXPECT_EQ(log.Count(4, kTag, kUnique + "v6:::1"), r.answer == kBoth ? 1 : 0);
    EXPECT_EQ(log.Count(4, kTag, kUnique + "v6", true), r.answer == kBoth ? 1 : 0);
    EXPECT_EQ(net.server ? net.server->Accepted() : 0u, address.empty() ? 0u : 1u);
    EXPECT_EQ(log.Count(1, "CZNSslProcessor", "SSL verify failed", true), r.code == 6 ? 1 : 0);
  }
  if (!ipv6) GTEST_SKIP() << "no IPv6 loopback: the IPv6 rows were not run";
}

// The server starts its handshake only after 3.5 s: the owner hears 7 when
// the 3000 ms timer fires, and the success that follows is still passed on,
// with the same processor.
TEST(CHttpConnectorTest, SlowHandshakeTimesOutAndLateSuccessFollows) {
  ScriptedServer server({}, zntest::EveryConnection(ServerScript().Delay(3500).Handshake()));
  ASSERT_TRUE(server.ok());
  ScopedResolver resolver({{"localhost", kIpv4Only}});
  LogCapture log;
  Fixture f(9, "localhost");
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(f.Connect({"localhost"}, server.port()));
  const auto events = f.Outcome(2);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].code, 7);
  EXPECT_EQ(events[1].code, 0);
  EXPECT_NE(events[0].processor, nullptr);
  EXPECT_EQ(events[0].processor, events[1].processor);
  // Lower bounds set by the timer and the server, not speeds.
  EXPECT_GE(events[0].at - start, std::chrono::milliseconds(2900));
  EXPECT_GE(events[1].at - start, std::chrono::milliseconds(3400));
  EXPECT_EQ(log.Count(2, kTag, "Id[9] OnTimer Connect Https timeout"), 1);
  EXPECT_EQ(log.Count(3, kTag, "Id[9] OnHttpsConnected: eResult[7] IPV4"), 1);
}

// IPv4 wins; the IPv6 handshake, already under way, completes later: its
// success is not passed on and its connection is closed.
TEST(CHttpConnectorTest, LateWinnerIsDropped) {
  if (!zntest::HasIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback";
  ScriptedServer v4server({}, zntest::EveryConnection(ServerScript()));
  ASSERT_TRUE(v4server.ok());
  zntest::ScriptedServerOptions slow = zntest::EveryConnection(ServerScript().Delay(800).Handshake());
  slow.address = "::1";
  slow.port = v4server.port();
  ScriptedServer v6server({}, slow);
  ASSERT_TRUE(v6server.ok());
  ScopedResolver resolver({{"localhost", kDualStack}});
  LogCapture log;
  Fixture f(9, "localhost");
  ASSERT_TRUE(f.Connect({"localhost"}, v4server.port()));
  ASSERT_TRUE(f.WaitCount(1, kWaitMs));
  // The IPv6 connection ends only once the client has dropped it.
  ASSERT_TRUE(v6server.WaitEnded(1, kWaitMs));
  const auto events = f.Outcome();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].code, 0);
  EXPECT_EQ(log.Count(3, kTag, "Id[9] OnHttpsConnected: eResult[0] IPV4"), 1);
  EXPECT_EQ(log.Count(3, kTag, "Id[9] OnHttpsConnected: eResult[0] IPV6"), 1);
  EXPECT_EQ(OnTask(f.task, [&] { return f.obj->GetSubConnectorV6()->GetSslProcessor(); }), nullptr);
}

}  // namespace
