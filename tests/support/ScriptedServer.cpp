#include "ScriptedServer.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "support/TestOs.h"
#include "support/TestSha256.h"

namespace zntest {

namespace {

using Clock = std::chrono::steady_clock;

// How long an orderly close waits for the peer's own close.
constexpr auto kCloseDrain = std::chrono::milliseconds(2000);
constexpr size_t kChunk = 16384;

enum class WaitResult { kReady, kTimeout, kStopped };

// Waits until fd (when >= 0) is ready for events, the stop pipe becomes
// readable, or the deadline (when bounded) passes.
WaitResult WaitFd(int fd, short events, int stopFd, Clock::time_point deadline, bool bounded) {
  for (;;) {
    pollfd fds[2] = {PollRecord(stopFd, POLLIN), PollRecord(fd, events)};
    int timeout = -1;
    if (bounded) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return WaitResult::kTimeout;
      timeout = static_cast<int>(left);
    }
    const int r = PollSockets(fds, fd >= 0 ? 2 : 1, timeout);
    if (r < 0 && SocketWouldBlock()) continue;
    if (r < 0 || fds[0].revents) return WaitResult::kStopped;
    if (r > 0) return WaitResult::kReady;
  }
}

size_t ContentLength(std::string head) {
  for (char& c : head) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  const size_t pos = head.find("\r\ncontent-length:");
  return pos == std::string::npos ? 0 : static_cast<size_t>(std::strtoull(head.c_str() + pos + 17, nullptr, 10));
}

}  // namespace

// The state of one accepted connection; lives on its connection thread.
struct ScriptedServer::Connection {
  int fd = -1;                    // owned; closed by the connection thread
  SSL* ssl = nullptr;             // owned; null without TLS
  int stopFd = -1;                // borrowed read end of the server's stop pipe
  std::string pending;            // received bytes no read step consumed yet
  size_t lastRequest = SIZE_MAX;  // this connection's latest request record
  bool eof = false;               // the peer closed (or the connection failed)
  bool stopped = false;           // the server is stopping
  uint64_t received = 0, sent = 0;  // by Stream steps
  Sha256 shaIn;                   // of what Stream steps received
  std::string error;              // why a step failed

  // Repeats op until it gives a result: >0 progress, 0 end or failure, -1 on
  // time-out or stop. op returns -1 (and sets the events to wait for) to retry.
  template <typename Op>
  long Retry(Op op, Clock::time_point deadline, bool bounded) {
    for (;;) {
      short want = POLLIN;
      const long r = op(&want);
      if (r >= 0) return r;
      const WaitResult w = WaitFd(fd, want, stopFd, deadline, bounded);
      stopped = stopped || w == WaitResult::kStopped;
      if (w != WaitResult::kReady) return -1;
    }
  }
  long Transfer(bool write, char* buf, size_t len, Clock::time_point deadline, bool bounded) {
    return Retry([&](short* want) { return TransferSome(fd, ssl, write, buf, len, want); }, deadline, bounded);
  }
  bool WriteAll(const char* data, size_t len) {
    for (long n; len > 0; data += n, len -= size_t(n)) {
      n = Transfer(true, const_cast<char*>(data), len, {}, false);
      if (n <= 0) return false;
    }
    return true;
  }
  bool Handshake() {
    return Retry([&](short* want) { return TlsStep(ssl, SSL_accept(ssl), want); }, {}, false) > 0;
  }
  // Reads once more into pending (and the connection's record); false at the
  // end of the stream, on a time-out or on stop.
  bool ReadMore(Clock::time_point deadline, bool bounded) {
    char buf[kChunk];
    const long n = Transfer(false, buf, sizeof(buf), deadline, bounded);
    if (n == 0) eof = true;
    if (n <= 0) return false;
    pending.append(buf, size_t(n));
    return true;
  }
  void CloseNotify() {
    if (ssl) SSL_shutdown(ssl);
    ERR_clear_error();
  }
  void CloseNow() {
    if (ssl) SSL_free(ssl);
    ssl = nullptr;
    CloseSocket(fd);
  }
};

