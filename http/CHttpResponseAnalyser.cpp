#include "http/CHttpResponseAnalyser.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "base/znplatform.h"
#include "body/HttpResponseDataWriter.h"
#include "body/ZnRequestId.h"
#include "http/CChunker.h"
#include "http/CHttpCookie.h"
#include "http/CHttpHeaderQuery.h"
#include "http/HttpLog.h"
#include "http/IHttpResponseSink.h"

namespace zn {

namespace {

constexpr const char* kHeadEnd = "\r\n\r\n";
constexpr uint32_t kHeadEndLen = 4;
constexpr std::string_view kSetCookie = "Set-Cookie:";
// Scheme of 1 to 15 characters, "://", and at least one character more.
constexpr const char* kAbsoluteUrlScan = "%15[^?&/:]://%c";
constexpr size_t kSchemeBufLen = 16;

// The engine reads 1 as "open a new connection".
constexpr int32_t kReConnectYes = 1;

enum HttpStatus : uint32_t {
  kStatusFirstInterim = 100,
  kStatusSwitchingProtocols = 101,
  kStatusOk = 200,
  kStatusCreated = 201,
  kStatusAccepted = 202,
  kStatusNonAuthoritative = 203,
  kStatusNoContent = 204,
  kStatusPartial = 206,
  kStatusMovedPermanently = 301,
  kStatusFound = 302,
  kStatusSeeOther = 303,
  kStatusNotModified = 304,
  kStatusTemporaryRedirect = 307,
  kStatusPermanentRedirect = 308,
  kStatusUnauthorized = 401,
  kStatusPaymentRequired = 402,
  kStatusNotFound = 404,
  kStatusRangeNotSatisfiable = 416,
  kStatusInternalError = 500,
  kStatusUnavailable = 503,
};

// Upper-cases ASCII letters only.
std::string UpperAscii(std::string_view s) {
  std::string upper(s);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

// Text of view, trimmed at both ends.
zn::strutf8 TrimmedText(std::string_view view) {
  zn::strutf8 text(view.data(), static_cast<uint32_t>(view.size()));
  text.trim();
  return text;
}

std::string_view View(const zn::strutf8& s) { return std::string_view(s.c_str(), s.length()); }

// What a text of decimal digits reads as.
enum class DecimalVerdict {
  kNumber,     // digits alone, the value within 64 bits
  kNotDigits,  // empty, or a byte that is no digit
  kTooBig,     // digits beyond 64 bits
};

DecimalVerdict ReadDecimal(std::string_view text, uint64_t& number) {
  number = 0;
  if (text.empty()) return DecimalVerdict::kNotDigits;
  for (const char c : text) {
    if (c < '0' || c > '9') return DecimalVerdict::kNotDigits;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (number > (UINT64_MAX - digit) / 10) return DecimalVerdict::kTooBig;
    number = number * 10 + digit;
  }
  return DecimalVerdict::kNumber;
}

// What the Content-Length lines of a head say.
enum class LengthVerdict {
  kNone,     // no such line
  kLength,   // one value, or the same value on every line
  kBroken,   // a value that is not all digits, or lines that disagree
  kTooBig,   // digits beyond 64 bits
};

// Reads every Content-Length line of head (names without regard to case).
LengthVerdict ReadContentLength(std::string_view head, uint64_t& length) {
  constexpr std::string_view kName = "content-length";
  LengthVerdict verdict = LengthVerdict::kNone;
  length = 0;
  // Lines end at LF, a CR before it dropped, as the header queries read them:
  // a host that asks for the length gets the one the body was framed by.
  size_t lineStart = head.find('\n');
  while (lineStart != std::string_view::npos) {
    lineStart += 1;
    const size_t lineEnd = head.find('\n', lineStart);
    std::string_view line = head.substr(lineStart, lineEnd == std::string_view::npos ? lineEnd : lineEnd - lineStart);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lineStart = lineEnd;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view name = line.substr(0, colon);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    if (UpperAscii(name) != UpperAscii(kName)) continue;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    uint64_t number = 0;
    const DecimalVerdict read = ReadDecimal(value, number);
    if (read == DecimalVerdict::kNotDigits) return LengthVerdict::kBroken;
    if (read == DecimalVerdict::kTooBig) return LengthVerdict::kTooBig;
    if (verdict == LengthVerdict::kLength && number != length) return LengthVerdict::kBroken;
    verdict = LengthVerdict::kLength;
    length = number;
  }
  return verdict;
}

// The connection cannot carry another request after this head: it says
// "Connection: close", or it is HTTP/1.0 without "Connection: keep-alive".
bool ClosesConnection(const zn::strutf8& head) {
  zn::strutf8 connection;
  std::string tokens;
  if (CHttpHeaderQuery::QueryInfo(head, "Connection", connection, true)) tokens = UpperAscii(View(connection));
  if (tokens.find("CLOSE") != std::string::npos) return true;
  const std::string version = UpperAscii(View(head).substr(0, 8));
  return version == "HTTP/1.0" && tokens.find("KEEP-ALIVE") == std::string::npos;
}

}  // namespace

CHttpResponseAnalyser::CHttpResponseAnalyser(HttpRequestInfo& request, HttpResponseInfo& response,
                                             const HttpMessageSettings& settings, HttpResponseDataWriter*& writer,
                                             CChunker*& chunker, CHttpCookie*& cookie, IHttpResponseSink* sink)
    : m_oRequest(request),
      m_oResponse(response),
      m_oSettings(settings),
      m_pRpDataWriter(writer),
      m_pChunker(chunker),
      m_pHttpCookie(cookie),
      m_pSink(sink) {}

bool CHttpResponseAnalyser::AnalyseResp(bool& bComplete) {
  bComplete = false;
  HttpResponseInfo& resp = m_oResponse;
  unsigned char* const buf = resp.m_pRecvBuf;
  uint32_t held = buf ? resp.m_dwTmpRecvCurPos : 0;
  uint32_t bodyStart = 0;

  while (resp.m_strResponseHead.empty()) {
    if (held < kHeadEndLen) return true;
    // The engine keeps a zero byte behind the held bytes.
    const char* text = reinterpret_cast<const char*>(buf);
    const char* headEnd = strstr(text, kHeadEnd);
    if (!headEnd) {
      if (held >= resp.m_dwRecvBufLen) {
        znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] before [%u] not recv Head Complete,let it Error",
                 CurrentRequestId(), resp.m_dwRecvBufLen);
        return false;
      }
      return true;
    }
    bodyStart = static_cast<uint32_t>(headEnd - text) + kHeadEndLen;
    zn::strutf16 wide;
    if (!m_oSettings.m_bGbkHead) {
      resp.m_strResponseHead.assign(text, bodyStart);
    } else if (zngbk2utf16(text, bodyStart, wide)) {
      resp.m_strResponseHead = wide;
    } else {
      // Servers that speak GBK still put UTF-8 names into some lines
      // (Content-Disposition): such a head is read as it came, as without GBK.
      znsyslog(kLogEvent, kHttpClientLogTag, __LINE__, "Id[%I64u] AnalyseResp head is not GBK, kept as it came",
               CurrentRequestId());
      resp.m_strResponseHead.assign(text, bodyStart);
    }
    znsyslog(kLogDetail, kHttpClientLogTag, __LINE__, "Id[%I64u] AnalyseResp strRqHead[%s]", CurrentRequestId(),
             resp.m_strResponseHead.c_str());
    if (resp.m_strResponseHead.empty()) {
      znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] strResponseHead Is Empty let is error",
               CurrentRequestId());
      return false;
    }
    if (!AnalyseCodeHead()) return false;

    const uint32_t status = resp.m_dwResponseStatusCode;
    if (status >= kStatusFirstInterim && status < kStatusOk && status != kStatusSwitchingProtocols) {
      // An interim answer (100 Continue, 102, 103): the final head follows it.
      znsyslog(kLogEvent, kHttpClientLogTag, __LINE__, "Id[%I64u] skip interim answer [%u]", CurrentRequestId(), status);
      memmove(buf, buf + bodyStart, held - bodyStart + 1);  // with the zero byte behind
      held -= bodyStart;
      resp.m_dwTmpRecvCurPos = held;
      bodyStart = 0;
      resp.m_strResponseHead.clear();
      resp.m_dwResponseStatusCode = 0;
      continue;
    }
    switch (status) {
      case kStatusOk:
      case kStatusCreated:
      case kStatusAccepted:
      case kStatusNonAuthoritative:
      case kStatusNoContent:
      case kStatusPartial:
        break;
      case kStatusInternalError:
        // An error page is no part of the file: the file keeps what it held.
        if (m_pRpDataWriter && m_pRpDataWriter->IsToFile()) {
          znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] status [%u] to a file, let it Error",
                   CurrentRequestId(), status);
          resp.m_nErrorCode = kHttpResultFailed;
          return false;
        }
        break;
      case kStatusMovedPermanently:
      case kStatusFound:
      case kStatusSeeOther:
      case kStatusTemporaryRedirect:
      case kStatusPermanentRedirect:
        if (GetRedirectUrl()) {
          m_oRequest.m_nRedirTimes += 1;
          m_oRequest.m_nRetryTimes = 0;
          // The new location earns its own attempt from byte 0 after a 416.
          m_oRequest.m_bRangeRetried = false;
          resp.m_bReConnect = kReConnectYes;
          resp.m_nErrorCode = kHttpResultFailed;
        } else {
          resp.m_nErrorCode = kHttpResultNotFound;
        }
        return false;
      case kStatusNotModified:
        resp.m_nErrorCode = kHttpResultNotModified;
        return false;
      case kStatusUnauthorized:
      case kStatusPaymentRequired:
        resp.m_nErrorCode = kHttpResultRefused;
        return false;
      case kStatusNotFound:
        resp.m_nErrorCode = kHttpResultNotFound;
        return false;
      case kStatusRangeNotSatisfiable:
        // One attempt from byte 0 per request: a server that answers 416 to
        // that attempt too would otherwise be asked again and again.
        if (m_oRequest.m_nRetryTimes >= m_oSettings.m_nMaxRetryTimes || m_oRequest.m_bRangeRetried) {
          resp.m_nErrorCode = kHttpResultFailed;
          return false;
        }
        m_oRequest.m_bRangeRetried = true;
        znsyslog(kLogEvent, kHttpClientLogTag, __LINE__, "Id[%I64u] Set Recv File 0 Length", CurrentRequestId());
        if (m_pRpDataWriter) m_pRpDataWriter->SetLength0();
        resp.m_bReConnect = kReConnectYes;
        resp.m_nErrorCode = kHttpResultSuccess;
        // The retry step adds one to the count and gives up once it reaches
        // the maximum, so max - 2 leaves exactly one more attempt, which starts
        // from byte 0 (the writer is empty now and no Range goes out).
        m_oRequest.m_nRetryTimes = m_oSettings.m_nMaxRetryTimes - 2;
        return false;
      case kStatusUnavailable:
        resp.m_nErrorCode = kHttpResultUnavailable;
        return false;
      default:
        resp.m_nErrorCode = kHttpResultFailed;
        return false;
    }

    if (!AnalyseRespHeaders()) return false;
    if (ClosesConnection(resp.m_strResponseHead)) resp.m_bCloseConnection = true;
    if (m_pRpDataWriter && m_oRequest.m_strMethod == "GET" && m_pSink) {
      m_pSink->NotifyOnDownloadStart(ClampToUint32(m_pRpDataWriter->GetDownloadedSize()),
                                     ClampToUint32(resp.m_qwContentLength));
    }
    const bool bNoBody = status == kStatusNoContent;
    if (bNoBody || (!resp.m_bChunked && m_bZeroLength)) {
      znsyslog(kLogFailure, kHttpClientLogTag, __LINE__,
               "Id[%I64u] strResponseHead !bChunked Content-Length=0,Complete", CurrentRequestId());
      // Bytes behind an answer without a body belong to no answer.
      if (held > bodyStart) resp.m_bCloseConnection = true;
      resp.m_dwTmpRecvCurPos = 0;
      buf[0] = 0;
      bComplete = true;
      return true;
    }
    break;
  }

  // The body piece: everything behind the head, or all held bytes once the
  // head is known. The buffer is free again afterwards.
  const uint32_t pieceLen = held - bodyStart;
  resp.m_dwTmpRecvCurPos = 0;
  if (pieceLen == 0) {
    if (buf) buf[0] = 0;
    return true;
  }
  const bool written = WriteContentData(buf + bodyStart, pieceLen, bComplete);
  buf[0] = 0;
  if (!written) return false;
  if (m_oRequest.m_strMethod == "GET" && m_pRpDataWriter && m_pSink) m_pSink->ReportProgress(bComplete);
  return true;
}

