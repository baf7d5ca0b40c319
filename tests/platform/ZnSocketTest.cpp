// The platform TCP socket on real loopback connections: when READ, WRITE and
// close events come and how often, the bytes that pass, deletion from inside
// callbacks, the read-ahead store, the hand-back of the descriptor, and queries.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/znsocket.h"
#include "base/zntask.h"
#include "base/zntimer.h"
#include "support/TestOs.h"
#include "support/TestNet.h"
#include "support/TestSha256.h"

namespace {

enum class OnRecvAction { kNothing, kReadChunk, kReadToEnd };  // what the sink does at OnRecv

// Records the callbacks of one socket and the task they ran on, and acts as
// the test says. Thread: callbacks on the socket's task; the test thread reads
// through the waiter.
class RecordingSink final : public CZNITCPSocketSink {
 public:
  enum DeleteIn { kDeleteNowhere, kDeleteInRecv, kDeleteInSend, kDeleteInClose };
  explicit RecordingSink(CZNTaskBase* task) : m_pTask(task) {}

  void OnRecv(CZNITCPSocket* s) override {
    std::string got;
    int last = 1;
    if (m_recvAction == OnRecvAction::kReadChunk) last = Read(s, m_chunk, got);
    while (m_recvAction == OnRecvAction::kReadToEnd && last > 0) last = Read(s, 4096, got);
    Note(recvCount, [&] {
      received += got;
      recvError |= last < 0;
      emptyRecv |= last == 0 && m_recvAction == OnRecvAction::kReadChunk;
    });
    if (m_pFirstRecvTimer && recvCount == 1) m_pFirstRecvTimer->SetTimer(0, 1, true);
    if (m_deleteIn == kDeleteInRecv) Delete(s);
  }
  void OnSend(CZNITCPSocket* s) override {
    Note(sendCount, [] {});
    if (m_deleteIn == kDeleteInSend) Delete(s);
  }
  void OnClose(CZNITCPSocket* s) override {
    Note(closeCount, [&] { bytesAtClose = received.size(); });
    if (m_deleteIn == kDeleteInClose) Delete(s);
  }
  // Reads up to n bytes; the Recv result.
  static int Read(CZNITCPSocket* s, uint32_t n, std::string& out) {
    std::vector<char> buf(n);
    const int r = s->Recv(buf.data(), n);
    if (r > 0) out.append(buf.data(), static_cast<size_t>(r));
    return r;
  }

  OnRecvAction m_recvAction = OnRecvAction::kNothing;  // set before events flow
  uint32_t m_chunk = 1;
  DeleteIn m_deleteIn = kDeleteNowhere;
  CZNITCPSocket** m_ppOwner = nullptr;    // borrowed: cleared when the sink deletes the socket
  CZNTimer* m_pFirstRecvTimer = nullptr;  // borrowed: armed for the next turn at the first OnRecv

  zntest::Waiter m_waiter;
  // Guarded by m_waiter.
  int recvCount = 0, sendCount = 0, closeCount = 0;
  size_t bytesAtClose = 0;
  std::string received;
  bool wrongThread = false, eventAfterClose = false, recvError = false, deleted = false;
  bool emptyRecv = false;  // an OnRecv found nothing to read

 private:
  // Counts one event, flags it when it came late or on the wrong task, then runs more.
  void Note(int& count, const std::function<void()>& more) {
    m_waiter.Update([&] {
      eventAfterClose |= closeCount > 0;
      wrongThread |= CZNTaskBase::Current() != m_pTask;
      ++count;
      more();
    });
  }
  void Delete(CZNITCPSocket* s) {
    delete s;
    if (m_ppOwner) *m_ppOwner = nullptr;
    m_waiter.Update([&] { deleted = true; });
  }
  CZNTaskBase* m_pTask;  // borrowed: the task callbacks must run on
};

// A socket on the test task attached to one end of a loopback connection; the
// other end (peer) stays with the test thread as a blocking descriptor.
class ZnSocketTest : public ::testing::Test {
 protected:
  void TearDown() override { Close(); }
  void Close() {
    ASSERT_TRUE(task.Run([this] {
      delete socket;
      socket = nullptr;
    }));
    if (peer >= 0) zntest::CloseSocket(peer);
    peer = -1;
  }
  // Closes what there was and starts over with a fresh sink.
  void Reset() {
    Close();
    sink = std::make_unique<RecordingSink>(task.task());
  }
  // Connects, attaches the client end to a new socket on the task and selects events.
  void Open(int events, const char* ip = "127.0.0.1") {
    zntest::LoopbackListener listener(ip);
    ASSERT_TRUE(listener.ok()) << ip;
    clientFd = zntest::ConnectTo(ip, listener.port());
    ASSERT_GE(clientFd, 0);
    peer = listener.Accept();
    ASSERT_GE(peer, 0);
    bool attached = false;
    ASSERT_TRUE(task.Run([&] {
      socket = ZNCreateTCPSocket();
      sink->m_ppOwner = &socket;
      socket->SetSink(sink.get());
      attached = socket->Attach(static_cast<znsocket_t>(clientFd));
      if (events) socket->SelectEvent(events, false);
    }));
    ASSERT_TRUE(attached);
  }
  int Count(const int& field) { return sink->m_waiter.Get(field); }
  int Events() { return Count(sink->recvCount) + Count(sink->sendCount) + Count(sink->closeCount); }
  bool WaitCount(const int& field, int atLeast) {
    return sink->m_waiter.WaitFor([&] { return field >= atLeast; });
  }

