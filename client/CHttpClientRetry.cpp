// zn::CHttpClient: retrying a broken attempt, following a redirect, and the
// decision to reuse the kept connection. Worker thread only.
#include <cstring>

#include "base/znplatform.h"
#include "client/CHttpClient.h"
#include "http/HttpLog.h"
#include "http/CChunker.h"
#include "http/CHttpRequestHead.h"
#include "include/znhttpclienttls.h"

namespace zn {

void CHttpClient::RetryConnect() { RetryConnectStep(false); }

void CHttpClient::ForgetAnswer() {
  HttpResponseInfo& rs = m_oResponse;
  rs.m_strResponseHead.clear();
  rs.m_qwContentLength = 0;
  rs.m_bChunked = false;
  // The status and the body decoder belong to the broken answer too: a new
  // connection that ends before answering must not be judged by the old
  // status, and a new chunked answer starts with a fresh decoder.
  rs.m_dwResponseStatusCode = 0;
  rs.m_bWithChunkTrailer = false;
  rs.m_qwAnswerBytes = 0;
  rs.m_bCloseConnection = false;
  delete m_pChunker;
  m_pChunker = nullptr;
  if (rs.m_pRecvBuf) {
    rs.m_dwTmpRecvCurPos = 0;
    memset(rs.m_pRecvBuf, 0, rs.m_dwRecvBufLen + 1);
  }
  // The body is sent again from its start on the new connection, a
  // multipart body with all its parts.
  RestoreFormBody();
  if (m_pRqDataReader) m_pRqDataReader->Reset();
}

void CHttpClient::RetryConnectStep(bool bProxyFailure) {
  KillTimer(kTimerRecv);
  DestroySocket();
  bool bNoProxy = false;
  if (bProxyFailure && m_bProxyUsed) {
    // The failed attempt went through the proxy: one uncounted attempt without it.
    znsyslog(kLogEvent, kHttpClientLogTag, __LINE__, "Id[%I64u] RetryConnect had used proxy, try no proxy", CurrentRequestId());
    m_bProxyUsed = false;
    bNoProxy = true;
  } else {
    m_oRequestInfo.m_nRetryTimes += 1;
    if (m_oRequestInfo.m_nRetryTimes >= m_nMaxRetryTimes) {
      znsyslog(kLogEvent, kHttpClientLogTag, __LINE__, "Id[%I64u] m_oRequestInfo.m_nRetryTimes[%d] <= [%d],FAIL", CurrentRequestId(),
               static_cast<int>(m_oRequestInfo.m_nRetryTimes), static_cast<int>(m_nMaxRetryTimes));
      NotifyComplete(kHttpResultNoConnection);
      return;
    }
  }
  znsyslog(kLogEvent, kHttpClientLogTag, __LINE__, "Id[%I64u] RetryConnect URL[%s]", CurrentRequestId(), m_oRequestInfo.m_strUrl.c_str());
  ForgetAnswer();
  // The writer keeps what it has: the next head asks for the rest.
  ConnectStep(bNoProxy);
}

void CHttpClient::ReConnect() {
  KillTimer(kTimerRecv);
  DestroySocket();
  if (m_oRequestInfo.m_nRedirTimes > kMaxRedirTimes) {
    znsyslog(kLogEvent, kHttpClientLogTag, __LINE__, "Id[%I64u] m_oRequestInfo.m_nRedirTimes[%d] > [%d],FAIL", CurrentRequestId(),
             static_cast<int>(m_oRequestInfo.m_nRedirTimes), static_cast<int>(kMaxRedirTimes));
    NotifyComplete(kHttpResultFailed);
    return;
  }
  znsyslog(kLogEvent, kHttpClientLogTag, __LINE__, "Id[%I64u] ReConnect,m_nRetryTimes[%d] URL[%s]", CurrentRequestId(),
           static_cast<int>(m_oRequestInfo.m_nRetryTimes), m_oRequestInfo.m_strUrl.c_str());
  m_oRequestInfo.m_lstHosts.clear();
  ForgetAnswer();
  const zn::strutf8 strUrl(m_oRequestInfo.m_strUrl);
  const bool bOldHttps = m_oRequestInfo.m_bHttps;
  const zn::strutf8 strOldHost(m_oRequestInfo.m_strHost);
  const uint16_t wOldPort = m_oRequestInfo.m_wPort;
  // The certificate name is chosen by the new host, below.
  if (!CrackUrl(strUrl, zn::strutf8())) {
    znsyslog(kLogEvent, kHttpClientLogTag, __LINE__, "Id[%I64u] CrackUrl[%s] Fail", CurrentRequestId(), m_oRequestInfo.m_strUrl.c_str());
    NotifyComplete(kHttpResultFailed);
    return;
  }
  ApplyRedirectOrigin(bOldHttps, strOldHost, wOldPort);
  Connect();
}

void CHttpClient::ApplyRedirectOrigin(bool bHttps, const zn::strutf8& strHost, uint16_t wPort) {
  HttpRequestInfo& ri = m_oRequestInfo;
  // A certificate name the caller gave vouches for the host of its URL only;
  // another host must show its own name, or a redirect could lead to a
  // server that would be refused if asked for directly.
  const bool bGivenHost = !ri.m_strGivenSSLName.empty() && ri.m_strHost == ri.m_strGivenSSLHost;
  ri.m_strSSLName = bGivenHost ? ri.m_strGivenSSLName : ri.m_strHost;
  if (bHttps == ri.m_bHttps && strHost == ri.m_strHost && wPort == ri.m_wPort) return;
  // Another origin: the caller's credentials were meant for the first one.
  if (CHttpRequestHead::DropCredentials(m_oHeaders)) {
    znsyslog(kLogEvent, kHttpClientLogTag, __LINE__, "Id[%I64u] ReConnect to another origin, credentials dropped",
             CurrentRequestId());
  }
}

bool CHttpClient::SameChannel() {
  const SockChannel& ch = m_oSockChannel;
  if (ch.m_bHttps != m_oRequestInfo.m_bHttps) return false;
  if (!ch.m_bHttps) return true;
  zn::strutf8 strCAPath;
  const bool bVerify = zn_tlsverify_get(static_cast<IHttpClient*>(this), strCAPath);
  return ch.m_strSSLName == m_oRequestInfo.m_strSSLName && ch.m_bVerify == bVerify &&
         (!bVerify || ch.m_strCAPath == strCAPath);
}

bool CHttpClient::CanReuseTcp() {
  if (!m_pSocket) {
    znsyslog(kLogDetail, kHttpClientLogTag, __LINE__, "Id[%I64u] m_pSocket is NUll, can NOT reuse tcp", CurrentRequestId());
    return false;
  }
  if (m_strsockIP.empty()) {
    znsyslog(kLogDetail, kHttpClientLogTag, __LINE__, "Id[%I64u] m_strsockIP is NUll, can NOT reuse tcp", CurrentRequestId());
  } else if (m_wsockPort != m_oRequestInfo.m_wPort) {
    znsyslog(kLogDetail, kHttpClientLogTag, __LINE__, "Id[%I64u] m_wsockPort[%d] != Request port[%d], can NOT reuse tcp",
             CurrentRequestId(), static_cast<int>(m_wsockPort), static_cast<int>(m_oRequestInfo.m_wPort));
  } else if (!SameChannel()) {
    // Neither side of the mismatch may carry the other's bytes.
    znsyslog(kLogDetail, kHttpClientLogTag, __LINE__,
             "Id[%I64u] m_bsockHttps[%d] m_strsockSSLName[%s] m_bsockVerify[%d] differ from the request, can NOT reuse tcp",
             CurrentRequestId(), static_cast<int>(m_oSockChannel.m_bHttps), m_oSockChannel.m_strSSLName.c_str(),
             static_cast<int>(m_oSockChannel.m_bVerify));
  } else {
    for (const zn::strutf8& strHost : m_oRequestInfo.m_lstHosts) {
      if (strHost == m_strsockIP) return true;
    }
    znsyslog(kLogDetail, kHttpClientLogTag, __LINE__, "Id[%I64u] m_strsockIP[%s] is not in request list, can NOT reuse tcp",
             CurrentRequestId(), m_strsockIP.c_str());
  }
  // A kept connection that is not reused goes now: left open beside the new
  // connect, its close would be taken for the new request's.
  m_pSocket->Close();
  DestroySocket();
  return false;
}

}  // namespace zn
