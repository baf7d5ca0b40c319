// The worker task: its start and stop, the try-lock that refuses a second
// concurrent start or stop, and a request that reaches the worker after a
// Stop or after the client is gone.
#include <gtest/gtest.h>

#include <thread>

#include "ClientTestUtil.h"

namespace {

using zntest::ProbeHost;
using zntest::LogCapture;
using zntest::ProbeClient;

TEST(CHttpClientThreadTest, WorkerStartsOnceAndIsReplacedAfterAStop) {
  ProbeClient client(nullptr);
  EXPECT_EQ(client.HttpTask(), nullptr);  // no thread before the first request
  // Two concurrent starts: the one that loses the try-lock does nothing.
  std::thread other([&] { client.StartHttpThread(); });
  client.StartHttpThread();
  other.join();
  client.StartHttpThread();
  CZNTaskBase* first = client.HttpTask();
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(first->IsStarted());
  ASSERT_TRUE(zntest::RunOn(first, [] {}));
  client.StartHttpThread();  // already running: the same task
  EXPECT_EQ(client.HttpTask(), first);

  client.StopHttpThread(true);
  EXPECT_EQ(client.HttpTask(), first);  // kept until the next start
  EXPECT_FALSE(first->IsStarted());
  client.StartHttpThread();
  ASSERT_NE(client.HttpTask(), nullptr);
  EXPECT_TRUE(client.HttpTask()->IsStarted());
}

TEST(CHttpClientThreadTest, StopHttpThreadSparesARunningTransferUnlessForced) {
  const struct {
    bool running;
    bool force;
    bool stillStarted;
  } cases[] = {{true, false, true}, {true, true, false}, {false, false, false}, {false, true, false}};
  for (const auto& c : cases) {
    ProbeClient client(nullptr);
    client.StartHttpThread();
    client.SetRunning(c.running);
    client.StopHttpThread(c.force);
    ASSERT_NE(client.HttpTask(), nullptr);
    EXPECT_EQ(client.HttpTask()->IsStarted(), c.stillStarted) << c.running << c.force;
    EXPECT_EQ(client.IsRunning(), c.running);  // StopHttpThread never touches the flag
    client.SetRunning(false);
  }
}

TEST(CHttpClientThreadTest, BusyLockRefusesStartAndStopWithTheirMessages) {
  LogCapture log;
  ProbeClient client(nullptr);
  {
    CZNAutolock held(client.ThreadLock());
    client.StartHttpThread();
  }
  EXPECT_EQ(client.HttpTask(), nullptr);
  EXPECT_TRUE(log.Has("CHttpClient::StartHttpThread other thread is already starting thread."));

  client.StartHttpThread();
  ASSERT_NE(client.HttpTask(), nullptr);
  {
    CZNAutolock held(client.ThreadLock());
    client.StopHttpThread(true);
  }
  EXPECT_TRUE(client.HttpTask()->IsStarted());
  EXPECT_TRUE(log.Has("CHttpClient::StopHttpThread other thread is already stopping thread."));
}

// A request queued behind a held worker and then stopped by the host never
// runs, reports nothing, and its stream is closed and freed.
TEST(CHttpClientThreadTest, RequestAfterStopIsDroppedAndItsStreamFreed) {
  ProbeHost host;
  ProbeClient& client = host.probe();
  zntest::StreamRecord stream;
  client.StartHttpThread();
  {
    zntest::TaskGate gate(client.HttpTask());
    zn::HttpRequestParam param;
    param.strUrl = "http://127.0.0.1:1/";
    param.pStreamWriter = new zntest::RecordingStream(&stream);
    client.SetRunning(true);
    client.Request(param);
    EXPECT_EQ(param.pStreamWriter, nullptr);  // the queued call owns it now
    client.SetRunning(false);
    gate.Open();
    ASSERT_TRUE(zntest::RunOn(client.HttpTask(), [] {}));
  }
  EXPECT_EQ(stream.closed.load(), 1);
  EXPECT_EQ(stream.deleted.load(), 1);
  EXPECT_FALSE(client.IsRunning());
  EXPECT_EQ(client.GetId(), 0u);  // the request never started
  host.Reset();
  ASSERT_TRUE(host.Drain());
  EXPECT_TRUE(host.rec().Events().empty());
}

// A worker thread the system refuses: each transfer call says so at once and
// leaves the client idle, instead of waiting for a completion that no thread
// would ever deliver; the next call gets its thread and completes.
TEST(CHttpClientThreadTest, RefusedWorkerThreadFailsTheCallAndLeavesTheClientIdle) {
  LogCapture log(1);
  zntest::Host host;
  zntest::StreamRecord stream;
  host->SetTimeout(2000, 2000, 0);
  const zn::strutf16 url = zntest::U16("http://127.0.0.1:1/");
  zntask_failstarts(1);
  EXPECT_FALSE(host->DownloadToStream(url, new zntest::RecordingStream(&stream), 0));
  EXPECT_EQ(stream.deleted.load(), 1);
  zntask_failstarts(1);
  EXPECT_FALSE(host->Post("127.0.0.1", 1, "GET / HTTP/1.1\r\n\r\n", ""));
  EXPECT_FALSE(host->IsRunning());
  EXPECT_EQ(log.Count("CHttpClient::StartHttpThread thread start fail, request refused"), 2);
  ASSERT_TRUE(host->DownloadToStream(url, new zntest::RecordingStream(&stream), 0));
  EXPECT_EQ(host.WaitComplete(1, std::chrono::seconds(20)), 5);
  EXPECT_EQ(host.rec().Count("OnDownloadComplete"), 1u);
}

}  // namespace
