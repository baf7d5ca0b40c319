#include "net/CHttpSubConnector.h"

#include <cstddef>
#include <new>

#include "base/znplatform.h"
#include "base/zntask.h"
#include "net/CZNSslProcessor.h"

namespace {
const char kLogTag[] = "CHttpConnector";
const int kLevelWarn = 2;
const int kLevelEvent = 3;
const uint32_t kAllTimers = 0xFFFFFFFFu;
}  // namespace

CHttpSubConnector::CHttpSubConnector(uint64_t id, CHttpSubConnectorSink* pSink, bool bUseProxy)
    : CZNTimer(0, nullptr),
      Id(id),
      m_pSink(pSink),
      m_bUseProxy(bUseProxy),
      m_bHttps(false),
      m_pReverseCreater(nullptr),
      m_pReverseTask(nullptr),
      m_bUseReverseTcp(false),
      m_wBindPort(0),
      m_wPort(0),
      m_nTimeout(kDefaultConnectTimeoutMs),
      m_pCnnSocket(nullptr),
      m_pSslProcessor(nullptr) {}

CHttpSubConnector::~CHttpSubConnector() {
  KillTimer(kAllTimers);
  DestroyCnnSocket();
  if (m_pSslProcessor) {
    // The processor may outlive us (the adaptor holds its own reference): it
    // must not report to a dead sub-connector.
    m_pSslProcessor->SetSink(nullptr);
    m_pSslProcessor->Release();
    m_pSslProcessor = nullptr;
  }
  m_vecIPs.clear();
  if (m_pReverseTask) {
    m_pReverseTask->Release();
    m_pReverseTask = nullptr;
  }
}

void CHttpSubConnector::SetHttps(const zn::strutf8& strSSLName) {
  m_bHttps = true;
  m_strSSLName = strSSLName;
}

void CHttpSubConnector::SetIpAndPort2Bind(const char* ip, unsigned short port) {
  m_strBindIP = ip;
  m_wBindPort = port;
}

void CHttpSubConnector::SetReverseTcpSocket(CZNIReverseTcpSocketCreater* creater, CZNTaskIO* pTask) {
  m_pReverseCreater = creater;
  if (pTask) pTask->AddRef();
  if (m_pReverseTask) m_pReverseTask->Release();
  m_pReverseTask = pTask;
  m_bUseReverseTcp = creater != nullptr && pTask != nullptr;
  if (!m_bUseReverseTcp) {
    znsyslog(kLevelWarn, kLogTag, __LINE__,
             "Id[%I64u] SetReverseTcpSocket:creater or pTask is null, so can NOT use reverse tcp", Id);
  }
}

void CHttpSubConnector::DestroyCnnSocket() {
  delete m_pCnnSocket;
  m_pCnnSocket = nullptr;
}

void CHttpSubConnector::ReleaseSslProcessor() {
  KillTimer(kAllTimers);
  if (m_pSslProcessor) {
    m_pSslProcessor->SetSink(nullptr);
    m_pSslProcessor->Release();
    m_pSslProcessor = nullptr;
  }
}

bool CHttpSubConnector::InternalConnect(const char* ip, unsigned short port) {
  DestroyCnnSocket();
  if (m_bUseReverseTcp) {
    m_pCnnSocket = ZNCreateReverseCnnTCPSocket(m_pReverseCreater, m_pReverseTask);
  } else if (m_bUseProxy) {
    m_pCnnSocket = ZNCreateCnnTCPSocket();
  } else {
    m_pCnnSocket = ZNCreateNoneProxyCnnTCPSocket();
  }
  if (!m_pCnnSocket) return false;
  m_pCnnSocket->SetSink(this);
  m_pCnnSocket->SetIpAndPort2Bind(m_strBindIP.c_str(), m_wBindPort);
  if (m_bUseProxy && !m_bUseReverseTcp) m_pCnnSocket->SetTargetHost(m_strTargetHost.c_str(), m_bHttps);
  return m_pCnnSocket->Connect(ip ? ip : "", port, m_nTimeout);
}

bool CHttpSubConnector::GetNextIP(zn::strutf8& strIP) {
  if (m_vecIPs.empty()) return false;
  m_vecIPs.erase(m_vecIPs.begin());
  if (m_vecIPs.empty()) return false;
  strIP = m_vecIPs.front();
  return true;
}

bool CHttpSubConnector::ConnectFromFirst(const char* szStart, const char* szFailed, const char* szNext) {
  znsyslog(kLevelEvent, kLogTag, __LINE__, szStart, Id, m_vecIPs.front().c_str(), m_wPort);
  if (InternalConnect(m_vecIPs.front().c_str(), m_wPort)) return true;
  znsyslog(kLevelWarn, kLogTag, __LINE__, szFailed, Id, m_vecIPs.front().c_str(), m_wPort);
  zn::strutf8 strIP;
  while (GetNextIP(strIP)) {
    znsyslog(kLevelEvent, kLogTag, __LINE__, szNext, Id, strIP.c_str(), m_wPort);
    if (InternalConnect(strIP.c_str(), m_wPort)) return true;
    znsyslog(kLevelWarn, kLogTag, __LINE__, szFailed, Id, strIP.c_str(), m_wPort);
  }
  return false;
}

