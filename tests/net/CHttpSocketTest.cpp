// The HTTPS socket adaptor: transfers checked by digest, the close held back
// while decrypted bytes wait, a slow reader pacing the server, the filtering
// of write events, and the argument checks of the socket interface.
#include "net/CHttpSocket.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "NetTestUtil.h"
#include "net/CHttpConnector.h"
#include "net/CZNSslProcessor.h"

namespace {

using zntest::LogCapture;
using zntest::OnTask;
using zntest::ConnectionResult;
using zntest::EveryConnection;
using zntest::PatternSha256;
using zntest::ScriptedServer;
using zntest::ServerScript;
using zntest::TaskThread;

const int kWaitMs = 20000;
const uint64_t kClientSeed = 2;  // the server sends Pattern(., ServerScript::kStreamSeed)
// A TLS application-data record header promising 64 bytes, followed by fewer.
const char kTruncatedRecord[] = {0x17, 0x03, 0x03, 0x00, 0x40, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};

// A client in the manner of the library's engine: the connector's success is
// wrapped in a CHttpSocket whose events send a pattern and read the reply.
// Callbacks run on the task; the counters are guarded by waiter, and the
// digests are read after a task barrier.
class Client final : public CHttpConnectorSink, public CZNITCPSocketSink {
 public:
  struct Plan {
    uint64_t sendBytes = 0;               // pattern bytes to send, 64 KiB per Send
    uint32_t readChunk = 16384;           // bytes per Recv
    uint64_t stopReadingAt = UINT64_MAX;  // once this many bytes arrived, OnRecv is ignored
  };
  Client(TaskThread& task, const Plan& plan) : m_task(task), m_plan(plan) {}
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
  // Connects to the TLS server on 127.0.0.1 and waits for the adaptor.
  bool Connect(uint16_t port) {
    m_task.Run([&] {
      m_pConnector = new CHttpConnector(1, this, false);
      m_pConnector->SetHttps(zn::strutf8("localhost"));
      zn::hostlist hosts;
      hosts.push_back(zn::strutf8("127.0.0.1"));
      m_pConnector->Connect(hosts, port, 0);
    });
    return Wait([&] { return connected; });
  }
  bool Wait(const std::function<bool()>& pred, int ms = kWaitMs) { return waiter.WaitFor(pred, ms); }
  std::string Error() { return waiter.Get(error); }
  std::string ReceivedDigest() { return m_received.FinalHex(); }
  CHttpSocket* socket() const { return m_pSocket; }

  void OnConnected(bool, znsocket_t) override { Fail("plain connect result on an HTTPS attempt"); }
  void OnHttpsConnected(int eResult, CZNSslProcessor* p) override {
    if (eResult != 0) return Fail("handshake failed");
    m_pSocket = new CHttpSocket();
    m_pSocket->Attach(p);
    m_pSocket->SetSink(this);
    m_pSocket->SelectEvent(ZNSOCKET_EVENT_READ | ZNSOCKET_EVENT_WRITE, false);
    waiter.Update([&] { connected = true; });
  }
  void OnRecv(CZNITCPSocket* s) override {
    Check(s, closeEvents == 0, "OnRecv after OnClose");
    if (bytesReceived >= m_plan.stopReadingAt) return;
    std::vector<unsigned char> buf(m_plan.readChunk);
    const int n = s->Recv(buf.data(), uint32_t(buf.size()));
    if (n <= 0) return;
    m_received.Update(buf.data(), size_t(n));
    waiter.Update([&] { bytesReceived += uint64_t(n); });
  }
  void OnSend(CZNITCPSocket* s) override {
    Check(s, closeEvents == 0, "OnSend after OnClose");
    waiter.Update([&] { ++sendEvents; });
    if (bytesSent >= m_plan.sendBytes) return;
    std::vector<unsigned char> chunk(size_t(std::min<uint64_t>(m_plan.sendBytes - bytesSent, 65536)));
    zntest::FillPattern(kClientSeed, bytesSent, chunk.data(), chunk.size());
    // TLS takes the whole chunk: the adaptor keeps the rest of the ciphertext
    // and flushes it before the next OnSend.
    if (s->Send(chunk.data(), uint32_t(chunk.size())) != int(chunk.size())) return Fail("Send took part of a chunk");
    bytesSent += chunk.size();
    s->SelectEvent(ZNSOCKET_EVENT_WRITE, false);
  }
  void OnClose(CZNITCPSocket* s) override {
    Check(s, true, "");
    waiter.Update([&] {
      ++closeEvents;
      bytesAtClose = bytesReceived;
    });
  }

