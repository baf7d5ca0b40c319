#include "net/CHttpSocket.h"

#include "base/znplatform.h"
#include "net/CZNSslProcessor.h"

namespace {
const char kLogTag[] = "unnamed";
const int kLevelFail = 1;
const int kLevelWarn = 2;
const int kLevelEvent = 3;
}  // namespace

CHttpSocket::CHttpSocket()
    : CZNTimer(0, nullptr),
      m_pScopeHolder(new CScopeHolder<CHttpSocket>(this)),
      m_pSink(nullptr),
      m_pSslProcessor(nullptr),
      m_pSocket(nullptr),
      m_event(0),
      m_bClosed(false) {}

CHttpSocket::~CHttpSocket() {
  if (m_pSslProcessor) DropProcessor();
  m_pScopeHolder->Invalidate();
  m_pScopeHolder->Release();
  m_pScopeHolder = nullptr;
  // The timers die with the CZNTimer base.
}

void CHttpSocket::DropProcessor() {
  if (m_pSocket) {
    // The processor may outlive this adaptor (its sub-connector holds a
    // reference): its socket must not deliver events to a dead sink.
    m_pSocket->SetSink(nullptr);
    m_pSocket->Close();
  }
  m_pSocket = nullptr;
  if (m_pSslProcessor) {
    m_pSslProcessor->Release();
    m_pSslProcessor = nullptr;
  }
}

void CHttpSocket::Attach(CZNSslProcessor* pSslProcessor) {
  znsyslog(kLevelEvent, kLogTag, __LINE__, "CHttpSocket Attach: use SSL");
  if (pSslProcessor) pSslProcessor->AddRef();
  if (m_pSslProcessor) m_pSslProcessor->Release();
  m_pSslProcessor = pSslProcessor;
  m_pSocket = pSslProcessor ? pSslProcessor->GetSocket() : nullptr;
  if (m_pSocket) m_pSocket->SetSink(this);
}

void CHttpSocket::SetSink(CZNITCPSocketSink* pSink) { m_pSink = pSink; }

bool CHttpSocket::Attach(znsocket_t /*s*/) {
  znsyslog(kLevelFail, kLogTag, __LINE__,
           "CHttpSocket Detach: CHttpSocket need SslProcessor, you can use CZNITCPSocket with raw socket");
  return false;
}

znsocket_t CHttpSocket::Detach() {
  if (m_pSslProcessor) {
    znsyslog(kLevelFail, kLogTag, __LINE__, "CHttpSocket Detach: SslProcessor attached, can NOT detach");
    return znsocket_makeinvalid();
  }
  if (!m_pSocket) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "CHttpSocket Detach: m_pSocket is null");
    return znsocket_makeinvalid();
  }
  return m_pSocket->Detach();
}

znsocket_t CHttpSocket::NativeSocket() {
  if (!m_pSocket) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "CHttpSocket NativeSocket: m_pSocket is null");
    return znsocket_makeinvalid();
  }
  return m_pSocket->NativeSocket();
}

int CHttpSocket::Send(const void* pData, uint32_t ulen) {
  if (!pData || ulen == 0) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "CHttpSocket Send: pData is null or ulen[%d] is 0", int(ulen));
    return -1;
  }
  if (!m_pSocket) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "CHttpSocket Send: m_pSocket is null");
    return 0;
  }
  const int n = m_pSslProcessor->WriteData(pData, ulen);
  znsyslog(kLevelEvent, kLogTag, __LINE__, "CHttpSocket Send: WriteData[%d/%u]", n, unsigned(ulen));
  if (!m_pSslProcessor->IsAllDataSent()) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "CHttpSocket Send: Not all data sent, so select ZNSOCKET_EVENT_WRITE");
    m_pSocket->SelectEvent(ZNSOCKET_EVENT_WRITE, false);
  }
  return n;
}

