// zn::CHttpClient: the transfer entry points. Each checks its arguments,
// refuses while a transfer runs, fills a parameter record, sets m_bRunning
// and hands the record to Request, which moves to the worker. Host threads.
#include "base/znplatform.h"
#include "client/CHttpClient.h"
#include "http/HttpLog.h"
#include "client/CHttpClientCalls.h"

namespace zn {

namespace {

void SetIfModifiedSince(HttpRequestParam& param, const SYSTEMTIME* pIfModifiedSince) {
  param.bIfModifiedSince = pIfModifiedSince != nullptr;
  if (pIfModifiedSince) param.stIfModifiedSince = *pIfModifiedSince;
}

size_t WideLength(const znwchar_t* p) {
  size_t n = 0;
  while (p && p[n]) ++n;
  return n;
}

bool WideEmpty(const znwchar_t* p) { return WideLength(p) == 0; }

}  // namespace

bool CHttpClient::RefuseWhileRunning(const char* pEntry, const char* pUrl) {
  if (!m_bRunning.load(std::memory_order_relaxed)) return false;
  znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] Error %s,m_bRunning[%d] [%s]", CurrentRequestId(), pEntry,
           1, pUrl);
  return true;
}

bool CHttpClient::Start(HttpRequestParam& param) {
  m_bRunning.store(true, std::memory_order_relaxed);
  if (!StartWorker()) {
    m_bRunning.store(false, std::memory_order_relaxed);
    DropStream(param.pStreamWriter);
    param.pStreamWriter = nullptr;
    return false;
  }
  Request(param);
  return true;
}

bool CHttpClient::Download(const zn::strutf16& strPath, const zn::strutf16& strPort, const zn::hostlist& lstHosts,
                           const zn::strutf16& strFile, const SYSTEMTIME* pIfModifiedSince, bool bResume) {
  if (lstHosts.empty()) {
    znsyslog(kLogWarning, kHttpClientLogTag, __LINE__, "Id[%I64u] Download:strHost is empty", CurrentRequestId());
    return false;
  }
  if (strFile.empty()) {
    znsyslog(kLogWarning, kHttpClientLogTag, __LINE__, "Id[%I64u] Download:strFileName is empty", CurrentRequestId());
    return false;
  }
  if (m_bRunning.load(std::memory_order_relaxed)) {
    znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] Download is Running", CurrentRequestId());
    return false;
  }
  HttpRequestParam param;
  param.strUrl = strPath;
  param.strPort = strPort;
  param.lstHosts = lstHosts;
  param.nMethod = HTTPMETHOD_GET;
  param.strDownloadFile = strFile;
  SetIfModifiedSince(param, pIfModifiedSince);
  param.bResume = bResume;
  return Start(param);
}

bool CHttpClient::Download(const zn::strutf16& strUrl, const zn::strutf16& strFile, const SYSTEMTIME* pIfModifiedSince,
                           bool bResume) {
  // The same checks, texts and parameters as the UTF-8 form without a certificate name.
  return Download(zn::strutf8(strUrl), zn::strutf8(), zn::strutf8(strFile), pIfModifiedSince, bResume);
}

bool CHttpClient::Download(const zn::strutf8& strUrl, const zn::strutf8& strFile, const SYSTEMTIME* pIfModifiedSince,
                           bool bResume) {
  return Download(strUrl, zn::strutf8(), strFile, pIfModifiedSince, bResume);
}

bool CHttpClient::Download(const zn::strutf8& strUrl, const zn::strutf8& strSSLName, const zn::strutf8& strFile,
                           const SYSTEMTIME* pIfModifiedSince, bool bResume) {
  if (strUrl.empty() || strFile.empty()) {
    znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] Error Download,Param Error", CurrentRequestId());
    return false;
  }
  if (RefuseWhileRunning("Download", strUrl.c_str())) return false;
  HttpRequestParam param;
  param.strUrl = strUrl;
  param.strSSLName = strSSLName;
  param.nMethod = HTTPMETHOD_GET;
  param.strDownloadFile = strFile;
  SetIfModifiedSince(param, pIfModifiedSince);
  param.bResume = bResume;
  return Start(param);
}

bool CHttpClient::Download(const zn::strutf16& strUrl, const SYSTEMTIME* pIfModifiedSince) {
  if (strUrl.empty()) return false;
  const zn::strutf8 strUrl8(strUrl);
  if (RefuseWhileRunning("Download", strUrl8.c_str())) return false;
  HttpRequestParam param;
  param.strUrl = strUrl8;
  param.nMethod = HTTPMETHOD_GET;
  SetIfModifiedSince(param, pIfModifiedSince);
  return Start(param);
}