  zntest::TaskThread task{"ZnSocketTest"};
  std::unique_ptr<RecordingSink> sink = std::make_unique<RecordingSink>(task.task());
  CZNITCPSocket* socket = nullptr;  // owned; lives on the task
  int peer = -1;                    // owned; the test thread's end
  int clientFd = -1;                // the descriptor the socket owns
};

// Unread bytes give one OnRecv; only a Recv re-enables READ, and only while
// bytes still wait (no busy loop on bytes the sink leaves), and unread bytes
// hold the close back. WRITE is one-shot: one OnSend per selection, and no
// other call on the socket brings it back.
TEST_F(ZnSocketTest, ReadWaitsForTheSinksRecvAndWriteIsOneShot) {
  Open(0);
  struct Step {
    const char* peerWrites;  // bytes the peer sends first ("" none, null: it shuts its side down)
    const char* selects;     // then on the task: R/W select READ/WRITE, w clears WRITE
    uint32_t taskReads;      // then one Recv of this many bytes (0: no Recv)
    const char* expectRead;  // what that Recv returns
    int recvs, sends, closes;  // OnRecv, OnSend and OnClose deliveries in total afterwards
  } steps[] = {
      {"", "", 0, "", 0, 0, 0},       // nothing selected: nothing comes
      {"", "W", 0, "", 0, 1, 0},      // writable: one OnSend, and the interest is used up
      {"", "", 0, "", 0, 1, 0},       // no new selection: no second OnSend
      {"", "R", 8, "", 0, 1, 0},      // nor after calls that touch the waits (a Recv that finds nothing)
      {"", "Ww", 0, "", 0, 1, 0},     // selected and cleared at once: none
      {"abc", "", 0, "", 1, 1, 0},    // bytes wait: one OnRecv
      {"def", "", 0, "", 1, 1, 0},    // more bytes, still unread: no second OnRecv
      {"", "W", 0, "", 1, 2, 0},      // other calls meanwhile (WRITE selected) do not re-enable READ
      {"", "", 2, "ab", 2, 2, 0},     // a Recv that leaves bytes re-enables: one more
      {"", "", 100, "cdef", 2, 2, 0}, // a Recv that takes all: nothing waits, nothing comes
      {"g", "", 0, "", 3, 2, 0},      // new bytes after the Recv: one OnRecv
      {"", "", 100, "g", 3, 2, 0},
      {"hij", "", 0, "", 4, 2, 0},
      {"", "", 3, "hij", 4, 2, 0},  // a Recv that fills its buffer with exactly what waits: nothing comes
      {"k", "", 0, "", 5, 2, 0},    // and the next bytes are announced as before
      {"", "", 1, "k", 5, 2, 0},
      {"xyz", "", 0, "", 6, 2, 0},
      {nullptr, "", 0, "", 6, 2, 0},  // the end of the stream waits behind the unread bytes
      {"", "", 100, "xyz", 6, 2, 1},  // until a Recv takes them
  };
  int i = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(i++);
    if (!step.peerWrites) ::shutdown(peer, zntest::kShutWrite);
    ASSERT_TRUE(!step.peerWrites || !*step.peerWrites || zntest::WriteAll(peer, step.peerWrites));
    std::string got;
    int r = 0;
    ASSERT_TRUE(task.Run([&] {
      for (const char* a = step.selects; *a; ++a) {
        EXPECT_TRUE(socket->SelectEvent(*a == 'R' ? ZNSOCKET_EVENT_READ : ZNSOCKET_EVENT_WRITE, *a == 'w'));
      }
      if (step.taskReads) r = RecordingSink::Read(socket, step.taskReads, got);
    }));
    EXPECT_EQ(got, step.expectRead);
    EXPECT_EQ(r, static_cast<int>(std::strlen(step.expectRead)));
    EXPECT_TRUE(WaitCount(sink->recvCount, step.recvs));
    EXPECT_TRUE(WaitCount(sink->sendCount, step.sends));
    EXPECT_TRUE(WaitCount(sink->closeCount, step.closes));
    ASSERT_TRUE(task.Drain());
    EXPECT_EQ(Count(sink->recvCount), step.recvs);
    EXPECT_EQ(Count(sink->sendCount), step.sends);
    EXPECT_EQ(Count(sink->closeCount), step.closes);
  }
  EXPECT_FALSE(sink->m_waiter.Get(sink->wrongThread));
}

