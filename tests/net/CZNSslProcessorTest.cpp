// The TLS processor: the common-name rule on its own, and real handshakes
// against the in-process TLS server with certificates made for each case.
#include "net/CZNSslProcessor.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "NetTestUtil.h"
#include "base/znsocket.h"
#include "support/TestCerts.h"
#include "support/TlsTestServer.h"

namespace {

using zntest::LogCapture;
using zntest::TaskThread;
using zntest::TestCert;
using zntest::TlsConnectionResult;
using zntest::TlsServerOptions;
using zntest::TlsTestServer;

const int kWaitMs = 10000;
const char kTag[] = "CZNSslProcessor";

// ---- the common-name rule -------------------------------------------------------------

TEST(CZNSslProcessorTest, CommonNameRule) {
  struct Row {
    const char* subject;
    const char* name;
    bool accepted;
  };
  const Row rows[] = {
      // Case is folded on both sides; the name must be the whole common name.
      {"/O=XX/CN=Alpha.Beta", "alpha.beta", true},
      {"/O=XX/CN=Alpha.Beta", "ALPHA.beta", true},
      {"/O=XX/CN=Alpha.Beta", "w.alpha.beta", false},
      {"/O=XX/CN=Alpha.Beta", "alpha.bet", false},
      {"/O=XX/CN=Alpha.Beta", "alpha.betax", false},
      {"/O=XX/CN=Alpha.Beta", "", false},
      // One star stands for any run, dots and nothing included, but the name
      // may not be shorter than the pattern less one.
      {"/CN=*.beta", "a.beta", true},
      {"/CN=*.beta", "a.b.beta", true},
      {"/CN=*.beta", ".beta", true},
      {"/CN=*.beta", "beta", false},
      {"/CN=*.beta", "a.betx", false},
      {"/CN=*.beta", "a.BETA", true},
      {"/CN=a*z", "az", true},
      {"/CN=a*z", "abcz", true},
      {"/CN=a*z", "bz", false},
      {"/CN=a*z", "a", false},  // shorter than the pattern less one
      {"/CN=*", "anything", true},
      {"/CN=*", "", true},
      // Only the first star counts: a later one is an ordinary character.
      {"/CN=*.*.beta", "x.*.beta", true},
      {"/CN=*.*.beta", "x.y.beta", false},
      // A field after the common name stays attached to it.
      {"/CN=host/OU=x", "host", false},
      {"/CN=host/OU=x", "host/ou=x", true},
      // The first "/cn=" wins; the key is matched without regard to case.
      {"/cn=first/CN=second", "first/cn=second", true},
      {"/O=Org/CN=", "", false},  // an empty common name never matches
      {"/O=XX/CN=Alpha.Beta", "alpha.beta.", false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.subject) + " vs " + r.name);
    LogCapture log;
    const int result = CZNSslProcessor::CheckSubjectName(r.subject, zn::strutf8(r.name));
    EXPECT_EQ(result, r.accepted ? 0 : 6);
    EXPECT_EQ(log.CountContaining(kTag, "SSL verify failed"), r.accepted ? 0 : 1);
  }
}

TEST(CZNSslProcessorTest, MismatchLogsLowerCasedNames) {
  LogCapture log;
  EXPECT_EQ(CZNSslProcessor::CheckSubjectName("/O=XX/CN=Alpha.Beta", zn::strutf8("W.Alpha.Beta")), 6);
  EXPECT_EQ(log.Count(kTag, "_https_connect, SSL verify failed, cname=alpha.beta, strSSLName=w.alpha.beta"), 1);
}

TEST(CZNSslProcessorTest, SubjectWithoutCommonNameIsRefusedSilently) {
  const char* subjects[] = {"/O=XX/OU=Unit", "", "/C=DE/ST=cn/L=x"};
  for (const char* s : subjects) {
    SCOPED_TRACE(s);
    LogCapture log;
    EXPECT_EQ(CZNSslProcessor::CheckSubjectName(s, zn::strutf8("cn")), 6);
    EXPECT_TRUE(log.Lines().empty());
  }
}

// ---- handshakes against a real server -------------------------------------------------

// Connects to a loopback address on the task and hands over the descriptor.
class Dialer final : public CZNITCPCnnSocketSink {
 public:
  // On the task: starts the connect.
  bool Start(const char* ip, uint16_t port) {
    m_pSocket.reset(ZNCreateNoneProxyCnnTCPSocket());
    m_pSocket->SetSink(this);
    return m_pSocket->Connect(ip, port, 5000);
  }
  void OnConnected(bool bSuccess, uint64_t) override {
    if (bSuccess) m_pSocket->HandOver(m_socket);
    m_bSuccess = bSuccess;
    m_done.Set();
  }
  std::unique_ptr<CZNITCPCnnSocket> m_pSocket;  // used on the task only
  znsocket_t m_socket = znsocket_makeinvalid();
  bool m_bSuccess = false;
  zntest::Signal m_done;
};

