// zn::CHttpClient: the request step, the connect step, the connector results,
// the completion step and the reset step. Worker thread only.
#include <cstdlib>

#include "base/znplatform.h"
#include "client/CHttpClient.h"
#include "http/HttpLog.h"
#include "net/CHttpConnector.h"
#include "net/CHttpSocket.h"

namespace zn {

namespace {

// Counts a connector callback on the stack for its duration.
class ConnectorCallbackScope final {
 public:
  explicit ConnectorCallbackScope(int32_t& depth) : m_nDepth(depth) { ++m_nDepth; }
  ConnectorCallbackScope(const ConnectorCallbackScope&) = delete;
  ConnectorCallbackScope& operator=(const ConnectorCallbackScope&) = delete;
  ~ConnectorCallbackScope() { --m_nDepth; }

 private:
  int32_t& m_nDepth;  // borrowed: the client's counter
};
}  // namespace

void CHttpClient::RequestOnWorker(HttpRequestParam& param) {
  IZNStreamWriter* pStream = param.pStreamWriter;  // owned from here on
  param.pStreamWriter = nullptr;
  FreeRetiredConnectors();

  const uint64_t qwId = g_qwHttpRequestId.fetch_add(1, std::memory_order_relaxed) + 1;
  KillTimer(kTimerStopTask);
  znsyslog(kLogDetail, kHttpClientLogTag, __LINE__, "Id[%I64u] Request [%s]....", qwId, param.strUrl.c_str());

  ResetRequest();
  // A Post before this request must not leak its head into it.
  m_bBuildHead = true;
  m_oRequestInfo.m_bFormData = param.bFormData;

  const bool bParsed = param.strPort.empty()
                           ? CrackUrl(param.strUrl, param.strSSLName)
                           : CrackUrl(param.strUrl, param.strPort, param.lstHosts);
  if (!bParsed) {
    znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] Error CrackUrl [%s] Fail", CurrentRequestId(), param.strUrl.c_str());
    DropStream(pStream);
    NotifyComplete(kHttpResultBadUrl);
    return;
  }
  m_oRequestInfo.m_strGivenSSLName = param.strSSLName;
  m_oRequestInfo.m_strGivenSSLHost = m_oRequestInfo.m_strHost;

  m_pRpDataWriter = new HttpResponseDataWriter();
  if (!param.strDownloadFile.empty()) {
    DropStream(pStream);  // a file target takes no stream
    pStream = nullptr;
    if (!m_pRpDataWriter->Open(true, param.strDownloadFile.c_str(), nullptr)) {
      znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] Error DataWriter open file fail", CurrentRequestId());
      NotifyComplete(kHttpResultLocalFile);
      return;
    }
    if (!m_bResume && !param.bResume && m_pRpDataWriter->GetDownloadedSize() != 0 &&
        !m_pRpDataWriter->SetLength0()) {
      znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] Error DataWriter SetLength0 fail", CurrentRequestId());
      NotifyComplete(kHttpResultLocalFile);
      return;
    }
  } else {
    // Memory, or the host's stream when one was given.
    m_pRpDataWriter->Open(false, nullptr, pStream);
    pStream = nullptr;
  }

  if (param.bIfModifiedSince) BuildIfModifiedSince(&param.stIfModifiedSince);
  m_oRequestInfo.m_strMethod = param.nMethod == 0 ? "GET" : "POST";

  if (!param.strUploadFile.empty()) {
    m_pRqDataReader = new CDataReader();
    if (!m_pRqDataReader->SetFileName(param.strUploadFile.c_str())) {
      znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] Error DataReader File Open fail", CurrentRequestId());
      NotifyComplete(kHttpResultBadUrl);
      return;
    }
    if (m_pRqDataReader->GetLength() == 0) {
      znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] Error DataReader Length = 0", CurrentRequestId());
      NotifyComplete(kHttpResultBadUrl);
      return;
    }
    // Every attempt starts at the offset; one past the end would send nothing
    // the caller asked for.
    if (param.qwUploadOffset != 0 && !m_pRqDataReader->SetStart(param.qwUploadOffset)) {
      znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] Error DataReader Offset[%I64u] > Length[%I64u]",
               CurrentRequestId(), param.qwUploadOffset, m_pRqDataReader->GetLength());
      NotifyComplete(kHttpResultBadUrl);
      return;
    }
  } else if (!param.streamBody.empty()) {
    m_pRqDataReader = new CDataReader();
    m_pRqDataReader->SetBuffer(param.streamBody.data(), param.streamBody.length());
  }

  NotifyOnConnecting(zn::strutf16(m_oRequestInfo.m_strHost));

  m_bReuseTcp = false;
  if (CanReuseTcp()) {
    m_bReuseTcp = true;
    NotifyOnConnected();
    SendRequest();
  } else {
    Connect();
  }
}

void CHttpClient::Connect() { ConnectStep(false); }

