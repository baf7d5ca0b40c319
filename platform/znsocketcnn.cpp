// Connecting sockets: a non-blocking TCP connect with a local bind and a
// time-out, optionally through an HTTP CONNECT tunnel of a proxy, reported once
// to the sink on the creating task; and the reverse-connection stub.
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "base/znplatform.h"
#include "base/znsocket.h"
#include "platform/znasiosocket.h"
#include "platform/znproxy.h"
#include "platform/znreactor.h"
#include "platform/znsocketutil.h"

namespace {

using znplatform::ErrorText;
using znplatform::kSocketLogTag;
using znplatform::kNoSocket;
using znplatform::LastSocketError;
using znplatform::NativeSocket;
using znplatform::ssize_t;

// The time-out of a connect that was given none.
constexpr uint32_t kDefaultConnectTimeoutMs = 5000;
// The proxy's answer head must end within this many bytes; a real answer to
// CONNECT is a status line and a few header lines.
constexpr size_t kMaxTunnelHeadLen = 16384;
constexpr char kHeadEnd[] = "\r\n\r\n";
constexpr size_t kHeadEndLen = sizeof(kHeadEnd) - 1;

// A socket that connects once, directly or through a proxy tunnel.
//
// Thread: every member runs on the creating task's thread, and so do the
// connect wait, the tunnel exchange and the time-out.
// Owns: the descriptor until HandOver (closed on failure and by the destructor),
// the time-out timer, a share of the task's reactor. Borrows: the sink.
//
// The sink may delete the object inside OnConnected; asynchronous completions
// hold a weak reference to m_token and do nothing once it is gone.
class CZNCnnTCPSocket final : public CZNITCPCnnSocket {
 public:
  explicit CZNCnnTCPSocket(bool bUseProxy);
  ~CZNCnnTCPSocket() override;
  CZNCnnTCPSocket(const CZNCnnTCPSocket&) = delete;
  CZNCnnTCPSocket& operator=(const CZNCnnTCPSocket&) = delete;

  void SetIpAndPort2Bind(const char* ip, unsigned short port) override;
  void SetSink(CZNITCPCnnSocketSink* pSink) override { m_pSink = pSink; }
  bool Connect(const char* ip, unsigned short port, uint32_t timeoutMs) override;
  bool HandOver(znsocket_t& s) override;
  void SetTargetHost(const char* host, bool bHttps) override {
    m_strTargetHost = host ? host : "";
    m_bTargetHttps = bHttps;
  }

 private:
  enum class State {
    // Connect not called yet, or it could not start.
    kIdle,
    // TCP connect under way (to the target or the proxy); waits for the
    // descriptor to become writable, then goes kConnected, kTunnelSending or kFailed.
    kConnecting,
    // Writing the CONNECT request to the proxy; waits for writability until all
    // of it is out, then goes kTunnelReading.
    kTunnelSending,
    // Reading the proxy's answer up to its blank line, never beyond it; a 2xx
    // status goes kConnected, anything else kFailed.
    kTunnelReading,
    // OnConnected(true) was reported; the descriptor waits for HandOver.
    kConnected,
    // OnConnected(false) was reported (or is queued); the descriptor is closed.
    kFailed,
  };
  struct Token {};

  bool InAttempt() const {
    return m_state == State::kConnecting || m_state == State::kTunnelSending || m_state == State::kTunnelReading;
  }
  // Where the TCP connect goes: the target itself, or the proxy for it. False
  // (logged) when the proxy's name does not resolve.
  bool PeerAddress(sockaddr_storage& peer, socklen_t& peerLen);
  bool BindLocal(NativeSocket fd, int family);
  void WaitWritable();
  void WaitReadable();
  void WaitConnectError();
  void OnConnectDone();
  void SendTunnelRequest();
  void ReadTunnelAnswer();
  void OnTimeout();
  // Report the outcome once; the object may be gone when these return.
  void Succeed();
  // refusal: the status of a proxy's answer that refused the tunnel, else 0.
  void Fail(const char* why, const char* detail, uint64_t refusal = 0);
  // Queues a failure report for the next turn of the loop (never inside Connect).
  void PostFail(const char* why, int err);

