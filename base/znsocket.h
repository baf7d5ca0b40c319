// TCP sockets, connecting sockets and name resolution of the platform library.
//
// A socket delivers its events on the task of the thread that created it, in
// the style of an asynchronous select with re-enabling events:
//  - READ interest, once selected, stays selected until cleared. While it is
//    selected and bytes wait, OnRecv is delivered; after one OnRecv the next
//    comes only once the sink has called Recv again.
//  - WRITE interest is one-shot: when selected and the socket can take bytes,
//    one OnSend is delivered and the interest is consumed.
//  - OnClose is delivered exactly once when the peer has closed or the
//    connection failed, after the bytes that arrived before the close could be
//    read (a Recv that meets the end of the stream returns 0 and leads to it).
//  - The sink may delete the socket from inside any of its callbacks.
// Send returns the bytes taken (at least 1), 0 when the socket can take none
// now, −1 on error; Recv the bytes read, 0 when none wait or at the end, −1 on
// error.
//
// Thread safety: a socket is used on its task's thread only.
#pragma once

#include "base/zndef.h"
#include "base/znstring.h"

#define ZNSOCKET_EVENT_READ 2
#define ZNSOCKET_EVENT_WRITE 4

class CZNTaskIO;

// Room for any socket address (the size of struct sockaddr_storage).
struct znsockaddr_storage {
  alignas(8) unsigned char data[128];
};

class CZNITCPSocket;

class CZNITCPSocketSink {
 public:
  virtual ~CZNITCPSocketSink() = default;
  virtual void OnRecv(CZNITCPSocket* pSocket) = 0;
  virtual void OnSend(CZNITCPSocket* pSocket) = 0;
  virtual void OnClose(CZNITCPSocket* pSocket) = 0;
};

class CZNITCPSocket {
 public:
  virtual ~CZNITCPSocket() = default;
  virtual void SetSink(CZNITCPSocketSink* pSink) = 0;  // borrowed
  // Takes ownership of a connected descriptor. False when one is attached already
  // or the handle is invalid.
  virtual bool Attach(znsocket_t s) = 0;
  // Gives the descriptor back to the caller; the socket no longer closes it.
  virtual znsocket_t Detach() = 0;
  virtual znsocket_t NativeSocket() = 0;
  virtual int Send(const void* pData, uint32_t ulen) = 0;
  virtual int Recv(void* pData, uint32_t ulen) = 0;
  virtual uint32_t GetUnReadDataLen() = 0;
  virtual bool SetSendBufferSize(uint32_t size) = 0;
  virtual bool GetSendBufferSize(uint32_t& size) = 0;
  virtual bool SetRecvBufferSize(uint32_t size) = 0;
  virtual bool GetRecvBufferSize(uint32_t& size) = 0;
  virtual bool SetNoDelay(bool bNoDelay) = 0;
  virtual bool GetSocketName(zn::strutf8& ip, uint16_t& port) = 0;
  virtual bool GetSocketName(znsockaddr_storage& addr, uint32_t& addrlen) = 0;
  virtual bool GetPeerName(zn::strutf8& ip, uint16_t& port) = 0;
  virtual bool GetPeerName(znsockaddr_storage& addr, uint32_t& addrlen) = 0;
  virtual bool SelectEvent(int event, bool isToClear) = 0;
  // Closes the descriptor; no event follows.
  virtual void Close() = 0;
  // The connection ended by an error (a reset, a failed read, a broken TLS
  // stream) rather than by the peer's orderly close.
  virtual bool IsClosedByError() { return false; }
};

// A new socket bound to the calling thread's task (which must exist). Owned by
// the caller, deleted through its virtual destructor.
ZNBASE_API CZNITCPSocket* ZNCreateTCPSocket();

class CZNITCPCnnSocketSink {
 public:
  virtual ~CZNITCPCnnSocketSink() = default;
  // Reported once, on the creating task. After a success the 64-bit value is
  // 0; after a failure it is the status code with which a proxy refused the
  // tunnel (407, 403, 502, ...), or 0 when no proxy answered (refused or
  // unreachable connection, time-out, no proxy in use).
  virtual void OnConnected(bool bSuccess, uint64_t reserved) = 0;
  virtual void SetIpAndPort2Bind(const char* /*ip*/, unsigned short /*port*/) {}
};