// Records the results that the processor reports, on the task.
class ResultSink final : public ISslProcessorSink {
 public:
  void OnSslConnected(int result) override {
    std::lock_guard<std::mutex> g(m_mutex);
    m_results.push_back(result);
    m_threadId = znthread_selfid();
    m_cv.notify_all();
  }
  bool WaitCount(size_t n, int ms) {
    return zntest::WaitFor(m_mutex, m_cv, ms, [&] { return m_results.size() >= n; });
  }
  std::vector<int> Results() {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_results;
  }
  uint64_t ThreadId() {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_threadId;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<int> m_results;  // guarded by m_mutex
  uint64_t m_threadId = 0;     // guarded by m_mutex
};

// One processor on a connection to server, with its results.
struct Handshake {
  explicit Handshake(TaskThread& t) : task(t) {}
  ~Handshake() {
    task.Run([this] {
      if (processor) processor->Release();
      processor = nullptr;
    });
  }
  // Connects to the server, makes the processor and starts its handshake.
  bool Begin(const char* ip, uint16_t port, const char* name) {
    bool started = false;
    if (!task.Run([&] { started = dialer.Start(ip, port); }) || !started) return false;
    if (!dialer.m_done.Wait(kWaitMs) || !dialer.m_bSuccess) return false;
    bool ok = false;
    task.Run([&] {
      processor = new CZNSslProcessor(dialer.m_socket, zn::strutf8(name), &sink);
      ok = processor->HasSslContext() && processor->GetSocket() != nullptr && processor->StartHandshake();
    });
    return ok;
  }
  TaskThread& task;
  Dialer dialer;
  ResultSink sink;
  CZNSslProcessor* processor = nullptr;  // one reference, released on the task
};

TEST(CZNSslProcessorTest, HandshakeChecksTheServerCertificateName) {
  struct Row {
    const char* subject;
    const char* name;
    int result;
  };
  const Row rows[] = {
      {"/O=XX/CN=Alpha.Beta", "alpha.beta", 0},
      {"/O=XX/CN=Alpha.Beta", "ALPHA.beta", 0},
      {"/O=XX/CN=Alpha.Beta", "w.alpha.beta", 6},
      {"/CN=*.beta", "a.beta", 0},
      {"/CN=*.beta", "a.b.beta", 0},
      {"/CN=*.beta", ".beta", 0},
      {"/CN=*.beta", "beta", 6},
      {"/CN=host/OU=x", "host", 6},
      {"/CN=host/OU=x", "host/ou=x", 0},
      {"/O=NoCommonName", "localhost", 6},
  };
  TaskThread task;
  ASSERT_TRUE(task.started());
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.subject) + " vs " + r.name);
    TlsServerOptions options;
    options.cert = TestCert::Make(r.subject);
    ASSERT_TRUE(options.cert.valid());
    ASSERT_EQ(options.cert.SubjectLine(), r.subject);
    TlsTestServer server(options);
    ASSERT_TRUE(server.Start());
    LogCapture log;
    Handshake h(task);
    ASSERT_TRUE(h.Begin("127.0.0.1", server.port(), r.name));
    ASSERT_TRUE(h.sink.WaitCount(1, kWaitMs));
    EXPECT_EQ(h.sink.Results(), std::vector<int>{r.result});
    EXPECT_EQ(h.sink.ThreadId(), task.task()->getthreadid());
    bool done = false;
    task.Run([&] { done = h.processor->IsHandshakeDone(); });
    EXPECT_TRUE(done);
    // Only a name that is present and differs is worth a line.
    const bool mismatchLogged = log.CountContaining(kTag, "SSL verify failed") == 1;
    EXPECT_EQ(mismatchLogged, r.result == 6 && std::string(r.subject) != "/O=NoCommonName");
  }
}

