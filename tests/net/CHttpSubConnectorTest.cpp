// The sub-connector: its walk through one family's addresses, the bind
// address, and the handshake results (real certificates, injected faults)
// against loopback sockets and the in-process TLS server.
#include "net/CHttpSubConnector.h"

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "NetTestUtil.h"
#include "net/CZNSslProcessor.h"

namespace {

using zntest::ConnectEvents;
using zntest::LogCapture;
using zntest::RefusingPort;
using zntest::TlsServerOptions;
using zntest::TlsTestServer;

const int kWaitMs = 10000;
const char kTag[] = "CHttpConnector";

// A sub-connector (Id 7) on the test task, reporting into events.
struct Fixture final : public CHttpSubConnectorSink {
  explicit Fixture(const char* sslName = nullptr) {
    task.Run([&] {
      sub = new CHttpSubConnector(7, this, false);
      if (sslName) sub->SetHttps(zn::strutf8(sslName));
    });
  }
  ~Fixture() override {
    task.Run([&] { delete sub; });
  }
  void OnConnected(CHttpSubConnector*, bool bSuccess, znsocket_t s) override { events.Plain(bSuccess, s); }
  void OnHttpsConnected(CHttpSubConnector*, int code, CZNSslProcessor* p) override { events.Https(code, p); }
  bool Connect(const std::vector<std::string>& ips, uint16_t port) {
    bool ok = false;
    task.Run([&] {
      std::vector<zn::strutf8> v;
      for (const auto& ip : ips) v.emplace_back(ip.c_str());
      ok = sub->Connect(v, port, 0);
    });
    return ok;
  }
  std::vector<std::string> IPs() {
    std::vector<std::string> out;
    task.Run([&] {
      for (const auto& ip : sub->GetIPs()) out.push_back(ip.c_str());
    });
    return out;
  }
  zntest::TaskThread task;
  ConnectEvents events;
  CHttpSubConnector* sub = nullptr;  // owned, used on the task
};

std::string Line(const char* fmt, const char* ip, unsigned port) {
  char buf[256];
  snprintf(buf, sizeof(buf), fmt, ip, port);
  return buf;
}

// Lists that start nothing: a refusal up front, or addresses that cannot even
// start an attempt, tried one after the other. The sink hears nothing.
TEST(CHttpSubConnectorTest, NothingStartedNothingReported) {
  struct Row {
    std::vector<std::string> ips;
    uint16_t port;
    std::vector<std::string> log;
  };
  const Row rows[] = {
      {{}, 80, {"Id[7] Connect:strIPs is empty or wPort[80] is 0"}},
      {{"127.0.0.1"}, 0, {"Id[7] Connect:strIPs is empty or wPort[0] is 0"}},
      {{"not-an-address", "neither.this"},
       80,
       {"Id[7] Start Connect To [not-an-address:80]", "Id[7] InternalConnect To [not-an-address:80] failed",
        "Id[7] Connect To Next IP [neither.this:80] ", "Id[7] InternalConnect To [neither.this:80] failed"}},
  };
  for (const Row& r : rows) {
    LogCapture log;
    Fixture f;
    EXPECT_FALSE(f.Connect(r.ips, r.port));
    for (const auto& l : r.log) EXPECT_EQ(log.Count(kTag, l), 1) << l;
    EXPECT_TRUE(f.IPs().empty());
    bool again = true;
    f.task.Run([&] { again = f.sub->ReConnect(); });
    EXPECT_FALSE(again);
    f.task.Run();
    EXPECT_TRUE(f.events.Events().empty());
  }
}

// Reverse TCP is used only with both a creator and a task; the task is
// counted while held. The platform's reverse socket never starts an attempt.
TEST(CHttpSubConnectorTest, ReverseTcpNeedsCreatorAndTask) {
  struct Creator final : public CZNIReverseTcpSocketCreater {};
  Creator creator;
  struct Row {
    bool creater;
    bool task;
  };
  const Row rows[] = {{false, false}, {true, false}, {false, true}, {true, true}};
  for (const Row& r : rows) {
    SCOPED_TRACE(std::to_string(r.creater) + std::to_string(r.task));
    LogCapture log;
    Fixture f;
    bool started = true;
    f.task.Run([&] {
      f.sub->SetReverseTcpSocket(r.creater ? &creator : nullptr, r.task ? f.task.task() : nullptr);
      started = f.sub->InternalConnect("127.0.0.1", 80);
    });
    const bool reverse = r.creater && r.task;
    EXPECT_EQ(log.Count(kTag, "Id[7] SetReverseTcpSocket:creater or pTask is null, so can NOT use reverse tcp"),
              reverse ? 0 : 1);
    // A direct attempt to a closed loopback port starts; the reverse stub does not.
    EXPECT_EQ(started, !reverse);
  }
}

// The first address refuses (asynchronously), the second accepts: the list
// then starts with the address in use, and ReConnect begins with it.
TEST(CHttpSubConnectorTest, AsynchronousFailureMovesToTheNextAddress) {
  RefusingPort refusing("127.0.0.1", 0);
  ASSERT_TRUE(refusing.valid());
  TlsServerOptions options;
  options.tls = false;
  options.address = "127.0.0.2";
  options.port = refusing.port();
  TlsTestServer server(options);
  ASSERT_TRUE(server.Start());
  const unsigned port = refusing.port();

  LogCapture log;
  Fixture f;
  ASSERT_TRUE(f.Connect({"127.0.0.1", "127.0.0.2", "127.0.0.3"}, refusing.port()));
  ASSERT_TRUE(f.events.WaitCount(1, kWaitMs));
  auto events = f.events.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].success && events[0].validSocket && !events[0].https);
  EXPECT_EQ(events[0].threadId, f.task.task()->getthreadid());
  EXPECT_EQ(f.IPs(), (std::vector<std::string>{"127.0.0.2", "127.0.0.3"}));
  EXPECT_EQ(log.Count(kTag, Line("Id[7] Connect To Next IP [%s:%u] ", "127.0.0.2", port)), 1);
  EXPECT_EQ(log.Count(kTag, Line("Id[7] OnConnected [%s:%u] ", "127.0.0.2", port)), 1);

  bool again = false;
  f.task.Run([&] { again = f.sub->ReConnect(); });
  EXPECT_TRUE(again);
  EXPECT_EQ(log.Count(kTag, Line("Id[7] CHttpSubConnector::ReConnect Start Connect To [%s:%u]", "127.0.0.2", port)),
            1);
  ASSERT_TRUE(f.events.WaitCount(2, kWaitMs));
  EXPECT_TRUE(f.events.Events()[1].success);
  EXPECT_TRUE(server.WaitForAccepted(2, kWaitMs));
}