  const bool m_bUseProxy;                 // consult the proxy setting in Connect
  std::string m_strTargetHost;            // the URL's host name for the bypass list; empty: unknown
  // The URL's scheme chooses the proxy. A target of unknown scheme takes the
  // https proxy, the one a CONNECT tunnel is meant for.
  bool m_bTargetHttps = true;
  std::shared_ptr<asio::io_context> m_reactor;  // shared; null when created on a thread with no task
  std::optional<znplatform::AsioSocket> m_desc;  // engaged iff m_reactor; open from the socket call until HandOver or failure
  std::optional<asio::steady_timer> m_timer;             // engaged iff m_reactor; armed while InAttempt()
  CZNITCPCnnSocketSink* m_pSink = nullptr;  // borrowed
  std::shared_ptr<Token> m_token = std::make_shared<Token>();
  State m_state = State::kIdle;
  std::string m_strBindIP;                // empty: no local address
  uint16_t m_wBindPort = 0;               // 0: any local port
  std::string m_strTarget;                // "ip:port" of the target, for log lines
  std::string m_strTunnelRequest;         // the CONNECT request; [0, m_nTunnelSent) is sent
  size_t m_nTunnelSent = 0;
  std::string m_strTunnelHead;            // the proxy's answer read so far, never past the blank line
  bool m_bTunnel = false;                 // the connect goes to a proxy
  znplatform::ProxyTarget m_proxy;        // valid when m_bTunnel
};

CZNCnnTCPSocket::CZNCnnTCPSocket(bool bUseProxy) : m_bUseProxy(bUseProxy) {
  m_reactor = znplatform::CurrentReactorShared();
  if (!m_reactor) return;  // Connect logs and refuses
  m_desc.emplace(*m_reactor);
  m_timer.emplace(*m_reactor);
}

CZNCnnTCPSocket::~CZNCnnTCPSocket() {
  m_token.reset();
  if (m_timer) {
    m_timer->cancel();
    m_timer.reset();
  }
  if (m_desc) {
    asio::error_code ec;
    m_desc->close(ec);  // a descriptor handed over is no longer held here
    m_desc.reset();
  }
}

void CZNCnnTCPSocket::SetIpAndPort2Bind(const char* ip, unsigned short port) {
  m_strBindIP = ip ? ip : "";
  m_wBindPort = port;
}

bool CZNCnnTCPSocket::PeerAddress(sockaddr_storage& peer, socklen_t& peerLen) {
  if (!m_bTunnel) return true;  // the target address is already in peer
  if (znplatform::ParseNumericAddress(m_proxy.host.c_str(), m_proxy.port, peer, peerLen)) return true;
  addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  char service[8];
  std::snprintf(service, sizeof(service), "%u", static_cast<unsigned>(m_proxy.port));
  addrinfo* res = nullptr;
  const int rc = ::getaddrinfo(m_proxy.host.c_str(), service, &hints, &res);
  if (rc != 0 || res == nullptr) {
    znsyslog(1, kSocketLogTag, __LINE__, "CnnSocket Connect [%s]: proxy host [%s] does not resolve: %s",
             m_strTarget.c_str(), m_proxy.host.c_str(), ::gai_strerror(rc));
    return false;
  }
  bool found = false;
  for (addrinfo* ai = res; ai != nullptr && !found; ai = ai->ai_next) {
    if ((ai->ai_family == AF_INET || ai->ai_family == AF_INET6) && ai->ai_addrlen <= sizeof(peer)) {
      std::memset(&peer, 0, sizeof(peer));
      std::memcpy(&peer, ai->ai_addr, ai->ai_addrlen);
      peerLen = ai->ai_addrlen;
      found = true;
    }
  }
  ::freeaddrinfo(res);
  if (!found) {
    znsyslog(1, kSocketLogTag, __LINE__, "CnnSocket Connect [%s]: proxy host [%s] has no usable address",
             m_strTarget.c_str(), m_proxy.host.c_str());
  }
  return found;
}

bool CZNCnnTCPSocket::BindLocal(NativeSocket fd, int family) {
  if (m_strBindIP.empty() && m_wBindPort == 0) return true;
  sockaddr_storage local;
  socklen_t localLen = 0;
  std::memset(&local, 0, sizeof(local));
  if (m_strBindIP.empty()) {
    // Only a port: the wildcard address of the connecting family.
    if (family == AF_INET) {
      auto* in4 = reinterpret_cast<sockaddr_in*>(&local);
      in4->sin_family = AF_INET;
      in4->sin_addr.s_addr = htonl(INADDR_ANY);
      in4->sin_port = htons(m_wBindPort);
      localLen = sizeof(sockaddr_in);
    } else {
      auto* in6 = reinterpret_cast<sockaddr_in6*>(&local);
      in6->sin6_family = AF_INET6;
      in6->sin6_addr = in6addr_any;
      in6->sin6_port = htons(m_wBindPort);
      localLen = sizeof(sockaddr_in6);
    }
  } else if (!znplatform::ParseNumericAddress(m_strBindIP.c_str(), m_wBindPort, local, localLen)) {
    znsyslog(1, kSocketLogTag, __LINE__, "CnnSocket Connect [%s]: bind address [%s] is not a numeric address",
             m_strTarget.c_str(), m_strBindIP.c_str());
    return false;
  } else if (local.ss_family != family) {
    znsyslog(1, kSocketLogTag, __LINE__, "CnnSocket Connect [%s]: bind address [%s] is of the other family",
             m_strTarget.c_str(), m_strBindIP.c_str());
    return false;
  }
  if (m_wBindPort != 0) {
    // A fixed local port is reused across attempts; TIME_WAIT must not block it.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof(on));
  }
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), localLen) != 0) {
    znsyslog(1, kSocketLogTag, __LINE__, "CnnSocket Connect [%s]: bind to [%s:%u] failed: %s", m_strTarget.c_str(),
             m_strBindIP.c_str(), static_cast<unsigned>(m_wBindPort), ErrorText(LastSocketError()));
    return false;
  }
  return true;
}

