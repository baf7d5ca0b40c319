#include "ScriptedServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace zntest {

namespace {

// How long an orderly close waits for the peer's own close before it gives up.
constexpr int kCloseDrainMs = 2000;
// Size of one socket read.
constexpr size_t kReadChunk = 16384;

using Clock = std::chrono::steady_clock;

// Outcome of a wait on a descriptor.
enum class WaitResult { kReady, kTimeout, kStopped };

int RemainingMs(Clock::time_point deadline, bool bounded) {
  if (!bounded) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until fd is ready for events, the stop pipe becomes readable, or the
// deadline passes. fd < 0 waits for the stop pipe or the deadline only.
WaitResult WaitFd(int fd, short events, int stopFd, Clock::time_point deadline, bool bounded) {
  for (;;) {
    pollfd fds[2];
    nfds_t n = 0;
    fds[n++] = pollfd{stopFd, POLLIN, 0};
    if (fd >= 0) fds[n++] = pollfd{fd, events, 0};
    const int timeout = RemainingMs(deadline, bounded);
    const int r = poll(fds, n, timeout);
    if (r < 0) {
      if (errno == EINTR) continue;
      return WaitResult::kStopped;
    }
    if (fds[0].revents) return WaitResult::kStopped;
    if (r > 0 && n > 1 && fds[1].revents) return WaitResult::kReady;
    if (r == 0 && bounded && Clock::now() >= deadline) return WaitResult::kTimeout;
  }
}

size_t ContentLength(const std::string& head) {
  static const char kName[] = "content-length:";
  std::string lower(head);
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  size_t pos = 0;
  while ((pos = lower.find(kName, pos)) != std::string::npos) {
    // Only at the start of a header line.
    if (pos >= 2 && lower.compare(pos - 2, 2, "\r\n") == 0) {
      return static_cast<size_t>(std::strtoull(lower.c_str() + pos + sizeof(kName) - 1, nullptr, 10));
    }
    pos += 1;
  }
  return 0;
}

}  // namespace

// ---- ServerScript ------------------------------------------------------------

ServerScript& ServerScript::ReadRequest() {
  m_steps.push_back(Step{Step::kReadRequest, {}, {}, 0, 0});
  return *this;
}
ServerScript& ServerScript::ReadHead() {
  m_steps.push_back(Step{Step::kReadHead, {}, {}, 0, 0});
  return *this;
}
ServerScript& ServerScript::ReadBytes(size_t n) {
  m_steps.push_back(Step{Step::kReadBytes, {}, {}, n, 0});
  return *this;
}
ServerScript& ServerScript::Send(std::string bytes) {
  m_steps.push_back(Step{Step::kSend, std::move(bytes), {}, 0, 0});
  return *this;
}
ServerScript& ServerScript::SendPieces(std::string bytes, std::vector<size_t> pieces, int delayMs) {
  m_steps.push_back(Step{Step::kSend, std::move(bytes), std::move(pieces), 0, delayMs});
  return *this;
}
ServerScript& ServerScript::Delay(int ms) {
  m_steps.push_back(Step{Step::kDelay, {}, {}, 0, ms});
  return *this;
}
ServerScript& ServerScript::Stall(int ms) {
  m_steps.push_back(Step{Step::kStall, {}, {}, 0, ms});
  return *this;
}
ServerScript& ServerScript::Close() {
  m_steps.push_back(Step{Step::kClose, {}, {}, 0, 0});
  return *this;
}
ServerScript& ServerScript::Reset() {
  m_steps.push_back(Step{Step::kReset, {}, {}, 0, 0});
  return *this;
}
ServerScript& ServerScript::WaitPeerClose(int ms) {
  m_steps.push_back(Step{Step::kWaitPeerClose, {}, {}, 0, ms});
  return *this;
}

ServerScript ServerScript::Repeat(const std::string& response, size_t maxRequests) {
  ServerScript s;
  for (size_t i = 0; i < maxRequests; ++i) s.ReadRequest().Send(response);
  return s;
}

// ---- one connection ------------------------------------------------------------

// The state of one accepted connection; lives on its connection thread.
struct ScriptedServer::Connection {
  size_t index = 0;
  int fd = -1;              // owned; closed by the connection thread
  SSL* ssl = nullptr;       // owned; null without TLS
  int stopFd = -1;          // borrowed read end of the server's stop pipe
  std::string pending;      // received bytes not consumed by a read step yet
  size_t lastRequest = SIZE_MAX;  // this connection's latest request record
  bool eof = false;         // the peer closed (or the connection failed)
  bool stopped = false;     // the server is stopping

