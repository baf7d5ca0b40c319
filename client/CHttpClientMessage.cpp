// zn::CHttpClient: the message-layer members. They keep the client's names
// and delegate to the classes of http/, handing them the request record, the
// response fields, the caller's headers and the client's slots for the
// writer, the chunked decoder and the cookie jar.
#include <cstdlib>

#include "base/znplatform.h"
#include "client/CHttpClient.h"
#include "http/HttpLog.h"
#include "http/CChunker.h"
#include "http/CHttpCookie.h"
#include "http/CHttpFormData.h"
#include "http/CHttpHeaderQuery.h"
#include "http/CHttpRequestHead.h"
#include "http/CHttpResponseAnalyser.h"
#include "http/CHttpUrl.h"

namespace zn {

HttpMessageSettings CHttpClient::MessageSettings() const {
  HttpMessageSettings settings;
  settings.m_bGbkHead = m_bGbkHead;
  settings.m_bUseCookie = m_bUseCookie;
  settings.m_nMaxRetryTimes = m_nMaxRetryTimes;
  return settings;
}

// ---- caller headers and form fields (host thread, while idle) ----

bool CHttpClient::AddHeader(const zn::strutf16& strName, uint32_t dwValue) {
  return CHttpRequestHead::AddHeader(m_oHeaders, strName, dwValue);
}

bool CHttpClient::AddHeader(const zn::strutf16& strName, const zn::strutf16& strValue) {
  return CHttpRequestHead::AddHeader(m_oHeaders, strName, strValue);
}

bool CHttpClient::AddHeaderLine(const zn::strutf16& strLine) {
  return CHttpRequestHead::AddHeaderLine(m_oHeaders, strLine);
}

void CHttpClient::ClearHeaders() { CHttpRequestHead::ClearHeaders(m_oHeaders); }

bool CHttpClient::AddFormField(const zn::strutf16& strName, const zn::strutf16& strValue) {
  return CHttpFormData::AddFormField(m_oRequestInfo, m_bGbkHead, strName, strValue);
}

void CHttpClient::ClearFormFields() { CHttpFormData::ClearFormFields(m_oRequestInfo); }

void CHttpClient::MakeBoundary(zn::strutf8& strBoundary) { CHttpFormData::MakeBoundary(strBoundary); }

// ---- header queries of the stored response head ----

bool CHttpClient::QueryInfo(const zn::strutf8& strName, zn::strutf8& strValue, bool bTrim) {
  return CHttpHeaderQuery::QueryInfo(m_oResponse.m_strResponseHead, strName.c_str(), strValue, bTrim);
}

bool CHttpClient::QueryInfoNumber(const zn::strutf16& strName, uint32_t& dwValue) {
  return CHttpHeaderQuery::QueryInfoNumber(m_oResponse.m_strResponseHead, strName, dwValue);
}

bool CHttpClient::QueryInfo(const zn::strutf16& strName, zn::strutf16& strValue, bool bTrim) {
  return CHttpHeaderQuery::QueryInfo(m_oResponse.m_strResponseHead, strName, strValue, bTrim);
}

bool CHttpClient::GetResponseFileName(zn::strutf16& strNameInOut) {
  return CHttpHeaderQuery::GetResponseFileName(m_oResponse.m_strResponseHead, m_oRequestInfo.m_strUrl, strNameInOut);
}

// ---- worker thread: URL, head and response ----

bool CHttpClient::CrackUrl(const zn::strutf8& strUrl, const zn::strutf8& strSSLName) {
  return CHttpUrl::CrackUrl(m_oRequestInfo, strUrl.c_str(), strSSLName);
}

bool CHttpClient::CrackUrl(const zn::strutf8& strPath, const zn::strutf8& strPort, const zn::hostlist& lstHosts) {
  return CHttpUrl::CrackUrl(m_oRequestInfo, strPath, strPort, lstHosts);
}

void CHttpClient::BuildIfModifiedSince(const SYSTEMTIME* pTime) {
  CHttpRequestHead::BuildIfModifiedSince(m_oRequestInfo, pTime);
}

bool CHttpClient::BuildRqHead(zn::strutf8& strHead) {
  return CHttpRequestHead::BuildRqHead(m_oRequestInfo, m_oHeaders, MessageSettings(), m_pRqDataReader,
                                       m_pRpDataWriter, m_pHttpCookie, strHead);
}

bool CHttpClient::AnalyseResp(bool& bComplete) {
  const HttpMessageSettings settings = MessageSettings();
  CHttpResponseAnalyser analyser(m_oRequestInfo, m_oResponse, settings, m_pRpDataWriter, m_pChunker, m_pHttpCookie,
                                 this);
  return analyser.AnalyseResp(bComplete);
}

void CHttpClient::AppendChunkTrailer() {
  if (!m_oResponse.m_bWithChunkTrailer || !m_pChunker) return;
  zn::strutf16 strTrailer;
  if (!m_pChunker->GetTrailer(strTrailer) || strTrailer.empty()) return;
  const zn::strutf8 strTrailer8(strTrailer);
  m_oResponse.m_strResponseHead.append(strTrailer8);
  znsyslog(kLogEvent, kHttpClientLogTag, __LINE__, "Id[%I64u] strTrailer[%s]", CurrentRequestId(), strTrailer8.c_str());
}

void CHttpClient::ResetMessageState() {
  delete m_pHttpCookie;
  m_pHttpCookie = nullptr;
  delete m_pChunker;
  m_pChunker = nullptr;
}

bool CHttpClient::AppendFormPart(const znwchar_t* pPartName, const znwchar_t* pFileName) {
  return CHttpFormData::AddDataPart(m_oRequestInfo, m_bGbkHead, pPartName, pFileName);
}

}  // namespace zn