TEST(CHttpSubConnectorTest, ExhaustedListIsReportedOnce) {
  RefusingPort first("127.0.0.1", 0);
  RefusingPort second("127.0.0.2", first.port());
  ASSERT_TRUE(first.valid() && second.valid());
  Fixture f;
  ASSERT_TRUE(f.Connect({"127.0.0.1", "127.0.0.2"}, first.port()));
  ASSERT_TRUE(f.events.WaitCount(1, kWaitMs));
  f.task.Run();
  auto events = f.events.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_FALSE(events[0].https || events[0].success || events[0].validSocket);
  EXPECT_TRUE(f.IPs().empty());
}

TEST(CHttpSubConnectorTest, BindAddressIsTheServersPeer) {
  TlsServerOptions options;
  options.tls = false;
  TlsTestServer server(options);
  ASSERT_TRUE(server.Start());
  {
    Fixture f;
    f.task.Run([&] { f.sub->SetIpAndPort2Bind("127.0.0.2", 0); });
    ASSERT_TRUE(f.Connect({"127.0.0.1"}, server.port()));
    ASSERT_TRUE(f.events.WaitCount(1, kWaitMs));
    EXPECT_TRUE(f.events.Events()[0].success);  // and the socket closed
  }
  std::vector<zntest::TlsConnectionResult> results;
  ASSERT_TRUE(server.WaitForConnections(1, kWaitMs, &results));
  EXPECT_EQ(results[0].peerAddress, "127.0.0.2");
}

// Real handshakes: the certificate's common name against the required name,
// and faults of the server. The processor's 1 and 2 reach the connector
// swapped; every result comes with the sub-connector's processor.
TEST(CHttpSubConnectorTest, HandshakeResults) {
  struct Row {
    const char* subject;
    const char* name;
    int code;
    bool closeDuringHandshake;
    bool plainServer;  // answers with bytes that are no TLS
  };
  const Row rows[] = {
      {"/O=XX/CN=Alpha.Beta", "alpha.beta", 0, false, false},
      {"/O=XX/CN=Alpha.Beta", "ALPHA.beta", 0, false, false},
      {"/O=XX/CN=Alpha.Beta", "w.alpha.beta", 6, false, false},
      {"/CN=*.beta", "a.b.beta", 0, false, false},
      {"/CN=*.beta", ".beta", 0, false, false},
      {"/CN=*.beta", "beta", 6, false, false},
      {"/CN=host/OU=x", "host", 6, false, false},
      {"/CN=host/OU=x", "host/ou=x", 0, false, false},
      {"/O=NoCommonName", "localhost", 6, false, false},
      {"/CN=localhost", "localhost", 1, true, false},
      {"/CN=localhost", "localhost", 2, false, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.subject) + " vs " + r.name);
    TlsServerOptions options;
    options.cert = zntest::TestCert::Make(r.subject);
    ASSERT_EQ(options.cert.SubjectLine(), r.subject);
    options.closeDuringHandshake = r.closeDuringHandshake;
    if (r.plainServer) {
      options.tls = false;
      options.sendBytes = 100;
      options.expectBytes = 0;
    }
    TlsTestServer server(options);
    ASSERT_TRUE(server.Start());
    LogCapture log;
    Fixture f(r.name);
    ASSERT_TRUE(f.Connect({"127.0.0.1"}, server.port()));
    ASSERT_TRUE(f.events.WaitCount(1, kWaitMs));
    const auto event = f.events.Events()[0];
    EXPECT_TRUE(event.https);
    EXPECT_EQ(event.code, r.code);
    EXPECT_EQ(event.threadId, f.task.task()->getthreadid());
    CZNSslProcessor* current = nullptr;
    f.task.Run([&] { current = f.sub->GetSslProcessor(); });
    EXPECT_NE(event.processor, nullptr);
    EXPECT_EQ(event.processor, current);
    // A refused name is logged by the processor, a missing one is not.
    EXPECT_EQ(log.CountContaining("CZNSslProcessor", "SSL verify failed"),
              r.code == 6 && std::string(r.subject) != "/O=NoCommonName" ? 1 : 0);
  }
}

}  // namespace