  // Reads once: >0 bytes, 0 at the end of the stream or on error, -1 on time-out or stop.
  long Read(char* buf, size_t len, Clock::time_point deadline, bool bounded) {
    for (;;) {
      short wantEvents = POLLIN;
      if (ssl) {
        const int r = SSL_read(ssl, buf, static_cast<int>(len));
        if (r > 0) return r;
        const int err = SSL_get_error(ssl, r);
        if (err == SSL_ERROR_WANT_WRITE) {
          wantEvents = POLLOUT;
        } else if (err != SSL_ERROR_WANT_READ) {
          ERR_clear_error();
          return 0;
        }
      } else {
        const ssize_t r = recv(fd, buf, len, 0);
        if (r > 0) return static_cast<long>(r);
        if (r == 0) return 0;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return 0;
      }
      const WaitResult w = WaitFd(fd, wantEvents, stopFd, deadline, bounded);
      if (w == WaitResult::kStopped) {
        stopped = true;
        return -1;
      }
      if (w == WaitResult::kTimeout) return -1;
    }
  }

  // Writes all bytes; false when the peer went away or the server stops.
  bool WriteAll(const char* data, size_t len) {
    const Clock::time_point never{};
    while (len > 0) {
      short wantEvents = POLLOUT;
      if (ssl) {
        const int r = SSL_write(ssl, data, static_cast<int>(len));
        if (r > 0) {
          data += r;
          len -= static_cast<size_t>(r);
          continue;
        }
        const int err = SSL_get_error(ssl, r);
        if (err == SSL_ERROR_WANT_READ) {
          wantEvents = POLLIN;
        } else if (err != SSL_ERROR_WANT_WRITE) {
          ERR_clear_error();
          return false;
        }
      } else {
        const ssize_t r = send(fd, data, len, MSG_NOSIGNAL);
        if (r > 0) {
          data += r;
          len -= static_cast<size_t>(r);
          continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
      }
      if (WaitFd(fd, wantEvents, stopFd, never, false) == WaitResult::kStopped) {
        stopped = true;
        return false;
      }
    }
    return true;
  }

  bool Handshake() {
    const Clock::time_point never{};
    for (;;) {
      const int r = SSL_accept(ssl);
      if (r == 1) return true;
      const int err = SSL_get_error(ssl, r);
      short wantEvents;
      if (err == SSL_ERROR_WANT_READ) {
        wantEvents = POLLIN;
      } else if (err == SSL_ERROR_WANT_WRITE) {
        wantEvents = POLLOUT;
      } else {
        ERR_clear_error();
        return false;
      }
      if (WaitFd(fd, wantEvents, stopFd, never, false) == WaitResult::kStopped) {
        stopped = true;
        return false;
      }
    }
  }
};

// ---- ScriptedServer --------------------------------------------------------------

ScriptedServer::ScriptedServer(std::vector<ServerScript> scripts, ScriptedServerOptions options)
    : m_scripts(std::move(scripts)), m_options(std::move(options)) {
  // A peer that closes while TLS writes through the socket must not kill the test.
  signal(SIGPIPE, SIG_IGN);
  if (pipe2(m_stopPipe, O_CLOEXEC) != 0) return;

  if (m_options.tlsCert.valid()) {
    m_pSslCtx = SSL_CTX_new(TLS_server_method());
    if (!m_pSslCtx || SSL_CTX_use_certificate(m_pSslCtx, m_options.tlsCert.cert()) != 1 ||
        SSL_CTX_use_PrivateKey(m_pSslCtx, m_options.tlsCert.key()) != 1) {
      return;
    }
    SSL_CTX_set_mode(m_pSslCtx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  }

  const ServerFamily family = m_options.family;
  bool listening = false;
  // Both families share one port: take a free IPv4 port, then try the same on
  // ::1; a few attempts cover a port that is busy on one family only.
  for (int attempt = 0; attempt < 20 && !listening; ++attempt) {
    if (family == ServerFamily::kIPv6) {
      listening = OpenListener(AF_INET6, 0, &m_listen6);
      break;
    }
    if (!OpenListener(AF_INET, 0, &m_listen4)) break;
    if (family == ServerFamily::kIPv4) {
      listening = true;
      break;
    }
    if (OpenListener(AF_INET6, m_wPort, &m_listen6)) {
      listening = true;
    } else {
      close(m_listen4);
      m_listen4 = -1;
    }
  }
  if (!listening) return;
  m_bOk = true;
  m_acceptThread = std::thread(&ScriptedServer::AcceptLoop, this);
}

ScriptedServer::~ScriptedServer() {
  if (m_stopPipe[1] >= 0) {
    const char b = 1;
    ssize_t r;
    do {
      r = write(m_stopPipe[1], &b, 1);
    } while (r < 0 && errno == EINTR);
  }
  if (m_acceptThread.joinable()) m_acceptThread.join();
  // The accept thread is gone: no connection thread is added any more.
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    threads.swap(m_threads);
  }
  for (std::thread& t : threads) t.join();
  if (m_listen4 >= 0) close(m_listen4);
  if (m_listen6 >= 0) close(m_listen6);
  for (int fd : m_stopPipe) {
    if (fd >= 0) close(fd);
  }
  if (m_pSslCtx) SSL_CTX_free(m_pSslCtx);
}

bool ScriptedServer::OpenListener(int family, uint16_t port, int* out) {
  const int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  int rc;
  if (family == AF_INET) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    rc = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  } else {
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_addr = in6addr_loopback;
    rc = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  }
  if (rc != 0 || listen(fd, 64) != 0) {
    close(fd);
    return false;
  }
  sockaddr_storage bound{};
  socklen_t len = sizeof(bound);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len) != 0) {
    close(fd);
    return false;
  }
  m_wPort = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&bound)->sin_port
                                    : reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
  *out = fd;
  return true;
}