bool CZNCnnTCPSocket::Connect(const char* ip, unsigned short port, uint32_t timeoutMs) {
  const char* ipText = ip ? ip : "";
  m_strTarget = std::string(ipText) + ":" + std::to_string(port);
  if (m_state != State::kIdle) {
    znsyslog(1, kSocketLogTag, __LINE__, "CnnSocket Connect [%s]: a connect was made already", m_strTarget.c_str());
    return false;
  }
  if (!m_reactor) {
    znsyslog(1, kSocketLogTag, __LINE__, "CnnSocket Connect [%s]: the creating thread runs no task",
             m_strTarget.c_str());
    return false;
  }
  sockaddr_storage peer;
  socklen_t peerLen = 0;
  if (!znplatform::ParseNumericAddress(ipText, port, peer, peerLen)) {
    znsyslog(1, kSocketLogTag, __LINE__, "CnnSocket Connect: [%s] is not a numeric IPv4 or IPv6 address", ipText);
    return false;
  }
  m_bTunnel = m_bUseProxy && znplatform::ProxyForTarget(m_strTargetHost.c_str(), ipText, m_bTargetHttps, m_proxy);
  if (m_bTunnel) {
    const bool v6 = std::strchr(ipText, ':') != nullptr;
    const std::string authority = (v6 ? "[" + std::string(ipText) + "]" : std::string(ipText)) + ":" +
                                  std::to_string(port);
    m_strTunnelRequest = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
    if (!m_proxy.basicCredentials.empty()) {
      m_strTunnelRequest += "Proxy-Authorization: Basic " + m_proxy.basicCredentials + "\r\n";
    }
    m_strTunnelRequest += "\r\n";
    m_nTunnelSent = 0;
    m_strTunnelHead.clear();
    znsyslog(3, kSocketLogTag, __LINE__, "CnnSocket Connect [%s]: through proxy [%s:%u]", m_strTarget.c_str(),
             m_proxy.host.c_str(), static_cast<unsigned>(m_proxy.port));
  }
  const bool peerKnown = PeerAddress(peer, peerLen);

  const NativeSocket fd = znplatform::NewStreamSocket(peer.ss_family);
  if (fd == kNoSocket) {
    znsyslog(1, kSocketLogTag, __LINE__, "CnnSocket Connect [%s]: socket failed: %s", m_strTarget.c_str(),
             ErrorText(LastSocketError()));
    return false;
  }
  if (!BindLocal(fd, peer.ss_family)) {
    znplatform::CloseSocket(fd);
    return false;
  }
  asio::error_code ec;
  znplatform::AssignSocket(*m_desc, fd, peer.ss_family, ec);
  if (ec) {
    znsyslog(1, kSocketLogTag, __LINE__, "CnnSocket Connect [%s]: cannot register the socket: %s",
             m_strTarget.c_str(), ec.message().c_str());
    znplatform::CloseSocket(fd);
    return false;
  }
  m_state = State::kConnecting;

  const uint32_t ms = timeoutMs != 0 ? timeoutMs : kDefaultConnectTimeoutMs;
  m_timer->expires_after(std::chrono::milliseconds(ms));
  std::weak_ptr<Token> alive = m_token;
  m_timer->async_wait([this, alive](const asio::error_code& tec) {
    if (alive.expired() || tec == asio::error::operation_aborted) return;
    OnTimeout();
  });

  if (!peerKnown) {
    PostFail("proxy host does not resolve", 0);
    return true;
  }
  const int err = znplatform::StartConnect(fd, reinterpret_cast<const sockaddr*>(&peer), peerLen);
  if (err == 0) {
    WaitWritable();
    // Where a refused connect shows only as an exceptional condition, wait
    // for that too; whichever comes first settles the attempt.
    if (znplatform::ConnectFailureIsExceptional()) WaitConnectError();
  } else {
    // The attempt started and was answered at once (refused, unreachable): the
    // answer is reported like any other, later on the task.
    PostFail("connect failed", err);
  }
  return true;
}

