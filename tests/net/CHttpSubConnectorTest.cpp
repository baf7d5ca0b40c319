// The sub-connector: its walk through one family's address list, the bind
// address, and the translation of handshake results, against real loopback
// sockets and the in-process TLS server.
#include "net/CHttpSubConnector.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "NetTestUtil.h"
#include "net/CZNSslProcessor.h"
#include "support/TlsTestServer.h"

namespace {

using zntest::LogCapture;
using zntest::RefusingPort;
using zntest::TaskThread;
using zntest::TlsConnectionResult;
using zntest::TlsServerOptions;
using zntest::TlsTestServer;

const int kWaitMs = 10000;
const uint64_t kId = 7;
const char kTag[] = "CHttpConnector";

// Records what a sub-connector reports. Callbacks arrive on the task.
class SubSink final : public CHttpSubConnectorSink {
 public:
  struct Event {
    bool https;
    bool success;      // OnConnected
    int code;          // OnHttpsConnected
    bool validSocket;
    CZNSslProcessor* processor;
    uint64_t threadId;
  };
  void OnConnected(CHttpSubConnector*, bool bSuccess, znsocket_t s) override {
    if (bSuccess) znsocket_close(s);
    Add(Event{false, bSuccess, -1, znsocket_isvalid(s), nullptr, znthread_selfid()});
  }
  void OnHttpsConnected(CHttpSubConnector*, int eResult, CZNSslProcessor* p) override {
    Add(Event{true, false, eResult, false, p, znthread_selfid()});
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

// A sub-connector living on the test task.
struct Fixture {
  explicit Fixture(bool https = false, const char* name = "localhost") {
    task.Run([&] {
      sub = new CHttpSubConnector(kId, &sink, false);
      if (https) sub->SetHttps(zn::strutf8(name));
    });
  }
  ~Fixture() {
    task.Run([&] { delete sub; });
  }
  bool Connect(const std::vector<std::string>& ips, uint16_t port, uint32_t timeout = 0) {
    bool ok = false;
    task.Run([&] {
      std::vector<zn::strutf8> v;
      for (const auto& ip : ips) v.emplace_back(ip.c_str());
      ok = sub->Connect(v, port, timeout);
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
  TaskThread task;
  SubSink sink;
  CHttpSubConnector* sub = nullptr;  // owned, used on the task
};

std::string Fmt(const char* fmt, const std::string& ip, uint16_t port) {
  char buf[256];
  snprintf(buf, sizeof(buf), fmt, (unsigned long long)kId, ip.c_str(), unsigned(port));
  return buf;
}

TEST(CHttpSubConnectorTest, RefusesEmptyListAndPortZero) {
  struct Row {
    std::vector<std::string> ips;
    uint16_t port;
  };
  const Row rows[] = {{{}, 80}, {{"127.0.0.1"}, 0}};
  for (const Row& r : rows) {
    LogCapture log;
    Fixture f;
    EXPECT_FALSE(f.Connect(r.ips, r.port));
    char line[128];
    snprintf(line, sizeof(line), "Id[7] Connect:strIPs is empty or wPort[%hu] is 0", r.port);
    EXPECT_EQ(log.Count(kTag, line), 1);
    f.task.Run([] {});
    EXPECT_TRUE(f.sink.Events().empty());
  }
}

// Addresses that cannot even start an attempt fail at once, one after the
// other; the sink hears nothing and the list ends up empty.
TEST(CHttpSubConnectorTest, SynchronousFailuresWalkTheListSilently) {
  LogCapture log;
  Fixture f;
  EXPECT_FALSE(f.Connect({"not-an-address", "neither.this"}, 80));
  EXPECT_EQ(log.Count(kTag, "Id[7] Start Connect To [not-an-address:80]"), 1);
  EXPECT_EQ(log.Count(kTag, "Id[7] InternalConnect To [not-an-address:80] failed"), 1);
  EXPECT_EQ(log.Count(kTag, "Id[7] Connect To Next IP [neither.this:80] "), 1);
  EXPECT_EQ(log.Count(kTag, "Id[7] InternalConnect To [neither.this:80] failed"), 1);
  EXPECT_TRUE(f.IPs().empty());
  f.task.Run([] {});
  EXPECT_TRUE(f.sink.Events().empty());
  bool again = true;
  f.task.Run([&] { again = f.sub->ReConnect(); });
  EXPECT_FALSE(again);
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
  const uint16_t port = refusing.port();

  LogCapture log;
  Fixture f;
  ASSERT_TRUE(f.Connect({"127.0.0.1", "127.0.0.2", "127.0.0.3"}, port));
  ASSERT_TRUE(f.sink.WaitCount(1, kWaitMs));
  auto events = f.sink.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_FALSE(events[0].https);
  EXPECT_TRUE(events[0].success);
  EXPECT_TRUE(events[0].validSocket);
  EXPECT_EQ(events[0].threadId, f.task.task()->getthreadid());
  EXPECT_EQ(f.IPs(), (std::vector<std::string>{"127.0.0.2", "127.0.0.3"}));
  EXPECT_EQ(log.Count(kTag, Fmt("Id[%llu] Connect To Next IP [%s:%u] ", "127.0.0.2", port)), 1);
  EXPECT_EQ(log.Count(kTag, Fmt("Id[%llu] OnConnected [%s:%u] ", "127.0.0.2", port)), 1);

  bool again = false;
  f.task.Run([&] { again = f.sub->ReConnect(); });
  EXPECT_TRUE(again);
  EXPECT_EQ(log.Count(kTag, Fmt("Id[%llu] CHttpSubConnector::ReConnect Start Connect To [%s:%u]", "127.0.0.2", port)),
            1);
  ASSERT_TRUE(f.sink.WaitCount(2, kWaitMs));
  EXPECT_TRUE(f.sink.Events()[1].success);
  EXPECT_TRUE(server.WaitForAccepted(2, kWaitMs));
}

TEST(CHttpSubConnectorTest, ExhaustedListIsReportedOnce) {
  RefusingPort first("127.0.0.1", 0);
  ASSERT_TRUE(first.valid());
  RefusingPort second("127.0.0.2", first.port());
  ASSERT_TRUE(second.valid());
  Fixture f;
  ASSERT_TRUE(f.Connect({"127.0.0.1", "127.0.0.2"}, first.port(), 2000));
  ASSERT_TRUE(f.sink.WaitCount(1, kWaitMs));
  f.task.Run([] {});
  auto events = f.sink.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_FALSE(events[0].https);
  EXPECT_FALSE(events[0].success);
  EXPECT_FALSE(events[0].validSocket);
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
    ASSERT_TRUE(f.sink.WaitCount(1, kWaitMs));
    EXPECT_TRUE(f.sink.Events()[0].success);  // the sink closed the socket
  }
  std::vector<TlsConnectionResult> results;
  ASSERT_TRUE(server.WaitForConnections(1, kWaitMs, &results));
  EXPECT_EQ(results[0].peerAddress, "127.0.0.2");
}

// Handshake results reach the connector with 1 and 2 swapped, always with the
// sub-connector's processor.
TEST(CHttpSubConnectorTest, HandshakeResultsAreTranslated) {
  struct Row {
    const char* name;
    TlsServerOptions options;
    int code;
  };
  std::vector<Row> rows;
  rows.push_back(Row{"accepted", {}, 0});
  {
    Row r{"name mismatch", {}, 6};
    r.options.subject = "/CN=elsewhere";
    rows.push_back(r);
  }
  {
    Row r{"closed during the handshake", {}, 1};
    r.options.closeDuringHandshake = true;
    rows.push_back(r);
  }
  {
    Row r{"no TLS spoken", {}, 2};
    r.options.tls = false;
    r.options.sendBytes = 100;
    r.options.expectBytes = 0;
    rows.push_back(r);
  }
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    TlsTestServer server(r.options);
    ASSERT_TRUE(server.Start());
    Fixture f(true, "localhost");
    ASSERT_TRUE(f.Connect({"127.0.0.1"}, server.port()));
    ASSERT_TRUE(f.sink.WaitCount(1, kWaitMs));
    auto events = f.sink.Events();
    ASSERT_TRUE(events[0].https);
    EXPECT_EQ(events[0].code, r.code);
    CZNSslProcessor* current = nullptr;
    f.task.Run([&] { current = f.sub->GetSslProcessor(); });
    EXPECT_NE(events[0].processor, nullptr);
    EXPECT_EQ(events[0].processor, current);
    EXPECT_EQ(events[0].threadId, f.task.task()->getthreadid());
  }
}

}  // namespace
