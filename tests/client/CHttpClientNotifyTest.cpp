// The notifications: which thread runs the host's callbacks, in what order,
// which ones the mask lets through, what a destroyed client still delivers,
// the idle state at completion, the choice between the two callback objects,
// the pacing of progress reports and the in-place redirect report.
#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "ClientTestUtil.h"

namespace {

using zntest::HostEvent;
using zntest::ProbeClient;
using zntest::Recorder;
using zntest::RecordingNotify;
using zntest::RecordingNotifyRef;
using zntest::TaskThread;

// A probe client with a notify task (or none) and a recording callback object.
struct Notified {
  explicit Notified(bool withTask = true, uint8_t flags = 0xFF)
      : task("notify"), notify(rec), client(new ProbeClient(withTask ? task.task() : nullptr)) {
    client->SetNotify(&notify);
    client->SetNotifyFlags(flags);
  }
  // Waits (bounded) until the notify task ran everything queued so far.
  bool Drain() {
    return zntest::RunOn(task.task(), [] {});
  }
  TaskThread task;
  Recorder rec;
  RecordingNotify notify;
  std::unique_ptr<ProbeClient> client;  // destroyed first
};

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

TEST(CHttpClientNotifyTest, MaskFiltersAndTheNotifyTaskDeliversInOrder) {
  // Progress has no bit of its own here: the pacing step tests 0x10.
  const struct {
    uint8_t flags;
    std::vector<std::string> expected;
  } cases[] = {
      {0x08, {"OnProgress", "OnRedirected", "OnDownloadComplete"}},
      {0x00, {"OnProgress", "OnRedirected", "OnDownloadComplete"}},
      {0x01, {"OnConnecting", "OnProgress", "OnRedirected", "OnDownloadComplete"}},
      {0x02, {"OnConnected", "OnProgress", "OnRedirected", "OnDownloadComplete"}},
      {0x04, {"OnDownloadStart", "OnProgress", "OnRedirected", "OnDownloadComplete"}},
      {0xFF, {"OnConnecting", "OnConnected", "OnDownloadStart", "OnProgress", "OnRedirected", "OnDownloadComplete"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.flags));
    Notified s(true, c.flags);
    NotifyAll(*s.client);
    ASSERT_TRUE(s.rec.WaitForName("OnDownloadComplete"));
    ASSERT_TRUE(s.Drain());  // nothing else pending
    EXPECT_EQ(s.rec.Names(), c.expected);
    std::map<std::string, HostEvent> byName;
    for (const HostEvent& e : s.rec.Events()) {
      EXPECT_EQ(e.thread, s.task.task()->getthreadid()) << e.name;
      byName[e.name] = e;
    }
    if (c.flags != 0xFF) continue;
    // The arguments reach the host unchanged.
    EXPECT_EQ(byName["OnConnecting"].text, "example.test");
    EXPECT_EQ(byName["OnDownloadStart"].a, 10u);
    EXPECT_EQ(byName["OnDownloadStart"].b, 100u);
    EXPECT_EQ(byName["OnProgress"].a, 50u);
    EXPECT_EQ(byName["OnProgress"].b, 100u);
    EXPECT_EQ(byName["OnRedirected"].text, "http://example.test/next");
    EXPECT_EQ(byName["OnDownloadComplete"].a, 0u);
  }
}

TEST(CHttpClientNotifyTest, WithoutNotifyTaskTheWorkerDelivers) {
  Notified s(false);
  s.client->StartHttpThread();
  CZNTaskBase* worker = s.client->HttpTask();
  ASSERT_NE(worker, nullptr);
  ASSERT_TRUE(zntest::RunOn(worker, [&] { NotifyAll(*s.client); }));
  ASSERT_EQ(s.rec.Events().size(), 6u);
  for (const HostEvent& e : s.rec.Events()) EXPECT_EQ(e.thread, worker->getthreadid()) << e.name;
}

TEST(CHttpClientNotifyTest, DestroyedClientReachesNoneOfItsCallbacks) {
  Notified s;
  {
    zntest::TaskGate gate(s.task.task());
    ASSERT_TRUE(gate.Entered());
    for (int i = 0; i < 20; ++i) NotifyAll(*s.client);
    s.client.reset();
  }
  ASSERT_TRUE(s.Drain());
  EXPECT_TRUE(s.rec.Events().empty());
}

TEST(CHttpClientNotifyTest, DestructionWaitsForACallbackRunningElsewhere) {
  Notified s;
  CZNEvent entered(true, false);
  CZNEvent deleted(true, false);
  bool deletedWhileInCallback = false;
  s.rec.SetHook([&](const HostEvent& e) {
    if (e.name != "OnDownloadComplete") return;
    entered.Post();
    // The host thread deletes the client now; the deletion must not end
    // while this callback still runs.
    deletedWhileInCallback = deleted.Wait(300);
  });
  s.client->NotifyOnDownloadComplete(0);
  ASSERT_TRUE(entered.Wait(10000));
  s.client.reset();
  deleted.Post();
  ASSERT_TRUE(s.Drain());
  EXPECT_FALSE(deletedWhileInCallback);
}

TEST(CHttpClientNotifyTest, HostMayDeleteTheClientFromItsCallback) {
  Notified s;
  ProbeClient* client = s.client.release();
  client->StartHttpThread();
  // The callback deletes the client only once both notifications are queued:
  // the test thread must not touch the client after that.
  CZNEvent queued(true, false);
  s.rec.SetHook([&](const HostEvent& e) {
    if (e.name != "OnDownloadComplete") return;
    queued.Wait(5000);
    delete client;
  });
  client->NotifyOnDownloadComplete(0);
  client->NotifyOnConnected();  // queued behind: dropped once the client is gone
  queued.Post();
  ASSERT_TRUE(s.rec.WaitForName("OnDownloadComplete"));
  ASSERT_TRUE(s.Drain());
  EXPECT_EQ(s.rec.Names(), std::vector<std::string>{"OnDownloadComplete"});
}

TEST(CHttpClientNotifyTest, RunningUntilTheCompletionIsDeliveredThenFreeForTheNext) {
  Notified s;
  ProbeClient& client = *s.client;
  client.SetId(41);
  client.SetRunning(true);
  bool idleInside = false;
  s.rec.SetHook([&](const HostEvent& e) {
    if (e.name != "OnDownloadComplete") return;
    idleInside = !client.IsRunning();
    client.SetRunning(true);  // the host starts the next transfer from the callback
  });
  {
    zntest::TaskGate gate(s.task.task());
    client.NotifyOnDownloadComplete(3);
    // Queued, not yet delivered: the client is still busy.
    EXPECT_TRUE(client.IsRunning());
    EXPECT_EQ(client.GetId(), 41u);
  }
  ASSERT_TRUE(s.rec.WaitForName("OnDownloadComplete"));
  ASSERT_TRUE(s.Drain());
  const HostEvent done = s.rec.Events().back();
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
  Notified s(false, 0x08);
  ProbeClient& client = *s.client;
  client.SetMethod("GET");
  client.SetContentLength(1000);

  // Without bit 0x10 nothing is reported, forced or not.
  client.ReportProgress(true);
  client.ReportProgress(false);
  EXPECT_TRUE(s.rec.Events().empty());

  client.SetNotifyFlags(0x18);
  std::map<uint32_t, int> perSecond;  // zn_time second -> unforced reports in it
  CZNEvent never(true, false);
  const uint64_t end = zn_gettickcount() + 3500;
  while (zn_gettickcount() < end) {
    const size_t before = s.rec.Events().size();
    const uint32_t second = zn_time();
    client.ReportProgress(false);
    if (s.rec.Events().size() > before && zn_time() == second) ++perSecond[second];
    never.Wait(20);  // pace the loop, nothing to wait for
  }
  for (auto& kv : perSecond) EXPECT_LE(kv.second, 1) << "second " << kv.first;
  const size_t unforced = s.rec.Events().size();
  EXPECT_GE(unforced, 3u);
  EXPECT_LE(unforced, 5u);
  // A forced report always goes out, even right after another.
  client.ReportProgress(true);
  client.ReportProgress(true);
  EXPECT_EQ(s.rec.Events().size(), unforced + 2);
  EXPECT_EQ(s.rec.Events().back().b, 1000u);  // total: the announced length
}

TEST(CHttpClientNotifyTest, RedirectReportInPlaceMayRewriteTheTarget) {
  const struct {
    bool sync;
    const char* rewrite;
    const char* urlAfter;
  } cases[] = {
      {true, "http://127.0.0.1:1/rewritten", "http://127.0.0.1:1/rewritten"},
      {true, "", "http://example.test/to"},
      {false, "http://127.0.0.1:1/ignored", "http://example.test/to"},
  };
  for (const auto& c : cases) {
    Notified s(true, 0x08);
    s.notify.m_rewrite = c.rewrite;
    s.client->SetSyncRedirectNotify(c.sync);
    s.client->SetUrl("http://example.test/to");
    s.client->NotifyRedirect();
    ASSERT_TRUE(s.rec.WaitForName("OnRedirected"));
    const HostEvent e = s.rec.Events().front();
    EXPECT_EQ(e.text, "http://example.test/to");
    // In place means on the calling (worker) thread, not on the notify task.
    EXPECT_EQ(e.thread == znthread_selfid(), c.sync);
    EXPECT_STREQ(s.client->RequestInfo().m_strUrl.c_str(), c.urlAfter);
    ASSERT_TRUE(s.Drain());
  }
}

}  // namespace
