// The notifications: which thread runs the host's callbacks, in what order,
// which ones the mask lets through, what a destroyed client still delivers,
// the idle state at completion, the choice between the two callback objects
// and the pacing of progress reports. The in-place redirect report is seen
// end to end in the engine tests.
#include <gtest/gtest.h>

#include <map>

#include "ClientTestUtil.h"

namespace {

using zntest::ProbeHost;
using zntest::HostEvent;
using zntest::ProbeClient;
using zntest::Recorder;
using zntest::RecordingNotify;
using zntest::RecordingNotifyRef;

// Makes every notification of the client once, in a fixed order.
void NotifyAll(zn::CHttpClient& client) {
  client.NotifyOnConnecting(zn::strutf16("example.test"));
  client.NotifyOnConnected();
  client.NotifyOnDownloadStart(10, 100);
  client.NotifyOnProgress(50, 100, 7, 40);
  client.NotifyOnRedirected(zn::strutf16("http://example.test/next"));
  client.NotifyOnReConnect();  // only a log line: never reaches the host
  client.NotifyOnDownloadComplete(0);
}

// The mask filters, and the notify task (or without one, the worker that
// reports) delivers in order with the arguments unchanged.
TEST(CHttpClientNotifyTest, MaskFiltersAndOneThreadDeliversInOrder) {
  // Progress has no bit of its own here: the pacing step tests 0x10.
  const std::vector<std::string> all = {"OnConnecting", "OnConnected",  "OnDownloadStart",
                                        "OnProgress",   "OnRedirected", "OnDownloadComplete"};
  const struct {
    int flags;  // -1: the default, never set
    bool withTask;
    std::vector<std::string> expected;
  } cases[] = {
      {-1, true, {"OnProgress", "OnRedirected", "OnDownloadComplete"}},
      {0x08, true, {"OnProgress", "OnRedirected", "OnDownloadComplete"}},
      {0x00, true, {"OnProgress", "OnRedirected", "OnDownloadComplete"}},
      {0x01, true, {"OnConnecting", "OnProgress", "OnRedirected", "OnDownloadComplete"}},
      {0x02, true, {"OnConnected", "OnProgress", "OnRedirected", "OnDownloadComplete"}},
      {0x04, true, {"OnDownloadStart", "OnProgress", "OnRedirected", "OnDownloadComplete"}},
      {0xFF, true, all},
      {0xFF, false, all},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.flags << (c.withTask ? "" : " on the worker"));
    ProbeHost host(c.flags, c.withTask);
    CZNTaskBase* deliverer = host.task();
    if (c.withTask) {
      NotifyAll(host.probe());
    } else {
      host.probe().StartHttpThread();
      deliverer = host.probe().HttpTask();
      ASSERT_TRUE(zntest::RunOn(deliverer, [&] { NotifyAll(host.probe()); }));
    }
    ASSERT_TRUE(host.rec().WaitForName("OnDownloadComplete"));
    ASSERT_TRUE(host.Drain());  // nothing else pending
    EXPECT_EQ(host.rec().Names(), c.expected);
    std::map<std::string, HostEvent> byName;
    for (const HostEvent& e : host.rec().Events()) {
      EXPECT_EQ(e.thread, deliverer->getthreadid()) << e.name;
      byName[e.name] = e;
    }
    if (c.flags != 0xFF) continue;
    EXPECT_EQ(byName["OnConnecting"].text, "example.test");
    EXPECT_EQ(byName["OnDownloadStart"].a, 10u);
    EXPECT_EQ(byName["OnDownloadStart"].b, 100u);
    EXPECT_EQ(byName["OnProgress"].a, 50u);
    EXPECT_EQ(byName["OnProgress"].b, 100u);
    EXPECT_EQ(byName["OnRedirected"].text, "http://example.test/next");
    EXPECT_EQ(byName["OnDownloadComplete"].a, 0u);
  }
}

TEST(CHttpClientNotifyTest, DestroyedClientReachesNoneOfItsCallbacks) {
  ProbeHost host;
  {
    zntest::TaskGate gate(host.task());
    ASSERT_TRUE(gate.Entered());
    for (int i = 0; i < 20; ++i) NotifyAll(host.probe());
    host.Reset();
  }
  ASSERT_TRUE(host.Drain());
  EXPECT_TRUE(host.rec().Events().empty());
}

TEST(CHttpClientNotifyTest, DestructionWaitsForACallbackRunningElsewhere) {
  ProbeHost host;
  CZNEvent entered(true, false);
  CZNEvent deleted(true, false);
  bool deletedWhileInCallback = false;
  host.rec().SetHook([&](const HostEvent& e) {
    if (e.name != "OnDownloadComplete") return;
    entered.Post();
    // The host thread deletes the client now; the deletion must not end
    // while this callback still runs.
    deletedWhileInCallback = deleted.Wait(300);
  });
  host.probe().NotifyOnDownloadComplete(0);
  ASSERT_TRUE(entered.Wait(10000));
  host.Reset();
  deleted.Post();
  ASSERT_TRUE(host.Drain());
  EXPECT_FALSE(deletedWhileInCallback);
}

