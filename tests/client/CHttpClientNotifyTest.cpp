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
using zntest::ScopedTask;

// Makes every notification of the client once, in a fixed order.
void NotifyAll(zn::CHttpClient& client) {
  client.NotifyOnConnecting(zn::strutf16("example.test"));
  client.NotifyOnConnected();
  client.NotifyOnDownloadStart(10, 100);
  client.NotifyOnProgress(50, 100, 7, 40);
  client.NotifyOnRedirected(zn::strutf16("http://example.test/next"));
  client.NotifyOnReConnect();
  client.NotifyOnDownloadComplete(0);
}

TEST(CHttpClientNotifyTest, MaskFiltersAndTheNotifyTaskDeliversInOrder) {
  struct Case {
    uint8_t flags;
    std::vector<std::string> expected;
  };
  // Progress has no bit of its own here: the pacing step tests 0x10.
  const Case cases[] = {
      {0x08, {"OnProgress", "OnRedirected", "OnDownloadComplete"}},
      {0x00, {"OnProgress", "OnRedirected", "OnDownloadComplete"}},
      {0x01, {"OnConnecting", "OnProgress", "OnRedirected", "OnDownloadComplete"}},
      {0x02, {"OnConnected", "OnProgress", "OnRedirected", "OnDownloadComplete"}},
      {0x04, {"OnDownloadStart", "OnProgress", "OnRedirected", "OnDownloadComplete"}},
      {0x17,
       {"OnConnecting", "OnConnected", "OnDownloadStart", "OnProgress", "OnRedirected", "OnDownloadComplete"}},
  };
  ScopedTask notifyTask("notify");
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.flags));
    Recorder rec;
    RecordingNotify notify(rec);
    ProbeClient client(notifyTask.get());
    client.SetNotify(&notify);
    client.SetNotifyFlags(c.flags);
    NotifyAll(client);
    ASSERT_TRUE(rec.WaitForName("OnDownloadComplete"));
    ASSERT_TRUE(zntest::RunOnTask(notifyTask.get(), [] {}));  // nothing else pending
    EXPECT_EQ(rec.Names(), c.expected);
    for (const HostEvent& e : rec.Events()) EXPECT_EQ(e.thread, notifyTask.get()->getthreadid()) << e.name;
  }
}

TEST(CHttpClientNotifyTest, ArgumentsReachTheHostUnchanged) {
  ScopedTask notifyTask("notify");
  Recorder rec;
  RecordingNotify notify(rec);
  ProbeClient client(notifyTask.get());
  client.SetNotify(&notify);
  client.SetNotifyFlags(0xFF);
  NotifyAll(client);
  ASSERT_TRUE(rec.WaitForName("OnDownloadComplete"));
  std::map<std::string, HostEvent> byName;
  for (const HostEvent& e : rec.Events()) byName[e.name] = e;
  EXPECT_EQ(byName["OnConnecting"].text, "example.test");
  EXPECT_EQ(byName["OnDownloadStart"].a, 10u);
  EXPECT_EQ(byName["OnDownloadStart"].b, 100u);
  EXPECT_EQ(byName["OnProgress"].a, 50u);
  EXPECT_EQ(byName["OnProgress"].b, 100u);
  EXPECT_EQ(byName["OnRedirected"].text, "http://example.test/next");
  EXPECT_EQ(byName["OnDownloadComplete"].a, 0u);
}

TEST(CHttpClientNotifyTest, WithoutNotifyTaskTheWorkerDelivers) {
  Recorder rec;
  RecordingNotify notify(rec);
  ProbeClient client(nullptr);
  client.SetNotify(&notify);
  client.SetNotifyFlags(0xFF);
  client.StartHttpThread();
  ASSERT_NE(client.HttpTask(), nullptr);
  ASSERT_TRUE(zntest::RunOnTask(client.HttpTask(), [&] { NotifyAll(client); }));
  ASSERT_EQ(rec.Events().size(), 6u);
  for (const HostEvent& e : rec.Events()) EXPECT_EQ(e.thread, client.HttpTask()->getthreadid()) << e.name;
}

