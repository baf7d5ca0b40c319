// zn::CHttpClient: the send and receive loop on the connection, and the
// client's two timers. Worker thread only.
#include <cstdlib>
#include <cstring>

#include "base/znplatform.h"
#include "client/CHttpClient.h"
#include "http/HttpLog.h"

namespace zn {

namespace {
const char kMethodPost[] = "POST";
// Closes a multipart body; filled with the boundary.
const char kFormEndFormat[] = "\r\n--%s--\r\n\r\n";
constexpr const char kMethodGet[] = "GET";
constexpr uint32_t kStatusOk = 200;
constexpr uint32_t kStatusNonAuthoritative = 203;
constexpr uint32_t kStatusPartial = 206;
constexpr uint32_t kFirstRedirectStatus = 301;
constexpr uint32_t kStatusSeeOther = 303;
constexpr uint32_t kLastRedirectStatus = 399;
// A bounded look at an idle kept connection: one byte there is already too many.
constexpr uint32_t kIdleProbeLen = 64;

// Statuses whose answer carries the body the request asked for.
bool IsBodyStatus(uint32_t dwStatus) {
  return (dwStatus >= kStatusOk && dwStatus <= kStatusNonAuthoritative) || dwStatus == kStatusPartial;
}
}  // namespace

bool CHttpClient::MayResend() const { return m_bBuildHead && m_oRequestInfo.m_strMethod == kMethodGet; }

void CHttpClient::RetryOrFail() {
  if (MayResend()) {
    NotifyOnReConnect();
    RetryConnectStep(false);
    return;
  }
  // The server may have run the request already: it is not sent again.
  znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] %s answer broken after [%I64u] bytes, not sent again",
           CurrentRequestId(), m_bBuildHead ? m_oRequestInfo.m_strMethod.c_str() : "prepared",
           m_oResponse.m_qwAnswerBytes);
  NotifyComplete(kHttpResultFailed);
}

void CHttpClient::SendRequest() {
  DestroyConnector();
  if (!m_pSocket) return;
  m_pSocket->SelectEvent(ZNSOCKET_EVENT_READ | ZNSOCKET_EVENT_WRITE, false);
  if (m_bBuildHead) {
    m_strRqHead.clear();
    if (!BuildRqHead(m_strRqHead)) {
      // A caller's text the head cannot carry: nothing of it is sent.
      NotifyComplete(kHttpResultBadUrl);
      return;
    }
    if (m_strRqHead.empty()) {
      znsyslog(kLogWarning, kHttpClientLogTag, __LINE__, "Id[%I64u] BuildRqHead failed or strRqHead[%u] == 0", CurrentRequestId(),
               m_strRqHead.length());
      NotifyComplete(kHttpResultFailed);
      return;
    }
  }
  if (m_oRequestInfo.m_strMethod == kMethodPost && m_pRqDataReader) {
    NotifyOnDownloadStart(ClampToUint32(m_pRqDataReader->GetPos()), ClampToUint32(m_pRqDataReader->GetLength()));
  }
  m_dwRqHeadSent = 0;
  m_bFormEndQueued = false;
  bool bSent = false;
  SendData(bSent);
  // A body source that failed has completed the request already; the
  // receive timer must not outlive that completion.
  if (m_bCompleted.load(std::memory_order_relaxed)) return;
  KillTimer(kTimerRecv);
  SetTimer(m_dwRecvTimeout, kTimerRecv, false);
}

bool CHttpClient::QueueFormEnd() {
  if (!m_oRequestInfo.m_bFormData || m_bFormEndQueued) return false;
  zn::strutf8 strEnd;
  strEnd.format(kFormEndFormat, m_oRequestInfo.m_strBoundary.c_str());
  // The body's reader is kept: a retry or a redirect sends it again.
  delete m_pFormBodyReader;
  m_pFormBodyReader = m_pRqDataReader;
  m_pRqDataReader = new CDataReader();
  m_pRqDataReader->SetBuffer(strEnd.c_str(), strEnd.length());
  m_bFormEndQueued = true;
  return true;
}

void CHttpClient::RestoreFormBody() {
  if (!m_bFormEndQueued) return;
  delete m_pRqDataReader;
  m_pRqDataReader = m_pFormBodyReader;
  m_pFormBodyReader = nullptr;
  m_bFormEndQueued = false;
}