bool CHttpResponseAnalyser::AnalyseCodeHead() {
  const std::string_view head = View(m_oResponse.m_strResponseHead);
  const std::string line = UpperAscii(head.substr(0, head.find("\r\n")));
  if (line.find("HTTP") == std::string::npos) {
    znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] Error Analyse Code Head [%s] not find HTTP",
             CurrentRequestId(), line.c_str());
    return false;
  }
  const size_t first = line.find(' ');
  size_t second = std::string::npos;
  if (first != std::string::npos) {
    second = line.find(' ', first + 1);
    if (second == std::string::npos) second = line.find('\r', first + 1);
    if (second == std::string::npos) second = line.find('\n', first + 1);
  }
  if (first == std::string::npos || second == std::string::npos) {
    znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] Error Analyse Code Head [%s] not two space",
             CurrentRequestId(), line.c_str());
    return false;
  }
  const zn::strutf8 code = TrimmedText(std::string_view(line).substr(first + 1, second - first - 1));
  uint32_t status = 0;
  zn_str2uint32(code.c_str(), &status);
  m_oResponse.m_dwResponseStatusCode = status;
  znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] dwResponseStatusCode[%u]", CurrentRequestId(), status);
  return true;
}

bool CHttpResponseAnalyser::AnalyseRespHeaders() {
  HttpResponseInfo& resp = m_oResponse;
  const zn::strutf8& head = resp.m_strResponseHead;

  zn::strutf8 coding;
  if (CHttpHeaderQuery::QueryInfo(head, "Transfer-Encoding", coding, true)) {
    coding.makelower();
    if (coding == "chunked") {
      resp.m_bChunked = true;
      resp.m_qwContentLength = 0;
      zn::strutf8 trailer;
      zn::strutf8 trailers;
      const bool withTrailer = CHttpHeaderQuery::QueryInfo(head, "Trailer", trailer, true);
      const bool withTrailers = CHttpHeaderQuery::QueryInfo(head, "Trailers", trailers, true);
      resp.m_bWithChunkTrailer = withTrailer || withTrailers;
      znsyslog(kLogDetail, kHttpClientLogTag, __LINE__, "Id[%I64u] the Content type is chunked bWithChunkTrailer[%d]",
               CurrentRequestId(), static_cast<int>(resp.m_bWithChunkTrailer));
    }
  }

  m_bZeroLength = false;
  if (!resp.m_bChunked) {
    uint64_t length = 0;
    switch (ReadContentLength(View(head), length)) {
      case LengthVerdict::kNone:
        znsyslog(kLogEvent, kHttpClientLogTag, __LINE__,
                 "Id[%I64u] QueryInfo Content-Length to %I64u FAIL Set Content-Length = 0", CurrentRequestId(), length);
        length = 0;
        break;
      case LengthVerdict::kLength:
        m_bZeroLength = length == 0;
        break;
      case LengthVerdict::kBroken:
        // A length that is no number, or two lengths: no byte of the body can
        // be trusted to belong to it.
        znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] Content-Length broken, let it Error",
                 CurrentRequestId());
        resp.m_nErrorCode = kHttpResultFailed;
        return false;
      case LengthVerdict::kTooBig:
        return RefuseLength("Content-Length");
    }
    resp.m_qwContentLength = length;
  }

  if (m_oRequest.m_strMethod != "POST") {
    zn::strutf8 range;
    if (CHttpHeaderQuery::QueryInfo(head, "Content-Range", range, true)) {
      if (resp.m_dwResponseStatusCode == kStatusPartial && !StartsWhereAsked(range)) return false;
      const int slash = range.find("/");
      if (slash >= 0 && static_cast<uint32_t>(slash) + 1 < range.length()) {
        uint64_t total = 0;
        if (!zn_str2uint64(range.c_str() + slash + 1, &total) && total == UINT64_MAX) {
          return RefuseLength("Content-Range");
        }
        if (total > resp.m_qwContentLength) {
          znsyslog(kLogEvent, kHttpClientLogTag, __LINE__,
                   "Id[%I64u] Content-Length Change by Content-Range [%I64u]-->[%I64u]", CurrentRequestId(),
                   resp.m_qwContentLength, total);
          resp.m_qwContentLength = total;
        }
      }
    } else if (m_pRpDataWriter && m_pRpDataWriter->GetDownloadedSize() != 0) {
      // The server sent the whole resource: the download starts over.
      m_pRpDataWriter->SetLength0();
    }
    znsyslog(kLogDetail, kHttpClientLogTag, __LINE__, "Id[%I64u] Content-Length[%I64u] bChunked[%d]",
             CurrentRequestId(), resp.m_qwContentLength, static_cast<int>(resp.m_bChunked));
  }

  const std::string_view text = View(head);
  size_t pos = 0;
  for (;;) {
    const size_t found = text.find(kSetCookie, pos);
    if (found == std::string_view::npos) break;
    const size_t valueStart = found + kSetCookie.size();
    const size_t lineEnd = text.find("\r\n", valueStart);
    const zn::strutf8 value =
        TrimmedText(text.substr(valueStart, lineEnd == std::string_view::npos ? lineEnd : lineEnd - valueStart));
    if (value.empty()) break;
    if (!m_pHttpCookie) m_pHttpCookie = new CHttpCookie();
    m_pHttpCookie->SetRawCookie(m_oRequest.m_strUrl.c_str(), value.c_str());
    if (lineEnd == std::string_view::npos) break;
    pos = lineEnd + 2;
  }
  return true;
}