ScriptedServer::ScriptedServer(std::vector<ServerScript> scripts, ScriptedServerOptions options)
    : m_scripts(std::move(scripts)),
      m_options(std::move(options)),
      m_listener(m_options.address.c_str(), m_options.port, 64) {
  // A peer that closes while TLS writes through the socket must not kill the test.
  IgnoreBrokenPipes();
  if (!MakeWakePair(m_stopPipe)) return;
  if (m_options.tlsCert.valid()) {
    m_pSslCtx = SSL_CTX_new(TLS_server_method());
    if (!m_pSslCtx || SSL_CTX_use_certificate(m_pSslCtx, m_options.tlsCert.cert()) != 1 ||
        SSL_CTX_use_PrivateKey(m_pSslCtx, m_options.tlsCert.key()) != 1) {
      return;
    }
    SSL_CTX_set_options(m_pSslCtx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(m_pSslCtx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_tlsext_servername_callback(m_pSslCtx, &ScriptedServer::OnServerName);
    SSL_CTX_set_tlsext_servername_arg(m_pSslCtx, this);
  }
  if (!m_listener.ok() || !SetNonBlocking(m_listener.fd())) return;
  m_bOk = true;
  m_acceptThread = std::thread(&ScriptedServer::AcceptLoop, this);
}

ScriptedServer::~ScriptedServer() {
  Stop();
  CloseWakePair(m_stopPipe);
  if (m_pSslCtx) SSL_CTX_free(m_pSslCtx);
}

void ScriptedServer::Stop() {
  if (m_stopPipe[1] >= 0) Wake(m_stopPipe[1]);
  if (m_acceptThread.joinable()) m_acceptThread.join();
  // The accept thread is gone: no connection thread is added any more.
  std::vector<std::thread> threads;
  m_waiter.Update([&] { threads.swap(m_threads); });
  for (std::thread& t : threads) t.join();
  m_listener.Close();
}

std::string ScriptedServer::Url(const std::string& path) const {
  const std::string& a = m_options.address;
  const std::string host = a.find(':') == std::string::npos ? a : "[" + a + "]";
  return std::string(m_pSslCtx ? "https://" : "http://") + host + ":" + std::to_string(port()) + path;
}

void ScriptedServer::AcceptLoop() {
  while (WaitFd(m_listener.fd(), POLLIN, m_stopPipe[0], {}, false) == WaitResult::kReady) {
    sockaddr_storage peer{};
    socklen_t len = sizeof(peer);
    const int fd = AcceptNonBlocking(m_listener.fd(), reinterpret_cast<sockaddr*>(&peer), &len);
    if (fd < 0) continue;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof(one));
    m_waiter.Update([&] {
      m_peers.push_back(AddressText(peer));
      m_serverNames.emplace_back();
      if (!m_options.oneAtATime) m_threads.emplace_back(&ScriptedServer::RunConnection, this, m_peers.size() - 1, fd);
    });
    if (m_options.oneAtATime) RunConnection(m_waiter.Get(m_peers).size() - 1, fd);
  }
}

void ScriptedServer::RunConnection(size_t index, int fd) {
  Connection conn;
  conn.fd = fd;
  conn.stopFd = m_stopPipe[0];
  static const ServerScript kCloseAtOnce = ServerScript().Close();
  const ServerScript* script = &kCloseAtOnce;
  if (index < m_scripts.size()) {
    script = &m_scripts[index];
  } else if (m_options.defaultScript) {
    script = m_options.defaultScript.get();
  }
  const std::vector<ServerScript::Step>& steps = script->Steps();
  const bool placed = std::any_of(steps.begin(), steps.end(), [](const ServerScript::Step& s) {
    return s.kind == ServerScript::Step::kHandshake || s.kind == ServerScript::Step::kReadHello;
  });
  bool closed = false;
  bool ok = true;
  if (m_pSslCtx) {
    conn.ssl = SSL_new(m_pSslCtx);
    // The connection's index, for the server name callback.
    if (conn.ssl) SSL_set_app_data(conn.ssl, reinterpret_cast<char*>(index + 1));
    ok = conn.ssl && SSL_set_fd(conn.ssl, fd) == 1 && (placed || conn.Handshake());
    if (!ok) conn.error = "handshake failed";
  }
  for (size_t i = 0; i < steps.size() && ok && !closed; ++i) {
    ok = RunStep(conn, steps[i], &closed);
    if (!ok && conn.error.empty()) conn.error = "step " + std::to_string(i) + " failed";
  }
  // Past the script: keep reading until the peer closes or the server stops.
  while (ok && !closed && conn.ReadMore({}, false)) {
  }
  if (!closed) conn.CloseNow();
  ConnectionResult r{conn.received, conn.sent, conn.shaIn.FinalHex(), ok ? "" : conn.error};
  m_waiter.Update([&] { m_ended.push_back(std::move(r)); });
}

bool ScriptedServer::RunStep(Connection& conn, const ServerScript::Step& step, bool* closed) {
  using Step = ServerScript::Step;
  switch (step.kind) {
    case Step::kReadRequest:
    case Step::kReadHead:
    case Step::kReadBytes: {
      size_t total = size_t(step.count);
      if (step.kind != Step::kReadBytes) {
        size_t end;
        while ((end = conn.pending.find("\r\n\r\n")) == std::string::npos) {
          if (!conn.ReadMore({}, false)) return false;
        }
        total = end + 4 + (step.kind == Step::kReadRequest ? ContentLength(conn.pending.substr(0, end + 2)) : 0);
      }
      while (conn.pending.size() < total) {
        if (!conn.ReadMore({}, false)) return false;
      }
      Record(conn, conn.pending.substr(0, total), step.kind == Step::kReadBytes);
      conn.pending.erase(0, total);
      return true;
    }
    case Step::kSend: {
      size_t offset = 0;
      for (size_t i = 0; i <= step.pieces.size() && offset < step.bytes.size(); ++i) {
        const size_t left = step.bytes.size() - offset;
        const size_t piece = i < step.pieces.size() && step.pieces[i] < left ? step.pieces[i] : left;
        if (i > 0 && step.ms > 0 &&
            WaitFd(-1, 0, conn.stopFd, Clock::now() + std::chrono::milliseconds(step.ms), true) ==
                WaitResult::kStopped) {
          return false;
        }
        if (!conn.WriteAll(step.bytes.data() + offset, piece)) return false;
        offset += piece;
      }
      return true;
    }
    case Step::kDelay:
    case Step::kStall: {
      const bool bounded = step.kind == Step::kDelay;
      return WaitFd(-1, 0, conn.stopFd, Clock::now() + std::chrono::milliseconds(step.ms), bounded) !=
             WaitResult::kStopped;
    }
    case Step::kClose: {
      if (step.flag) conn.CloseNotify();
      shutdown(conn.fd, kShutWrite);
      const auto deadline = Clock::now() + kCloseDrain;
      while (conn.ReadMore(deadline, true)) {
      }
      conn.CloseNow();
      *closed = true;
      return true;
    }
    case Step::kReset: {
      const linger lg{1, 0};
      setsockopt(conn.fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lg), sizeof(lg));
      conn.CloseNow();
      *closed = true;
      return true;
    }
    case Step::kWaitPeerClose:
    case Step::kReadFor: {
      const auto deadline = Clock::now() + std::chrono::milliseconds(step.ms);
      while (conn.ReadMore(deadline, true)) {
      }
      if (step.kind == Step::kReadFor && conn.lastRequest != SIZE_MAX) {
        Record(conn, std::move(conn.pending), true);
        conn.pending.clear();
      }
      return !conn.stopped;
    }
    case Step::kCloseNotify:
      conn.CloseNotify();
      return true;
    case Step::kSendRaw: {
      // Past TLS: the bytes go to the socket as they are.
      SSL* ssl = conn.ssl;
      conn.ssl = nullptr;
      const bool sent = conn.WriteAll(step.bytes.data(), step.bytes.size());
      conn.ssl = ssl;
      return sent;
    }
    case Step::kHandshake:
      return !conn.ssl || conn.Handshake();
    case Step::kReadHello: {
      SSL* ssl = conn.ssl;
      conn.ssl = nullptr;
      const bool read = conn.ReadMore({}, false);
      conn.ssl = ssl;
      return read;
    }
    case Step::kStream:
      return Stream(conn, step);
  }
  return false;
}