void CZNCnnTCPSocket::WaitWritable() {
  std::weak_ptr<Token> alive = m_token;
  m_desc->async_wait(znplatform::kWaitWrite, [this, alive](const asio::error_code& ec) {
    if (alive.expired() || ec == asio::error::operation_aborted) return;
    if (m_state == State::kConnecting) {
      OnConnectDone();
    } else if (m_state == State::kTunnelSending) {
      SendTunnelRequest();
    }
  });
}

void CZNCnnTCPSocket::WaitReadable() {
  std::weak_ptr<Token> alive = m_token;
  m_desc->async_wait(znplatform::kWaitRead, [this, alive](const asio::error_code& ec) {
    if (alive.expired() || ec == asio::error::operation_aborted) return;
    if (m_state == State::kTunnelReading) ReadTunnelAnswer();
  });
}

void CZNCnnTCPSocket::WaitConnectError() {
  std::weak_ptr<Token> alive = m_token;
  m_desc->async_wait(znplatform::kWaitError, [this, alive](const asio::error_code& ec) {
    if (alive.expired() || ec == asio::error::operation_aborted) return;
    if (m_state == State::kConnecting) OnConnectDone();
  });
}

void CZNCnnTCPSocket::OnConnectDone() {
  const int err = znplatform::ConnectResult(m_desc->native_handle());
  if (err != 0) {
    Fail(m_bTunnel ? "connect to the proxy failed" : "connect failed", ErrorText(err));
    return;
  }
  if (!m_bTunnel) {
    Succeed();
    return;
  }
  m_state = State::kTunnelSending;
  SendTunnelRequest();
}