std::string ScriptedServer::host() const {
  return m_options.family == ServerFamily::kIPv6 ? "::1" : "127.0.0.1";
}

std::string ScriptedServer::Url(const std::string& path) const {
  const std::string h = m_options.family == ServerFamily::kIPv6 ? "[::1]" : "127.0.0.1";
  return std::string(m_pSslCtx ? "https://" : "http://") + h + ":" + std::to_string(m_wPort) + path;
}

void ScriptedServer::AcceptLoop() {
  for (;;) {
    pollfd fds[3];
    nfds_t n = 0;
    fds[n++] = pollfd{m_stopPipe[0], POLLIN, 0};
    if (m_listen4 >= 0) fds[n++] = pollfd{m_listen4, POLLIN, 0};
    if (m_listen6 >= 0) fds[n++] = pollfd{m_listen6, POLLIN, 0};
    const int r = poll(fds, n, -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents) return;
    for (nfds_t i = 1; i < n; ++i) {
      if (!fds[i].revents) continue;
      sockaddr_storage peer{};
      socklen_t len = sizeof(peer);
      const int fd = accept4(fds[i].fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) continue;
      const int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
      char text[INET6_ADDRSTRLEN] = "";
      if (peer.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&peer)->sin_addr, text, sizeof(text));
      } else if (peer.ss_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&peer)->sin6_addr, text, sizeof(text));
      }
      std::lock_guard<std::mutex> lock(m_mutex);
      const size_t index = m_records.size();
      m_records.push_back(Record{std::string(), text, false});
      m_threads.emplace_back(&ScriptedServer::RunConnection, this, index, fd);
      m_cv.notify_all();
    }
  }
}