bool ScriptedServer::Stream(Connection& conn, const ServerScript::Step& step) {
  std::vector<unsigned char> out, in(kChunk);  // out[sentOf, end): queued to send
  size_t sentOf = 0;
  uint64_t queued = 0, got = 0;  // pattern bytes queued; bytes received
  for (;;) {
    if (sentOf == out.size() && queued < step.count) {  // refill from the pattern
      out.resize(size_t(std::min<uint64_t>(kChunk, step.count - queued)));
      FillPattern(ServerScript::kStreamSeed, queued, out.data(), out.size());
      queued += out.size();
      sentOf = 0;
    }
    bool progressed = false, wantWrite = false;
    short want = 0;
    if (sentOf < out.size()) {
      const long k = TransferSome(conn.fd, conn.ssl, true, out.data() + sentOf, out.size() - sentOf, &want);
      if (k == 0) return true;  // the peer has gone
      wantWrite = k < 0;
      progressed = k > 0;
      sentOf += k > 0 ? size_t(k) : 0;
      conn.sent += k > 0 ? uint64_t(k) : 0;
      if (sentOf == out.size()) {
        out.clear();
        sentOf = 0;
      }
    }
    if (got < step.expect) {
      const size_t room = size_t(std::min<uint64_t>(in.size(), step.expect - got));
      const long k = TransferSome(conn.fd, conn.ssl, false, in.data(), room, &want);
      if (k == 0) return true;  // the peer closed
      if (k > 0) {
        conn.shaIn.Update(in.data(), size_t(k));
        conn.received += uint64_t(k);
        got += uint64_t(k);
        // Echoed bytes join the queue, after what is already queued.
        if (step.flag) out.insert(out.end(), in.data(), in.data() + k);
        progressed = true;
      }
    }
    if (queued == step.count && out.empty() && got >= step.expect) return true;
    if (progressed) continue;
    const short events = short((got < step.expect ? POLLIN : 0) | (wantWrite ? POLLOUT : 0));
    const auto deadline = Clock::now() + std::chrono::milliseconds(step.ms);
    const WaitResult w = WaitFd(conn.fd, events, conn.stopFd, deadline, true);
    if (w != WaitResult::kReady) {
      conn.stopped = w == WaitResult::kStopped;
      conn.error = conn.stopped ? "stopped" : "idle time-out";
      return false;
    }
  }
}

