#include "TlsTestServer.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include <openssl/ssl.h>

#include "support/TestOs.h"

#include "TestCerts.h"

namespace zntest {
namespace {

const size_t kChunkSize = 16384;
const int kListenBacklog = 64;
// A TLS application-data record header promising 64 bytes, followed by fewer.
const unsigned char kTruncatedRecord[] = {0x17, 0x03, 0x03, 0x00, 0x40, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};

}  // namespace

// ---- TlsTestServer ------------------------------------------------------------------

TlsTestServer::TlsTestServer(const TlsServerOptions& options) : m_options(options) {}

TlsTestServer::~TlsTestServer() {
  Stop();
  if (m_pSslCtx) SSL_CTX_free(static_cast<SSL_CTX*>(m_pSslCtx));
}

bool TlsTestServer::Start() {
  // A peer that has gone must surface as an error, not kill the test process.
  IgnoreBrokenPipes();
  if (m_options.tls) {
    const TestCert cert = TestCert::Make(m_options.subject);
    SSL_CTX* ctx = cert.valid() ? SSL_CTX_new(TLS_server_method()) : nullptr;
    m_pSslCtx = ctx;
    if (!ctx || SSL_CTX_use_certificate(ctx, cert.cert()) != 1 || SSL_CTX_use_PrivateKey(ctx, cert.key()) != 1) {
      return false;
    }
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  }
  if (!MakeWakePair(m_wakePipe)) return false;
  m_listener = std::make_unique<LoopbackListener>(m_options.address.c_str(), m_options.port, kListenBacklog);
  m_wPort = m_listener->port();
  if (!m_listener->ok() || !SetNonBlocking(m_listener->fd())) return false;
  m_acceptThread = std::thread(&TlsTestServer::AcceptLoop, this);
  return true;
}

void TlsTestServer::Stop() {
  if (!m_bStop.exchange(true) && m_wakePipe[1] >= 0) Wake(m_wakePipe[1]);
  if (m_acceptThread.joinable()) m_acceptThread.join();
  std::vector<std::thread> threads;
  m_waiter.Update([&] { threads.swap(m_connections); });
  for (auto& t : threads) t.join();
  m_listener.reset();
  CloseWakePair(m_wakePipe);
}

bool TlsTestServer::WaitForConnections(size_t n, int ms, std::vector<TlsConnectionResult>* out) {
  const bool ok = m_waiter.WaitFor([&] { return m_results.size() >= n; }, ms);
  if (out) *out = m_waiter.Get(m_results);
  return ok;
}

bool TlsTestServer::WaitFd(int fd, bool wantRead, bool wantWrite, int ms) {
  pollfd fds[2] = {PollRecord(fd, short((wantRead ? POLLIN : 0) | (wantWrite ? POLLOUT : 0))),
                    PollRecord(m_wakePipe[0], POLLIN)};
  int r;
  do {
    r = PollSockets(fds, 2, ms);
  } while (r < 0 && SocketWouldBlock());
  return r > 0 && !Stopped() && fds[0].revents != 0;
}

void TlsTestServer::AcceptLoop() {
  while (!Stopped()) {
    if (!WaitFd(m_listener->fd(), true, false, -1)) continue;
    sockaddr_storage peer;
    socklen_t len = sizeof(peer);
    const int fd = AcceptNonBlocking(m_listener->fd(), reinterpret_cast<sockaddr*>(&peer), &len);
    if (fd < 0) continue;
    m_waiter.Update([&] {
      ++m_nAccepted;
      m_connections.emplace_back(&TlsTestServer::Serve, this, fd, AddressText(peer));
    });
  }
}

void TlsTestServer::Serve(int fd, std::string peer) {
  TlsConnectionResult r;
  r.peerAddress = peer;
  const int idle = m_options.idleTimeoutMs;
  SSL* ssl = nullptr;
  short want = 0;           // what a TLS or socket call waits for
  bool peerClosed = false;  // the client closed (or reset) the connection
  Sha256 shaIn;

  // Closes the connection (after the optional truncated record) and reports.
  auto finish = [&](const std::string& error) {
    r.error = error;
    r.receivedSha256 = shaIn.FinalHex();
    if (ssl) {
      if (error.empty() && m_options.closeNotify && !m_options.partialRecordAtEnd && !peerClosed) SSL_shutdown(ssl);
      SSL_free(ssl);
      ssl = nullptr;
    }
    // A lingering close: unread bytes at close() would turn the FIN into a
    // reset and could discard what the client has not read yet.
    shutdown(fd, kShutWrite);
    unsigned char drain[4096];
    while (!Stopped() && WaitFd(fd, true, false, idle)) {
      if (recv(fd, reinterpret_cast<char*>(drain), sizeof(drain), 0) <= 0) break;
    }
    CloseSocket(fd);
    m_waiter.Update([&] { m_results.push_back(r); });
  };

  if (m_options.handshakeDelayMs > 0) {
    // Waits on the wake pipe alone, so that Stop() ends the delay at once.
    pollfd wake = PollRecord(m_wakePipe[0], POLLIN);
    PollSockets(&wake, 1, m_options.handshakeDelayMs);
    if (Stopped()) return finish("stopped");
  }
  if (m_options.closeDuringHandshake) {
    if (!WaitFd(fd, true, false, idle)) return finish("no client hello");
    unsigned char hello[4096];
    const ssize_t n = recv(fd, reinterpret_cast<char*>(hello), sizeof(hello), 0);
    r.bytesReceived = n > 0 ? uint64_t(n) : 0;
    return finish("");
  }
  if (m_options.tls) {
    ssl = SSL_new(static_cast<SSL_CTX*>(m_pSslCtx));
    if (!ssl) return finish("SSL_new");
    SSL_set_fd(ssl, fd);
    for (;;) {
      const long a = TlsStep(ssl, SSL_accept(ssl), &want);
      if (a > 0) break;
      if (a == 0) return finish("SSL_accept failed");
      if (!WaitFd(fd, want == POLLIN, want == POLLOUT, idle)) return finish("handshake stalled");
    }
  }

  std::vector<unsigned char> out;  // bytes queued to send
  size_t outOffset = 0;            // out[0, outOffset) is sent
  uint64_t patternLeft = m_options.sendBytes;
  std::vector<unsigned char> in(kChunkSize);

  for (;;) {
    if (Stopped()) return finish("stopped");
    bool progressed = false;
    bool wantWrite = false;
    if (outOffset == out.size() && patternLeft > 0) {  // refill from the pattern
      const size_t take = patternLeft < kChunkSize ? size_t(patternLeft) : kChunkSize;
      out.resize(take);
      outOffset = 0;
      FillPattern(1, m_options.sendBytes - patternLeft, out.data(), take);
      patternLeft -= take;
    }
    if (outOffset < out.size()) {
      const long k = TransferSome(fd, ssl, true, out.data() + outOffset, out.size() - outOffset, &want);
      if (k == 0) {
        peerClosed = true;
        break;
      }
      wantWrite = k < 0;
      progressed = k > 0;
      outOffset += k > 0 ? size_t(k) : 0;
      r.bytesSent += k > 0 ? uint64_t(k) : 0;
      if (outOffset == out.size()) {
        out.clear();
        outOffset = 0;
      }
    }
    if (!peerClosed && r.bytesReceived < m_options.expectBytes) {
      const size_t room = size_t(std::min<uint64_t>(in.size(), m_options.expectBytes - r.bytesReceived));
      const long k = TransferSome(fd, ssl, false, in.data(), room, &want);
      peerClosed = k == 0;
      if (k > 0) {
        shaIn.Update(in.data(), size_t(k));
        r.bytesReceived += uint64_t(k);
        // Echoed bytes join the queue (sent after what is already queued).
        if (m_options.echo) out.insert(out.end(), in.data(), in.data() + k);
        progressed = true;
      }
    }
    const bool sentAll = patternLeft == 0 && outOffset == out.size();
    const bool receivedAll = peerClosed || r.bytesReceived >= m_options.expectBytes;
    if ((sentAll && receivedAll) || (peerClosed && !sentAll)) break;
    if (!progressed && !WaitFd(fd, !receivedAll, wantWrite, idle)) {
      return finish(Stopped() ? "stopped" : "idle time-out");
    }
  }
  if (m_options.partialRecordAtEnd) (void)!send(fd, reinterpret_cast<const char*>(kTruncatedRecord), sizeof(kTruncatedRecord), kNoSignal);
  finish("");
}

// ---- RefusingPorts -----------------------------------------------------------------

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