bool CHttpResponseAnalyser::StartsWhereAsked(const zn::strutf8& range) {
  // "bytes FIRST-LAST/TOTAL": FIRST must be the byte the target holds next,
  // which is where the request's Range started.
  const uint64_t held = m_pRpDataWriter ? m_pRpDataWriter->GetDownloadedSize() : 0;
  const std::string_view text = View(range);
  const size_t digits = text.find_first_of("0123456789");
  uint64_t first = 0;
  const bool bNumber = digits != std::string_view::npos &&
                       UpperAscii(text.substr(0, digits)).rfind("BYTES", 0) == 0 &&
                       ReadDecimal(text.substr(digits, text.find('-', digits) - digits), first) ==
                           DecimalVerdict::kNumber;
  if (bNumber && first == held) return true;
  znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] Content-Range [%s] not from [%I64u], let it Error",
           CurrentRequestId(), range.c_str(), held);
  m_oResponse.m_nErrorCode = kHttpResultFailed;
  return false;
}

bool CHttpResponseAnalyser::RefuseLength(const char* pName) {
  znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] %s beyond 64 bits, let it Error", CurrentRequestId(),
           pName);
  m_oResponse.m_nErrorCode = kHttpResultFailed;
  return false;
}

namespace {

// A Location as servers send it may hold raw spaces, controls or UTF-8: on
// the request line each such byte would end the target early or make the
// line invalid, so it goes out percent-encoded. Everything else, "%" included,
// is kept as the server wrote it.
zn::strutf8 EncodeUnsafeBytes(const zn::strutf8& url) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(url.c_str()); *p; ++p) {
    if (*p <= ' ' || *p >= 0x7F) {
      out += '%';
      out += kHex[*p >> 4];
      out += kHex[*p & 0x0F];
    } else {
      out += static_cast<char>(*p);
    }
  }
  return zn::strutf8(out.data(), static_cast<uint32_t>(out.size()));
}

}  // namespace