  bool connected = false;
  uint64_t bytesReceived = 0, bytesAtClose = 0;
  int closeEvents = 0, sendEvents = 0;
  std::string error;
  uint64_t bytesSent = 0;  // on the task only

 private:
  void Check(CZNITCPSocket* s, bool ok, const char* what) {
    if (znthread_selfid() != m_task.task()->getthreadid()) Fail("callback on the wrong thread");
    if (s != m_pSocket) Fail("callback with a foreign socket");
    if (!ok) Fail(what);
  }
  void Fail(const char* what) {
    waiter.Update([&] {
      if (error.empty()) error = what;
    });
  }
  zntest::Waiter waiter;  // guards the public fields above bytesSent
  TaskThread& m_task;
  Plan m_plan;
  zntest::Sha256 m_received;
  CHttpConnector* m_pConnector = nullptr;  // owned, on the task
  CHttpSocket* m_pSocket = nullptr;        // owned, on the task
};

// The server sends (and takes the client's bytes) and closes at once while
// the client reads in bites: every byte arrives before the one OnClose.
TEST(CHttpSocketTest, EveryByteArrivesBeforeTheClose) {
  struct Row {
    const char* name;
    uint64_t bytes;
    uint32_t readChunk;
    uint64_t clientBytes;  // sent at the same time
    bool truncatedTail;    // a partial record after the data
    bool closeNotify;      // the server ends TLS before closing
  };
  const Row rows[] = {
      {"64 MiB both ways, whole records", 64ull << 20, 16384, 64ull << 20, false, true},
      {"small reads", 1 << 20, 1000, 0, false, true},
      {"one byte at a time", 40000, 1, 0, false, true},
      // Nothing follows the last record: its unread rest sits inside TLS alone.
      {"small reads, no close_notify", 1 << 20, 1000, 0, false, false},
      {"stream ends in a partial record", 300000, 7000, 0, true, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    ServerScript script = ServerScript().Stream(r.bytes, r.clientBytes);
    if (r.truncatedTail) script.SendRaw(std::string(kTruncatedRecord, sizeof(kTruncatedRecord)));
    ScriptedServer server({}, EveryConnection(script.Close(r.closeNotify)));
    ASSERT_TRUE(server.ok());
    TaskThread task;
    Client client(task, {r.clientBytes, r.readChunk});
    ASSERT_TRUE(client.Connect(server.port()));
    ASSERT_TRUE(client.Wait([&] { return client.closeEvents > 0; }, 120000)) << client.Error();
    client.Disconnect();
    std::vector<ConnectionResult> results;
    ASSERT_TRUE(server.WaitEnded(1, kWaitMs, &results));
    task.Drain();
    EXPECT_EQ(client.Error(), "");
    EXPECT_EQ(client.bytesAtClose, r.bytes);
    EXPECT_EQ(client.closeEvents, 1);
    EXPECT_EQ(client.ReceivedDigest(), PatternSha256(ServerScript::kStreamSeed, r.bytes));
    EXPECT_EQ(results[0].error, "");
    EXPECT_EQ(results[0].receivedSha256, PatternSha256(kClientSeed, r.clientBytes));
  }
}

// A slow reader holds the server back: while the processor holds bytes the
// client has not taken, the adaptor leaves the socket's bytes in the kernel,
// so TCP paces the server. The client takes 1 KiB per event, up to 4 MiB.
TEST(CHttpSocketTest, ASlowReaderHoldsTheServerBack) {
  const uint64_t kReadBytes = 4ull << 20;
  ScriptedServer server({}, EveryConnection(ServerScript().Stream(256ull << 20, UINT64_MAX, false, 800)));
  ASSERT_TRUE(server.ok());
  TaskThread task;
  Client client(task, {0, 1024, kReadBytes});
  ASSERT_TRUE(client.Connect(server.port()));
  std::vector<ConnectionResult> results;
  // The server gives up once its sends stall for the idle time.
  ASSERT_TRUE(server.WaitEnded(1, 60000, &results));
  task.Drain();
  EXPECT_EQ(client.Error(), "");
  EXPECT_EQ(client.bytesReceived, kReadBytes);
  // What was read, plus far more than loopback's socket buffers and one
  // processor buffer hold.
  EXPECT_LT(results[0].bytesSent, kReadBytes + (40ull << 20));
}

// On one echoing connection: a selected write interest is met by one OnSend
// and is then used up (the adaptor's own write events while it flushes do not
// reach the client); buffer sizes; argument checks and the operations a TLS
// adaptor does not offer, live and after Close dropped the processor.
TEST(CHttpSocketTest, WriteInterestAndInterfaceChecks) {
  ScriptedServer server({}, EveryConnection(ServerScript().Stream(0, UINT64_MAX, true)));
  ASSERT_TRUE(server.ok());
  TaskThread task;
  Client client(task, {});  // sends nothing; the first OnSend comes from the connect
  ASSERT_TRUE(client.Connect(server.port()));
  // 100000 bytes in one Send; the echo comes back while the adaptor flushes.
  std::vector<unsigned char> data(100000, 0x5A);
  EXPECT_EQ(OnTask(task, [&] { return client.socket()->Send(data.data(), uint32_t(data.size())); }), 100000);
  ASSERT_TRUE(client.Wait([&] { return client.bytesReceived >= data.size(); }));
  task.Drain();
  EXPECT_EQ(client.sendEvents, 1);
  task.Run([&] { client.socket()->SelectEvent(ZNSOCKET_EVENT_WRITE, false); });
  EXPECT_TRUE(client.Wait([&] { return client.sendEvents >= 2; }));
  task.Drain();
  EXPECT_EQ(client.sendEvents, 2);
  {
    // The processor's buffers follow what the socket actually took.
    LogCapture log;
    uint32_t sendSize = 0, recvSize = 0;
    EXPECT_TRUE(OnTask(task, [&] {
      CHttpSocket* s = client.socket();
      return s->SetSendBufferSize(65536) && s->GetSendBufferSize(sendSize) && s->SetRecvBufferSize(65536) &&
             s->GetRecvBufferSize(recvSize);
    }));
    EXPECT_EQ(log.Count(3, "CZNSslProcessor", "SendBufferSize[" + std::to_string(sendSize) + "]", true), 1);
    EXPECT_EQ(log.Count(3, "CZNSslProcessor", "RecvBufferSize[" + std::to_string(recvSize) + "]", true), 1);
  }
  // Each call returns expect and logs "CHttpSocket <line>" once, at level 1 (a misuse) or 2.
  char byte = 'x';
  auto check = [&](int level, const char* line, int64_t expect, std::function<int64_t(CHttpSocket*)> call) {
    LogCapture log;
    EXPECT_EQ(OnTask(task, [&] { return call(client.socket()); }), expect) << line;
    EXPECT_EQ(log.Count(level, "unnamed", std::string("CHttpSocket ") + line), 1) << log.Dump();
  };
  check(2, "Send: pData is null or ulen[5] is 0", -1, [&](CHttpSocket* s) { return s->Send(nullptr, 5); });
  check(2, "Recv: pData is null or ulen[0] is 0", -1, [&](CHttpSocket* s) { return s->Recv(&byte, 0); });
  check(1, "GetUnReadDataLen: CHttpSocket NOT support GetUnReadDataLen", 0,
        [&](CHttpSocket* s) { return s->GetUnReadDataLen(); });
  check(1, "Detach: SslProcessor attached, can NOT detach", 0,
        [&](CHttpSocket* s) { return znsocket_isvalid(s->Detach()); });
  check(1, "Detach: CHttpSocket need SslProcessor, you can use CZNITCPSocket with raw socket", 0,
        [&](CHttpSocket* s) { return s->Attach(znsocket_makeinvalid()); });
  task.Run([&] { client.socket()->Close(); });
  check(2, "Send: m_pSocket is null", 0, [&](CHttpSocket* s) { return s->Send(&byte, 1); });
  check(2, "Recv: m_pSocket is null", 0, [&](CHttpSocket* s) { return s->Recv(&byte, 1); });
  check(2, "SelectEvent: m_pSocket is null", 0,
        [&](CHttpSocket* s) { return s->SelectEvent(ZNSOCKET_EVENT_READ, false); });
  check(2, "NativeSocket: m_pSocket is null", 0,
        [&](CHttpSocket* s) { return znsocket_isvalid(s->NativeSocket()); });
  task.Drain();
  EXPECT_EQ(client.closeEvents, 0);  // a closed adaptor reports nothing
  EXPECT_EQ(client.Error(), "");
}

}  // namespace
