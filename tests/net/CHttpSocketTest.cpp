// The HTTPS socket adaptor: bulk transfer both ways with matching digests, the
// close held back while decrypted bytes wait, the filtering of write events,
// and the argument checks of the socket interface.
#include "net/CHttpSocket.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "NetTestUtil.h"
#include "net/CHttpConnector.h"
#include "net/CZNSslProcessor.h"
#include "support/TlsTestServer.h"

namespace {

using zntest::LogCapture;
using zntest::Sha256;
using zntest::TaskThread;
using zntest::TlsConnectionResult;
using zntest::TlsServerOptions;
using zntest::TlsTestServer;

const int kWaitMs = 20000;
const char kTag[] = "unnamed";

// A client in the manner of the library's engine: the connector's success is
// wrapped in a CHttpSocket, and the socket events drive sending a pattern and
// reading the reply. Everything but the waits runs on the task.
class Client final : public CHttpConnectorSink, public CZNITCPSocketSink {
 public:
  struct Plan {
    uint64_t sendBytes = 0;       // pattern bytes to send
    uint64_t sendSeed = 2;
    uint32_t sendChunk = 65536;   // bytes per Send
    uint32_t readChunk = 16384;   // bytes per Recv
    uint64_t expectBytes = 0;     // done once this many arrived (and all was sent)
    uint64_t stopReadingAt = UINT64_MAX;  // once this many bytes arrived, OnRecv is ignored
  };

  Client(TaskThread& task, const Plan& plan) : m_task(task), m_plan(plan), m_pattern(plan.sendSeed) {}
  ~Client() { Disconnect(); }

  // Drops the connection (the server then sees the close).
  void Disconnect() {
    m_task.Run([this] {
      delete m_pSocket;
      m_pSocket = nullptr;
      delete m_pConnector;
      m_pConnector = nullptr;
    });
  }

  bool Connect(uint16_t port) {
    bool ok = false;
    m_task.Run([&] {
      m_pConnector = new CHttpConnector(1, this, false);
      m_pConnector->SetHttps(zn::strutf8("localhost"));
      zn::hostlist hosts;
      hosts.push_back(zn::strutf8("127.0.0.1"));
      ok = m_pConnector->Connect(hosts, port, 0);
    });
    return ok;
  }

  // CHttpConnectorSink
  void OnConnected(bool, znsocket_t) override { Fail("plain connect result on an HTTPS attempt"); }
  void OnHttpsConnected(int eResult, CZNSslProcessor* p) override {
    if (eResult != 0) return Fail("handshake failed");
    m_pSocket = new CHttpSocket();
    m_pSocket->Attach(p);
    m_pSocket->SetSink(this);
    m_pSocket->SelectEvent(ZNSOCKET_EVENT_READ | ZNSOCKET_EVENT_WRITE, false);
    connected.Set();
  }

  // CZNITCPSocketSink
  void OnRecv(CZNITCPSocket* s) override {
    CheckThread(s);
    if (m_bCloseSeen) return Fail("OnRecv after OnClose");
    if (bytesReceived >= m_plan.stopReadingAt) return;
    std::vector<unsigned char> buf(m_plan.readChunk);
    const int n = s->Recv(buf.data(), uint32_t(buf.size()));
    if (n > 0) {
      m_received.Update(buf.data(), size_t(n));
      bytesReceived += uint64_t(n);
    }
    CheckDone();
  }
  void OnSend(CZNITCPSocket* s) override {
    CheckThread(s);
    {
      std::lock_guard<std::mutex> g(m_mutex);
      ++sendEvents;
      m_cv.notify_all();
    }
    if (bytesSent >= m_plan.sendBytes) return CheckDone();
    const uint64_t left = m_plan.sendBytes - bytesSent;
    std::vector<unsigned char> chunk(size_t(std::min<uint64_t>(left, m_plan.sendChunk)));
    m_pattern.Fill(chunk.data(), chunk.size());
    const int n = s->Send(chunk.data(), uint32_t(chunk.size()));
    // WriteData takes the whole chunk into TLS: the adaptor keeps the rest of
    // the ciphertext and flushes it before the next OnSend.
    if (n != int(chunk.size())) return Fail("Send took part of a chunk");
    m_sent.Update(chunk.data(), chunk.size());
    bytesSent += uint64_t(n);
    s->SelectEvent(ZNSOCKET_EVENT_WRITE, false);
    CheckDone();
  }
  void OnClose(CZNITCPSocket* s) override {
    CheckThread(s);
    ++closeEvents;
    m_bCloseSeen = true;
    bytesAtClose = bytesReceived;
    closed.Set();
  }

