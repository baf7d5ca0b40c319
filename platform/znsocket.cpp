// The platform TCP socket: a connected descriptor whose readiness is watched by
// the reactor of the task that created the socket, delivered to its sink with
// re-enabling READ, one-shot WRITE and a single close.
#include <algorithm>
#include <cstring>
#include <new>
#include <memory>
#include <optional>
#include <string>

#include <asio/post.hpp>

#include "base/znplatform.h"
#include "base/znsocket.h"
#include "platform/znasiosocket.h"
#include "platform/znreactor.h"
#include "platform/znsocketutil.h"

namespace {

using znplatform::ErrorText;
using znplatform::kNoSocket;
using znplatform::kSocketLogTag;
using znplatform::LastSocketError;
// The system's socket (the name NativeSocket is taken by a member of the socket interface).
using SystemSocket = znplatform::NativeSocket;
using znplatform::ssize_t;

constexpr int kAllEvents = ZNSOCKET_EVENT_READ | ZNSOCKET_EVENT_WRITE;
// A queued count (TCP_INQ) of at least this promises a byte of data: the
// kernel counts a received FIN as one.
constexpr int kQueuedSurelyData = 2;
// A Recv into a buffer smaller than kReadAheadBelow also reads on into the
// socket's own read-ahead store, so that a stream read in small pieces costs
// one system call per store-full instead of one per piece. A larger Recv reads
// the kernel directly once the store is empty: it gains nothing from a second
// copy. The store starts at kReadAheadFirst bytes and grows to kReadAheadSize
// once the socket has carried kLongStream bytes: a long download then takes
// 144 KiB per system call, while hundreds of short transfers at once do not
// each hold a large store.
constexpr size_t kReadAheadFirst = 16 * 1024;
constexpr size_t kReadAheadSize = 128 * 1024;
constexpr size_t kReadAheadBelow = 32 * 1024;
constexpr uint64_t kLongStream = 4 * 1024 * 1024;
// How many OnRecv a single turn of the loop delivers back to back while the
// bytes are already known to wait; then the loop gets its turn (timers,
// posted calls, other sockets).
constexpr int kDeliveriesPerTurn = 16;

// A connected TCP socket bound to one task.
//
// Thread: every member runs on the creating task's thread; the readiness waits
// and the posted close complete on that thread too, through the task's reactor.
// Owns: the descriptor (until Detach or Close), a share of the task's reactor
// (so that the reactor outlives the registration). Borrows: the sink.
//
// The sink may delete the socket inside any callback. Every asynchronous
// completion therefore captures a weak reference to the current generation
// token; the destructor, Close and Detach drop the token, and a completion whose
// token is gone returns without touching the object.
//
// A small Recv reads ahead into the socket's own store (owned, made at the
// first such Recv, replaced once by a larger one when the stream grows long,
// kept until the socket dies); later Recv calls are served from it before the
// kernel is asked again. Bytes held there count as waiting bytes for OnRecv
// and GetUnReadDataLen, and the close comes only after them.
class CZNTCPSocket final : public CZNITCPSocket {
 public:
  CZNTCPSocket();
  ~CZNTCPSocket() override;
  CZNTCPSocket(const CZNTCPSocket&) = delete;
  CZNTCPSocket& operator=(const CZNTCPSocket&) = delete;

