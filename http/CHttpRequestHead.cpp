#include "http/CHttpRequestHead.h"

#include <algorithm>
#include <cctype>
#include <string>

#include "base/znplatform.h"
#include "body/CDataReader.h"
#include "body/HttpResponseDataWriter.h"
#include "body/ZnRequestId.h"
#include "http/CHttpCookie.h"
#include "http/CHttpFormData.h"
#include "http/HttpLog.h"

namespace zn {

namespace {

// Keys of the headers whose caller value replaces a default line.
constexpr const char* kKeyHost = "host";
constexpr const char* kKeyAccept = "accept";
constexpr const char* kKeyUserAgent = "user-agent";
constexpr const char* kKeyPragma = "pragma";

constexpr const char* kHttpVersion = "HTTP/1.1";
constexpr const char* kDefaultAccept = "Accept: */*\r\n";
constexpr const char* kConnectionLine = "Connection:Keep-Alive\r\n";
constexpr const char* kDefaultUserAgent = "User-Agent: Mozilla/5.0 (compatible; MSIE 10.0; Windows NT 6.2)\r\n";
constexpr const char* kDefaultPragma = "Pragma: no-cache\r\n";
constexpr uint16_t kPortLeftOutOfHost = 80;

constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr uint16_t kDaysPerWeek = 7;
constexpr uint16_t kMonthsPerYear = 12;

// Takes the caller's value for key out of the map; false when there is none.
bool TakeHeader(HttpHeaderState& headers, const char* key, zn::strutf8& value) {
  auto it = headers.m_mapHeaders.find(zn::strutf8(key));
  if (it == headers.m_mapHeaders.end()) return false;
  value = it->second;
  headers.m_mapHeaders.erase(it);
  return true;
}

bool IsOverridable(const zn::strutf8& lowerName) {
  return lowerName == kKeyHost || lowerName == kKeyAccept || lowerName == kKeyUserAgent || lowerName == kKeyPragma;
}

// Names the first line of head that GBK cannot hold: a header line by its
// name, the request line whole.
void LogLineWithoutGbk(const zn::strutf8& head) {
  const std::string text(head.c_str(), head.length());
  std::string name = text.substr(0, text.find("\r\n"));
  zn::strutf8 gbk;
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find("\r\n", start), text.size());
    const std::string line = text.substr(start, end - start);
    if (!znutf162gbk(zn::strutf16(zn::strutf8(line.data(), static_cast<uint32_t>(line.size()))), gbk)) {
      if (start != 0) name = line.substr(0, line.find(':'));
      break;
    }
    start = end + 2;
  }
  znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] Error header [%s] has no GBK form", CurrentRequestId(),
           name.c_str());
}

}  // namespace

bool CHttpRequestHead::AddHeader(HttpHeaderState& headers, const zn::strutf16& name, const zn::strutf16& value) {
  zn::strutf8 name8(name);
  zn::strutf8 value8(value);
  if (name8.empty() || value8.empty()) return false;
  name8.trim();
  value8.trim();
  zn::strutf8 lower(name8);
  lower.makelower();
  if (IsOverridable(lower)) {
    headers.m_mapHeaders[lower] = value8;
  } else {
    headers.m_strExtraHeaders.append(name8);
    headers.m_strExtraHeaders.append(':');
    headers.m_strExtraHeaders.append(value8);
    headers.m_strExtraHeaders.append("\r\n");
  }
  return true;
}

bool CHttpRequestHead::AddHeader(HttpHeaderState& headers, const zn::strutf16& name, uint32_t value) {
  zn::strutf8 text;
  text.format("%u", value);
  return AddHeader(headers, name, zn::strutf16(text));
}

bool CHttpRequestHead::AddHeaderLine(HttpHeaderState& headers, const zn::strutf16& line) {
  zn::strutf8 line8(line);
  line8.trim();
  headers.m_strExtraHeaders.append(line8);
  headers.m_strExtraHeaders.append("\r\n");
  return true;
}

void CHttpRequestHead::ClearHeaders(HttpHeaderState& headers) {
  headers.m_mapHeaders.clear();
  headers.m_strExtraHeaders.clear();
}

bool CHttpRequestHead::DropCredentials(HttpHeaderState& headers) {
  static const char* const kCredentials[] = {"authorization", "cookie", "proxy-authorization"};
  const std::string lines(headers.m_strExtraHeaders.c_str(), headers.m_strExtraHeaders.length());
  std::string kept;
  bool bDropped = false;
  for (size_t start = 0; start < lines.size();) {
    size_t end = lines.find("\r\n", start);
    end = end == std::string::npos ? lines.size() : end + 2;
    const std::string line = lines.substr(start, end - start);
    start = end;
    std::string name = line.substr(0, line.find(':'));
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
    for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    bool bCredential = false;
    for (const char* szName : kCredentials) bCredential = bCredential || name == szName;
    if (bCredential && line.find(':') != std::string::npos) {
      bDropped = true;
    } else {
      kept += line;
    }
  }
  if (bDropped) headers.m_strExtraHeaders = zn::strutf8(kept.data(), static_cast<uint32_t>(kept.size()));
  return bDropped;
}