TEST(CHttpClientNotifyTest, DestroyedClientReachesNoneOfItsCallbacks) {
  ScopedTask notifyTask("notify");
  Recorder rec;
  RecordingNotify notify(rec);
  {
    zntest::TaskGate gate(notifyTask.get());
    ASSERT_TRUE(gate.Entered());
    ProbeClient* client = new ProbeClient(notifyTask.get());
    client->SetNotify(&notify);
    client->SetNotifyFlags(0xFF);
    for (int i = 0; i < 20; ++i) NotifyAll(*client);
    delete client;
    gate.Open();
  }
  ASSERT_TRUE(zntest::RunOnTask(notifyTask.get(), [] {}));
  EXPECT_TRUE(rec.Events().empty());
}

TEST(CHttpClientNotifyTest, DestructionWaitsForACallbackRunningElsewhere) {
  ScopedTask notifyTask("notify");
  Recorder rec;
  RecordingNotify notify(rec);
  std::mutex m;
  std::condition_variable cv;
  bool entered = false;
  bool deleted = false;
  bool deletedWhileInCallback = false;
  rec.SetHook([&](const HostEvent& e) {
    if (e.name != "OnDownloadComplete") return;
    std::unique_lock<std::mutex> l(m);
    entered = true;
    cv.notify_all();
    // The host thread deletes the client now; the deletion must not end
    // while this callback still runs.
    deletedWhileInCallback = cv.wait_for(l, std::chrono::milliseconds(300), [&] { return deleted; });
  });
  ProbeClient* client = new ProbeClient(notifyTask.get());
  client->SetNotify(&notify);
  client->NotifyOnDownloadComplete(0);
  {
    std::unique_lock<std::mutex> l(m);
    ASSERT_TRUE(cv.wait_for(l, zntest::kWait, [&] { return entered; }));
  }
  delete client;
  {
    std::lock_guard<std::mutex> l(m);
    deleted = true;
    cv.notify_all();
  }
  ASSERT_TRUE(zntest::RunOnTask(notifyTask.get(), [] {}));
  EXPECT_FALSE(deletedWhileInCallback);
}

TEST(CHttpClientNotifyTest, HostMayDeleteTheClientFromItsCallback) {
  ScopedTask notifyTask("notify");
  Recorder rec;
  RecordingNotify notify(rec);
  ProbeClient* client = new ProbeClient(notifyTask.get());
  client->SetNotify(&notify);
  client->SetNotifyFlags(0xFF);
  client->StartHttpThread();
  // The callback deletes the client only once both notifications are queued:
  // the test thread must not touch the client after that.
  CZNEvent queued(true, false);
  rec.SetHook([&](const HostEvent& e) {
    if (e.name != "OnDownloadComplete") return;
    queued.Wait(5000);
    delete client;
  });
  client->NotifyOnDownloadComplete(0);
  client->NotifyOnConnected();  // queued behind: dropped once the client is gone
  queued.Post();
  ASSERT_TRUE(rec.WaitForName("OnDownloadComplete"));
  ASSERT_TRUE(zntest::RunOnTask(notifyTask.get(), [] {}));
  EXPECT_EQ(rec.Names(), std::vector<std::string>{"OnDownloadComplete"});
}

TEST(CHttpClientNotifyTest, RunningUntilTheCompletionIsDelivered) {
  ScopedTask notifyTask("notify");
  Recorder rec;
  RecordingNotify notify(rec);
  ProbeClient client(notifyTask.get());
  client.SetNotify(&notify);
  client.SetId(41);
  client.SetRunning(true);
  {
    zntest::TaskGate gate(notifyTask.get());
    client.NotifyOnDownloadComplete(3);
    // Queued, not yet delivered: the client is still busy.
    EXPECT_TRUE(client.IsRunning());
    EXPECT_EQ(client.GetId(), 41u);
  }
  ASSERT_TRUE(rec.WaitForName("OnDownloadComplete"));
  const HostEvent done = rec.Events().back();
  EXPECT_FALSE(done.running);  // idle inside the callback already
  EXPECT_EQ(done.a, 3u);
  EXPECT_FALSE(client.IsRunning());
  EXPECT_EQ(client.GetId(), 0u);
}

TEST(CHttpClientNotifyTest, HostMayStartTheNextTransferFromTheCompletion) {
  ScopedTask notifyTask("notify");
  Recorder rec;
  RecordingNotify notify(rec);
  ProbeClient client(notifyTask.get());
  client.SetNotify(&notify);
  bool idleInside = false;
  rec.SetHook([&](const HostEvent& e) {
    if (e.name != "OnDownloadComplete") return;
    idleInside = !client.IsRunning();
    // The running test of every entry point passes again here.
    client.SetRunning(true);
  });
  client.SetRunning(true);
  client.NotifyOnDownloadComplete(0);
  ASSERT_TRUE(rec.WaitForName("OnDownloadComplete"));
  ASSERT_TRUE(zntest::RunOnTask(notifyTask.get(), [] {}));
  EXPECT_TRUE(idleInside);
  EXPECT_TRUE(client.IsRunning());  // the transfer started from the callback
  client.SetRunning(false);
}