void CZNCnnTCPSocket::SendTunnelRequest() {
  const NativeSocket fd = m_desc->native_handle();
  while (m_nTunnelSent < m_strTunnelRequest.size()) {
    const ssize_t n = znplatform::SendSome(fd, m_strTunnelRequest.data() + m_nTunnelSent,
                                           m_strTunnelRequest.size() - m_nTunnelSent);
    if (n > 0) {
      m_nTunnelSent += static_cast<size_t>(n);
      continue;
    }
    const int err = n < 0 ? LastSocketError() : znplatform::BrokenPipeError();
    if (n < 0 && znplatform::IsWouldBlock(err)) {
      WaitWritable();
      return;
    }
    Fail("sending CONNECT to the proxy failed", ErrorText(err));
    return;
  }
  m_state = State::kTunnelReading;
  WaitReadable();
}

void CZNCnnTCPSocket::ReadTunnelAnswer() {
  const NativeSocket fd = m_desc->native_handle();
  char buf[1024];
  const size_t room = kMaxTunnelHeadLen - m_strTunnelHead.size();
  const size_t want = room < sizeof(buf) ? room : sizeof(buf);
  // Peek first and then take exactly the head: bytes behind the blank line
  // belong to the tunnel and stay in the socket for its next owner.
  const ssize_t n = znplatform::PeekSome(fd, buf, want);
  const int err = n < 0 ? LastSocketError() : 0;
  if (n < 0 && znplatform::IsWouldBlock(err)) {
    WaitReadable();
    return;
  }
  if (n <= 0) {
    Fail("the proxy closed before answering CONNECT", n < 0 ? ErrorText(err) : "end of stream");
    return;
  }
  const size_t before = m_strTunnelHead.size();
  m_strTunnelHead.append(buf, static_cast<size_t>(n));
  const size_t searchFrom = before >= kHeadEndLen ? before - (kHeadEndLen - 1) : 0;
  const size_t end = m_strTunnelHead.find(kHeadEnd, searchFrom);
  const size_t take = end == std::string::npos ? static_cast<size_t>(n) : end + kHeadEndLen - before;
  m_strTunnelHead.resize(before + take);
  const ssize_t got = znplatform::RecvSome(fd, buf, take);
  if (got != static_cast<ssize_t>(take)) {
    Fail("reading the proxy's answer failed", got < 0 ? ErrorText(LastSocketError()) : "short read");
    return;
  }
  if (end == std::string::npos) {
    if (m_strTunnelHead.size() >= kMaxTunnelHeadLen) {
      Fail("the proxy's answer head is too long", "");
      return;
    }
    WaitReadable();
    return;
  }
  // "HTTP/1.x NNN reason": a 2xx status opens the tunnel; any other status is
  // the proxy's refusal, handed to the sink so that it can tell a proxy that
  // answered from one that could not be reached.
  const std::string statusLine = m_strTunnelHead.substr(0, m_strTunnelHead.find("\r\n"));
  const size_t space = statusLine.find(' ');
  const bool hasStatus = statusLine.compare(0, 5, "HTTP/") == 0 && space != std::string::npos &&
                         space + 3 < statusLine.size() &&
                         std::isdigit(static_cast<unsigned char>(statusLine[space + 1])) &&
                         std::isdigit(static_cast<unsigned char>(statusLine[space + 2])) &&
                         std::isdigit(static_cast<unsigned char>(statusLine[space + 3]));
  const uint64_t status = hasStatus ? static_cast<uint64_t>(std::stoi(statusLine.substr(space + 1, 3))) : 0;
  if (status < 200 || status > 299) {
    Fail("the proxy refused CONNECT", statusLine.c_str(), status);
    return;
  }
  znsyslog(3, kSocketLogTag, __LINE__, "CnnSocket Connect [%s]: tunnel open [%s]", m_strTarget.c_str(),
           statusLine.c_str());
  Succeed();
}