int CHttpSocket::Recv(void* pData, uint32_t ulen) {
  if (!pData || ulen == 0) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "CHttpSocket Recv: pData is null or ulen[%d] is 0", int(ulen));
    return -1;
  }
  if (!m_pSocket) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "CHttpSocket Recv: m_pSocket is null");
    return 0;
  }
  const int n = m_pSslProcessor->ReadData(pData, ulen);
  znsyslog(kLevelEvent, kLogTag, __LINE__, "CHttpSocket Recv: ReadData[%d/%u]", n, unsigned(ulen));
  if (m_pSslProcessor->IsStreamEnded()) {
    // close_notify, or a fatal TLS error: the stream is over even while TCP
    // stays open, and the sink hears it as a close once these bytes are handled.
    m_bClosed = true;
    SetTimer(0, kTimerAsyncClose, true);
  } else if (m_pSslProcessor->HasMoreDataToRead()) {
    znsyslog(kLevelEvent, kLogTag, __LINE__, "CHttpSocket Recv: HasMoreDataToRead");
    SetTimer(0, kTimerAsyncRecv, true);
  } else if (m_bClosed) {
    SetTimer(0, kTimerAsyncClose, true);
  }
  return n;
}

uint32_t CHttpSocket::GetUnReadDataLen() {
  znsyslog(kLevelFail, kLogTag, __LINE__, "CHttpSocket GetUnReadDataLen: CHttpSocket NOT support GetUnReadDataLen");
  return 0;
}

bool CHttpSocket::SetSendBufferSize(uint32_t size) {
  if (!m_pSocket) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "CHttpSocket SetSendBufferSize: m_pSocket is null");
    return false;
  }
  if (!m_pSocket->SetSendBufferSize(size)) return false;
  uint32_t actual = 0;
  if (m_pSslProcessor && m_pSocket->GetSendBufferSize(actual)) m_pSslProcessor->SetSendBufferSize(actual);
  return true;
}

bool CHttpSocket::GetSendBufferSize(uint32_t& size) {
  if (!m_pSocket) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "CHttpSocket GetSendBufferSize: m_pSocket is null");
    return false;
  }
  return m_pSocket->GetSendBufferSize(size);
}

bool CHttpSocket::SetRecvBufferSize(uint32_t size) {
  if (!m_pSocket) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "CHttpSocket SetRecvBufferSize: m_pSocket is null");
    return false;
  }
  if (!m_pSocket->SetRecvBufferSize(size)) return false;
  uint32_t actual = 0;
  if (m_pSslProcessor && m_pSocket->GetRecvBufferSize(actual)) m_pSslProcessor->SetRecvBufferSize(actual);
  return true;
}

bool CHttpSocket::GetRecvBufferSize(uint32_t& size) {
  if (!m_pSocket) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "CHttpSocket GetRecvBufferSize: m_pSocket is null");
    return false;
  }
  return m_pSocket->GetRecvBufferSize(size);
}

bool CHttpSocket::SetNoDelay(bool bNoDelay) {
  if (!m_pSocket) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "CHttpSocket SetNoDelay: m_pSocket is null");
    return false;
  }
  return m_pSocket->SetNoDelay(bNoDelay);
}

bool CHttpSocket::GetSocketName(zn::strutf8& ip, uint16_t& port) {
  if (!m_pSocket) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "CHttpSocket GetSocketName: m_pSocket is null");
    return false;
  }
  return m_pSocket->GetSocketName(ip, port);
}

bool CHttpSocket::GetSocketName(znsockaddr_storage& addr, uint32_t& addrlen) {
  if (!m_pSocket) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "CHttpSocket GetSocketName: m_pSocket is null");
    return false;
  }
  return m_pSocket->GetSocketName(addr, addrlen);
}

bool CHttpSocket::GetPeerName(zn::strutf8& ip, uint16_t& port) {
  if (!m_pSocket) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "CHttpSocket GetPeerName: m_pSocket is null");
    return false;
  }
  return m_pSocket->GetPeerName(ip, port);
}

