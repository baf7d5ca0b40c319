// The records that describe one HTTP exchange: the request parameters that an
// entry point fills, the request record (URL components, method, multipart
// texts, retry and redirect counters) and the response fields that the message
// layer reads and writes. They know nothing of the client that holds them.
//
// Thread safety: HttpRequestParam is filled on the host's thread and copied
// whole when the request moves to the worker; the other two are touched only on
// the client's worker thread.
#pragma once

#include <map>

#include "base/zndef.h"
#include "base/znlist.h"
#include "base/znstring.h"

class IZNStreamWriter;

namespace zn {

// Parameters of one request. Every field is empty, 0, false or null after construction.
struct HttpRequestParam {
  zn::strutf8 strUrl;          // the URL; in the host-list form, the request target
  zn::strutf8 strPort;         // port as decimal text; not empty selects the host-list form
  zn::hostlist lstHosts;       // host-list form: the addresses to connect to, in order
  zn::strutf8 strSSLName;      // name the server certificate must carry; empty: the URL's host
  int32_t nMethod = 0;         // 0 = GET, any other value = POST
  zn::stream streamBody;       // request body held in memory
  zn::strutf8 strUploadFile;   // file whose bytes are the request body
  zn::strutf8 strDownloadFile; // file that receives the response body
  IZNStreamWriter* pStreamWriter = nullptr;  // caller's sink; owned by the request from here on
  bool bIfModifiedSince = false;             // send an If-Modified-Since header
  SYSTEMTIME stIfModifiedSince = {};         // its date
  bool bResume = false;                      // keep the bytes already in strDownloadFile
  bool bFormData = false;                    // multipart: the closing delimiter follows the body
  uint64_t qwUploadOffset = 0;               // first byte of strUploadFile to send
};

// The request record m_oRequestInfo, emptied at the start of every request.
struct HttpRequestInfo {
  zn::strutf8 m_strHost;            // host of the URL (no brackets, no port)
  zn::hostlist m_lstHosts;          // addresses the connector tries, in order
  uint16_t m_wPort = 0;             // server port
  zn::strutf8 m_strMethod;          // "GET" or "POST"
  bool m_bHttps = false;            // the URL starts with "https://"
  zn::strutf8 m_strSSLName;         // certificate name the server must present
  zn::strutf8 m_strGivenSSLName;    // the caller's certificate name (strSSLName), empty when none
  zn::strutf8 m_strGivenSSLHost;    // host of the URL that name was given with
  zn::strutf8 m_strUrl;             // the full URL; a redirect replaces it
  zn::strutf8 m_strPath;            // request target of the request line, never empty once parsed
  zn::strutf8 m_strIfModifiedSince; // prepared If-Modified-Since line or empty
  int32_t m_nRetryTimes = 0;        // attempts made beyond the first
  int32_t m_nRedirTimes = 0;        // redirects followed
  bool m_bRangeRetried = false;     // a 416 has had its one further attempt from byte 0
  bool m_bFormData = false;         // copied from bFormData
  zn::strutf8 m_strBoundary;        // multipart boundary (6 characters once made)
  zn::strutf8 m_strFormDataHead;    // multipart text sent before the body bytes
};

// Receive buffer capacity; a response head must fit in it.
constexpr uint32_t kHttpRecvBufSize = 16384;

// The response as it arrives. Invariants: m_pRecvBuf is null or holds
// m_dwRecvBufLen + 1 bytes, m_dwTmpRecvCurPos <= m_dwRecvBufLen, and the byte
// at m_dwTmpRecvCurPos is always 0.
struct HttpResponseInfo {
  unsigned char* m_pRecvBuf = nullptr;  // owned (malloc); made at the first receive of a request
  uint32_t m_dwRecvBufLen = 0;          // capacity, kHttpRecvBufSize once made
  uint32_t m_dwTmpRecvCurPos = 0;       // bytes currently held
  zn::strutf8 m_strResponseHead;        // head as received (trailer appended at completion)
  uint32_t m_dwResponseStatusCode = 0;  // status code of the response
  uint64_t m_qwContentLength = 0;       // announced body length, 0 when none
  bool m_bChunked = false;              // chunked body
  bool m_bWithChunkTrailer = false;     // trailer announced
  uint64_t m_qwAnswerBytes = 0;         // bytes received on this attempt's connection for its answer
  bool m_bCloseConnection = false;      // the connection cannot carry another request after this answer
  int32_t m_bReConnect = 0;             // verdict: 1 = open a new connection
  int32_t m_nErrorCode = 0;             // the result code otherwise
};

// The caller's own header lines. They outlive a request until the caller
// clears them or a request completes. Filled on the host's thread, read on the
// worker thread; the client does not guard them (the host does not change
// headers while a transfer runs).
struct HttpHeaderState {
  // Caller values for the four headers that replace a default line; the key is
  // the lower-case name "host", "accept", "user-agent" or "pragma". An entry is
  // removed when a head uses it (an empty "user-agent" stays).
  std::map<zn::strutf8, zn::strutf8> m_mapHeaders;
  // Every other caller header line, each ending in "\r\n", in the order added.
  zn::strutf8 m_strExtraHeaders;
};

// The client settings that the message layer reads.
struct HttpMessageSettings {
  bool m_bGbkHead = false;        // heads and form texts go out (and come in) as GBK
  bool m_bUseCookie = true;       // consult the cookie jar when building a head
  int32_t m_nMaxRetryTimes = 3;   // attempts per request before the retries are used up
};

// Lengths and positions are 64 bits wide inside; an interface argument of 32
// bits (OnDownloadStart, QueryInfoNumber) receives them clamped.
inline uint32_t ClampToUint32(uint64_t n) { return n > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(n); }

// Result codes of a request (the argument of the completion step and of OnDownloadComplete).
enum HttpResultCode : int32_t {
  kHttpResultSuccess = 0,
  kHttpResultNotModified = 1,
  kHttpResultFailed = 2,
  kHttpResultRefused = 3,
  kHttpResultLocalFile = 4,
  kHttpResultNoConnection = 5,
  kHttpResultNotFound = 7,
  kHttpResultUnavailable = 8,
  kHttpResultBadUrl = 10,
};

}  // namespace zn