void ScriptedServer::Record(Connection& conn, std::string bytes, bool append) {
  m_waiter.Update([&] {
    if (append && conn.lastRequest != SIZE_MAX) {
      m_requests[conn.lastRequest] += bytes;
    } else {
      conn.lastRequest = m_requests.size();
      m_requests.push_back(std::move(bytes));
    }
  });
}

std::string ScriptedServer::At(const std::vector<std::string>& records, size_t k) const {
  std::string out;
  m_waiter.Update([&] { out = k < records.size() ? records[k] : std::string(); });
  return out;
}

size_t ScriptedServer::Accepted() const { return m_waiter.Get(m_peers).size(); }

bool ScriptedServer::WaitAccepted(size_t n, int ms) const {
  return m_waiter.WaitFor([&] { return m_peers.size() >= n; }, ms);
}

bool ScriptedServer::WaitEnded(size_t n, int ms, std::vector<ConnectionResult>* out) const {
  const bool ok = m_waiter.WaitFor([&] { return m_ended.size() >= n; }, ms);
  if (out) *out = m_waiter.Get(m_ended);
  return ok;
}

size_t ScriptedServer::RequestCount() const { return m_waiter.Get(m_requests).size(); }

bool ScriptedServer::WaitRequests(size_t k, std::chrono::milliseconds bound) const {
  return m_waiter.WaitFor([&] { return m_requests.size() >= k; }, int(bound.count()));
}

std::string ScriptedServer::Request(size_t k) const { return At(m_requests, k); }

std::string ScriptedServer::ServerName(size_t c) const { return At(m_serverNames, c); }

std::string ScriptedServer::PeerAddress(size_t c) const { return At(m_peers, c); }

int ScriptedServer::OnServerName(ssl_st* ssl, int* /*alert*/, void* arg) {
  ScriptedServer* self = static_cast<ScriptedServer*>(arg);
  const size_t index = reinterpret_cast<size_t>(SSL_get_app_data(ssl)) - 1;
  const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
  self->m_waiter.Update([&] {
    if (name && index < self->m_serverNames.size()) self->m_serverNames[index] = name;
  });
  return SSL_TLSEXT_ERR_OK;
}

}  // namespace zntest