void CHttpClient::ConnectStep(bool bNoProxy) {
  DestroyConnector();
  m_bReuseTcp = false;  // this attempt gets a connection of its own
  const bool bUseProxy = m_bUseIEProxy && !bNoProxy;
  if (bUseProxy) m_bProxyUsed = true;
  m_pConnector = new CHttpConnector(CurrentRequestId(), this, bUseProxy);
  // Verification is a setting of the host's (znhttpclienttls.h), read anew
  // for every connection.
  CZNTlsVerify verify;
  if (m_oRequestInfo.m_bHttps) {
    m_pConnector->SetHttps(m_oRequestInfo.m_strSSLName);
    if (zn_tlsverify_get(static_cast<IHttpClient*>(this), verify.m_strCAPath)) {
      verify.m_bVerify = true;
      verify.m_strHostName = m_oRequestInfo.m_strHost;
      m_pConnector->SetTlsVerify(verify);
    }
  }
  m_pConnector->SetIpAndPort2Bind(m_strBindIP.c_str(), m_wBindPort);
  if (bUseProxy) m_pConnector->SetTargetHost(m_oRequestInfo.m_strHost);
  zn::hostlist lstHosts(m_oRequestInfo.m_lstHosts);
  if (!m_pConnector->Connect(lstHosts, m_oRequestInfo.m_wPort, m_dwConnectTimeout)) {
    NotifyComplete(kHttpResultNoConnection);
    return;
  }
  m_strsockIP = m_oRequestInfo.m_strHost;
  m_wsockPort = m_oRequestInfo.m_wPort;
  m_oSockChannel.m_bHttps = m_oRequestInfo.m_bHttps;
  m_oSockChannel.m_strSSLName = m_oRequestInfo.m_bHttps ? m_oRequestInfo.m_strSSLName : zn::strutf8();
  m_oSockChannel.m_bVerify = verify.m_bVerify;
  m_oSockChannel.m_strCAPath = verify.m_strCAPath;
}

bool CHttpClient::EndOnProxyRefusal() {
  const uint32_t dwStatus = m_pConnector ? m_pConnector->GetProxyRefusal() : 0;
  if (dwStatus != kProxyForbidden && dwStatus != kProxyAuthRequired) return false;
  // The proxy answered: going around it would reach the server by a road
  // the host's network refused.
  znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] Proxy refused [%s] status[%u]", CurrentRequestId(),
           m_oRequestInfo.m_strHost.c_str(), dwStatus);
  NotifyComplete(kHttpResultRefused);
  return true;
}

void CHttpClient::OnConnected(bool bSuccess, znsocket_t s) {
  const ConnectorCallbackScope scope(m_nConnectorCallbacks);
  if (!bSuccess || !znsocket_isvalid(s)) {
    if (znsocket_isvalid(s)) znsocket_close(s);
    znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] Connect Fail [%s]", CurrentRequestId(), m_oRequestInfo.m_strHost.c_str());
    if (!EndOnProxyRefusal()) RetryConnectStep(true);
    return;
  }
  NotifyOnConnected();
  znsyslog(kLogEvent, kHttpClientLogTag, __LINE__, "Id[%I64u] Connect [%s] socket[%d] <<<<>>>> Success", CurrentRequestId(),
           m_oRequestInfo.m_strHost.c_str(), static_cast<int>(s));
  m_strsockIP = m_oRequestInfo.m_strHost;
  m_wsockPort = m_oRequestInfo.m_wPort;
  DestroySocket();
  m_pSocket = ZNCreateTCPSocket();
  m_pSocket->SetSink(this);
  m_pSocket->Attach(s);
  SendRequest();
}

void CHttpClient::OnHttpsConnected(int eResult, CZNSslProcessor* pProcessor) {
  const ConnectorCallbackScope scope(m_nConnectorCallbacks);
  if (eResult != 0 || !pProcessor) {
    znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] Connect Fail [%s]", CurrentRequestId(), m_oRequestInfo.m_strHost.c_str());
    if (!EndOnProxyRefusal()) RetryConnectStep(true);
    return;
  }
  NotifyOnConnected();
  znsyslog(kLogEvent, kHttpClientLogTag, __LINE__, "Id[%I64u] Connect [%s] <<<<>>>> Success", CurrentRequestId(),
           m_oRequestInfo.m_strHost.c_str());
  m_strsockIP = m_oRequestInfo.m_strHost;
  m_wsockPort = m_oRequestInfo.m_wPort;
  DestroySocket();
  CHttpSocket* pSocket = new CHttpSocket();
  pSocket->Attach(pProcessor);
  pSocket->SetSink(this);
  pSocket->SelectEvent(ZNSOCKET_EVENT_READ | ZNSOCKET_EVENT_WRITE, false);
  m_pSocket = pSocket;
  SendRequest();
}