// Every byte arrives, in order, before the one close. A long stream read in
// small pieces also crosses the point where the read-ahead store grows; and
// while such a sink is served several OnRecv per turn of the loop, it is not
// served all of them in one: a call queued at the first OnRecv runs while most
// of the bytes still wait.
TEST_F(ZnSocketTest, CloseComesOnceAndOnlyAfterTheLastByte) {
  struct Case {
    OnRecvAction action;
    uint32_t chunk;
    size_t payload;
    bool reset;  // the peer resets instead of closing
    bool probe;  // a call queued at the first OnRecv notes how much was read when it runs
  } cases[] = {
      {OnRecvAction::kReadChunk, 1, 300, false, false},  // many OnRecv of one byte each
      {OnRecvAction::kReadChunk, 7, 1000, false, false},  // chunks that do not divide the payload
      {OnRecvAction::kReadChunk, 10, 60000, false, true},
      {OnRecvAction::kReadChunk, 65536, 200000, false, false},
      {OnRecvAction::kReadChunk, 100, 1000, false, false},  // every read fills its buffer, the last one too
      {OnRecvAction::kReadChunk, 16384, 65536, false, false},
      {OnRecvAction::kReadChunk, 1000, 6 * 1024 * 1024 + 7, false, false},
      {OnRecvAction::kReadToEnd, 0, 50000, false, false},  // Recv meets the end: it leads to the close
      {OnRecvAction::kReadToEnd, 0, 0, false, false},      // a close with no bytes at all
      {OnRecvAction::kReadToEnd, 0, 0, true, false},       // a reset gives the close too
  };
  struct Probe final : CZNTimer {
    void OnTimer(unsigned int) override { readWhenRun = sink->m_waiter.Get(sink->received).size(); }
    RecordingSink* sink = nullptr;
    size_t readWhenRun = 0;  // task thread only; read after a drain
  };
  int i = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(i++);
    Reset();
    sink->m_recvAction = c.action;
    sink->m_chunk = c.chunk;
    Probe probe;
    probe.sink = sink.get();
    if (c.probe) sink->m_pFirstRecvTimer = &probe;
    Open(ZNSOCKET_EVENT_READ);
    const std::string payload = zntest::Pattern(c.payload, 1);
    ASSERT_TRUE(zntest::WriteAll(peer, payload));
    c.reset ? zntest::CloseWithReset(peer) : (void)zntest::CloseSocket(peer);
    peer = -1;
    ASSERT_TRUE(WaitCount(sink->closeCount, 1));
    ASSERT_TRUE(task.Drain());
    RecordingSink& s = *sink;
    EXPECT_EQ(s.m_waiter.Get(s.closeCount), 1);
    EXPECT_TRUE(s.m_waiter.Get(s.received) == payload) << s.m_waiter.Get(s.received).size() << " bytes";
    EXPECT_EQ(s.m_waiter.Get(s.bytesAtClose), payload.size());
    EXPECT_FALSE(s.m_waiter.Get(s.eventAfterClose));
    EXPECT_FALSE(s.m_waiter.Get(s.wrongThread));
    EXPECT_FALSE(s.m_waiter.Get(s.emptyRecv));
    if (c.probe) {
      EXPECT_GT(probe.readWhenRun, 0u);
      EXPECT_LT(probe.readWhenRun, payload.size() / 4);
    }
    Close();  // before the probe goes
  }
}

