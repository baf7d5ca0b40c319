#include "http/CHttpUrl.h"

#include <cstring>
#include <string>

#include "base/znplatform.h"
#include "body/ZnRequestId.h"
#include "http/HttpLog.h"

namespace zn {

namespace {

constexpr const char* kHttpsPrefix = "https://";
constexpr size_t kHttpsPrefixLen = 8;
constexpr unsigned char kFirstUnsafeByte = 0x80;

bool HasUnsafeByte(const char* text) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    if (*p >= kFirstUnsafeByte) return true;
  }
  return false;
}

uint16_t PortFromText(const zn::strutf8& text, uint32_t* value32) {
  uint32_t value = 0;
  zn_str2uint32(text.c_str(), &value);  // the value it leaves counts, whatever it says
  if (value32) *value32 = value;
  return static_cast<uint16_t>(value);
}

zn::strutf8 ToStr(const std::string& s) { return zn::strutf8(s.data(), static_cast<uint32_t>(s.size())); }

}  // namespace

bool CHttpUrl::CrackUrl(HttpRequestInfo& info, const char* url, const zn::strutf8& sslName) {
  if (!url) return false;
  // Copies first: both arguments may be fields of the record written below.
  std::string strUrl(url);
  const zn::strutf8 strSSLName(sslName);

  if (HasUnsafeByte(strUrl.c_str())) {
    znsyslog(kLogWarning, kHttpClientLogTag, __LINE__, "HttpDownload IsWithUnsafeChar URL[%s]", strUrl.c_str());
  }
  znsyslog(kLogEvent, kHttpClientLogTag, __LINE__, "Id[%I64u] CrackUrl [%s]", CurrentRequestId(), strUrl.c_str());
  // A fragment names a place inside the resource for the reader; it is never
  // sent, and a relative redirect must not resolve against it either.
  const size_t fragment = strUrl.find('#');
  if (fragment != std::string::npos) strUrl.erase(fragment);
  info.m_strUrl = ToStr(strUrl);

  const size_t slashes = strUrl.find("//");
  if (slashes == std::string::npos) return false;
  const size_t authStart = slashes + 2;
  size_t pathStart = strUrl.find('/', authStart);
  if (pathStart == std::string::npos) pathStart = strUrl.size();
  const std::string authority = strUrl.substr(authStart, pathStart - authStart);
  const std::string path = strUrl.substr(pathStart);
  if (authority.empty()) return false;

  std::string host = authority;
  std::string port = kDefaultPort;
  const size_t bracket = authority.rfind(']');
  if (bracket != std::string::npos) {
    // "[addr]" or "[addr]:port": the first character (the "[") is dropped.
    host = bracket >= 1 ? authority.substr(1, bracket - 1) : std::string();
    if (bracket + 1 < authority.size() && authority[bracket + 1] == ':') {
      port = authority.substr(bracket + 2);
    } else {
      port = authority.substr(bracket + 1);
    }
  } else {
    const size_t colon = authority.rfind(':');
    if (colon != std::string::npos) {
      host = authority.substr(0, colon);
      port = authority.substr(colon + 1);
    }
  }
  if (host.empty() && port.empty()) {
    znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "CrackUrl strIP and strPort is empty");
    return false;
  }

  const zn::strutf8 strPort = ToStr(port);
  uint32_t port32 = 0;
  info.m_wPort = PortFromText(strPort, &port32);
  info.m_strHost = ToStr(host);
  info.m_lstHosts.push_back(info.m_strHost);
  znsyslog(kLogEvent, kHttpClientLogTag, __LINE__, "CrackUrl port:[%s]->[%u]->[%u]", strPort.c_str(), port32,
           static_cast<unsigned>(info.m_wPort));

  info.m_bHttps = strUrl.compare(0, kHttpsPrefixLen, kHttpsPrefix) == 0;
  info.m_strSSLName = strSSLName.empty() ? info.m_strHost : strSSLName;
  info.m_strPath = path.empty() ? zn::strutf8("/") : ToStr(path);
  return true;
}

bool CHttpUrl::CrackUrl(HttpRequestInfo& info, const zn::strutf8& path, const zn::strutf8& port,
                        const zn::hostlist& hosts) {
  if (hosts.empty()) {
    znsyslog(kLogWarning, kHttpClientLogTag, __LINE__, "CHttpClient::CrackUrl:lstHosts is NULL");
    return false;
  }
  const zn::strutf8 strPath(path);
  zn::strutf8 url("http://");
  url.append(hosts.front());
  url.append(':');
  url.append(port);
  url.append(strPath);
  info.m_strUrl = url;
  info.m_wPort = PortFromText(port, nullptr);
  const zn::hostlist copy(hosts);
  info.m_strHost = copy.front();
  info.m_lstHosts = copy;
  info.m_strPath = strPath.empty() ? zn::strutf8("/") : strPath;
  info.m_bHttps = false;
  return true;
}

}  // namespace zn
