// An HTTPS connection behind the platform socket interface: it wraps a TLS
// processor whose handshake has completed, together with the platform socket
// that the processor owns. Send encrypts and flushes; Recv decrypts what the
// processor has buffered. The platform socket's events come here first: the
// processor moves ciphertext, then the events go on to the client's sink,
// filtered by what the client selected, and held back or replayed (through
// zero-delay timers) while the TLS layer still has data buffered.
//
// Thread: everything runs on the client's worker task, the task that made the
// processor's socket; the timers are made without a task and fire on the
// arming thread's task. No locks. Holds one counted reference to the
// processor; borrows the processor's socket; owns its scope holder's
// reference.
#pragma once

#include "base/znrefcount.h"
#include "base/znsocket.h"
#include "base/zntimer.h"

class CZNSslProcessor;

class CHttpSocket final : public CZNITCPSocket, public CZNTimer, public CZNITCPSocketSink {
 public:
  static const uint32_t kTimerAsyncRecv = 1;
  static const uint32_t kTimerAsyncClose = 2;

  CHttpSocket();
  ~CHttpSocket() override;
  CHttpSocket(const CHttpSocket&) = delete;
  CHttpSocket& operator=(const CHttpSocket&) = delete;

  // Takes a counted reference to the processor (which must have its TLS state)
  // and receives its socket's events from now on.
  void Attach(CZNSslProcessor* pSslProcessor);
  // A counted handle that stays safe to hold after this socket is destroyed.
  CScopeHolder<CHttpSocket>* GetScopeHolder() const { return m_pScopeHolder; }

  // CZNITCPSocket
  void SetSink(CZNITCPSocketSink* pSink) override;
  bool Attach(znsocket_t s) override;
  znsocket_t Detach() override;
  znsocket_t NativeSocket() override;
  int Send(const void* pData, uint32_t ulen) override;
  int Recv(void* pData, uint32_t ulen) override;
  uint32_t GetUnReadDataLen() override;
  bool SetSendBufferSize(uint32_t size) override;
  bool GetSendBufferSize(uint32_t& size) override;
  bool SetRecvBufferSize(uint32_t size) override;
  bool GetRecvBufferSize(uint32_t& size) override;
  bool SetNoDelay(bool bNoDelay) override;
  bool GetSocketName(zn::strutf8& ip, uint16_t& port) override;
  bool GetSocketName(znsockaddr_storage& addr, uint32_t& addrlen) override;
  bool GetPeerName(zn::strutf8& ip, uint16_t& port) override;
  bool GetPeerName(znsockaddr_storage& addr, uint32_t& addrlen) override;
  bool SelectEvent(int event, bool isToClear) override;
  void Close() override;
  // A fatal TLS error, or the TCP connection's own error.
  bool IsClosedByError() override;

  // CZNITCPSocketSink: events of the processor's socket.
  void OnRecv(CZNITCPSocket* pSocket) override;
  void OnSend(CZNITCPSocket* pSocket) override;
  void OnClose(CZNITCPSocket* pSocket) override;

  // CZNTimer
  void OnTimer(unsigned int id) override;

 private:
  // Drops the processor: the platform socket is closed (no event reaches this
  // object afterwards) and the reference released.
  void DropProcessor();
  // Hands the close to the sink, once: the TLS stream's end and the TCP
  // close that may follow it are one close for the sink.
  void ReportClose();

  CScopeHolder<CHttpSocket>* m_pScopeHolder;  // one counted reference; target cleared at destruction
  CZNITCPSocketSink* m_pSink;                 // the client, borrowed, may be null
  CZNSslProcessor* m_pSslProcessor;           // one counted reference, may be null
  CZNITCPSocket* m_pSocket;                   // the processor's socket, borrowed; null without a processor
  int m_event;                                // event bits the client has selected
  bool m_bClosed;                             // the platform socket has reported its close, or the
                                              // TLS stream has ended; never cleared
  bool m_bCloseReported = false;              // the sink has heard OnClose; never cleared
};