TEST_F(ZnSocketTest, DeletingTheSocketInsideEachCallbackIsClean) {
  // Both interests are selected where they can be, so that the other wait is
  // still pending when the socket goes away.
  const struct { RecordingSink::DeleteIn where; OnRecvAction action; int events; } cases[] = {
      {RecordingSink::kDeleteInRecv, OnRecvAction::kNothing, ZNSOCKET_EVENT_READ},
      {RecordingSink::kDeleteInRecv, OnRecvAction::kReadToEnd, ZNSOCKET_EVENT_READ | ZNSOCKET_EVENT_WRITE},
      // a one-byte read leaves the rest in the read-ahead store: more would be delivered at once
      {RecordingSink::kDeleteInRecv, OnRecvAction::kReadChunk, ZNSOCKET_EVENT_READ},
      {RecordingSink::kDeleteInSend, OnRecvAction::kNothing, ZNSOCKET_EVENT_READ | ZNSOCKET_EVENT_WRITE},
      {RecordingSink::kDeleteInClose, OnRecvAction::kReadToEnd, ZNSOCKET_EVENT_READ | ZNSOCKET_EVENT_WRITE},
  };
  int i = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(i++);
    Reset();
    sink->m_deleteIn = c.where;
    sink->m_recvAction = c.action;
    Open(c.events);
    // With kReadToEnd the Recv inside OnRecv meets the end and queues the close before the deletion.
    ASSERT_TRUE(zntest::WriteAll(peer, "hello"));
    ::shutdown(peer, zntest::kShutWrite);
    ASSERT_TRUE(sink->m_waiter.WaitFor([&] { return sink->deleted; }));
    ASSERT_TRUE(task.Drain());
    EXPECT_TRUE(zntest::WaitPeerClosed(peer));  // the descriptor went with the socket
    const int events = Events();
    ASSERT_TRUE(task.Drain());
    EXPECT_EQ(Events(), events);
  }
}

// Small reads are served from the socket's read-ahead store: those bytes count
// as unread, keep the descriptor from being handed away, and come out in order.
// Once all is read, Detach hands the descriptor back open, with no wait left.
TEST_F(ZnSocketTest, ReadAheadBytesStayUntilReadThenDetachHandsTheDescriptorBack) {
  Open(0);
  const std::string payload = zntest::Pattern(100000, 1);
  ASSERT_TRUE(zntest::WriteAll(peer, payload));
  ASSERT_TRUE(sink->m_waiter.WaitFor([&] {  // every byte queued on the socket's side
    return zntest::UnreadBytes(clientFd) == static_cast<int>(payload.size());
  }));
  std::string got;
  znsocket_t detached = znsocket_makeinvalid();
  ASSERT_TRUE(task.Run([&] {
    EXPECT_EQ(RecordingSink::Read(socket, 10, got), 10);
    EXPECT_EQ(socket->GetUnReadDataLen(), payload.size() - 10);
    EXPECT_FALSE(znsocket_isvalid(socket->Detach()));  // refused: the bytes would be lost
    EXPECT_EQ(socket->NativeSocket(), static_cast<znsocket_t>(clientFd));
    while (RecordingSink::Read(socket, 999, got) > 0) {
    }
    EXPECT_EQ(socket->GetUnReadDataLen(), 0u);
    socket->SelectEvent(ZNSOCKET_EVENT_READ, false);
    detached = socket->Detach();
    EXPECT_FALSE(znsocket_isvalid(socket->NativeSocket()));
    EXPECT_FALSE(znsocket_isvalid(socket->Detach()));
    delete socket;
    socket = nullptr;
  }));
  EXPECT_EQ(got, payload);
  ASSERT_EQ(detached, static_cast<znsocket_t>(clientFd));
  // Still open and connected: bytes pass both ways, and no event reached the old sink.
  ASSERT_TRUE(zntest::WriteAll(peer, "ping"));
  EXPECT_EQ(zntest::ReadAtLeast(clientFd, 4), "ping");
  ASSERT_TRUE(zntest::WriteAll(clientFd, "pong"));
  EXPECT_EQ(zntest::ReadAtLeast(peer, 4), "pong");
  ASSERT_TRUE(task.Drain());
  EXPECT_EQ(Count(sink->recvCount), 0);
  // Attaching it to a new socket works once; a second attach and an invalid handle fail.
  ASSERT_TRUE(task.Run([&] {
    socket = ZNCreateTCPSocket();
    socket->SetSink(sink.get());
    EXPECT_FALSE(socket->Attach(znsocket_makeinvalid()));
    EXPECT_TRUE(socket->Attach(detached));
    EXPECT_FALSE(socket->Attach(detached));
    socket->SelectEvent(ZNSOCKET_EVENT_READ, false);
  }));
  ASSERT_TRUE(zntest::WriteAll(peer, "again"));
  EXPECT_TRUE(WaitCount(sink->recvCount, 1));
}