bool CHttpClient::CloseTarget() {
  if (!m_pRpDataWriter) return true;
  const bool bFlushed = m_pRpDataWriter->Flush();
  m_pRpDataWriter->CloseFile();
  return bFlushed;
}

void CHttpClient::NotifyComplete(int32_t nCode) {
  if (nCode == kHttpResultSuccess && m_pRpDataWriter && m_pRpDataWriter->GetSkipLeft() != 0) {
    // The answer started again from byte 0 and ended before it reached what
    // the host's stream already holds: the stream cannot be made whole.
    znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] Answer ended [%I64u] bytes short of the stream, FAIL",
             CurrentRequestId(), m_pRpDataWriter->GetSkipLeft());
    nCode = kHttpResultFailed;
  }
  // The writer's cache holds the body's last bytes: a success that cannot
  // put them into the file is a local file failure.
  if (!CloseTarget() && (nCode == kHttpResultSuccess || nCode == kHttpResultNotModified)) {
    znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] Error DataWriter Flush fail", CurrentRequestId());
    nCode = kHttpResultLocalFile;
  }
  ClearHeaders();
  ClearFormFields();
  if (nCode != kHttpResultSuccess && nCode != kHttpResultNotModified) {
    DestroySocket();
    znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] $$$$$$$$$$$$$$$$$$$$$$ Fail NotifyComplete nError[%d]", CurrentRequestId(),
             static_cast<int>(nCode));
    m_bCompleted.store(true, std::memory_order_relaxed);
    SetTimer(kKeepAfterFailMs, kTimerStopTask, false);
    KillTimer(kTimerRecv);
    NotifyOnDownloadComplete(static_cast<uint32_t>(nCode));
    return;
  }
  AppendChunkTrailer();
  // A connection whose answer said close, or that held bytes beyond the
  // answer, never carries another request.
  const bool bClose = m_oResponse.m_bCloseConnection;
  if (bClose) DestroySocket();
  znsyslog(kLogDetail, kHttpClientLogTag, __LINE__, "Id[%I64u] Success NotifyComplete nRetCode[%d] Connection bClose[%d]", CurrentRequestId(),
           static_cast<int>(nCode), bClose ? 1 : 0);
  m_bCompleted.store(true, std::memory_order_relaxed);
  SetTimer(kKeepAfterSuccessMs, kTimerStopTask, false);
  KillTimer(kTimerRecv);
  NotifyOnDownloadComplete(static_cast<uint32_t>(nCode));
}

void CHttpClient::DestroySocket() {
  delete m_pSocket;
  m_pSocket = nullptr;
}

void CHttpClient::DestroyConnector() {
  if (!m_pConnector) return;
  if (m_nConnectorCallbacks > 0) {
    // Its connections close now; only the object waits until no callback of
    // it is on the stack.
    m_pConnector->Close();
    m_vecRetiredConnectors.push_back(m_pConnector);
  } else {
    delete m_pConnector;
  }
  m_pConnector = nullptr;
}

void CHttpClient::FreeRetiredConnectors() {
  if (m_nConnectorCallbacks > 0) return;
  for (CHttpConnector* pConnector : m_vecRetiredConnectors) delete pConnector;
  m_vecRetiredConnectors.clear();
}

void CHttpClient::ResetRequest() {
  HttpRequestInfo& ri = m_oRequestInfo;
  ri.m_strHost.clear();
  ri.m_lstHosts.clear();
  ri.m_strMethod.clear();
  ri.m_strUrl.clear();
  ri.m_strPath.clear();
  ri.m_strIfModifiedSince.clear();
  ri.m_strGivenSSLName.clear();
  ri.m_strGivenSSLHost.clear();
  ri.m_wPort = 0;
  ri.m_nRetryTimes = 0;
  ri.m_nRedirTimes = 0;
  ri.m_bRangeRetried = false;
  ri.m_bFormData = false;
  HttpResponseInfo& rs = m_oResponse;
  rs.m_strResponseHead.clear();
  rs.m_dwResponseStatusCode = 0;
  rs.m_qwContentLength = 0;
  rs.m_bChunked = false;
  rs.m_bWithChunkTrailer = false;
  rs.m_qwAnswerBytes = 0;
  rs.m_bCloseConnection = false;
  free(rs.m_pRecvBuf);
  rs.m_pRecvBuf = nullptr;
  rs.m_dwRecvBufLen = 0;
  rs.m_dwTmpRecvCurPos = 0;
  m_dwNextProgressTime = 0;
  m_bCompleted.store(false, std::memory_order_relaxed);
  delete m_pRqDataReader;
  m_pRqDataReader = nullptr;
  delete m_pFormBodyReader;
  m_pFormBodyReader = nullptr;
  m_bFormEndQueued = false;
  delete m_pRpDataWriter;
  m_pRpDataWriter = nullptr;
  ResetMessageState();
  DestroyConnector();
  FreeRetiredConnectors();
}

}  // namespace zn