TEST(CHttpClientNotifyTest, HostMayDeleteTheClientFromItsCallback) {
  ProbeHost host;
  ProbeClient* client = host.Release();
  client->StartHttpThread();
  // The callback deletes the client only once both notifications are queued:
  // the test thread must not touch the client after that.
  CZNEvent queued(true, false);
  host.rec().SetHook([&](const HostEvent& e) {
    if (e.name != "OnDownloadComplete") return;
    queued.Wait(5000);
    delete client;
  });
  client->NotifyOnDownloadComplete(0);
  client->NotifyOnConnected();  // queued behind: dropped once the client is gone
  queued.Post();
  ASSERT_TRUE(host.rec().WaitForName("OnDownloadComplete"));
  ASSERT_TRUE(host.Drain());
  EXPECT_EQ(host.rec().Names(), std::vector<std::string>{"OnDownloadComplete"});
}

TEST(CHttpClientNotifyTest, RunningUntilTheCompletionIsDeliveredThenFreeForTheNext) {
  ProbeHost host;
  ProbeClient& client = host.probe();
  client.SetId(41);
  client.SetRunning(true);
  bool idleInside = false;
  host.rec().SetHook([&](const HostEvent& e) {
    if (e.name != "OnDownloadComplete") return;
    idleInside = !client.IsRunning();
    client.SetRunning(true);  // the host starts the next transfer from the callback
  });
  {
    zntest::TaskGate gate(host.task());
    client.NotifyOnDownloadComplete(3);
    // Queued, not yet delivered: the client is still busy.
    EXPECT_TRUE(client.IsRunning());
    EXPECT_EQ(client.GetId(), 41u);
  }
  ASSERT_TRUE(host.rec().WaitForName("OnDownloadComplete"));
  ASSERT_TRUE(host.Drain());
  const HostEvent done = host.rec().Events().back();
  EXPECT_TRUE(idleInside);
  EXPECT_FALSE(done.running);
  EXPECT_EQ(done.a, 3u);
  EXPECT_EQ(client.GetId(), 0u);
  EXPECT_TRUE(client.IsRunning());  // the transfer started from the callback
  client.SetRunning(false);
}

TEST(CHttpClientNotifyTest, PlainCallbackWinsOverTheCountedOne) {
  const struct {
    bool plain;
    bool counted;
    const char* expected;  // name of the completion seen, or "" for none
  } cases[] = {
      {true, true, "OnDownloadComplete"},
      {false, true, "Ref.OnDownloadComplete"},
      {true, false, "OnDownloadComplete"},
      {false, false, ""},
  };
  for (const auto& c : cases) {
    Recorder rec;
    RecordingNotify notify(rec);
    RecordingNotifyRef* ref = new RecordingNotifyRef(rec);
    {
      ProbeClient client(nullptr);
      if (c.plain) client.SetNotify(&notify);
      if (c.counted) client.SetRefNotify(ref);
      client.SetRunning(true);
      client.NotifyOnDownloadComplete(0);  // direct path: no notify task
      EXPECT_FALSE(client.IsRunning());
      std::vector<std::string> expected;
      if (*c.expected) expected.push_back(c.expected);
      EXPECT_EQ(rec.Names(), expected);
      // The counted object is held by the client and once more during the call.
      if (!c.plain && c.counted) {
        EXPECT_EQ(ref->m_nRefInCall, 3);
      }
    }
    EXPECT_EQ(ref->RefCount(), 1);
    ref->Release();
  }
}

TEST(CHttpClientNotifyTest, ProgressIsPacedToOneUnforcedReportPerSecond) {
  ProbeHost host(0x08, false);
  ProbeClient& client = host.probe();
  client.SetMethod("GET");
  client.SetContentLength(1000);

  // Without bit 0x10 nothing is reported, forced or not.
  client.ReportProgress(true);
  client.ReportProgress(false);
  EXPECT_TRUE(host.rec().Events().empty());

  client.SetNotifyFlags(0x18);
  std::map<uint32_t, int> perSecond;  // zn_time second -> unforced reports in it
  CZNEvent never(true, false);
  const uint64_t end = zn_gettickcount() + 3500;
  while (zn_gettickcount() < end) {
    const size_t before = host.rec().Events().size();
    const uint32_t second = zn_time();
    client.ReportProgress(false);
    if (host.rec().Events().size() > before && zn_time() == second) ++perSecond[second];
    never.Wait(20);  // pace the loop, nothing to wait for
  }
  for (auto& kv : perSecond) EXPECT_LE(kv.second, 1) << "second " << kv.first;
  const size_t unforced = host.rec().Events().size();
  EXPECT_GE(unforced, 3u);
  EXPECT_LE(unforced, 5u);
  // A forced report always goes out, even right after another.
  client.ReportProgress(true);
  client.ReportProgress(true);
  EXPECT_EQ(host.rec().Events().size(), unforced + 2);
  EXPECT_EQ(host.rec().Events().back().b, 1000u);  // total: the announced length
}

}  // namespace