TEST(CHttpClientNotifyTest, PlainCallbackWinsOverTheCountedOne) {
  struct Case {
    bool plain;
    bool counted;
    const char* expected;  // name of the completion seen, or "" for none
  };
  const Case cases[] = {
      {true, true, "OnDownloadComplete"},
      {false, true, "Ref.OnDownloadComplete"},
      {true, false, "OnDownloadComplete"},
      {false, false, ""},
  };
  for (const Case& c : cases) {
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
      std::vector<std::string> names = rec.Names();
      if (*c.expected) {
        ASSERT_EQ(names.size(), 1u);
        EXPECT_EQ(names[0], c.expected);
      } else {
        EXPECT_TRUE(names.empty());
      }
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
  Recorder rec;
  RecordingNotify notify(rec);
  ProbeClient client(nullptr);
  client.SetNotify(&notify);
  client.SetMethod("GET");
  client.SetContentLength(1000);

  // Without bit 0x10 nothing is reported, forced or not.
  client.ReportProgress(true);
  client.ReportProgress(false);
  EXPECT_TRUE(rec.Events().empty());

  client.SetNotifyFlags(0x18);
  std::map<uint32_t, int> perSecond;  // zn_time second -> unforced reports in it
  std::mutex m;
  std::condition_variable cv;
  const uint64_t end = zn_gettickcount() + 3500;
  while (zn_gettickcount() < end) {
    const size_t before = rec.Events().size();
    const uint32_t second = zn_time();
    client.ReportProgress(false);
    if (rec.Events().size() > before && zn_time() == second) ++perSecond[second];
    std::unique_lock<std::mutex> l(m);
    cv.wait_for(l, std::chrono::milliseconds(20));  // pace the loop, nothing to wait for
  }
  for (auto& kv : perSecond) EXPECT_LE(kv.second, 1) << "second " << kv.first;
  const size_t unforced = rec.Events().size();
  EXPECT_GE(unforced, 3u);
  EXPECT_LE(unforced, 5u);
  // A forced report always goes out, even right after another.
  client.ReportProgress(true);
  client.ReportProgress(true);
  EXPECT_EQ(rec.Events().size(), unforced + 2);
  EXPECT_EQ(rec.Events().back().b, 1000u);  // total: the announced length
}

TEST(CHttpClientNotifyTest, ReConnectIsOnlyALogLine) {
  Recorder rec;
  RecordingNotify notify(rec);
  ProbeClient client(nullptr);
  client.SetNotify(&notify);
  client.SetNotifyFlags(0xFF);
  client.NotifyOnReConnect();
  EXPECT_TRUE(rec.Events().empty());
}

TEST(CHttpClientNotifyTest, RedirectReportInPlaceMayRewriteTheTarget) {
  struct Case {
    bool sync;
    const char* rewrite;
    const char* urlAfter;
  };
  const Case cases[] = {
      {true, "http://127.0.0.1:1/rewritten", "http://127.0.0.1:1/rewritten"},
      {true, "", "http://example.test/to"},
      {false, "http://127.0.0.1:1/ignored", "http://example.test/to"},
  };
  ScopedTask notifyTask("notify");
  for (const Case& c : cases) {
    Recorder rec;
    RecordingNotify notify(rec);
    notify.m_rewrite = c.rewrite;
    ProbeClient client(notifyTask.get());
    client.SetNotify(&notify);
    client.SetSyncRedirectNotify(c.sync);
    client.SetUrl("http://example.test/to");
    client.NotifyRedirect();
    ASSERT_TRUE(rec.WaitForName("OnRedirected"));
    const HostEvent e = rec.Events().front();
    EXPECT_EQ(e.text, "http://example.test/to");
    // In place means on the calling (worker) thread, not on the notify task.
    EXPECT_EQ(e.thread == znthread_selfid(), c.sync);
    EXPECT_STREQ(client.RequestInfo().m_strUrl.c_str(), c.urlAfter);
    ASSERT_TRUE(zntest::RunOnTask(notifyTask.get(), [] {}));
  }
}

}  // namespace