  // Digests, valid once done or closed (read them after a task barrier).
  std::string ReceivedDigest() { return m_received.FinalHex(); }
  std::string SentDigest() { return m_sent.FinalHex(); }
  std::string Error() {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_error;
  }
  CHttpSocket* socket() const { return m_pSocket; }
  bool WaitSendEvents(int n, int ms) {
    return zntest::WaitFor(m_mutex, m_cv, ms, [&] { return sendEvents >= n; });
  }
  int SendEvents() {
    std::lock_guard<std::mutex> g(m_mutex);
    return sendEvents;
  }

  zntest::Signal connected;
  zntest::Signal done;
  zntest::Signal closed;
  uint64_t bytesReceived = 0;
  uint64_t bytesSent = 0;
  uint64_t bytesAtClose = 0;
  int closeEvents = 0;

 private:
  void CheckThread(CZNITCPSocket* s) {
    if (znthread_selfid() != m_task.task()->getthreadid()) Fail("callback on the wrong thread");
    if (s != m_pSocket) Fail("callback with a foreign socket");
  }
  void CheckDone() {
    if (bytesSent >= m_plan.sendBytes && bytesReceived >= m_plan.expectBytes) done.Set();
  }
  void Fail(const char* what) {
    std::lock_guard<std::mutex> g(m_mutex);
    if (m_error.empty()) m_error = what;
  }