TEST(CZNSslProcessorTest, HandshakeFailuresReportTheirCause) {
  struct Row {
    const char* name;
    TlsServerOptions options;
    int result;
  };
  std::vector<Row> rows;
  {
    Row r{"server closes during the handshake", {}, 2};
    r.options.closeDuringHandshake = true;
    rows.push_back(r);
  }
  {
    // A plain server answering with bytes that are no TLS record.
    Row r{"server speaks no TLS", {}, 1};
    r.options.tls = false;
    r.options.sendBytes = 200;
    r.options.expectBytes = 0;
    rows.push_back(r);
  }
  TaskThread task;
  ASSERT_TRUE(task.started());
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    TlsTestServer server(r.options);
    ASSERT_TRUE(server.Start());
    LogCapture log;
    Handshake h(task);
    ASSERT_TRUE(h.Begin("127.0.0.1", server.port(), "localhost"));
    ASSERT_TRUE(h.sink.WaitCount(1, kWaitMs));
    EXPECT_EQ(h.sink.Results().front(), r.result);
    if (r.result == 1) {
      EXPECT_EQ(log.CountContaining(kTag, "SSL_connect failed"), 1);
    }
  }
}

// Drives a processor's data path the way the adaptor does: socket events go
// to the processor first, then every event reads what has become plaintext.
class Reader final : public CZNITCPSocketSink {
 public:
  Reader(CZNSslProcessor* p, uint64_t expected) : m_pProcessor(p), m_nExpected(expected) {}
  // On the task.
  void Drain() {
    unsigned char buf[4096];
    int n;
    while ((n = m_pProcessor->ReadData(buf, sizeof(buf))) > 0) {
      sha.Update(buf, size_t(n));
      total += uint64_t(n);
    }
    if (total >= m_nExpected) done.Set();
  }
  void OnRecv(CZNITCPSocket* s) override {
    m_pProcessor->OnRecv(s);
    Drain();
  }
  void OnSend(CZNITCPSocket* s) override { m_pProcessor->OnSend(s); }
  void OnClose(CZNITCPSocket*) override { Drain(); }

  zntest::Sha256 sha;
  uint64_t total = 0;
  zntest::Signal done;

 private:
  CZNSslProcessor* m_pProcessor;  // borrowed
  uint64_t m_nExpected;
};

TEST(CZNSslProcessorTest, ReadsServerDataAfterTheHandshake) {
  TlsServerOptions options;
  options.sendBytes = 300000;  // more than the receive buffer holds at once
  options.expectBytes = 0;
  TlsTestServer server(options);
  ASSERT_TRUE(server.Start());
  TaskThread task;
  ASSERT_TRUE(task.started());
  Handshake h(task);
  ASSERT_TRUE(h.Begin("127.0.0.1", server.port(), "localhost"));
  ASSERT_TRUE(h.sink.WaitCount(1, kWaitMs));
  ASSERT_EQ(h.sink.Results().front(), 0);
  Reader reader(h.processor, options.sendBytes);
  bool allSent = false;
  task.Run([&] {
    // The client's last handshake flight may still wait in the write BIO; a
    // flush hands it to the socket.
    h.processor->FlushSendBuffer();
    allSent = h.processor->IsAllDataSent();
    h.processor->GetSocket()->SetSink(&reader);
    reader.Drain();
  });
  EXPECT_TRUE(allSent);
  EXPECT_TRUE(reader.done.Wait(kWaitMs));
  task.Run([&] { h.processor->GetSocket()->SetSink(nullptr); });
  EXPECT_EQ(reader.total, options.sendBytes);
  EXPECT_EQ(reader.sha.FinalHex(), zntest::PatternSha256(options.sendSeed, options.sendBytes));
}

TEST(CZNSslProcessorTest, BufferResizesKeepStoredBytes) {
  TaskThread task;
  ASSERT_TRUE(task.started());
  TlsTestServer server(TlsServerOptions{});
  ASSERT_TRUE(server.Start());
  Handshake h(task);
  ASSERT_TRUE(h.Begin("127.0.0.1", server.port(), "localhost"));
  ASSERT_TRUE(h.sink.WaitCount(1, kWaitMs));
  ASSERT_EQ(h.sink.Results().front(), 0);
  struct Row {
    bool send;
    uint32_t size;
    const char* log;
  };
  const Row rows[] = {
      {true, 32768, "SetSendBufferSize, send_buf size[32768] == SendBufferSize[32768]"},
      {true, 65536, "SetSendBufferSize SendBufferSize[65536]"},
      {true, 0, "SetSendBufferSize SendBufferSize[0]"},
      {true, 32768, "SetSendBufferSize SendBufferSize[32768]"},
      {false, 131072, "SetRecvBufferSize, recv_buf size[131072] == RecvBufferSize[131072]"},
      {false, 4096, "SetRecvBufferSize RecvBufferSize[4096]"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.log);
    LogCapture log;
    task.Run([&] {
      if (r.send) {
        h.processor->SetSendBufferSize(r.size);
      } else {
        h.processor->SetRecvBufferSize(r.size);
      }
    });
    EXPECT_EQ(log.Count(kTag, r.log), 1);
  }
}

}  // namespace
