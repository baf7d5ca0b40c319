// Loopback networking helpers for tests.
#include "support/TestNet.h"

#include <cstring>
#include <memory>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "base/znrefcount.h"
#include "base/zntask.h"
#include "support/TestOs.h"

namespace zntest {

namespace {

using Clock = std::chrono::steady_clock;

// Waits for events on fd; false when the time ran out.
bool PollFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p = PollRecord(fd, events);
    const int r = PollSockets(&p, 1, left > 0 ? static_cast<int>(left) : 0);
    if (r >= 0 || !SocketWouldBlock()) return r > 0;
  }
}

// A posted call that runs a function and signals its completion.
// Thread: runs on the task, waited for by the posting thread. Counted: the
// poster and the queued copy each hold a reference.
class CallBox final : public CRefCountSafe {
 public:
  explicit CallBox(std::function<void()> fn) : m_fn(std::move(fn)) {}
  static int Run(void* object, CRefCount*) {
    auto* box = static_cast<CallBox*>(object);
    box->m_fn();
    box->m_waiter.Update([box] { box->m_done = true; });
    return 0;
  }
  bool Wait(int timeoutMs) {
    return m_waiter.WaitFor([this] { return m_done; }, timeoutMs);
  }

 private:
  std::function<void()> m_fn;
  Waiter m_waiter;
  bool m_done = false;  // guarded by m_waiter
};

}  // namespace

uint16_t FreeLoopbackPort(const char* ip) {
  LoopbackListener l(ip, 0, 1);
  return l.port();
}

LoopbackListener::LoopbackListener(const char* ip, uint16_t port, int backlog) {
  sockaddr_storage ss;
  socklen_t len = 0;
  if (!LoopbackAddress(ip, port, &ss, &len)) return;
  const int fd = NewSocket(ss.ss_family);
  if (fd < 0) return;
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof(on));
  if (::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || (backlog >= 0 && ::listen(fd, backlog) != 0)) {
    CloseSocket(fd);
    return;
  }
  len = sizeof(ss);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
  m_port = AddressPort(ss);
  m_fd = fd;
}

LoopbackListener::~LoopbackListener() { Close(); }

void LoopbackListener::Close() {
  CloseSocket(m_fd);
  m_fd = -1;
}

int LoopbackListener::Accept(int timeoutMs, std::string* peerIp, uint16_t* peerPort) {
  if (m_fd < 0) return -1;
  if (!PollFor(m_fd, POLLIN, Clock::now() + std::chrono::milliseconds(timeoutMs))) return -1;
  sockaddr_storage ss;
  socklen_t len = sizeof(ss);
  const int fd = static_cast<int>(::accept(m_fd, reinterpret_cast<sockaddr*>(&ss), &len));
  if (fd >= 0 && peerIp) *peerIp = AddressText(ss);
  if (fd >= 0 && peerPort) *peerPort = AddressPort(ss);
  return fd;
}

int ConnectTo(const char* ip, uint16_t port, int timeoutMs) {
  sockaddr_storage ss;
  socklen_t len = 0;
  if (!LoopbackAddress(ip, port, &ss, &len)) return -1;
  const int fd = NewSocket(ss.ss_family);
  if (fd < 0) return -1;
  SetNonBlocking(fd);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
    if (!SocketWouldBlock() || !PollFor(fd, POLLOUT, Clock::now() + std::chrono::milliseconds(timeoutMs)) ||
        PendingError(fd) != 0) {
      CloseSocket(fd);
      return -1;
    }
  }
  SetNonBlocking(fd, false);
  return fd;
}

bool WriteAll(int fd, const std::string& data, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t done = 0;
  while (done < data.size()) {
    if (!PollFor(fd, POLLOUT, deadline)) return false;
    const ssize_t n = ::send(fd, data.data() + done, data.size() - done, kNoSignal | kDontWait);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && !SocketWouldBlock()) {
      return false;
    }
  }
  return true;
}