bool CHttpResponseAnalyser::GetRedirectUrl() {
  zn::strutf8 location;
  if (!CHttpHeaderQuery::QueryInfo(m_oResponse.m_strResponseHead, "Location", location, true)) {
    znsyslog(kLogEvent, kHttpClientLogTag, __LINE__, "Id[%I64u] Get Location Fail [%s]", CurrentRequestId(),
             m_oResponse.m_strResponseHead.c_str());
    return false;
  }
  // The fragment stays with the reader; a Location that is nothing else names
  // the current resource.
  const int fragment = location.find("#");
  if (fragment >= 0) location.setlength(static_cast<uint32_t>(fragment));
  char scheme[kSchemeBufLen] = {};
  char next = 0;
  zn::strutf8 target;
  if (location.empty()) {
    target = m_oRequest.m_strUrl;
  } else if (sscanf(location.c_str(), kAbsoluteUrlScan, scheme, &next) == 2) {
    target = EncodeUnsafeBytes(location);
  } else {
    char* joined = MakeRedirectUrl(m_oRequest.m_strUrl.c_str(), location.c_str());
    if (!joined) return false;
    target = EncodeUnsafeBytes(zn::strutf8(joined));
    free(joined);
  }
  znsyslog(kLogEvent, kHttpClientLogTag, __LINE__, "Id[%I64u] Redirection URL[%s]-->URL[%s]", CurrentRequestId(),
           m_oRequest.m_strUrl.c_str(), target.c_str());
  if (target == m_oRequest.m_strUrl) {
    znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] fuck URL[%s] == URL[%s]", CurrentRequestId(),
             target.c_str(), m_oRequest.m_strUrl.c_str());
    return false;
  }
  m_oRequest.m_strUrl = target;
  return true;
}