  void SetSink(CZNITCPSocketSink* pSink) override { m_pSink = pSink; }
  bool Attach(znsocket_t s) override;
  znsocket_t Detach() override;
  znsocket_t NativeSocket() override;
  int Send(const void* pData, uint32_t ulen) override;
  int Recv(void* pData, uint32_t ulen) override;
  uint32_t GetUnReadDataLen() override;
  bool SetSendBufferSize(uint32_t size) override { return SetIntOption(SOL_SOCKET, SO_SNDBUF, size, "SetSendBufferSize"); }
  bool GetSendBufferSize(uint32_t& size) override { return GetIntOption(SOL_SOCKET, SO_SNDBUF, size, "GetSendBufferSize"); }
  bool SetRecvBufferSize(uint32_t size) override { return SetIntOption(SOL_SOCKET, SO_RCVBUF, size, "SetRecvBufferSize"); }
  bool GetRecvBufferSize(uint32_t& size) override { return GetIntOption(SOL_SOCKET, SO_RCVBUF, size, "GetRecvBufferSize"); }
  bool SetNoDelay(bool bNoDelay) override {
    return SetIntOption(IPPROTO_TCP, TCP_NODELAY, bNoDelay ? 1u : 0u, "SetNoDelay");
  }
  bool GetSocketName(zn::strutf8& ip, uint16_t& port) override { return NameAsText(false, ip, port); }
  bool GetSocketName(znsockaddr_storage& addr, uint32_t& addrlen) override { return NameAsRecord(false, addr, addrlen); }
  bool GetPeerName(zn::strutf8& ip, uint16_t& port) override { return NameAsText(true, ip, port); }
  bool GetPeerName(znsockaddr_storage& addr, uint32_t& addrlen) override { return NameAsRecord(true, addr, addrlen); }
  bool SelectEvent(int event, bool isToClear) override;
  void Close() override;
  bool IsClosedByError() override { return m_bClosedByError; }

 private:
  struct Token {};

  SystemSocket Fd() { return m_desc && m_desc->is_open() ? m_desc->native_handle() : kNoSocket; }
  // Drops the current token (pending completions become no-ops) and makes a new one.
  void NewGeneration();
  // Starts the readiness waits that the selection and the state call for.
  void UpdateWaits();
  void UpdateWriteWait();  // the write part of UpdateWaits
  void OnReadable(const asio::error_code& ec);
  void OnWritable(const asio::error_code& ec);
  // Hands OnRecv to the sink, again and again (up to kDeliveriesPerTurn)
  // while it reads and bytes are known to wait. The object may be gone when
  // this returns.
  void DeliverRecv();
  // Queues the close delivery for a later turn of the loop (never inside the caller).
  void PostClose();
  // Delivers OnClose now, at most once per descriptor. The object may be gone
  // when this returns.
  void DeliverClose();

  bool SetIntOption(int level, int name, uint32_t value, const char* what);
  bool GetIntOption(int level, int name, uint32_t& value, const char* what);
  bool NameAsText(bool peer, zn::strutf8& ip, uint16_t& port);
  // Reads from the kernel into pData and, for a small read, on into the
  // read-ahead store; returns what the read returned (error set when negative).
  ssize_t ReadKernel(void* pData, size_t len, size_t& toCaller);
  uint32_t ReadAheadHeld() const { return m_dwAheadEnd - m_dwAheadPos; }
  // Bytes certainly wait: in the read-ahead store, or queued in the kernel.
  bool BytesKnownToWait() const { return ReadAheadHeld() > 0 || m_nQueuedAfterRecv >= kQueuedSurelyData; }
  bool NameAsRecord(bool peer, znsockaddr_storage& addr, uint32_t& addrlen);
  bool FetchName(bool peer, sockaddr_storage& addr, socklen_t& len, const char* what);

