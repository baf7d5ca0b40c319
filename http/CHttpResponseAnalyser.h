// Reads a response as it arrives in the receive buffer: finds and stores the
// head, parses the status line, decides by status whether the request goes on,
// ends, is redirected or retried, reads the framing headers, hands Set-Cookie
// values to the cookie jar and passes every body byte to the writer, directly
// or through the chunked decoder.
//
// A short-lived view made for each call: it borrows the request record, the
// response fields, the settings and the client's slots for the writer, the
// chunked decoder and the cookie jar. Objects it makes into empty slots (with
// new) belong to the slot's owner. Used on the client's worker thread only.
#pragma once

#include <cstdint>

#include "base/zndef.h"
#include "base/znstring.h"
#include "http/HttpRequestInfo.h"

namespace zn {

class CChunker;
class CHttpCookie;
class HttpResponseDataWriter;
class IHttpResponseSink;

class CHttpResponseAnalyser final {
 public:
  // sink may be null: nothing is reported then.
  CHttpResponseAnalyser(HttpRequestInfo& request, HttpResponseInfo& response, const HttpMessageSettings& settings,
                        HttpResponseDataWriter*& writer, CChunker*& chunker, CHttpCookie*& cookie,
                        IHttpResponseSink* sink);
  CHttpResponseAnalyser(const CHttpResponseAnalyser&) = delete;
  CHttpResponseAnalyser& operator=(const CHttpResponseAnalyser&) = delete;

  // Consumes the buffered bytes. True: keep receiving (bComplete set when the
  // response is complete). False: stop; m_bReConnect and m_nErrorCode of the
  // response say what follows.
  bool AnalyseResp(bool& bComplete);
  // Status line of the stored head into m_dwResponseStatusCode.
  bool AnalyseCodeHead();
  // Framing headers and Set-Cookie values of the stored head. False only for
  // a length or range total whose digits exceed 64 bits: no body can be
  // measured against it, so the response fails with m_nErrorCode 2.
  bool AnalyseRespHeaders();
  // m_strUrl := the target of the Location header; false when there is none
  // or it names the current URL.
  bool GetRedirectUrl();
  // Hands a body piece to the writer (made as a memory target when missing) or
  // to the chunked decoder.
  bool WriteContentData(const unsigned char* data, uint32_t len, bool& bComplete);

  // base resolved against the relative reference ref, in a malloc'd string the
  // caller frees; null when memory runs out.
  static char* MakeRedirectUrl(const char* base, const char* ref);

 private:
  // Logs the refused header name, sets m_nErrorCode to 2 and returns false.
  bool RefuseLength(const char* pName);
  // A 206's Content-Range value starts at the byte the target holds next;
  // otherwise logs, sets m_nErrorCode to 2 and returns false.
  bool StartsWhereAsked(const zn::strutf8& range);

  HttpRequestInfo& m_oRequest;               // borrowed
  HttpResponseInfo& m_oResponse;             // borrowed
  const HttpMessageSettings& m_oSettings;    // borrowed
  HttpResponseDataWriter*& m_pRpDataWriter;  // borrowed slot; its object is owned by the slot's owner
  CChunker*& m_pChunker;                     // borrowed slot, as above
  CHttpCookie*& m_pHttpCookie;               // borrowed slot, as above
  IHttpResponseSink* m_pSink;                // borrowed, may be null
  bool m_bZeroLength = false;                // the head announced Content-Length 0 (set by AnalyseRespHeaders)
};

}  // namespace zn