// A socket that connects without blocking and hands the connected descriptor over.
class CZNITCPCnnSocket {
 public:
  virtual ~CZNITCPCnnSocket() = default;  // abandons a connect in progress silently
  // Local address and port to bind before connecting (empty / 0: none).
  virtual void SetIpAndPort2Bind(const char* ip, unsigned short port) = 0;
  virtual void SetSink(CZNITCPCnnSocketSink* pSink) = 0;  // borrowed
  // True when the attempt is under way and OnConnected will follow; false, with
  // no callback, when it cannot start (address text not a numeric IPv4 or IPv6
  // address, socket or bind failure).
  virtual bool Connect(const char* ip, unsigned short port, uint32_t timeoutMs) = 0;
  // Gives the connected descriptor to the caller; destroying this object then
  // no longer closes it. False when there is none.
  virtual bool HandOver(znsocket_t& s) = 0;
  // The target as the request names it, before Connect: the host name of its
  // URL (null or empty: only the address given to Connect is known) and its
  // scheme. A proxy-aware socket takes the proxy of that scheme and matches
  // the bypass list against the name as well as the address; other sockets
  // ignore it.
  virtual void SetTargetHost(const char* host, bool bHttps) {
    (void)host;
    (void)bHttps;
  }
};

class CZNIReverseTcpSocketCreater {
 public:
  virtual ~CZNIReverseTcpSocketCreater() = default;
};

// Direct connection.
ZNBASE_API CZNITCPCnnSocket* ZNCreateNoneProxyCnnTCPSocket();
// Through the system proxy (an HTTP CONNECT tunnel) when one is configured,
// else direct.
ZNBASE_API CZNITCPCnnSocket* ZNCreateCnnTCPSocket();
// Reverse connection: a stub whose Connect always returns false.
ZNBASE_API CZNITCPCnnSocket* ZNCreateReverseCnnTCPSocket(CZNIReverseTcpSocketCreater* creater, CZNTaskIO* pTask);

// The proxy used by ZNCreateCnnTCPSocket. Without a call, the environment
// (https_proxy, http_proxy, all_proxy, no_proxy) is read once. An empty host
// turns the proxy off.
ZNBASE_API void znnet_setproxy(const char* host, uint16_t port);
// Forgets a proxy set through znnet_setproxy and reads the environment again at
// the next proxy-aware connect.
ZNBASE_API void znnet_resetproxy();

// ---- names ------------------------------------------------------------------------
// The result block of a resolution: a count, 4 unused bytes, 11 address records.
struct znhostent6 {
  uint32_t count;
  uint32_t reserved;
  znsockaddr_storage addrs[11];
};

// Resolves host (all families, stream sockets) on the calling thread. A name
// that does not resolve gives *resolved true with a count of 0.
ZNBASE_API bool znnet_gethostbyname6_ex(const char* host, znhostent6* result, bool* resolved);
// Replaces the resolver (null restores getaddrinfo). For tests.
typedef bool (*znnet_resolver_t)(const char* host, znhostent6* result, bool* resolved);
ZNBASE_API void znnet_setresolver(znnet_resolver_t resolver);
// Address text of a record (no port). False when the buffer is too small.
ZNBASE_API bool znnet_iptostr6(const znsockaddr_storage* addr, char* buf, uint32_t buflen);
// True for a numeric IPv4 address text.
ZNBASE_API bool znnet_isipv4(const char* text);

ZNBASE_API bool znsocket_getpeername6(znsocket_t s, zn::strutf8& ip, uint16_t& port);
ZNBASE_API znsocket_t znsocket_makeinvalid();
ZNBASE_API bool znsocket_isvalid(znsocket_t s);
// Closes a descriptor that no socket object owns.
ZNBASE_API void znsocket_close(znsocket_t s);