void ScriptedServer::RunConnection(size_t index, int fd) {
  Connection conn;
  conn.index = index;
  conn.fd = fd;
  conn.stopFd = m_stopPipe[0];

  static const ServerScript kCloseAtOnce = ServerScript().Close();
  const ServerScript* script = &kCloseAtOnce;
  if (index < m_scripts.size()) {
    script = &m_scripts[index];
  } else if (m_options.defaultScript) {
    script = m_options.defaultScript.get();
  }

  bool closed = false;
  bool ok = true;
  if (m_pSslCtx) {
    conn.ssl = SSL_new(m_pSslCtx);
    ok = conn.ssl && SSL_set_fd(conn.ssl, fd) == 1 && conn.Handshake();
  }
  for (const ServerScript::Step& step : script->Steps()) {
    if (!ok || closed) break;
    ok = RunStep(conn, step, &closed);
  }
  if (ok && !closed) {
    // Past the script: keep reading until the peer closes or the server stops.
    while (!conn.eof && !conn.stopped && ReadMore(conn, Clock::time_point{}, false)) {
    }
  }
  if (!closed) {
    if (conn.ssl) SSL_free(conn.ssl);
    close(fd);
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_records[index].done = true;
  m_cv.notify_all();
}

bool ScriptedServer::ReadMore(Connection& conn, Clock::time_point deadline, bool bounded) {
  char buf[kReadChunk];
  const long n = conn.Read(buf, sizeof(buf), deadline, bounded);
  if (n == 0) conn.eof = true;
  if (n <= 0) return false;
  conn.pending.append(buf, static_cast<size_t>(n));
  NoteReceived(conn.index, buf, static_cast<size_t>(n));
  return true;
}

bool ScriptedServer::RunStep(Connection& conn, const ServerScript::Step& step, bool* closed) {
  using Step = ServerScript::Step;
  const Clock::time_point never{};
  switch (step.kind) {
    case Step::kReadRequest:
    case Step::kReadHead: {
      size_t end;
      while ((end = conn.pending.find("\r\n\r\n")) == std::string::npos) {
        if (!ReadMore(conn, never, false)) return false;
      }
      size_t total = end + 4;
      if (step.kind == Step::kReadRequest) total += ContentLength(conn.pending.substr(0, end + 4));
      while (conn.pending.size() < total) {
        if (!ReadMore(conn, never, false)) return false;
      }
      conn.lastRequest = AddRequest(conn.index, conn.pending.substr(0, total));
      conn.pending.erase(0, total);
      return true;
    }
    case Step::kReadBytes: {
      while (conn.pending.size() < step.count) {
        if (!ReadMore(conn, never, false)) return false;
      }
      const std::string bytes = conn.pending.substr(0, step.count);
      conn.pending.erase(0, step.count);
      if (conn.lastRequest == SIZE_MAX) {
        conn.lastRequest = AddRequest(conn.index, bytes);
      } else {
        AppendToRequest(conn.lastRequest, bytes);
      }
      return true;
    }
    case Step::kSend: {
      size_t offset = 0;
      for (size_t i = 0; i <= step.pieces.size() && offset < step.bytes.size(); ++i) {
        const size_t left = step.bytes.size() - offset;
        const size_t piece = i < step.pieces.size() && step.pieces[i] < left ? step.pieces[i] : left;
        if (i > 0 && step.ms > 0) {
          const auto deadline = Clock::now() + std::chrono::milliseconds(step.ms);
          if (WaitFd(-1, 0, conn.stopFd, deadline, true) == WaitResult::kStopped) return false;
        }
        if (!conn.WriteAll(step.bytes.data() + offset, piece)) return false;
        offset += piece;
      }
      return true;
    }
    case Step::kDelay:
    case Step::kStall: {
      const bool bounded = !(step.kind == Step::kStall && step.ms < 0);
      const auto deadline = Clock::now() + std::chrono::milliseconds(bounded ? step.ms : 0);
      if (WaitFd(-1, 0, conn.stopFd, deadline, bounded) == WaitResult::kStopped) {
        conn.stopped = true;
        return false;
      }
      return true;
    }
    case Step::kClose: {
      if (conn.ssl) {
        SSL_shutdown(conn.ssl);
        ERR_clear_error();
      }
      shutdown(conn.fd, SHUT_WR);
      const auto deadline = Clock::now() + std::chrono::milliseconds(kCloseDrainMs);
      while (ReadMore(conn, deadline, true)) {
      }
      if (conn.ssl) SSL_free(conn.ssl);
      conn.ssl = nullptr;
      close(conn.fd);
      *closed = true;
      return true;
    }
    case Step::kReset: {
      const linger lg{1, 0};
      setsockopt(conn.fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
      if (conn.ssl) SSL_free(conn.ssl);
      conn.ssl = nullptr;
      close(conn.fd);
      *closed = true;
      return true;
    }
    case Step::kWaitPeerClose: {
      const auto deadline = Clock::now() + std::chrono::milliseconds(step.ms);
      while (ReadMore(conn, deadline, true)) {
      }
      return !conn.stopped;
    }
  }
  return false;
}

void ScriptedServer::NoteReceived(size_t index, const char* data, size_t len) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_records[index].received.append(data, len);
  m_cv.notify_all();
}

size_t ScriptedServer::AddRequest(size_t index, std::string bytes) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_requests.push_back(RequestRecord{index, std::move(bytes)});
  m_cv.notify_all();
  return m_requests.size() - 1;
}

void ScriptedServer::AppendToRequest(size_t requestIndex, const std::string& bytes) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_requests[requestIndex].bytes += bytes;
  m_cv.notify_all();
}

size_t ScriptedServer::Accepted() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_records.size();
}

bool ScriptedServer::WaitAccepted(size_t n, std::chrono::milliseconds bound) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_cv.wait_for(lock, bound, [&] { return m_records.size() >= n; });
}

size_t ScriptedServer::RequestCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_requests.size();
}

bool ScriptedServer::WaitRequests(size_t k, std::chrono::milliseconds bound) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_cv.wait_for(lock, bound, [&] { return m_requests.size() >= k; });
}

std::string ScriptedServer::Request(size_t k) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return k < m_requests.size() ? m_requests[k].bytes : std::string();
}

size_t ScriptedServer::RequestConnection(size_t k) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return k < m_requests.size() ? m_requests[k].connection : SIZE_MAX;
}

std::string ScriptedServer::Received(size_t c) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return c < m_records.size() ? m_records[c].received : std::string();
}

std::string ScriptedServer::PeerAddress(size_t c) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return c < m_records.size() ? m_records[c].peer : std::string();
}

bool ScriptedServer::WaitConnectionDone(size_t c, std::chrono::milliseconds bound) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_cv.wait_for(lock, bound, [&] { return c < m_records.size() && m_records[c].done; });
}

}  // namespace zntest