std::string ReadAtLeast(int fd, size_t n, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string out;
  char buf[4096];
  while (out.size() < n && PollFor(fd, POLLIN, deadline)) {
    const ssize_t r = ::recv(fd, buf, sizeof(buf), kDontWait);
    if (r > 0) {
      out.append(buf, static_cast<size_t>(r));
    } else if (r == 0 || !SocketWouldBlock()) {
      break;
    }
  }
  return out;
}

bool WaitPeerClosed(int fd, int timeoutMs) {
  if (!PollFor(fd, POLLIN, Clock::now() + std::chrono::milliseconds(timeoutMs))) return false;
  char c;
  const ssize_t r = ::recv(fd, &c, 1, kDontWait);
  return r == 0 || (r < 0 && !SocketWouldBlock());
}

void CloseWithReset(int fd) {
  linger lg{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lg), sizeof(lg));
  CloseSocket(fd);
}

long TlsStep(SSL* ssl, int r, short* want) {
  if (r > 0) return r;
  const int err = SSL_get_error(ssl, r);
  if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
    *want = err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
    return -1;
  }
  ERR_clear_error();
  return 0;
}

long TransferSome(int fd, SSL* ssl, bool write, void* buf, size_t len, short* want) {
  if (ssl) {
    ERR_clear_error();
    return TlsStep(ssl, write ? SSL_write(ssl, buf, int(len)) : SSL_read(ssl, buf, int(len)), want);
  }
  char* bytes = static_cast<char*>(buf);
  const ssize_t r = write ? ::send(fd, bytes, len, kNoSignal) : ::recv(fd, bytes, len, 0);
  if (r >= 0) return r;
  if (!SocketWouldBlock()) return 0;
  *want = write ? POLLOUT : POLLIN;
  return -1;
}

void Waiter::Update(const std::function<void()>& fn) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    fn();
  }
  m_cv.notify_all();
}

bool Waiter::WaitFor(const std::function<bool()>& pred, int timeoutMs) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), pred);
}

TaskThread::TaskThread(const char* name) : m_pTask(new CZNTaskIO(name, 50, 1)) { m_pTask->Start(); }

TaskThread::~TaskThread() {
  m_pTask->Stop();
  m_pTask->Release();
}

bool TaskThread::Run(const std::function<void()>& fn, int timeoutMs) { return RunOn(m_pTask, fn, timeoutMs); }

bool RunOn(CZNTaskBase* task, const std::function<void()>& fn, int timeoutMs) {
  auto* box = new CallBox(fn);
  // The queued copy holds its own references to the box (as holder and argument).
  const bool posted = CZNTaskBase::PushTask(task, CScopeCall(box, box, &CallBox::Run, nullptr));
  const bool ran = posted && box->Wait(timeoutMs);
  box->Release();
  return ran;
}

bool TaskThread::Drain(int turns) {
  for (int i = 0; i < turns; ++i) {
    if (!Run([] {})) return false;
  }
  return true;
}

RefusingPorts::RefusingPorts(const std::vector<std::string>& addresses) {
  constexpr int kAttempts = 50;
  for (int attempt = 0; attempt < kAttempts && !addresses.empty(); ++attempt) {
    std::vector<std::unique_ptr<RefusingPort>> ports;
    ports.push_back(std::make_unique<RefusingPort>(addresses[0], 0));
    for (size_t i = 1; i < addresses.size() && ports.back()->valid(); ++i)
      ports.push_back(std::make_unique<RefusingPort>(addresses[i], ports[0]->port()));
    if (ports.size() == addresses.size() && ports.back()->valid()) {
      m_ports = std::move(ports);
      return;
    }
  }
}

bool FillAddressRecord(const std::string& ip, unsigned char record[128]) {
  static_assert(sizeof(sockaddr_storage) == 128, "a record is one sockaddr_storage");
  sockaddr_storage addr;
  socklen_t len = 0;
  if (!LoopbackAddress(ip, 0, &addr, &len)) return false;
  std::memcpy(record, &addr, sizeof(addr));
  return true;
}

bool HasIpv6Loopback() {
  RefusingPort probe("::1", 0);
  return probe.valid();
}

}  // namespace zntest
