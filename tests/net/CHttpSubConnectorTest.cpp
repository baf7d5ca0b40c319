// The sub-connector: its walk through one family's addresses, the bind
// address, and reverse TCP. Its handshakes run in the connector's race table.
#include "net/CHttpSubConnector.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "NetTestUtil.h"

namespace {

using zntest::LogCapture;
using zntest::OnTask;

const int kWaitMs = 10000;
const char kTag[] = "CHttpConnector";

using Fixture = zntest::ConnectFixture<CHttpSubConnector>;

std::vector<std::string> IPs(Fixture& f) {
  return OnTask(f.task, [&] {
    std::vector<std::string> out;
    for (const auto& ip : f.obj->GetIPs()) out.push_back(ip.c_str());
    return out;
  });
}

// Lists that start nothing: a refusal up front, or addresses that cannot even
// start an attempt, tried one after the other. The sink hears nothing.
TEST(CHttpSubConnectorTest, NothingStartedNothingReported) {
  const std::string refused = "[2] CHttpConnector Id[7] Connect:strIPs is empty or wPort[";
  const struct {
    std::vector<std::string> ips;
    uint16_t port;
    std::string log;
  } rows[] = {
      {{}, 80, refused + "80] is 0\n"},
      {{"127.0.0.1"}, 0, refused + "0] is 0\n"},
      {{"not-an-address", "neither.this"},
       80,
       "[3] CHttpConnector Id[7] Start Connect To [not-an-address:80]\n"
       "[1] znsocket CnnSocket Connect: [not-an-address] is not a numeric IPv4 or IPv6 address\n"
       "[2] CHttpConnector Id[7] InternalConnect To [not-an-address:80] failed\n"
       "[3] CHttpConnector Id[7] Connect To Next IP [neither.this:80] \n"
       "[1] znsocket CnnSocket Connect: [neither.this] is not a numeric IPv4 or IPv6 address\n"
       "[2] CHttpConnector Id[7] InternalConnect To [neither.this:80] failed\n"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.log);
    Fixture f(7);
    LogCapture log;
    EXPECT_FALSE(f.Connect(r.ips, r.port));
    EXPECT_EQ(log.Dump(), r.log);
    EXPECT_TRUE(IPs(f).empty());
    EXPECT_FALSE(OnTask(f.task, [&] { return f.obj->ReConnect(); }));
    f.task.Drain();
    EXPECT_TRUE(f.Events().empty());
  }
}

// Reverse TCP is used only with both a creator and a task. The platform's
// reverse socket never starts an attempt; a direct one to a closed port does.
TEST(CHttpSubConnectorTest, ReverseTcpNeedsCreatorAndTask) {
  struct Creator final : public CZNIReverseTcpSocketCreater {};
  Creator creator;
  for (int i = 0; i < 4; ++i) {
    const bool withCreator = i & 1, withTask = i & 2, reverse = i == 3;
    SCOPED_TRACE(i);
    LogCapture log;
    Fixture f(7);
    CZNTaskIO* task = withTask ? f.task.task() : nullptr;
    f.task.Run([&] { f.obj->SetReverseTcpSocket(withCreator ? &creator : nullptr, task); });
    EXPECT_EQ(OnTask(f.task, [&] { return f.obj->InternalConnect("127.0.0.1", 80); }), !reverse);
    EXPECT_EQ(log.Count(2, kTag, "Id[7] SetReverseTcpSocket:creater or pTask is null, so can NOT use reverse tcp"),
              reverse ? 0 : 1);
  }
}

// From a bound address: the first address refuses (asynchronously), the
// second accepts. The list then starts with the address in use, ReConnect
// begins with it, and once nothing accepts any more the failure comes once.
TEST(CHttpSubConnectorTest, WalkThroughTheList) {
  zntest::ScriptedServerOptions options = zntest::EveryConnection(zntest::ServerScript(), "");
  options.address = "127.0.0.2";
  zntest::ServerAmongRefusals net;
  ASSERT_TRUE(net.Start(options, {"127.0.0.1", "127.0.0.3"}));
  const std::string at = ":" + std::to_string(net.port) + "]";

  LogCapture log;
  Fixture f(7);
  f.task.Run([&] { f.obj->SetIpAndPort2Bind("127.0.0.2", 0); });
  ASSERT_TRUE(f.Connect({"127.0.0.1", "127.0.0.2", "127.0.0.3"}, net.port));
  auto events = f.Outcome();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].success && events[0].validSocket && !events[0].https);
  EXPECT_EQ(events[0].threadId, f.task.task()->getthreadid());
  EXPECT_EQ(IPs(f), (std::vector<std::string>{"127.0.0.2", "127.0.0.3"}));
  EXPECT_EQ(log.Count(3, kTag, "Id[7] Connect To Next IP [127.0.0.2" + at + " "), 1);
  EXPECT_EQ(log.Count(3, kTag, "Id[7] OnConnected [127.0.0.2" + at + " "), 1);

  EXPECT_TRUE(OnTask(f.task, [&] { return f.obj->ReConnect(); }));
  EXPECT_EQ(log.Count(3, kTag, "Id[7] CHttpSubConnector::ReConnect Start Connect To [127.0.0.2" + at), 1);
  ASSERT_EQ(f.Outcome(2).size(), 2u);
  EXPECT_TRUE(f.Events()[1].success);
  ASSERT_TRUE(net.server->WaitEnded(2, kWaitMs));
  EXPECT_EQ(net.server->PeerAddress(0), "127.0.0.2");

  net.server->Stop();
  EXPECT_TRUE(OnTask(f.task, [&] { return f.obj->ReConnect(); }));
  events = f.Outcome(3);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_FALSE(events[2].https || events[2].success || events[2].validSocket);
  EXPECT_TRUE(IPs(f).empty());
}

}  // namespace