void CHttpRequestHead::BuildIfModifiedSince(HttpRequestInfo& request, const SYSTEMTIME* time) {
  if (!time || time->wMonth == 0 || time->wMonth > kMonthsPerYear || time->wDayOfWeek >= kDaysPerWeek) return;
  zn::strutf8 day;
  day.format("%02d", static_cast<int>(time->wDay));
  zn::strutf8 year;
  year.format("%d", static_cast<int>(time->wYear));
  zn::strutf8 clock;
  clock.format("%02d:%02d:%02d", static_cast<int>(time->wHour), static_cast<int>(time->wMinute),
               static_cast<int>(time->wSecond));
  request.m_strIfModifiedSince.format("If-Modified-Since: %s, %s %s %s %s GMT\r\n", kDayNames[time->wDayOfWeek],
                                      day.c_str(), kMonthNames[time->wMonth - 1], year.c_str(), clock.c_str());
}

bool CHttpRequestHead::BuildRqHead(HttpRequestInfo& request, HttpHeaderState& headers,
                                   const HttpMessageSettings& settings, CDataReader* reader,
                                   HttpResponseDataWriter* writer, CHttpCookie*& cookie, zn::strutf8& out) {
  zn::strutf8 requestLine;
  requestLine.format("%s %s %s\r\n", request.m_strMethod.c_str(), request.m_strPath.c_str(), kHttpVersion);

  zn::strutf8 value;
  zn::strutf8 accept(kDefaultAccept);
  if (TakeHeader(headers, kKeyAccept, value)) accept.format("Accept: %s\r\n", value.c_str());

  zn::strutf8 userAgent(kDefaultUserAgent);
  auto agent = headers.m_mapHeaders.find(zn::strutf8(kKeyUserAgent));
  if (agent != headers.m_mapHeaders.end()) {
    if (agent->second.empty()) {
      userAgent.clear();  // an empty caller value suppresses the line and stays for the next head
    } else {
      userAgent.format("User-Agent: %s\r\n", agent->second.c_str());
      headers.m_mapHeaders.erase(agent);
    }
  }

  zn::strutf8 host;
  // An IPv6 literal is kept without its brackets in the record; the Host line
  // needs them back, or its colons read as a port.
  const bool bIpv6Literal = request.m_strHost.find(":") >= 0;
  const char* szOpen = bIpv6Literal ? "[" : "";
  const char* szClose = bIpv6Literal ? "]" : "";
  if (TakeHeader(headers, kKeyHost, value)) {
    host.format("Host: %s\r\n", value.c_str());
  } else if (request.m_wPort == kPortLeftOutOfHost) {
    host.format("Host: %s%s%s\r\n", szOpen, request.m_strHost.c_str(), szClose);
  } else {
    host.format("Host: %s%s%s:%d\r\n", szOpen, request.m_strHost.c_str(), szClose, static_cast<int>(request.m_wPort));
  }

  zn::strutf8 pragma(kDefaultPragma);
  if (TakeHeader(headers, kKeyPragma, value)) pragma.format("Pragma: %s\r\n", value.c_str());

  zn::strutf8 range;
  if (writer && request.m_strMethod == "GET") {
    const unsigned long long present = writer->GetDownloadedSize();
    if (present != 0) {
      range.format("Range: bytes=%llu-\r\n", present);
      znsyslog(kLogDetail, kHttpClientLogTag, __LINE__, "httprequst Range: bytes=%I64u-\r\n", present);
    }
  } else if (reader && request.m_strMethod == "POST") {
    const unsigned long long sent = reader->GetPos();
    if (sent != 0) {
      range.format("Range: bytes=%llu-\r\n", sent);
      znsyslog(kLogDetail, kHttpClientLogTag, __LINE__, "httprequst Post Range: bytes=%I64u-\r\n", sent);
    }
  }

  if (!cookie) cookie = new CHttpCookie();
  zn::strutf8 cookieLine;
  if (settings.m_bUseCookie) {
    zn::strutf8 text;
    cookie->GetCookie(request.m_strUrl.c_str(), text);
    if (!text.empty()) cookieLine.format("Cookie: %s\r\n", text.c_str());
  }

  zn::strutf8 head;
  head.append(requestLine);
  head.append(accept);
  head.append(kConnectionLine);
  head.append(headers.m_strExtraHeaders);
  head.append(userAgent);
  head.append(host);
  head.append(pragma);
  head.append(request.m_strIfModifiedSince);
  head.append(range);
  head.append(cookieLine);

  if (request.m_bFormData) {
    const unsigned long long bodyLen = reader ? reader->GetLength() : 0;
    const unsigned long long total = request.m_strFormDataHead.length() + bodyLen + request.m_strBoundary.length() +
                                     CHttpFormData::kFormEndFixedLen;
    head.appendformat("Content-Length: %llu\r\n", total);
    head.appendformat("Content-Type: multipart/form-data; boundary=%s\r\n", request.m_strBoundary.c_str());
  } else if (reader) {
    const unsigned long long left = reader->GetLength() - reader->GetPos();
    if (left != 0) head.appendformat("Content-Length: %llu\r\n", left);
  }
  head.append("\r\n");

  if (settings.m_bGbkHead) {
    zn::strutf8 gbk;
    if (!znutf162gbk(zn::strutf16(head), gbk)) {
      LogLineWithoutGbk(head);
      out.clear();
      return false;
    }
    head = gbk;
  }
  if (request.m_bFormData) head.append(request.m_strFormDataHead);

  out = head;
  znsyslog(kLogDetail, kHttpClientLogTag, __LINE__, "Id[%I64u] BuildRqHead strRqHead[%s]", CurrentRequestId(),
           out.c_str());
  return true;
}

}  // namespace zn