bool CHttpClient::DownloadToStream(const zn::strutf16& strUrl, IZNStreamWriter* pStream, uint32_t /*dwReserved*/) {
  if (strUrl.empty() || !pStream) {
    znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] Error DownloadToStream,Param Error", CurrentRequestId());
    DropStream(pStream);
    return false;
  }
  const zn::strutf8 strUrl8(strUrl);
  if (RefuseWhileRunning("DownloadToStream", strUrl8.c_str())) {
    DropStream(pStream);
    return false;
  }
  HttpRequestParam param;
  param.strUrl = strUrl8;
  param.nMethod = HTTPMETHOD_GET;
  param.pStreamWriter = pStream;
  return Start(param);
}

bool CHttpClient::HttpRequestToBuffer(const zn::strutf16& strPath, const zn::strutf16& strPort,
                                      const zn::hostlist& lstHosts, int32_t nMethod, const char* pData,
                                      uint32_t dwLen) {
  if (lstHosts.empty()) {
    znsyslog(kLogWarning, kHttpClientLogTag, __LINE__, "Id[%I64u]  HttpRequestToBuffer:strHost is empty", CurrentRequestId());
    return false;
  }
  if (nMethod != HTTPMETHOD_GET && nMethod != HTTPMETHOD_POST) {
    znsyslog(kLogWarning, kHttpClientLogTag, __LINE__,
             "Id[%I64u]  HttpRequestToBuffer:nMethod[%d] should be HTTPMETHOD_GET[%d] or HTTPMETHOD_POST[%d]",
             CurrentRequestId(), static_cast<int>(nMethod), HTTPMETHOD_GET, HTTPMETHOD_POST);
    return false;
  }
  if (m_bRunning.load(std::memory_order_relaxed)) {
    znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u]  HttpRequestToBuffer:Error HttpRequestToBuffer, m_bRunning[%d]",
             CurrentRequestId(), 1);
    return false;
  }
  HttpRequestParam param;
  param.strUrl = strPath;
  param.strPort = strPort;
  param.lstHosts = lstHosts;
  param.nMethod = nMethod;
  if (pData && dwLen) param.streamBody.assign(pData, dwLen);
  return Start(param);
}

bool CHttpClient::HttpRequestToBuffer(const zn::strutf16& strUrl, int32_t nMethod, const char* pData,
                                      uint32_t dwLen) {
  if (strUrl.empty() || (nMethod != HTTPMETHOD_GET && nMethod != HTTPMETHOD_POST)) return false;
  const zn::strutf8 strUrl8(strUrl);
  if (RefuseWhileRunning("HttpRequestToBuffer", strUrl8.c_str())) return false;
  HttpRequestParam param;
  param.strUrl = strUrl8;
  param.nMethod = nMethod;
  if (pData && dwLen) param.streamBody.assign(pData, dwLen);
  return Start(param);
}

bool CHttpClient::Upload(const zn::strutf16& strUrl, const char* pData, uint32_t dwLen) {
  if (strUrl.empty() || dwLen == 0 || !pData) return false;
  return Upload(zn::strutf8(strUrl), zn::strutf8(), pData, static_cast<int32_t>(dwLen));
}

bool CHttpClient::Upload(const zn::strutf8& strUrl, const char* pData, uint32_t dwLen) {
  return Upload(strUrl, zn::strutf8(), pData, static_cast<int32_t>(dwLen));
}

bool CHttpClient::Upload(const zn::strutf8& strUrl, const zn::strutf8& strSSLName, const char* pData, int32_t nLen) {
  if (strUrl.empty() || nLen <= 0 || !pData) return false;
  if (RefuseWhileRunning("Upload", strUrl.c_str())) return false;
  HttpRequestParam param;
  param.strUrl = strUrl;
  param.strSSLName = strSSLName;
  param.nMethod = HTTPMETHOD_POST;
  param.streamBody.assign(pData, static_cast<uint32_t>(nLen));
  return Start(param);
}

bool CHttpClient::Upload(const zn::strutf16& strUrl, const zn::strutf16& strFile) {
  return Upload(strUrl, strFile, 0);
}