TEST_F(ZnSocketTest, SendAndRecvReturnConventions) {
  Open(0);
  // Fill the connection until Send takes nothing; every byte it took arrives.
  size_t taken = 0;
  int last = 1;
  ASSERT_TRUE(task.Run([&] {
    char buf[16];
    EXPECT_EQ(socket->Recv(buf, sizeof(buf)), 0);  // nothing waits
    EXPECT_EQ(socket->Recv(nullptr, 5), -1);
    EXPECT_EQ(socket->Send(nullptr, 5), -1);
    EXPECT_EQ(socket->Send("x", 0), -1);
    socket->SetSendBufferSize(16384);
    const std::string block(8192, 'q');
    for (int k = 0; k < 10000 && last > 0; ++k) {
      last = socket->Send(block.data(), static_cast<uint32_t>(block.size()));
      if (last > 0) taken += static_cast<size_t>(last);
    }
  }));
  EXPECT_EQ(last, 0);
  const std::string got = zntest::ReadAtLeast(peer, taken);
  EXPECT_EQ(got, std::string(taken, 'q'));
  // After Close: errors, and no event.
  ASSERT_TRUE(task.Run([&] {
    socket->SelectEvent(ZNSOCKET_EVENT_READ | ZNSOCKET_EVENT_WRITE, false);
    socket->Close();
    char buf[4];
    EXPECT_EQ(socket->Send("abc", 3), -1);
    EXPECT_EQ(socket->Recv(buf, sizeof(buf)), -1);
    EXPECT_FALSE(znsocket_isvalid(socket->NativeSocket()));
  }));
  EXPECT_TRUE(zntest::WaitPeerClosed(peer));
  ASSERT_TRUE(task.Drain());
  EXPECT_EQ(Events(), 0);
}

TEST_F(ZnSocketTest, SocketAndPeerNames) {
  for (const char* ip : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(ip);
    Reset();
    Open(0, ip);
    sockaddr_storage peerSide, localSide;  // as the peer sees them
    socklen_t len = sizeof(peerSide);
    ASSERT_EQ(::getpeername(peer, reinterpret_cast<sockaddr*>(&peerSide), &len), 0);
    len = sizeof(localSide);
    ASSERT_EQ(::getsockname(peer, reinterpret_cast<sockaddr*>(&localSide), &len), 0);
    ASSERT_TRUE(task.Run([&] {
      zn::strutf8 text;
      uint16_t port = 0;
      EXPECT_TRUE(socket->GetSocketName(text, port));
      EXPECT_STREQ(text.c_str(), ip);
      EXPECT_EQ(port, zntest::AddressPort(peerSide));
      EXPECT_TRUE(socket->GetPeerName(text, port));
      EXPECT_STREQ(text.c_str(), ip);
      EXPECT_EQ(port, zntest::AddressPort(localSide));
      znsockaddr_storage rec;
      uint32_t recLen = 0;
      EXPECT_TRUE(socket->GetPeerName(rec, recLen));
      EXPECT_EQ(recLen, peerSide.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
      EXPECT_EQ(std::memcmp(rec.data, &localSide, recLen), 0);
      EXPECT_TRUE(socket->GetSocketName(rec, recLen));
      EXPECT_EQ(std::memcmp(rec.data, &peerSide, recLen), 0);
    }));
  }
}

TEST(ZnSocketHandleTest, InvalidHandlesAndSocketsWithoutATask) {
  EXPECT_FALSE(znsocket_isvalid(znsocket_makeinvalid()));
  EXPECT_TRUE(znsocket_isvalid(static_cast<znsocket_t>(0)));
  zn::strutf8 ip;
  uint16_t port = 0;
  EXPECT_FALSE(znsocket_getpeername6(znsocket_makeinvalid(), ip, port));
  znsocket_close(znsocket_makeinvalid());  // nothing to close, nothing happens
  // A socket made on a thread without a task works nowhere, and says so.
  CZNITCPSocket* s = ZNCreateTCPSocket();
  ASSERT_NE(s, nullptr);
  EXPECT_FALSE(s->Attach(static_cast<znsocket_t>(0)));
  EXPECT_EQ(s->Send("a", 1), -1);
  EXPECT_FALSE(s->SelectEvent(ZNSOCKET_EVENT_READ, false));
  delete s;
}

}  // namespace
