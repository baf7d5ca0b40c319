// zn::CHttpClient: the notifications to the host. Each one tests its mask bit,
// moves itself to the notify task when it is not running there, and then
// calls the host's callback object: m_pNotify, else m_pNotifyRef between
// AddRef and Release.
#include "base/znplatform.h"
#include "client/CHttpClient.h"
#include "http/HttpLog.h"
#include "client/CHttpClientCalls.h"

namespace zn {

namespace {
const char kMethodGet[] = "GET";
}  // namespace

template <class Fn>
void CHttpClient::CallHost(Fn fn) {
  if (m_pNotify) {
    fn(m_pNotify);
  } else if (IHttpClientNotifyRef* pRef = m_pNotifyRef) {
    pRef->AddRef();
    fn(pRef);
    pRef->Release();
  }
}

void CHttpClient::NotifyOnConnecting(const zn::strutf16& strHost) {
  if (!(m_byNotifyFlags & kNotifyConnecting)) return;
  if (MustPost(m_pNotifyTask)) {
    PostCall(m_pNotifyTask, new zn_task_call_CHttpClientNotifyOnConnecting(this, strHost));
    return;
  }
  znsyslog(kLogEvent, kHttpClientLogTag, __LINE__, "Id[%I64u] notify OnConnecting", CurrentRequestId());
  zn::strutf16 strArg(strHost);
  CallHost([&](auto* p) { p->OnConnecting(this, strArg); });
}

void CHttpClient::NotifyOnConnected() {
  if (!(m_byNotifyFlags & kNotifyConnected)) return;
  if (MustPost(m_pNotifyTask)) {
    PostCall(m_pNotifyTask, new zn_task_call_CHttpClientNotifyOnConnected(this));
    return;
  }
  znsyslog(kLogEvent, kHttpClientLogTag, __LINE__, "Id[%I64u] notify NotifyOnConnected", CurrentRequestId());
  CallHost([&](auto* p) { p->OnConnected(this); });
}

void CHttpClient::NotifyOnDownloadStart(uint32_t dwPresent, uint32_t dwTotal) {
  if (!(m_byNotifyFlags & kNotifyDownloadStart)) return;
  if (MustPost(m_pNotifyTask)) {
    PostCall(m_pNotifyTask, new zn_task_call_CHttpClientNotifyOnDownloadStart(this, dwPresent, dwTotal));
    return;
  }
  znsyslog(kLogEvent, kHttpClientLogTag, __LINE__, "Id[%I64u] notify OnDownloadStart", CurrentRequestId());
  CallHost([&](auto* p) { p->OnDownloadStart(this, dwPresent, dwTotal); });
}

void CHttpClient::NotifyOnProgress(uint64_t qwDone, uint64_t qwTotal, uint32_t dwRate, uint64_t qwDelta) {
  if (MustPost(m_pNotifyTask)) {
    PostCall(m_pNotifyTask, new zn_task_call_CHttpClientNotifyOnProgress(this, qwDone, qwTotal, dwRate, qwDelta));
    return;
  }
  CallHost([&](auto* p) { p->OnProgress(this, qwDone, qwTotal, dwRate, qwDelta); });
}

void CHttpClient::NotifyOnDownloadComplete(uint32_t dwCode) {
  if (MustPost(m_pNotifyTask)) {
    PostCall(m_pNotifyTask, new zn_task_call_CHttpClientNotifyOnDownloadComplete(this, dwCode));
    return;
  }
  znsyslog(kLogDetail, kHttpClientLogTag, __LINE__, "Id[%I64u]  notify OnDownloadComplete dwCode[%u]", CurrentRequestId(), dwCode);
  // The client is idle from here on: a host may start the next transfer from
  // inside the callback.
  m_bRunning.store(false, std::memory_order_relaxed);
  g_qwHttpRequestId.store(0, std::memory_order_relaxed);
  CallHost([&](auto* p) { p->OnDownloadComplete(this, dwCode); });
}

void CHttpClient::NotifyOnRedirected(const zn::strutf16& strUrl) {
  if (MustPost(m_pNotifyTask)) {
    PostCall(m_pNotifyTask, new zn_task_call_CHttpClientNotifyOnRedirected(this, strUrl));
    return;
  }
  zn::strutf16 strArg(strUrl);
  CallHost([&](auto* p) { p->OnRedirected(this, strArg); });
}

void CHttpClient::NotifyOnReConnect() {
  if (MustPost(m_pNotifyTask)) {
    PostCall(m_pNotifyTask, new zn_task_call_CHttpClientNotifyOnReConnect(this));
    return;
  }
  znsyslog(kLogEvent, kHttpClientLogTag, __LINE__, "Id[%I64u] notify OnReConnect", CurrentRequestId());
}

void CHttpClient::NotifyRedirect() {
  znsyslog(kLogEvent, kHttpClientLogTag, __LINE__, "Id[%I64u] notify OnRedirected...", CurrentRequestId());
  if (!m_bSyncRedirectNotify) {
    NotifyOnRedirected(zn::strutf16(m_oRequestInfo.m_strUrl));
    return;
  }
  // In place on the worker: the host may rewrite the target.
  zn::strutf16 strUrl(m_oRequestInfo.m_strUrl);
  CallHost([&](auto* p) { p->OnRedirected(this, strUrl); });
  m_oRequestInfo.m_strUrl = strUrl;
}

void CHttpClient::ReportProgress(bool bForce) {
  if (!(m_byNotifyFlags & kNotifyProgress)) return;
  const uint32_t dwNow = zn_time();
  if (!bForce && dwNow < m_dwNextProgressTime) return;
  m_dwNextProgressTime = dwNow + 1;
  const uint64_t qwTick = zn_gettickcount();
  uint64_t qwDelta = 0;
  uint32_t dwRate = 0;
  if (m_oRequestInfo.m_strMethod == kMethodGet) {
    uint64_t qwDone = 0;
    if (m_pRpDataWriter) {
      if (qwTick > m_pRpDataWriter->FirstWriteTime()) dwRate = m_pRpDataWriter->GetSpeed(qwTick, &qwDelta);
      qwDone = m_pRpDataWriter->GetDownloadedSize();
    }
    NotifyOnProgress(qwDone, m_oResponse.m_qwContentLength, dwRate, qwDelta);
    return;
  }
  uint64_t qwDone = 0;
  uint64_t qwTotal = 0;
  if (m_pRqDataReader) {
    CSpeedCounter& meter = m_pRqDataReader->Meter();
    // The meter's query zeroes the delta and, past its start, yields the
    // average rate of the whole upload.
    dwRate = meter.GetSpeed(qwTick, &qwDelta);
    qwDone = m_pRqDataReader->GetPos();
    qwTotal = m_pRqDataReader->GetLength();
  }
  NotifyOnProgress(qwDone, qwTotal, dwRate, qwDelta);
}

}  // namespace zn
