#include "LoopbackClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace zntest {

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// True when fd is ready for events before the deadline.
bool WaitReady(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int r = poll(&p, 1, MsLeft(deadline));
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return false;
  }
}

size_t HeadContentLength(const std::string& head, bool* found) {
  std::string lower(head);
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  const size_t pos = lower.find("\r\ncontent-length:");
  *found = pos != std::string::npos;
  return *found ? static_cast<size_t>(std::strtoull(lower.c_str() + pos + 17, nullptr, 10)) : 0;
}

}  // namespace

LoopbackClient::~LoopbackClient() { Close(); }

void LoopbackClient::Close() {
  if (m_pSsl) SSL_free(m_pSsl);
  m_pSsl = nullptr;
  if (m_pCtx) SSL_CTX_free(m_pCtx);
  m_pCtx = nullptr;
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
  m_strBuffered.clear();
}

bool LoopbackClient::Connect(const std::string& address, uint16_t port, bool tls, std::chrono::milliseconds bound) {
  Close();
  signal(SIGPIPE, SIG_IGN);
  const Clock::time_point deadline = Clock::now() + bound;
  sockaddr_storage ss{};
  socklen_t len = 0;
  if (address.find(':') != std::string::npos) {
    sockaddr_in6* a = reinterpret_cast<sockaddr_in6*>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(port);
    if (inet_pton(AF_INET6, address.c_str(), &a->sin6_addr) != 1) return false;
    len = sizeof(*a);
  } else {
    sockaddr_in* a = reinterpret_cast<sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &a->sin_addr) != 1) return false;
    len = sizeof(*a);
  }
  m_fd = socket(ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (m_fd < 0) return false;
  if (connect(m_fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
    if (errno != EINPROGRESS || !WaitReady(m_fd, POLLOUT, deadline)) return false;
    int err = 0;
    socklen_t errLen = sizeof(err);
    if (getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &err, &errLen) != 0 || err != 0) return false;
  }
  if (!tls) return true;
  m_pCtx = SSL_CTX_new(TLS_client_method());
  if (!m_pCtx) return false;
  SSL_CTX_set_mode(m_pCtx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  m_pSsl = SSL_new(m_pCtx);
  if (!m_pSsl || SSL_set_fd(m_pSsl, m_fd) != 1) return false;
  for (;;) {
    const int r = SSL_connect(m_pSsl);
    if (r == 1) return true;
    const int err = SSL_get_error(m_pSsl, r);
    short events;
    if (err == SSL_ERROR_WANT_READ) {
      events = POLLIN;
    } else if (err == SSL_ERROR_WANT_WRITE) {
      events = POLLOUT;
    } else {
      ERR_clear_error();
      return false;
    }
    if (!WaitReady(m_fd, events, deadline)) return false;
  }
}

bool LoopbackClient::SendAll(const std::string& bytes, std::chrono::milliseconds bound) {
  const Clock::time_point deadline = Clock::now() + bound;
  const char* data = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    short events = POLLOUT;
    if (m_pSsl) {
      const int r = SSL_write(m_pSsl, data, static_cast<int>(left));
      if (r > 0) {
        data += r;
        left -= static_cast<size_t>(r);
        continue;
      }
      const int err = SSL_get_error(m_pSsl, r);
      if (err == SSL_ERROR_WANT_READ) {
        events = POLLIN;
      } else if (err != SSL_ERROR_WANT_WRITE) {
        ERR_clear_error();
        return false;
      }
    } else {
      const ssize_t r = send(m_fd, data, left, MSG_NOSIGNAL);
      if (r > 0) {
        data += r;
        left -= static_cast<size_t>(r);
        continue;
      }
      if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    }
    if (!WaitReady(m_fd, events, deadline)) return false;
  }
  return true;
}

long LoopbackClient::ReadOnce(char* buf, size_t len, Clock::time_point deadline) {
  for (;;) {
    short events = POLLIN;
    if (m_pSsl) {
      const int r = SSL_read(m_pSsl, buf, static_cast<int>(len));
      if (r > 0) return r;
      const int err = SSL_get_error(m_pSsl, r);
      if (err == SSL_ERROR_ZERO_RETURN) return 0;
      if (err == SSL_ERROR_WANT_WRITE) {
        events = POLLOUT;
      } else if (err != SSL_ERROR_WANT_READ) {
        // A peer that closes without close_notify ends the stream too.
        const bool reset = errno == ECONNRESET;
        ERR_clear_error();
        if (reset) m_bReset = true;
        return reset ? -1 : 0;
      }
    } else {
      const ssize_t r = recv(m_fd, buf, len, 0);
      if (r > 0) return static_cast<long>(r);
      if (r == 0) return 0;
      if (errno == ECONNRESET) {
        m_bReset = true;
        return -1;
      }
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
    }
    if (!WaitReady(m_fd, events, deadline)) return -2;
  }
}

std::string LoopbackClient::ReadAtLeast(size_t n, std::chrono::milliseconds bound) {
  const Clock::time_point deadline = Clock::now() + bound;
  m_bClosed = false;
  m_bReset = false;
  std::string out;
  out.swap(m_strBuffered);
  char buf[16384];
  while (out.size() < n && m_fd >= 0) {
    const long r = ReadOnce(buf, sizeof(buf), deadline);
    if (r == 0) m_bClosed = true;
    if (r <= 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return out;
}

std::string LoopbackClient::ReadUntilClose(std::chrono::milliseconds bound) {
  return ReadAtLeast(static_cast<size_t>(-1), bound);
}

std::string LoopbackClient::ReadResponse(std::chrono::milliseconds bound) {
  const Clock::time_point deadline = Clock::now() + bound;
  std::string got;
  size_t headEnd;
  while ((headEnd = got.find("\r\n\r\n")) == std::string::npos) {
    const std::string more = ReadAtLeast(1, std::chrono::milliseconds(MsLeft(deadline)));
    if (more.empty()) return std::string();
    got += more;
  }
  bool hasLength = false;
  size_t length = HeadContentLength(got.substr(0, headEnd + 4), &hasLength);
  // These statuses never carry a body, whatever the head says.
  const std::string status = got.substr(9, 3);
  if (status == "204" || status == "304" || status[0] == '1') {
    hasLength = true;
    length = 0;
  }
  if (!hasLength) return got + ReadUntilClose(std::chrono::milliseconds(MsLeft(deadline)));
  const size_t total = headEnd + 4 + length;
  while (got.size() < total) {
    const std::string more = ReadAtLeast(total - got.size(), std::chrono::milliseconds(MsLeft(deadline)));
    if (more.empty()) return std::string();
    got += more;
  }
  m_strBuffered = got.substr(total);
  got.resize(total);
  return got;
}

std::string LoopbackClient::PeerSubject() const {
  if (!m_pSsl) return std::string();
  X509* cert = SSL_get1_peer_certificate(m_pSsl);
  if (!cert) return std::string();
  char line[512] = "";
  X509_NAME_oneline(X509_get_subject_name(cert), line, sizeof(line));
  X509_free(cert);
  return line;
}

}  // namespace zntest