  std::shared_ptr<asio::io_context> m_reactor;  // shared; null when created on a thread with no task
  std::optional<znplatform::AsioSocket> m_desc;  // engaged iff m_reactor; open iff a descriptor is attached
  CZNITCPSocketSink* m_pSink = nullptr;   // borrowed
  std::shared_ptr<Token> m_token;         // current generation; completions hold weak references
  int m_nEvents = 0;                      // selected interest: READ stays until cleared, WRITE is consumed by OnSend
  bool m_bRecvArmed = true;               // false between an OnRecv and the sink's next Recv
  bool m_bReadWaiting = false;            // a wait_read (or a posted look) is outstanding on the descriptor
  // The sink's last Recv filled its whole buffer, so more bytes most likely
  // wait: the next read wait is a look on the next turn of the loop instead.
  bool m_bReadLikely = false;
  // What the kernel still held queued behind the last Recv (reported with the
  // data when the socket supports TCP_INQ), or -1 when unknown. The count
  // takes a received FIN for one byte, so only kQueuedSurelyData or more
  // promise bytes; those stay until the next Recv, so the next read interest
  // is then met without asking the kernel again.
  int m_nQueuedAfterRecv = -1;
  std::unique_ptr<char[]> m_pAhead;       // owned read-ahead store of m_nAheadCap bytes, or null
  size_t m_nAheadCap = 0;                 // kReadAheadFirst, then kReadAheadSize for a long stream
  uint64_t m_qwKernelBytes = 0;           // bytes read from the kernel since the descriptor was attached
  uint32_t m_dwAheadPos = 0;              // first unread byte in m_pAhead
  uint32_t m_dwAheadEnd = 0;              // end of the unread bytes in m_pAhead
  // OnReadable is inside the sink's OnRecv: a read interest that bytes
  // already meet is then only noted in m_bDeliverAgain, and OnReadable
  // delivers again itself instead of posting a look.
  bool m_bDelivering = false;
  bool m_bDeliverAgain = false;
  bool m_bWriteWaiting = false;           // a wait_write (or a posted OnSend) is outstanding
  // The last Send met a full send buffer: the next WRITE interest waits for
  // the kernel. Otherwise the socket takes bytes for certain, and OnSend is
  // posted to the next turn without asking the kernel.
  bool m_bSendBlocked = false;
  bool m_bClosePosted = false;            // a close delivery is queued
  bool m_bCloseDone = false;              // OnClose was delivered (or the stream ended for good)
  bool m_bClosedByError = false;          // a read failed (a reset, say); never cleared
};

CZNTCPSocket::CZNTCPSocket() : m_token(std::make_shared<Token>()) {
  m_reactor = znplatform::CurrentReactorShared();
  if (!m_reactor) {
    znsyslog(1, kSocketLogTag, __LINE__, "ZNCreateTCPSocket: the calling thread runs no task, the socket cannot work");
    return;
  }
  m_desc.emplace(*m_reactor);
}

CZNTCPSocket::~CZNTCPSocket() {
  m_token.reset();
  if (m_desc) {
    asio::error_code ec;
    m_desc->close(ec);  // closes the descriptor; pending waits complete as aborted no-ops
    m_desc.reset();
  }
}

void CZNTCPSocket::NewGeneration() {
  m_token = std::make_shared<Token>();
  m_bReadWaiting = false;
  m_bWriteWaiting = false;
  m_bSendBlocked = false;
  m_bClosePosted = false;
  m_bReadLikely = false;
  m_nQueuedAfterRecv = -1;
  m_dwAheadPos = m_dwAheadEnd = 0;
  m_bDelivering = false;
  m_bDeliverAgain = false;
}

bool CZNTCPSocket::Attach(znsocket_t s) {
  if (!m_desc) {
    znsyslog(1, kSocketLogTag, __LINE__, "CZNTCPSocket Attach: no task, cannot attach");
    return false;
  }
  if (m_desc->is_open()) {
    znsyslog(1, kSocketLogTag, __LINE__, "CZNTCPSocket Attach: a socket is attached already");
    return false;
  }
  const SystemSocket fd = znplatform::FdOfHandle(s);
  if (fd == kNoSocket) {
    znsyslog(1, kSocketLogTag, __LINE__, "CZNTCPSocket Attach: invalid socket");
    return false;
  }
  if (!znplatform::SetNonBlocking(fd)) {
    znsyslog(1, kSocketLogTag, __LINE__, "CZNTCPSocket Attach: cannot make socket %d non-blocking: %s",
             static_cast<int>(fd), ErrorText(LastSocketError()));
    return false;
  }
  asio::error_code ec;
  znplatform::AssignSocket(*m_desc, fd, AF_UNSPEC, ec);
  if (ec) {
    znsyslog(1, kSocketLogTag, __LINE__, "CZNTCPSocket Attach: cannot register socket %d: %s", static_cast<int>(fd),
             ec.message().c_str());
    return false;
  }
  // Ask the kernel to report with every read how many bytes stay queued.
  znplatform::EnableQueuedCount(fd);
  NewGeneration();
  m_bRecvArmed = true;
  m_bCloseDone = false;
  m_qwKernelBytes = 0;
  UpdateWaits();
  return true;
}

znsocket_t CZNTCPSocket::Detach() {
  if (!m_desc || !m_desc->is_open()) {
    znsyslog(2, kSocketLogTag, __LINE__, "CZNTCPSocket Detach: no socket attached");
    return znsocket_makeinvalid();
  }
  if (ReadAheadHeld() > 0) {
    // Those bytes left the kernel already: the new owner of the descriptor
    // would never see them.
    znsyslog(1, kSocketLogTag, __LINE__, "CZNTCPSocket Detach: %u bytes read ahead are not read yet, detach refused",
             ReadAheadHeld());
    return znsocket_makeinvalid();
  }
  const SystemSocket fd = znplatform::ReleaseSocket(*m_desc);  // deregisters; outstanding waits become aborted no-ops
  NewGeneration();
  return znplatform::HandleOfFd(fd);
}

znsocket_t CZNTCPSocket::NativeSocket() { return znplatform::HandleOfFd(Fd()); }

void CZNTCPSocket::Close() {
  if (!m_desc || !m_desc->is_open()) return;
  asio::error_code ec;
  m_desc->close(ec);
  if (ec) znsyslog(2, kSocketLogTag, __LINE__, "CZNTCPSocket Close: %s", ec.message().c_str());
  NewGeneration();
}

int CZNTCPSocket::Send(const void* pData, uint32_t ulen) {
  const SystemSocket fd = Fd();
  if (fd == kNoSocket) {
    znsyslog(2, kSocketLogTag, __LINE__, "CZNTCPSocket Send: no socket attached");
    return -1;
  }
  if (pData == nullptr || ulen == 0) {
    znsyslog(2, kSocketLogTag, __LINE__, "CZNTCPSocket Send: pData is null or ulen[%u] is 0", ulen);
    return -1;
  }
  // The result is an int: never take more than it can report.
  const size_t len = ulen > static_cast<uint32_t>(INT32_MAX) ? static_cast<size_t>(INT32_MAX) : ulen;
  const ssize_t n = znplatform::SendSome(fd, pData, len);
  if (n > 0) {
    m_bSendBlocked = static_cast<size_t>(n) < len;
    return static_cast<int>(n);
  }
  const int err = n < 0 ? LastSocketError() : znplatform::BrokenPipeError();
  if (n < 0 && znplatform::IsWouldBlock(err)) {
    m_bSendBlocked = true;
    return 0;
  }
  znsyslog(2, kSocketLogTag, __LINE__, "CZNTCPSocket Send: send(%d) failed: %s", static_cast<int>(fd), ErrorText(err));
  // With READ selected the read side reports the close once the unread bytes are
  // gone; otherwise nothing else would, so it is queued here.
  if (!(m_nEvents & ZNSOCKET_EVENT_READ)) PostClose();
  return -1;
}

int CZNTCPSocket::Recv(void* pData, uint32_t ulen) {
  const SystemSocket fd = Fd();
  if (fd == kNoSocket) {
    znsyslog(2, kSocketLogTag, __LINE__, "CZNTCPSocket Recv: no socket attached");
    return -1;
  }
  if (pData == nullptr || ulen == 0) {
    znsyslog(2, kSocketLogTag, __LINE__, "CZNTCPSocket Recv: pData is null or ulen[%u] is 0", ulen);
    return -1;
  }
  m_bRecvArmed = true;
  const size_t len = ulen > static_cast<uint32_t>(INT32_MAX) ? static_cast<size_t>(INT32_MAX) : ulen;
  if (ReadAheadHeld() > 0) {
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(len, ReadAheadHeld()));
    std::memcpy(pData, m_pAhead.get() + m_dwAheadPos, n);
    m_dwAheadPos += n;
    if (m_dwAheadPos == m_dwAheadEnd) m_dwAheadPos = m_dwAheadEnd = 0;
    UpdateWaits();
    return static_cast<int>(n);
  }
  size_t toCaller = 0;
  const ssize_t n = ReadKernel(pData, len, toCaller);
  if (n > 0) {
    UpdateWaits();
    return static_cast<int>(toCaller);
  }
  if (n == 0) {
    PostClose();  // end of stream: every byte before it has now been read
    return 0;
  }
  const int err = LastSocketError();
  if (znplatform::IsWouldBlock(err)) {
    UpdateWaits();
    return 0;
  }
  znsyslog(2, kSocketLogTag, __LINE__, "CZNTCPSocket Recv: recv(%d) failed: %s", static_cast<int>(fd), ErrorText(err));
  m_bClosedByError = true;
  PostClose();
  return -1;
}

