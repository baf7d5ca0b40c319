// zn::CHttpClient: construction, destruction, settings and the plain queries.
#include "client/CHttpClient.h"
#include "include/znhttpclienttls.h"
#include "http/HttpLog.h"

#include "base/znplatform.h"
#include "client/CHttpClientScopeHolder.h"
#include "net/CHttpConnector.h"

namespace zn {

CHttpClient::CHttpClient(CZNTaskBase* pNotifyTask)
    : CZNTimer(0, nullptr), m_pScopeHolder(new CHttpClientScopeHolder(this)) {
  g_qwHttpRequestId.store(0, std::memory_order_relaxed);
  if (pNotifyTask) pNotifyTask->AddRef();
  m_pNotifyTask = pNotifyTask;
}

CHttpClient::~CHttpClient() {
  // Calls still queued for this client, on the worker or the notify task,
  // find the holder invalid from here on and are dropped unrun; a call that
  // is running on another thread is waited for, so that none of them meets
  // a half-destroyed client.
  m_pScopeHolder->Shutdown();
  if (m_pHttpTask) m_pHttpTask->Stop();
  StopHttpThreadImpl(true);
  // Only now that no step of the worker can run, since a retry or redirect
  // made while it still ran would connect without the verification the host
  // asked for. Cleared all the same, so that a later client at this address
  // does not inherit it.
  zn_tlsverify_set(static_cast<IHttpClient*>(this), false, nullptr);
  m_bRunning.store(false, std::memory_order_relaxed);
  m_bCompleted.store(false, std::memory_order_relaxed);
  ClearHeaders();
  if (m_pHttpTask) m_pHttpTask->Release();
  m_pHttpTask = nullptr;
  if (m_pNotifyTask) m_pNotifyTask->Release();
  m_pNotifyTask = nullptr;
  if (m_pNotifyRef) m_pNotifyRef->Release();
  m_pNotifyRef = nullptr;
  if (m_pUserObject) m_pUserObject->Release();
  m_pUserObject = nullptr;
  m_oRequestInfo = HttpRequestInfo();
  for (CHttpConnector* pConnector : m_vecRetiredConnectors) delete pConnector;
  m_vecRetiredConnectors.clear();
  m_pScopeHolder->Release();
  m_pScopeHolder = nullptr;
}

void* CHttpClient::operator new(size_t n) { return AllocateHoldingLibrary(n); }

void CHttpClient::operator delete(void* p) { FreeHoldingLibrary(p); }

// ---- settings ----------------------------------------------------------------------

void CHttpClient::SetNotify(IHttpClientNotify* pNotify) { m_pNotify = pNotify; }

void CHttpClient::SetTimeout(uint32_t dwConnectTimeout, uint32_t dwRecvTimeout, int32_t nMaxRetryTimes) {
  m_dwConnectTimeout = dwConnectTimeout;
  m_dwRecvTimeout = dwRecvTimeout;
  m_nMaxRetryTimes = nMaxRetryTimes;
}

void CHttpClient::SetUseIEProxy(bool bUseIEProxy) { m_bUseIEProxy = bUseIEProxy; }

void CHttpClient::SetBindAddress(const zn::strutf8& strIP, uint16_t wPort) {
  m_strBindIP = strIP;
  m_wBindPort = wPort;
}

void CHttpClient::GetBindAddress(zn::strutf8& strIP, uint16_t& wPort) {
  strIP = m_strBindIP;
  wPort = m_wBindPort;
}

void CHttpClient::SetId(uint64_t qwId) { g_qwHttpRequestId.store(qwId, std::memory_order_relaxed); }

uint64_t CHttpClient::GetId() { return CurrentRequestId(); }

void CHttpClient::SetGbkHead(bool bGbkHead) { m_bGbkHead = bGbkHead; }

void CHttpClient::SetUseCookie(bool bUseCookie) { m_bUseCookie = bUseCookie; }

void CHttpClient::SetResume(bool bResume) { m_bResume = bResume; }

void CHttpClient::SetSyncRedirectNotify(bool bSync) { m_bSyncRedirectNotify = bSync; }

void CHttpClient::SetNotifyFlags(uint8_t byFlags) { m_byNotifyFlags = byFlags; }

bool CHttpClient::SetUserData(uint64_t qwUserData) {
  m_qwUserData = qwUserData;
  return true;
}

bool CHttpClient::SetUserObject(CRefCount* pObject) {
  if (pObject) pObject->AddRef();
  if (m_pUserObject) m_pUserObject->Release();
  m_pUserObject = pObject;
  return true;
}

bool CHttpClient::GetUserData(uint64_t& qwUserData) {
  qwUserData = m_qwUserData;
  return true;
}

bool CHttpClient::GetUserObject(CRefCount** ppObject) {
  if (!ppObject || !m_pUserObject) return false;
  m_pUserObject->AddRef();
  *ppObject = m_pUserObject;
  return true;
}

bool CHttpClient::SetUserTag(int32_t nTag) {
  m_nUserTag = nTag;
  return true;
}

int32_t CHttpClient::GetUserTag() { return m_nUserTag; }

void CHttpClient::SetRefNotify(IHttpClientNotifyRef* pNotify) {
  if (pNotify) pNotify->AddRef();
  if (m_pNotifyRef) m_pNotifyRef->Release();
  m_pNotifyRef = pNotify;
}

bool CHttpClient::IsRunning() { return m_bRunning.load(std::memory_order_relaxed); }

// ---- queries of the last response and the connection --------------------------------------

bool CHttpClient::GetResponseHead(zn::strutf16& strHead) {
  strHead = m_oResponse.m_strResponseHead;
  return true;
}

uint32_t CHttpClient::GetStatusCode() { return m_oResponse.m_dwResponseStatusCode; }

bool CHttpClient::GetDownloadFilePath(zn::strutf16& strPath) {
  if (!m_pRpDataWriter) return false;
  zn::strutf8 strName;
  m_pRpDataWriter->GetFileName(strName);
  strPath = strName;
  return true;
}

bool CHttpClient::GetDownloadedBuffer(const unsigned char** ppData, uint32_t* pdwLen) {
  if (!m_pRpDataWriter) {
    znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "GetDownloadedBuffer m_pRpDataWriter is NULL");
    return false;
  }
  if (!ppData || !pdwLen) return false;
  unsigned char* pData = nullptr;
  uint32_t dwLen = 0;
  if (!m_pRpDataWriter->GetBuffer(&pData, &dwLen) || !pData || dwLen == 0) return false;
  *ppData = pData;
  *pdwLen = dwLen;
  return true;
}

bool CHttpClient::GetConnectedAddress(zn::strutf8& strHost, uint16_t& wPort) {
  strHost = m_strsockIP;
  wPort = m_wsockPort;
  return true;
}

bool CHttpClient::GetPeerName(zn::strutf8& strHost, uint16_t& wPort) {
  if (!m_bUseIEProxy && m_pSocket) return m_pSocket->GetPeerName(strHost, wPort);
  strHost = m_oRequestInfo.m_strHost;
  wPort = m_oRequestInfo.m_wPort;
  return true;
}

znsocket_t CHttpClient::NativeSocket() {
  if (!m_pSocket) return znsocket_makeinvalid();
  return m_pSocket->NativeSocket();
}

void CHttpClient::DropStream(IZNStreamWriter* pStream) {
  if (!pStream) return;
  pStream->Close();
  delete pStream;
}

}  // namespace zn

extern "C" ZNHTTP_API zn::IHttpClientEx* zn_create_httpclient_ex(CZNTaskBase* pNotifyTask) {
  return new zn::CHttpClient(pNotifyTask);
}