char* CHttpResponseAnalyser::MakeRedirectUrl(const char* base, const char* ref) {
  std::string copy(base ? base : "");
  const char* rel = ref ? ref : "";
  const size_t slashes = copy.find("//");
  const size_t authStart = slashes == std::string::npos ? 0 : slashes + 2;

  if (strncmp(rel, "//", 2) == 0) {
    // Scheme-relative: a new authority under the current scheme (none is
    // made up for a base without one).
    copy = slashes == std::string::npos ? std::string() : copy.substr(0, slashes);
    copy += rel;
    char* out = static_cast<char*>(malloc(copy.size() + 1));
    if (out) memcpy(out, copy.c_str(), copy.size() + 1);
    return out;
  }

  bool hasPath = false;
  size_t pathSlash = std::string::npos;  // the "/" that opens the path part
  if (rel[0] == '/') {
    const size_t cut = copy.find_first_of("/?", authStart);
    if (cut != std::string::npos) copy.erase(cut);
  } else {
    const size_t query = copy.find('?', authStart);
    if (query != std::string::npos) copy.erase(query);
    if (rel[0] != '?') {
      const size_t last = copy.rfind('/');
      if (last != std::string::npos && last >= authStart) copy.erase(last);
    }
    pathSlash = copy.find('/', authStart);
    hasPath = pathSlash != std::string::npos;

    if (strncmp(rel, "./", 2) == 0) rel += 2;
    int levels = 0;
    while (strncmp(rel, "../", 3) == 0) {
      rel += 3;
      ++levels;
    }
    if (hasPath) {
      std::string path = copy.substr(pathSlash + 1);
      for (; levels > 0; --levels) {
        const size_t cut = path.rfind('/');
        if (cut == std::string::npos) {
          path.clear();
          break;
        }
        path.erase(cut);
      }
      copy.erase(pathSlash + 1);
      copy += path;
    }
  }

  const bool pathEmpty = hasPath && copy.size() == pathSlash + 1;
  if (rel[0] != '/' && rel[0] != '?' && !pathEmpty) copy += '/';
  copy += rel;

  char* out = static_cast<char*>(malloc(copy.size() + 1));
  if (!out) return nullptr;
  memcpy(out, copy.c_str(), copy.size() + 1);
  return out;
}