void CZNCnnTCPSocket::OnTimeout() {
  if (!InAttempt()) return;
  znsyslog(2, kSocketLogTag, __LINE__, "CnnSocket Connect [%s]: time-out", m_strTarget.c_str());
  Fail("time-out", "");
}

void CZNCnnTCPSocket::Succeed() {
  if (!InAttempt()) return;
  m_timer->cancel();
  m_state = State::kConnected;
  if (m_pSink) m_pSink->OnConnected(true, 0);  // may delete this
}

void CZNCnnTCPSocket::Fail(const char* why, const char* detail, uint64_t refusal) {
  if (!InAttempt()) return;
  znsyslog(2, kSocketLogTag, __LINE__, "CnnSocket Connect [%s]: %s %s", m_strTarget.c_str(), why, detail);
  m_timer->cancel();
  asio::error_code ec;
  m_desc->close(ec);
  m_state = State::kFailed;
  if (m_pSink) m_pSink->OnConnected(false, refusal);  // may delete this
}

void CZNCnnTCPSocket::PostFail(const char* why, int err) {
  std::weak_ptr<Token> alive = m_token;
  std::string detail = err != 0 ? ErrorText(err) : "";
  asio::post(*m_reactor, [this, alive, why, detail] {
    if (alive.expired()) return;
    Fail(why, detail.c_str());
  });
}

bool CZNCnnTCPSocket::HandOver(znsocket_t& s) {
  if (m_state != State::kConnected || !m_desc || !m_desc->is_open()) {
    znsyslog(2, kSocketLogTag, __LINE__, "CnnSocket HandOver [%s]: no connected socket", m_strTarget.c_str());
    s = znsocket_makeinvalid();
    return false;
  }
  const znplatform::NativeSocket fd = znplatform::ReleaseSocket(*m_desc);
  if (fd == znplatform::kNoSocket) {
    // The reactor would not let go of the socket (Windows can refuse): it
    // stays here and closes with this object; the caller gets nothing.
    znsyslog(2, kSocketLogTag, __LINE__, "CnnSocket HandOver [%s]: the socket cannot be released",
             m_strTarget.c_str());
    s = znsocket_makeinvalid();
    return false;
  }
  s = znplatform::HandleOfFd(fd);
  return true;
}

// The reverse connection needs a peer that calls back; this platform has none,
// so every connect is refused at once.
// Thread: any. Owns nothing; the creator and the task are not kept.
class CZNReverseCnnTCPSocket final : public CZNITCPCnnSocket {
 public:
  CZNReverseCnnTCPSocket() = default;
  CZNReverseCnnTCPSocket(const CZNReverseCnnTCPSocket&) = delete;
  CZNReverseCnnTCPSocket& operator=(const CZNReverseCnnTCPSocket&) = delete;
  void SetIpAndPort2Bind(const char*, unsigned short) override {}
  void SetSink(CZNITCPCnnSocketSink*) override {}
  bool Connect(const char* ip, unsigned short port, uint32_t) override {
    znsyslog(1, kSocketLogTag, __LINE__, "ReverseCnnSocket Connect [%s:%u]: reverse connections are not supported",
             ip ? ip : "", static_cast<unsigned>(port));
    return false;
  }
  bool HandOver(znsocket_t& s) override {
    s = znsocket_makeinvalid();
    return false;
  }
};

}  // namespace

CZNITCPCnnSocket* ZNCreateNoneProxyCnnTCPSocket() { return new CZNCnnTCPSocket(false); }

CZNITCPCnnSocket* ZNCreateCnnTCPSocket() { return new CZNCnnTCPSocket(true); }

CZNITCPCnnSocket* ZNCreateReverseCnnTCPSocket(CZNIReverseTcpSocketCreater*, CZNTaskIO*) {
  return new CZNReverseCnnTCPSocket();
}