bool CHttpClient::Upload(const zn::strutf16& strUrl, const zn::strutf16& strFile, uint64_t qwStart) {
  if (strUrl.empty()) return false;
  const zn::strutf8 strUrl8(strUrl);
  if (RefuseWhileRunning("Upload", strUrl8.c_str())) return false;
  HttpRequestParam param;
  param.strUrl = strUrl8;
  param.nMethod = HTTPMETHOD_POST;
  param.strUploadFile = strFile;
  param.qwUploadOffset = qwStart;
  return Start(param);
}

bool CHttpClient::CheckFormUpload(const zn::strutf16& strUrl, const void* pSource) {
  if (strUrl.empty()) return false;
  if (RefuseWhileRunning("UploadFormData", zn::strutf8(strUrl).c_str())) return false;
  if (m_oRequestInfo.m_strBoundary.empty()) MakeBoundary(m_oRequestInfo.m_strBoundary);
  if (m_oRequestInfo.m_strFormDataHead.empty() && !pSource) {
    znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] Error strFormDatas IsEmpty", CurrentRequestId());
    return false;
  }
  return true;
}

bool CHttpClient::UploadFormData(const zn::strutf16& strUrl, const znwchar_t* pFieldName, const char* pData,
                                 uint32_t dwLen, const znwchar_t* pFileName) {
  if (!CheckFormUpload(strUrl, pData)) return false;
  HttpRequestParam param;
  param.strUrl = strUrl;
  param.nMethod = HTTPMETHOD_POST;
  if (pData && dwLen && !WideEmpty(pFieldName) &&
      !AppendFormPart(pFieldName, WideEmpty(pFileName) ? nullptr : pFileName)) {
    return false;
  }
  if (pData && dwLen) param.streamBody.assign(pData, dwLen);
  param.bFormData = true;
  m_oRequestInfo.m_bFormData = true;
  return Start(param);
}

bool CHttpClient::UploadFormData(const zn::strutf16& strUrl, const znwchar_t* pFieldName,
                                 const znwchar_t* pFilePath) {
  if (!CheckFormUpload(strUrl, WideEmpty(pFilePath) ? nullptr : pFilePath)) return false;
  HttpRequestParam param;
  param.strUrl = strUrl;
  param.nMethod = HTTPMETHOD_POST;
  if (!WideEmpty(pFieldName) && !WideEmpty(pFilePath)) {
    if (!AppendFormPart(pFieldName, pFilePath)) return false;
    param.strUploadFile = zn::strutf16(pFilePath);
  }
  param.bFormData = true;
  m_oRequestInfo.m_bFormData = true;
  return Start(param);
}

bool CHttpClient::Post(const char* pHost, uint16_t wPort, const zn::strutf8& strHead, const zn::strutf8& strBody) {
  // Like every other entry point, Post marks the client busy, so that its
  // answer is read and the next transfer waits for its completion.
  m_bRunning.store(true, std::memory_order_relaxed);
  if (!StartWorker()) {
    m_bRunning.store(false, std::memory_order_relaxed);
    return false;
  }
  if (MustPost(m_pHttpTask)) {
    PostCall(m_pHttpTask, new zn_task_call_CHttpClientPost(this, pHost, wPort, strHead, strBody));
    return true;
  }
  PostOnWorker(pHost, wPort, strHead, strBody);
  return true;
}

void CHttpClient::PostOnWorker(const char* pHost, uint16_t wPort, const zn::strutf8& strHead,
                               const zn::strutf8& strBody) {
  if (!m_bRunning.load(std::memory_order_relaxed)) return;  // a Stop came first
  g_qwHttpRequestId.fetch_add(1, std::memory_order_relaxed);
  KillTimer(kTimerStopTask);
  ResetRequest();
  m_pRpDataWriter = new HttpResponseDataWriter();
  m_pRpDataWriter->Open(false, nullptr, nullptr);
  if (!strBody.empty()) {
    m_pRqDataReader = new CDataReader();
    m_pRqDataReader->SetBuffer(strBody.c_str(), strBody.length());
  }
  // A prepared exchange always goes over plain TCP to the given address.
  m_oRequestInfo.m_bHttps = false;
  m_oRequestInfo.m_strSSLName.clear();
  m_oRequestInfo.m_lstHosts.push_back(zn::strutf8(pHost));
  m_oRequestInfo.m_wPort = wPort;
  m_oRequestInfo.m_strMethod = "GET";
  m_strRqHead = strHead;
  m_bBuildHead = false;
  Connect();
}

}  // namespace zn