bool CHttpSocket::GetPeerName(znsockaddr_storage& addr, uint32_t& addrlen) {
  if (!m_pSocket) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "CHttpSocket GetPeerName: m_pSocket is null");
    return false;
  }
  return m_pSocket->GetPeerName(addr, addrlen);
}

bool CHttpSocket::SelectEvent(int event, bool isToClear) {
  znsyslog(kLevelEvent, kLogTag, __LINE__, "CHttpSocket SelectEvent event[%d] isToClear[%d]", event,
           int(isToClear));
  if (!m_pSocket) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "CHttpSocket SelectEvent: m_pSocket is null");
    return false;
  }
  if (isToClear) {
    // Only the client's interest changes; the TLS layer keeps its own.
    m_event &= ~event;
    return true;
  }
  m_event |= event;
  if ((event & ZNSOCKET_EVENT_READ) && m_pSslProcessor->HasMoreDataToRead()) {
    znsyslog(kLevelEvent, kLogTag, __LINE__, "CHttpSocket SelectEvent: HasMoreDataToRead");
    SetTimer(0, kTimerAsyncRecv, true);
  }
  return m_pSocket->SelectEvent(event, false);
}

void CHttpSocket::Close() { DropProcessor(); }

bool CHttpSocket::IsClosedByError() {
  return (m_pSslProcessor && m_pSslProcessor->IsStreamBroken()) || (m_pSocket && m_pSocket->IsClosedByError());
}

void CHttpSocket::OnRecv(CZNITCPSocket* pSocket) {
  if (!m_pSocket) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "CHttpSocket OnRecv: m_pSocket is null");
    return;
  }
  m_pSslProcessor->OnRecv(pSocket);
  znsyslog(kLevelEvent, kLogTag, __LINE__, "CHttpSocket OnRecv: m_event[%d]", m_event);
  if ((m_event & ZNSOCKET_EVENT_READ) && m_pSink) m_pSink->OnRecv(this);
}

void CHttpSocket::OnSend(CZNITCPSocket* pSocket) {
  if (!m_pSocket) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "CHttpSocket OnSend: m_pSocket is null");
    return;
  }
  if (m_pSslProcessor->IsAllDataSent()) {
    if (m_event & ZNSOCKET_EVENT_WRITE) {
      m_event &= ~ZNSOCKET_EVENT_WRITE;
      if (m_pSink) m_pSink->OnSend(this);
    }
    return;
  }
  znsyslog(kLevelEvent, kLogTag, __LINE__, "CHttpSocket OnSend: Not all data sent, so send first");
  m_pSslProcessor->OnSend(pSocket);
  m_pSocket->SelectEvent(ZNSOCKET_EVENT_WRITE, false);
}

void CHttpSocket::OnClose(CZNITCPSocket* /*pSocket*/) {
  if (!m_pSocket) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "CHttpSocket OnClose: m_pSocket is null");
    return;
  }
  znsyslog(kLevelEvent, kLogTag, __LINE__, "CHttpSocket OnClose");
  m_bClosed = true;
  if (m_pSslProcessor->HasMoreDataToRead()) {
    znsyslog(kLevelEvent, kLogTag, __LINE__, "CHttpSocket OnClose:HasMoreDataToRead");
    return;
  }
  ReportClose();
}

void CHttpSocket::ReportClose() {
  znsyslog(kLevelWarn, kLogTag, __LINE__, "CHttpSocket AsyncCallOnClose");
  if (m_bCloseReported) return;
  m_bCloseReported = true;
  if (m_pSink) m_pSink->OnClose(this);
}

void CHttpSocket::OnTimer(unsigned int id) {
  if (id == kTimerAsyncRecv) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "CHttpSocket AsyncCallOnRecv");
    if (m_pSink) m_pSink->OnRecv(this);
  } else if (id == kTimerAsyncClose) {
    ReportClose();
  }
}