bool CHttpResponseAnalyser::WriteContentData(const unsigned char* data, uint32_t len, bool& bComplete) {
  if (!data || len == 0) {
    znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "WriteContentData Param Error dwLen[%u]", len);
    return false;
  }
  if (!m_pRpDataWriter) {
    m_pRpDataWriter = new HttpResponseDataWriter();
    m_pRpDataWriter->Open(false, nullptr, nullptr);  // memory target
  }
  HttpResponseInfo& resp = m_oResponse;
  if (resp.m_bChunked) {
    if (!m_pChunker) m_pChunker = new CChunker();
    if (!m_pChunker->Process(resp.m_bWithChunkTrailer, data, len, m_pRpDataWriter, bComplete)) return false;
    if (bComplete && m_pChunker->HasBytesBeyondEnd()) resp.m_bCloseConnection = true;
    return true;
  }
  uint32_t n = len;
  if (resp.m_qwContentLength != 0) {
    // Only the bytes still missing from the announced length belong to the
    // body; a server that sends more must not grow the target beyond it.
    const uint64_t held = m_pRpDataWriter->GetDownloadedSize();
    const uint64_t missing = held < resp.m_qwContentLength ? resp.m_qwContentLength - held : 0;
    if (missing < n) {
      n = static_cast<uint32_t>(missing);
      resp.m_bCloseConnection = true;  // the answer ran past its length
    }
    if (n == 0) {
      bComplete = true;
      return true;
    }
  }
  if (!m_pRpDataWriter->Write(data, n)) {
    resp.m_nErrorCode = kHttpResultLocalFile;
    znsyslog(kLogEvent, kHttpClientLogTag, __LINE__, "Id[%I64u] Write Content Len[%u] FAIL", CurrentRequestId(), n);
    return false;
  }
  if (resp.m_qwContentLength != 0 && m_pRpDataWriter->GetDownloadedSize() >= resp.m_qwContentLength) {
    bComplete = true;
  }
  return true;
}

}  // namespace zn
