// The sub-connector: its walk through one family's addresses, the bind
// address, reverse TCP, and real handshake results against loopback servers.
#include "net/CHttpSubConnector.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "NetTestUtil.h"
#include "net/CZNSslProcessor.h"

namespace {

using zntest::LogCapture;
using zntest::OnTask;
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
    return OnTask(task, [&] {
      std::vector<zn::strutf8> v;
      for (const auto& ip : ips) v.emplace_back(ip.c_str());
      return sub->Connect(v, port, 0);
    });
  }
  std::vector<std::string> IPs() {
    return OnTask(task, [&] {
      std::vector<std::string> out;
      for (const auto& ip : sub->GetIPs()) out.push_back(ip.c_str());
      return out;
    });
  }
  zntest::TaskThread task;
  zntest::ConnectEvents events;
  CHttpSubConnector* sub = nullptr;  // owned, used on the task
};

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
    EXPECT_FALSE(OnTask(f.task, [&] { return f.sub->ReConnect(); }));
    f.task.Drain();
    EXPECT_TRUE(f.events.Events().empty());
  }
}

// Reverse TCP is used only with both a creator and a task. The platform's
// reverse socket never starts an attempt; a direct one to a closed port does.
TEST(CHttpSubConnectorTest, ReverseTcpNeedsCreatorAndTask) {
  struct Creator final : public CZNIReverseTcpSocketCreater {};
  Creator creator;
  for (int both = 0; both < 4; ++both) {
    const bool withCreator = both & 1, withTask = both & 2, reverse = both == 3;
    SCOPED_TRACE(both);
    LogCapture log;
    Fixture f;
    EXPECT_EQ(OnTask(f.task,
                     [&] {
                       f.sub->SetReverseTcpSocket(withCreator ? &creator : nullptr, withTask ? f.task.task() : nullptr);
                       return f.sub->InternalConnect("127.0.0.1", 80);
                     }),
              !reverse);
    EXPECT_EQ(log.Count(kTag, "Id[7] SetReverseTcpSocket:creater or pTask is null, so can NOT use reverse tcp"),
              reverse ? 0 : 1);
  }
}

// From a bound address: the first address refuses (asynchronously), the
// second accepts. The list then starts with the address in use, ReConnect
// begins with it, and once nothing accepts any more the failure comes once.
TEST(CHttpSubConnectorTest, WalkThroughTheList) {
  RefusingPort first("127.0.0.1", 0);
  RefusingPort third("127.0.0.3", first.port());
  ASSERT_TRUE(first.valid() && third.valid());
  TlsServerOptions options;
  options.tls = false;
  options.address = "127.0.0.2";
  options.port = first.port();
  TlsTestServer server(options);
  ASSERT_TRUE(server.Start());
  const std::string at = ":" + std::to_string(first.port()) + "]";

  LogCapture log;
  Fixture f;
  f.task.Run([&] { f.sub->SetIpAndPort2Bind("127.0.0.2", 0); });
  ASSERT_TRUE(f.Connect({"127.0.0.1", "127.0.0.2", "127.0.0.3"}, first.port()));
  ASSERT_TRUE(f.events.WaitCount(1, kWaitMs));
  auto events = f.events.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].success && events[0].validSocket && !events[0].https);
  EXPECT_EQ(events[0].threadId, f.task.task()->getthreadid());
  EXPECT_EQ(f.IPs(), (std::vector<std::string>{"127.0.0.2", "127.0.0.3"}));
  EXPECT_EQ(log.Count(kTag, "Id[7] Connect To Next IP [127.0.0.2" + at + " "), 1);
  EXPECT_EQ(log.Count(kTag, "Id[7] OnConnected [127.0.0.2" + at + " "), 1);

  EXPECT_TRUE(OnTask(f.task, [&] { return f.sub->ReConnect(); }));
  EXPECT_EQ(log.Count(kTag, "Id[7] CHttpSubConnector::ReConnect Start Connect To [127.0.0.2" + at), 1);
  ASSERT_TRUE(f.events.WaitCount(2, kWaitMs));
  EXPECT_TRUE(f.events.Events()[1].success);
  std::vector<zntest::TlsConnectionResult> results;
  ASSERT_TRUE(server.WaitForConnections(2, kWaitMs, &results));
  EXPECT_EQ(results[0].peerAddress, "127.0.0.2");

  server.Stop();
  EXPECT_TRUE(OnTask(f.task, [&] { return f.sub->ReConnect(); }));
  ASSERT_TRUE(f.events.WaitCount(3, kWaitMs));
  f.task.Drain();
  events = f.events.Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_FALSE(events[2].https || events[2].success || events[2].validSocket);
  EXPECT_TRUE(f.IPs().empty());
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
      {"/O=XX/CN=Alpha.Beta", "w.alpha.beta", 6, false, false},
      // The certificate's subject line keeps a later field attached to the name.
      {"/CN=host/OU=x", "host", 6, false, false},
      {"/CN=host/OU=x", "host/ou=x", 0, false, false},
      {"/O=NoCommonName", "localhost", 6, false, false},
      {"/CN=localhost", "localhost", 1, true, false},
      {"/CN=localhost", "localhost", 2, false, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.subject) + " vs " + r.name);
    TlsServerOptions options;
    options.subject = r.subject;
    options.closeDuringHandshake = r.closeDuringHandshake;
    options.tls = !r.plainServer;
    options.sendBytes = r.plainServer ? 100 : 0;
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
    EXPECT_NE(event.processor, nullptr);
    EXPECT_EQ(event.processor, OnTask(f.task, [&] { return f.sub->GetSslProcessor(); }));
    // A refused name is logged by the processor, a missing one is not.
    EXPECT_EQ(log.Count("CZNSslProcessor", "SSL verify failed", true),
              r.code == 6 && std::string(r.subject) != "/O=NoCommonName" ? 1 : 0);
  }
}

}  // namespace