  TaskThread& m_task;
  Plan m_plan;
  zntest::PatternStream m_pattern;
  Sha256 m_received;
  Sha256 m_sent;
  CHttpConnector* m_pConnector = nullptr;  // owned, on the task
  CHttpSocket* m_pSocket = nullptr;        // owned, on the task
  bool m_bCloseSeen = false;
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::string m_error;  // guarded by m_mutex
  int sendEvents = 0;   // guarded by m_mutex
};

// 64 MiB each way at once through one TLS connection, checked by digest on
// both ends.
TEST(CHttpSocketTest, BulkTransferBothWays) {
  const uint64_t kBytes = 64ull << 20;
  TlsServerOptions options;
  options.sendBytes = kBytes;
  options.sendSeed = 11;
  options.expectBytes = kBytes;
  options.idleTimeoutMs = 30000;
  TlsTestServer server(options);
  ASSERT_TRUE(server.Start());
  TaskThread task;
  ASSERT_TRUE(task.started());
  Client::Plan plan;
  plan.sendBytes = kBytes;
  plan.sendSeed = 12;
  plan.expectBytes = kBytes;
  Client client(task, plan);
  ASSERT_TRUE(client.Connect(server.port()));
  ASSERT_TRUE(client.connected.Wait(kWaitMs));
  ASSERT_TRUE(client.done.Wait(120000)) << client.bytesReceived << " received, " << client.bytesSent << " sent";
  client.Disconnect();
  std::vector<TlsConnectionResult> results;
  ASSERT_TRUE(server.WaitForConnections(1, 60000, &results));
  task.Run();
  EXPECT_EQ(client.Error(), "");
  EXPECT_EQ(client.bytesReceived, kBytes);
  EXPECT_EQ(client.ReceivedDigest(), zntest::PatternSha256(options.sendSeed, kBytes));
  EXPECT_EQ(results[0].error, "");
  EXPECT_EQ(results[0].bytesReceived, kBytes);
  EXPECT_EQ(results[0].receivedSha256, zntest::PatternSha256(plan.sendSeed, kBytes));
  EXPECT_EQ(client.SentDigest(), results[0].receivedSha256);
}

// A client that reads slowly holds the server back: the adaptor leaves what
// the socket announces in the kernel while the processor still holds bytes
// the client has not taken, so TCP paces the server instead of the answer
// piling up in the processor's memory. The client takes 1 KiB per event (a
// socket read brings up to 128 KiB) and stops after 4 MiB.
TEST(CHttpSocketTest, ASlowReaderHoldsTheServerBack) {
  const uint64_t kBytes = 256ull << 20;
  const uint64_t kReadBytes = 4ull << 20;
  // What was read, plus far more than loopback's socket buffers and one
  // processor buffer hold.
  const uint64_t kMostSent = kReadBytes + (40ull << 20);
  TlsServerOptions options;
  options.sendBytes = kBytes;
  options.idleTimeoutMs = 800;
  TlsTestServer server(options);
  ASSERT_TRUE(server.Start());
  TaskThread task;
  ASSERT_TRUE(task.started());
  Client::Plan plan;
  plan.expectBytes = kBytes;
  plan.readChunk = 1024;
  plan.stopReadingAt = kReadBytes;
  Client client(task, plan);
  ASSERT_TRUE(client.Connect(server.port()));
  ASSERT_TRUE(client.connected.Wait(kWaitMs));
  std::vector<TlsConnectionResult> results;
  // The server gives up once its sends stall for the idle time.
  ASSERT_TRUE(server.WaitForConnections(1, 60000, &results));
  task.Run([] {});
  EXPECT_EQ(client.Error(), "");
  EXPECT_EQ(client.bytesReceived, kReadBytes);
  EXPECT_LT(results[0].bytesSent, kMostSent);
  client.Disconnect();
}

// The server sends and closes at once while the client reads in small bites:
// every byte is read before OnClose, which comes exactly once.
TEST(CHttpSocketTest, CloseWaitsUntilBufferedBytesAreRead) {
  struct Row {
    const char* name;
    uint64_t bytes;
    uint32_t readChunk;
    bool truncatedTail;  // a partial record after the data
    bool closeNotify;    // the server ends TLS before closing
  };
  const Row rows[] = {
      {"small reads", 1 << 20, 1000, false, true},
      {"reads of a whole record", 1 << 20, 16384, false, true},
      {"one byte at a time", 40000, 1, false, true},
      // Nothing follows the last record: its unread rest sits inside TLS alone.
      {"small reads, no close_notify", 1 << 20, 1000, false, false},
      {"stream ends in a partial record", 300000, 7000, true, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    TlsServerOptions options;
    options.sendBytes = r.bytes;
    options.expectBytes = 0;
    options.partialRecordAtEnd = r.truncatedTail;
    options.closeNotify = r.closeNotify;
    TlsTestServer server(options);
    ASSERT_TRUE(server.Start());
    TaskThread task;
    ASSERT_TRUE(task.started());
    Client::Plan plan;
    plan.readChunk = r.readChunk;
    plan.expectBytes = r.bytes;
    Client client(task, plan);
    ASSERT_TRUE(client.Connect(server.port()));
    ASSERT_TRUE(client.closed.Wait(kWaitMs)) << client.bytesReceived << " of " << r.bytes;
    task.Run();
    EXPECT_EQ(client.Error(), "");
    EXPECT_EQ(client.bytesAtClose, r.bytes);
    EXPECT_EQ(client.closeEvents, 1);
    EXPECT_EQ(client.ReceivedDigest(), zntest::PatternSha256(options.sendSeed, r.bytes));
  }
}

// A selected write interest is met by one OnSend, and the interest is used up:
// later writable moments (the adaptor itself selects writing on the socket to
// flush) do not reach the client unless it selects again.
TEST(CHttpSocketTest, WriteInterestIsOneShot) {
  TlsServerOptions options;
  options.echo = true;
  TlsTestServer server(options);
  ASSERT_TRUE(server.Start());
  TaskThread task;
  ASSERT_TRUE(task.started());
  Client::Plan plan;  // sends nothing; the first OnSend comes from the connect
  plan.expectBytes = 100000;
  Client client(task, plan);
  ASSERT_TRUE(client.Connect(server.port()));
  ASSERT_TRUE(client.connected.Wait(kWaitMs));
  // Send 100000 bytes without selecting writing again; the echo comes back
  // through OnRecv while the adaptor flushes on its own write events.
  std::vector<unsigned char> data(100000, 0x5A);
  int sent = 0;
  task.Run([&] { sent = client.socket()->Send(data.data(), uint32_t(data.size())); });
  EXPECT_EQ(sent, 100000);
  ASSERT_TRUE(client.done.Wait(kWaitMs));
  task.Run();
  EXPECT_EQ(client.SendEvents(), 1);
  EXPECT_EQ(client.Error(), "");
  // Selecting again brings exactly one more.
  task.Run([&] { client.socket()->SelectEvent(ZNSOCKET_EVENT_WRITE, false); });
  EXPECT_TRUE(client.WaitSendEvents(2, kWaitMs));
  task.Run();
  EXPECT_EQ(client.SendEvents(), 2);
}

// Argument checks and the operations a TLS adaptor does not offer, on a live
// adaptor and on one whose processor was dropped by Close.
TEST(CHttpSocketTest, InterfaceChecks) {
  TlsServerOptions options;
  TlsTestServer server(options);
  ASSERT_TRUE(server.Start());
  TaskThread task;
  ASSERT_TRUE(task.started());
  Client::Plan plan;
  Client client(task, plan);
  ASSERT_TRUE(client.Connect(server.port()));
  ASSERT_TRUE(client.connected.Wait(kWaitMs));

  struct Row {
    const char* name;
    bool afterClose;
    std::function<int64_t(CHttpSocket*)> call;
    int64_t expect;
    const char* log;  // expected line under "unnamed", "" for none
  };
  char byte = 'x';
  const std::vector<Row> rows = {
      {"send null", false, [&](CHttpSocket* s) { return int64_t(s->Send(nullptr, 5)); }, -1,
       "CHttpSocket Send: pData is null or ulen[5] is 0"},
      {"recv empty", false, [&](CHttpSocket* s) { return int64_t(s->Recv(&byte, 0)); }, -1,
       "CHttpSocket Recv: pData is null or ulen[0] is 0"},
      {"unread length", false, [&](CHttpSocket* s) { return int64_t(s->GetUnReadDataLen()); }, 0,
       "CHttpSocket GetUnReadDataLen: CHttpSocket NOT support GetUnReadDataLen"},
      {"detach attached", false,
       [&](CHttpSocket* s) { return int64_t(znsocket_isvalid(s->Detach())); }, 0,
       "CHttpSocket Detach: SslProcessor attached, can NOT detach"},
      {"attach raw", false, [&](CHttpSocket* s) { return int64_t(s->Attach(znsocket_makeinvalid())); }, 0,
       "CHttpSocket Detach: CHttpSocket need SslProcessor, you can use CZNITCPSocket with raw socket"},
      {"send after close", true, [&](CHttpSocket* s) { return int64_t(s->Send(&byte, 1)); }, 0,
       "CHttpSocket Send: m_pSocket is null"},
      {"recv after close", true, [&](CHttpSocket* s) { return int64_t(s->Recv(&byte, 1)); }, 0,
       "CHttpSocket Recv: m_pSocket is null"},
      {"select after close", true, [&](CHttpSocket* s) { return int64_t(s->SelectEvent(ZNSOCKET_EVENT_READ, false)); },
       0, "CHttpSocket SelectEvent: m_pSocket is null"},
      {"native after close", true, [&](CHttpSocket* s) { return int64_t(znsocket_isvalid(s->NativeSocket())); }, 0,
       "CHttpSocket NativeSocket: m_pSocket is null"},
  };
  bool closedOnce = false;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    if (r.afterClose && !closedOnce) {
      task.Run([&] { client.socket()->Close(); });
      closedOnce = true;
    }
    LogCapture log;
    int64_t got = -99;
    task.Run([&] { got = r.call(client.socket()); });
    EXPECT_EQ(got, r.expect);
    if (*r.log) {
      EXPECT_EQ(log.Count(kTag, r.log), 1);
    }
  }
  task.Run();
  EXPECT_EQ(client.closeEvents, 0);  // a closed adaptor reports nothing
}

// Buffer sizes set on the adaptor reach the socket and resize the processor's
// buffers to what the socket actually took.
TEST(CHttpSocketTest, BufferSizesFollowTheSocket) {
  TlsTestServer server(TlsServerOptions{});
  ASSERT_TRUE(server.Start());
  TaskThread task;
  ASSERT_TRUE(task.started());
  Client::Plan plan;
  Client client(task, plan);
  ASSERT_TRUE(client.Connect(server.port()));
  ASSERT_TRUE(client.connected.Wait(kWaitMs));
  LogCapture log;
  bool okSend = false, okRecv = false;
  uint32_t sendSize = 0, recvSize = 0;
  task.Run([&] {
    okSend = client.socket()->SetSendBufferSize(65536) && client.socket()->GetSendBufferSize(sendSize);
    okRecv = client.socket()->SetRecvBufferSize(65536) && client.socket()->GetRecvBufferSize(recvSize);
  });
  ASSERT_TRUE(okSend);
  ASSERT_TRUE(okRecv);
  EXPECT_EQ(log.CountContaining("CZNSslProcessor", "SendBufferSize[" + std::to_string(sendSize) + "]"), 1);
  EXPECT_EQ(log.CountContaining("CZNSslProcessor", "RecvBufferSize[" + std::to_string(recvSize) + "]"), 1);
}

}  // namespace