void CHttpClient::SendData(bool& bSent) {
  bSent = false;
  if (!m_pSocket) return;
  const uint32_t dwHeadLen = m_strRqHead.length();
  if (m_dwRqHeadSent < dwHeadLen) {
    const int n = m_pSocket->Send(m_strRqHead.c_str() + m_dwRqHeadSent, dwHeadLen - m_dwRqHeadSent);
    if (n > 0) {
      m_dwRqHeadSent += static_cast<uint32_t>(n);
      bSent = true;
    }
  }
  if (m_dwRqHeadSent < dwHeadLen) return;  // the next OnSend continues

  if (m_pRqDataReader && !m_pRqDataReader->IsEnd()) {
    const unsigned char* pData = nullptr;
    uint32_t dwLen = 0;
    if (!m_pRqDataReader->GetData(&pData, &dwLen) || !pData || dwLen == 0) {
      NotifyComplete(kHttpResultFailed);
      return;
    }
    const int n = m_pSocket->Send(pData, dwLen);
    if (n <= 0) return;  // wait for OnSend
    bSent = true;
    m_pRqDataReader->Skip(static_cast<uint64_t>(n));
    if (m_oRequestInfo.m_strMethod == kMethodPost) ReportProgress(m_pRqDataReader->IsEnd());
    if (!m_pRqDataReader->IsEnd()) return;
    if (QueueFormEnd()) return;  // the next OnSend sends the closing delimiter
    m_pSocket->SelectEvent(ZNSOCKET_EVENT_WRITE, true);
    m_pSocket->SelectEvent(ZNSOCKET_EVENT_READ, false);
    znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] SendData all sented, SelectEvent(ZNSOCKET_EVENT_READ)",
             CurrentRequestId());
    return;
  }
  if (QueueFormEnd()) return;
  m_pSocket->SelectEvent(ZNSOCKET_EVENT_WRITE, true);
  m_pSocket->SelectEvent(ZNSOCKET_EVENT_READ, false);
}

void CHttpClient::OnSend(CZNITCPSocket* /*pSocket*/) {
  FreeRetiredConnectors();
  bool bSent = false;
  SendData(bSent);
  // SendData may have completed the request and destroyed the connection.
  if (m_pSocket && (m_dwRqHeadSent < m_strRqHead.length() || (m_pRqDataReader && !m_pRqDataReader->IsEnd())))
    m_pSocket->SelectEvent(ZNSOCKET_EVENT_WRITE, false);
  if (bSent && !m_bCompleted.load(std::memory_order_relaxed)) {
    KillTimer(kTimerRecv);
    SetTimer(m_dwRecvTimeout, kTimerRecv, false);
  }
}

void CHttpClient::OnRecv(CZNITCPSocket* /*pSocket*/) {
  FreeRetiredConnectors();
  if (!m_pSocket) return;
  if (m_bCompleted.load(std::memory_order_relaxed)) {
    // Bytes on an idle kept connection answer no request: they would be
    // taken for the next request's answer, so the connection goes.
    unsigned char probe[kIdleProbeLen];
    if (m_pSocket->Recv(probe, sizeof(probe)) > 0) {
      znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] bytes behind a complete answer, close the connection",
               CurrentRequestId());
      DestroySocket();
    }
    return;
  }
  if (!m_bRunning.load(std::memory_order_relaxed)) {
    znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] OnRecv but not bRunning", CurrentRequestId());
    return;
  }
  HttpResponseInfo& rs = m_oResponse;
  rs.m_bReConnect = 2;
  rs.m_nErrorCode = kHttpResultFailed;
  if (!rs.m_pRecvBuf) {
    rs.m_pRecvBuf = static_cast<unsigned char*>(calloc(kHttpRecvBufSize + 1, 1));
    if (!rs.m_pRecvBuf) {
      NotifyComplete(kHttpResultFailed);
      return;
    }
    rs.m_dwRecvBufLen = kHttpRecvBufSize;
    rs.m_dwTmpRecvCurPos = 0;
  }
  const int n = m_pSocket->Recv(rs.m_pRecvBuf + rs.m_dwTmpRecvCurPos, rs.m_dwRecvBufLen - rs.m_dwTmpRecvCurPos);
  if (n <= 0) return;
  KillTimer(kTimerRecv);
  SetTimer(m_dwRecvTimeout, kTimerRecv, false);
  rs.m_dwTmpRecvCurPos += static_cast<uint32_t>(n);
  rs.m_pRecvBuf[rs.m_dwTmpRecvCurPos] = 0;
  rs.m_qwAnswerBytes += static_cast<uint64_t>(n);

  bool bComplete = false;
  if (AnalyseResp(bComplete)) {
    if (bComplete) NotifyComplete(kHttpResultSuccess);
    return;
  }
  if (rs.m_bReConnect != 1) {
    NotifyComplete(rs.m_nErrorCode);
    return;
  }
  if (rs.m_dwResponseStatusCode >= kFirstRedirectStatus && rs.m_dwResponseStatusCode <= kLastRedirectStatus) {
    if (rs.m_dwResponseStatusCode == kStatusSeeOther && m_oRequestInfo.m_strMethod != kMethodGet) {
      // See Other: the new location is fetched, never sent the body.
      m_oRequestInfo.m_strMethod = kMethodGet;
      m_oRequestInfo.m_bFormData = false;
      RestoreFormBody();  // a multipart body set aside for its delimiter goes too
      delete m_pRqDataReader;
      m_pRqDataReader = nullptr;
    }
    NotifyRedirect();
    ReConnect();
    return;
  }
  RetryOrFail();
}