bool CHttpSubConnector::Connect(const std::vector<zn::strutf8>& strIPs, unsigned short wPort, uint32_t dwTimeout) {
  if (strIPs.empty() || wPort == 0) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "Id[%I64u] Connect:strIPs is empty or wPort[%hu] is 0", Id, wPort);
    return false;
  }
  m_wPort = wPort;
  m_nTimeout = dwTimeout ? dwTimeout : kDefaultConnectTimeoutMs;
  m_dwProxyRefusal = 0;
  try {
    m_vecIPs = strIPs;
  } catch (const std::bad_alloc&) {
    return false;
  }
  return ConnectFromFirst("Id[%I64u] Start Connect To [%s:%hu]", "Id[%I64u] InternalConnect To [%s:%hu] failed",
                          "Id[%I64u] Connect To Next IP [%s:%hu] ");
}

bool CHttpSubConnector::ReConnect() {
  if (m_vecIPs.empty()) return false;
  return ConnectFromFirst("Id[%I64u] CHttpSubConnector::ReConnect Start Connect To [%s:%hu]",
                          "Id[%I64u] CHttpSubConnector::ReConnect: InternalConnect To [%s:%hu] failed",
                          "Id[%I64u] CHttpSubConnector::ReConnect Connect To Next IP [%s:%hu] ");
}

void CHttpSubConnector::OnConnected(bool bSuccess, uint64_t refusal) {
  if (!bSuccess) {
    // A proxy that answered with a refusal is remembered for the owner, who
    // must not take it for an unreachable proxy.
    if (refusal != 0) m_dwProxyRefusal = static_cast<uint32_t>(refusal);
    zn::strutf8 strIP;
    while (GetNextIP(strIP)) {
      znsyslog(kLevelEvent, kLogTag, __LINE__, "Id[%I64u] Connect To Next IP [%s:%zd] ", Id, strIP.c_str(),
               static_cast<std::ptrdiff_t>(m_wPort));
      if (InternalConnect(strIP.c_str(), m_wPort)) return;
    }
    if (m_pSink) m_pSink->OnConnected(this, false, znsocket_makeinvalid());
    return;
  }

  znsocket_t s = znsocket_makeinvalid();
  if (m_pCnnSocket) m_pCnnSocket->HandOver(s);
  zn::strutf8 strPeerIP;
  uint16_t wPeerPort = 0;
  znsocket_getpeername6(s, strPeerIP, wPeerPort);
  znsyslog(kLevelEvent, kLogTag, __LINE__, "Id[%I64u] OnConnected [%s:%zd] ", Id, strPeerIP.c_str(),
           static_cast<std::ptrdiff_t>(wPeerPort));

  if (!m_bHttps) {
    if (m_pSink) {
      m_pSink->OnConnected(this, true, s);
    } else {
      znsocket_close(s);  // nobody to own it
    }
    return;
  }

  KillTimer(kAllTimers);
  SetTimer(kHandshakeTimeoutMs, kTimerHandshake, true);
  CZNSslProcessor* pProcessor = new (std::nothrow) CZNSslProcessor(s, m_strSSLName, this, m_oVerify);
  if (!pProcessor) {
    znsocket_close(s);
    if (m_pSink) m_pSink->OnConnected(this, false, znsocket_makeinvalid());
    return;
  }
  pProcessor->AddRef();
  if (m_pSslProcessor) {
    m_pSslProcessor->SetSink(nullptr);
    m_pSslProcessor->Release();
  }
  m_pSslProcessor = pProcessor;
  pProcessor->Release();  // the reference that construction gave
  if (!pProcessor->HasSslContext()) {
    if (m_pSink) m_pSink->OnConnected(this, false, znsocket_makeinvalid());
    return;
  }
  pProcessor->ClearHandshakeDone();
  // The result may be reported (and this object destroyed) inside.
  pProcessor->StartHandshake();
}

int CHttpSubConnector::TranslateSslResult(int result) {
  switch (result) {
    case CZNSslProcessor::kResultConnectFailed: return 2;
    case CZNSslProcessor::kResultClosed: return 1;
    default: return result;
  }
}

void CHttpSubConnector::OnSslConnected(int result) {
  KillTimer(kAllTimers);
  if (m_pSink) m_pSink->OnHttpsConnected(this, TranslateSslResult(result), m_pSslProcessor);
}

void CHttpSubConnector::OnTimer(unsigned int id) {
  if (id != kTimerHandshake) return;
  znsyslog(kLevelWarn, kLogTag, __LINE__, "Id[%I64u] OnTimer Connect Https timeout", Id);
  if (m_pSink) m_pSink->OnHttpsConnected(this, kCodeHandshakeTimeout, m_pSslProcessor);
}