ssize_t CZNTCPSocket::ReadKernel(void* pData, size_t len, size_t& toCaller) {
  if (len < kReadAheadBelow) {
    // The store is empty here: Recv serves it first.
    const size_t want = m_qwKernelBytes >= kLongStream ? kReadAheadSize : kReadAheadFirst;
    if (m_nAheadCap < want) {
      m_pAhead.reset(new (std::nothrow) char[want]);
      m_nAheadCap = m_pAhead ? want : 0;
    }
  }
  const size_t aheadLen = len < kReadAheadBelow ? m_nAheadCap : 0;
  int queued = -1;
  const ssize_t n = znplatform::RecvTwo(Fd(), pData, len, m_pAhead.get(), aheadLen, queued);
  m_nQueuedAfterRecv = n > 0 ? queued : -1;
  if (n > 0) m_qwKernelBytes += static_cast<uint64_t>(n);
  const size_t asked = len + aheadLen;
  // Without a count that settles it, a read that filled its buffers suggests more.
  m_bReadLikely = n > 0 && static_cast<size_t>(n) == asked && m_nQueuedAfterRecv != 0 &&
                  m_nQueuedAfterRecv < kQueuedSurelyData;
  toCaller = n > 0 ? std::min(static_cast<size_t>(n), len) : 0;
  if (n > 0 && static_cast<size_t>(n) > len) {
    m_dwAheadPos = 0;
    m_dwAheadEnd = static_cast<uint32_t>(static_cast<size_t>(n) - len);
  }
  return n;
}