void CHttpClient::OnClose(CZNITCPSocket* /*pSocket*/) {
  HttpResponseInfo& rs = m_oResponse;
  znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] OnClose dwTmpRecvCurPos[%u]", CurrentRequestId(), rs.m_dwTmpRecvCurPos);
  KillTimer(kTimerStopTask);
  const bool bByError = m_pSocket && m_pSocket->IsClosedByError();
  DestroySocket();
  if (!m_bRunning.load(std::memory_order_relaxed) || m_bCompleted.load(std::memory_order_relaxed)) {
    SetTimer(kKeepAfterFailMs, kTimerStopTask, false);
    return;
  }
  if (m_bReuseTcp && rs.m_qwAnswerBytes == 0) {
    // A kept connection that the server closed before answering: the
    // request never reached it, so any request may go again.
    rs.m_bReConnect = 1;
    rs.m_nErrorCode = kHttpResultSuccess;
    NotifyOnReConnect();
    RetryConnectStep(false);
    return;
  }
  if (!IsBodyStatus(rs.m_dwResponseStatusCode)) {
    NotifyComplete(kHttpResultRefused);
    return;
  }
  if (!rs.m_bChunked && rs.m_qwContentLength == 0) {
    // The body ends with the connection, if the connection ended cleanly.
    if (bByError) {
      znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] body without length ended by an error, let it Error",
               CurrentRequestId());
      NotifyComplete(kHttpResultFailed);
      return;
    }
    NotifyComplete(kHttpResultSuccess);
    return;
  }
  RetryOrFail();
}

void CHttpClient::OnTimer(unsigned int id) {
  FreeRetiredConnectors();
  const HttpResponseInfo& rs = m_oResponse;
  switch (id) {
    case kTimerRecv:
      if (m_bCompleted.load(std::memory_order_relaxed)) {
        KillTimer(kTimerRecv);
        return;
      }
      znsyslog(kLogWarning, kHttpClientLogTag, __LINE__, "Id[%I64u] Data Receive Time Out [%u]s!", CurrentRequestId(), m_dwRecvTimeout);
      if (IsBodyStatus(rs.m_dwResponseStatusCode) && !rs.m_bChunked && rs.m_qwContentLength == 0) {
        // The server may send more later: this connection cannot be trusted for another request.
        m_oResponse.m_bCloseConnection = true;
        NotifyComplete(kHttpResultSuccess);
      } else {
        RetryOrFail();
      }
      return;
    case kTimerStopTask:
      znsyslog(kLogDetail, kHttpClientLogTag, __LINE__, "Id[%I64u] Timer of stop task timeout[%u]", CurrentRequestId(), id);
      KillTimer(kTimerStopTask);
      DestroySocket();
      return;
    default:
      znsyslog(kLogWarning, kHttpClientLogTag, __LINE__, "Id[%I64u] Timer[%u] Out, but NOT be processed!", CurrentRequestId(), id);
      return;
  }
}

}  // namespace zn