uint32_t CZNTCPSocket::GetUnReadDataLen() {
  const SystemSocket fd = Fd();
  if (fd == kNoSocket) {
    znsyslog(2, kSocketLogTag, __LINE__, "CZNTCPSocket GetUnReadDataLen: no socket attached");
    return 0;
  }
  uint32_t pending = 0;
  if (!znplatform::PendingBytes(fd, pending)) {
    znsyslog(2, kSocketLogTag, __LINE__, "CZNTCPSocket GetUnReadDataLen: ioctl(%d) failed: %s", static_cast<int>(fd),
             ErrorText(LastSocketError()));
    return 0;
  }
  return ReadAheadHeld() + pending;
}

bool CZNTCPSocket::SelectEvent(int event, bool isToClear) {
  if (isToClear) {
    m_nEvents &= ~event;
    return true;
  }
  m_nEvents |= event & kAllEvents;
  // Selecting READ again re-enables it, as after a Recv.
  if (event & ZNSOCKET_EVENT_READ) m_bRecvArmed = true;
  if (Fd() == kNoSocket) {
    znsyslog(2, kSocketLogTag, __LINE__, "CZNTCPSocket SelectEvent: no socket attached, event[%d] kept", event);
    return false;
  }
  UpdateWaits();
  return true;
}

void CZNTCPSocket::UpdateWaits() {
  if (Fd() == kNoSocket || m_bCloseDone || m_bClosePosted) return;
  if ((m_nEvents & ZNSOCKET_EVENT_READ) && m_bRecvArmed && !m_bReadWaiting) {
    if (m_bDelivering && BytesKnownToWait()) {
      m_bDeliverAgain = true;  // OnReadable delivers again when the sink returns
      return UpdateWriteWait();
    }
    m_bReadWaiting = true;
    std::weak_ptr<Token> alive = m_token;
    if (BytesKnownToWait() || m_bReadLikely) {
      // A stream that filled the last read is read on: look at the descriptor
      // on the next turn of the loop. An edge-triggered wait would cost a
      // system call to re-arm the descriptor and a trip through the reactor
      // for every read; the look falls back to the wait when nothing is there.
      m_bReadLikely = false;
      asio::post(*m_reactor, [this, alive] {
        if (alive.expired()) return;
        OnReadable(asio::error_code());
      });
      return UpdateWriteWait();
    }
    m_desc->async_wait(znplatform::kWaitRead, [this, alive](const asio::error_code& ec) {
      if (alive.expired()) return;
      OnReadable(ec);
    });
  }
  UpdateWriteWait();
}

void CZNTCPSocket::UpdateWriteWait() {
  if ((m_nEvents & ZNSOCKET_EVENT_WRITE) && !m_bWriteWaiting) {
    m_bWriteWaiting = true;
    std::weak_ptr<Token> alive = m_token;
    if (!m_bSendBlocked) {
      asio::post(*m_reactor, [this, alive] {
        if (alive.expired()) return;
        OnWritable(asio::error_code());
      });
      return;
    }
    m_desc->async_wait(znplatform::kWaitWrite, [this, alive](const asio::error_code& ec) {
      if (alive.expired()) return;
      OnWritable(ec);
    });
  }
}

void CZNTCPSocket::OnReadable(const asio::error_code& ec) {
  m_bReadWaiting = false;
  if (ec == asio::error::operation_aborted) return;
  if (!(m_nEvents & ZNSOCKET_EVENT_READ) || !m_bRecvArmed || m_bCloseDone || m_bClosePosted) return;
  const SystemSocket fd = Fd();
  if (fd == kNoSocket) return;
  if (BytesKnownToWait()) return DeliverRecv();
  // Peek one byte to tell waiting bytes from the end of the stream or an error:
  // bytes are always offered before the close.
  char probe;
  const ssize_t n = znplatform::PeekSome(fd, &probe, 1);
  if (n > 0) return DeliverRecv();
  const int err = n < 0 ? LastSocketError() : 0;
  if (n < 0 && znplatform::IsWouldBlock(err)) {
    UpdateWaits();
    return;
  }
  if (n < 0) {
    znsyslog(3, kSocketLogTag, __LINE__, "CZNTCPSocket OnReadable: socket %d failed: %s", static_cast<int>(fd),
             ErrorText(err));
    m_bClosedByError = true;
  }
  DeliverClose();  // may delete this
}

void CZNTCPSocket::DeliverRecv() {
  std::weak_ptr<Token> alive = m_token;
  for (int turn = 0; turn < kDeliveriesPerTurn; ++turn) {
    m_bRecvArmed = false;
    m_bDeliverAgain = false;
    m_bDelivering = true;
    if (m_pSink) m_pSink->OnRecv(this);  // may delete this
    if (alive.expired()) return;
    m_bDelivering = false;
    // The sink's Recv found bytes still waiting: deliver again at once, while
    // the socket is still selected and armed (the sink may have changed that).
    if (!m_bDeliverAgain || !(m_nEvents & ZNSOCKET_EVENT_READ) || !m_bRecvArmed || m_bCloseDone ||
        m_bClosePosted || Fd() == kNoSocket || !BytesKnownToWait())
      break;
  }
  m_bDeliverAgain = false;
  UpdateWaits();
}

void CZNTCPSocket::OnWritable(const asio::error_code& ec) {
  m_bWriteWaiting = false;
  if (ec == asio::error::operation_aborted) return;
  if (!(m_nEvents & ZNSOCKET_EVENT_WRITE) || Fd() == kNoSocket) return;
  m_nEvents &= ~ZNSOCKET_EVENT_WRITE;  // one-shot
  if (m_pSink) m_pSink->OnSend(this);  // may delete this
}

void CZNTCPSocket::PostClose() {
  if (m_bCloseDone || m_bClosePosted || !m_reactor) return;
  m_bClosePosted = true;
  std::weak_ptr<Token> alive = m_token;
  asio::post(*m_reactor, [this, alive] {
    if (alive.expired()) return;
    m_bClosePosted = false;
    DeliverClose();
  });
}

void CZNTCPSocket::DeliverClose() {
  if (m_bCloseDone) return;
  m_bCloseDone = true;
  if (m_pSink) m_pSink->OnClose(this);  // may delete this
}

bool CZNTCPSocket::SetIntOption(int level, int name, uint32_t value, const char* what) {
  const SystemSocket fd = Fd();
  if (fd == kNoSocket) {
    znsyslog(2, kSocketLogTag, __LINE__, "CZNTCPSocket %s: no socket attached", what);
    return false;
  }
  const int v = value > static_cast<uint32_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(value);
  if (::setsockopt(fd, level, name, reinterpret_cast<const char*>(&v), sizeof(v)) != 0) {
    znsyslog(2, kSocketLogTag, __LINE__, "CZNTCPSocket %s: setsockopt(%d) failed: %s", what, static_cast<int>(fd),
             ErrorText(LastSocketError()));
    return false;
  }
  return true;
}

bool CZNTCPSocket::GetIntOption(int level, int name, uint32_t& value, const char* what) {
  const SystemSocket fd = Fd();
  if (fd == kNoSocket) {
    znsyslog(2, kSocketLogTag, __LINE__, "CZNTCPSocket %s: no socket attached", what);
    return false;
  }
  int v = 0;
  socklen_t len = sizeof(v);
  if (::getsockopt(fd, level, name, reinterpret_cast<char*>(&v), &len) != 0) {
    znsyslog(2, kSocketLogTag, __LINE__, "CZNTCPSocket %s: getsockopt(%d) failed: %s", what, static_cast<int>(fd),
             ErrorText(LastSocketError()));
    return false;
  }
  value = v > 0 ? static_cast<uint32_t>(v) : 0u;
  return true;
}

bool CZNTCPSocket::FetchName(bool peer, sockaddr_storage& addr, socklen_t& len, const char* what) {
  const SystemSocket fd = Fd();
  if (fd == kNoSocket) {
    znsyslog(2, kSocketLogTag, __LINE__, "CZNTCPSocket %s: no socket attached", what);
    return false;
  }
  std::memset(&addr, 0, sizeof(addr));
  len = sizeof(addr);
  auto* sa = reinterpret_cast<sockaddr*>(&addr);
  const int r = peer ? ::getpeername(fd, sa, &len) : ::getsockname(fd, sa, &len);
  if (r != 0) {
    znsyslog(2, kSocketLogTag, __LINE__, "CZNTCPSocket %s: socket %d: %s", what, static_cast<int>(fd),
             ErrorText(LastSocketError()));
    return false;
  }
  return true;
}

bool CZNTCPSocket::NameAsText(bool peer, zn::strutf8& ip, uint16_t& port) {
  const char* what = peer ? "GetPeerName" : "GetSocketName";
  sockaddr_storage addr;
  socklen_t len = 0;
  if (!FetchName(peer, addr, len, what)) return false;
  std::string text;
  if (!znplatform::SockaddrToText(reinterpret_cast<const sockaddr*>(&addr), len, text, port)) {
    znsyslog(2, kSocketLogTag, __LINE__, "CZNTCPSocket %s: unknown address family %d", what,
             static_cast<int>(addr.ss_family));
    return false;
  }
  ip = text.c_str();
  return true;
}

bool CZNTCPSocket::NameAsRecord(bool peer, znsockaddr_storage& addr, uint32_t& addrlen) {
  static_assert(sizeof(znsockaddr_storage) == sizeof(sockaddr_storage), "address record size");
  sockaddr_storage sa;
  socklen_t len = 0;
  if (!FetchName(peer, sa, len, peer ? "GetPeerName" : "GetSocketName")) return false;
  std::memcpy(addr.data, &sa, sizeof(sa));
  addrlen = static_cast<uint32_t>(len);
  return true;
}

}  // namespace

CZNITCPSocket* ZNCreateTCPSocket() { return new CZNTCPSocket(); }
