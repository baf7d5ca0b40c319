// The proxy setting of the proxy-aware connecting sockets: set by the host
// program or read once from the conventional environment variables.
#include "platform/znproxy.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/znplatform.h"
#include "base/znsocket.h"
#include "platform/znsocketutil.h"

namespace znplatform {

namespace {

constexpr const char kProxyLogTag[] = "znproxy";
// The port of a proxy whose text names none (the customary proxy port).
constexpr uint16_t kDefaultProxyPort = 1080;

// The setting; every field is guarded by g_mutex.
struct ProxySetting {
  bool loaded = false;     // the environment was read or a host program set the proxy
  bool explicitSet = false;  // the proxy came from znnet_setproxy (no_proxy does not apply)
  ProxyTarget httpProxy;   // for http:// targets; port 0: direct
  ProxyTarget httpsProxy;  // for https:// targets; port 0: direct
  std::string noProxy;     // the list of targets that connect directly, lower case
  BypassStyle bypassStyle = BypassStyle::kNoProxy;
};

std::mutex g_mutex;
ProxySetting g_setting;

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// "%XX" escapes of a URL part decoded; a malformed escape is kept as it stands.
std::string PercentDecode(const std::string& in) {
  std::string out;
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '%' && i + 2 < in.size() && std::isxdigit(static_cast<unsigned char>(in[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(in[i + 2]))) {
      out += static_cast<char>(std::strtoul(in.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      out += in[i];
    }
  }
  return out;
}

std::string Base64(const std::string& in) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const uint32_t v = (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8) |
                       static_cast<unsigned char>(in[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i + 1 == in.size()) {
    const uint32_t v = static_cast<unsigned char>(in[i]) << 16;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == in.size()) {
    const uint32_t v = (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

// Reads "[scheme://][user[:password]@]host[:port][/...]". Only plain HTTP
// proxies can carry a CONNECT tunnel here; other schemes are refused.
bool ParseProxyText(const std::string& raw, ProxyTarget& out) {
  std::string text = Trim(raw);
  if (text.empty()) return false;
  const size_t schemeEnd = text.find("://");
  if (schemeEnd != std::string::npos) {
    const std::string scheme = Lower(text.substr(0, schemeEnd));
    if (scheme != "http") {
      znsyslog(2, kProxyLogTag, __LINE__, "proxy [%s] ignored: only http:// proxies are supported", text.c_str());
      return false;
    }
    text = text.substr(schemeEnd + 3);
  }
  text = text.substr(0, text.find('/'));
  const size_t at = text.rfind('@');
  std::string credentials;
  if (at != std::string::npos) {
    const std::string userinfo = text.substr(0, at);
    const size_t colon = userinfo.find(':');
    credentials = PercentDecode(userinfo.substr(0, colon));
    credentials += ':';
    if (colon != std::string::npos) credentials += PercentDecode(userinfo.substr(colon + 1));
    text = text.substr(at + 1);
  }

  std::string host;
  std::string portText;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':') return false;
      portText = text.substr(close + 2);
    }
  } else {
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos && text.find(':') == colon) {
      host = text.substr(0, colon);
      portText = text.substr(colon + 1);
    } else {
      host = text;  // no port, or a bare IPv6 address
    }
  }
  if (host.empty()) return false;
  uint16_t port = kDefaultProxyPort;
  if (!portText.empty()) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(portText.c_str(), &end, 10);
    if (end == portText.c_str() || *end != '\0' || v == 0 || v > 65535) {
      znsyslog(2, kProxyLogTag, __LINE__, "proxy [%s] ignored: bad port", raw.c_str());
      return false;
    }
    port = static_cast<uint16_t>(v);
  }
  out.host = host;
  out.port = port;
  out.basicCredentials = credentials.empty() ? std::string() : Base64(credentials);
  return true;
}

// An address and prefix entry ("10.0.0.0/8", "fd00::/8") against an address text.
bool MatchesCidr(const std::string& entry, const std::string& target) {
  const size_t slash = entry.find('/');
  const std::string net = entry.substr(0, slash);
  const int bits = std::atoi(entry.c_str() + slash + 1);
  unsigned char a[16], b[16];
  size_t size = 0;
  if (::inet_pton(AF_INET, net.c_str(), a) == 1 && ::inet_pton(AF_INET, target.c_str(), b) == 1) {
    size = 4;
  } else if (::inet_pton(AF_INET6, net.c_str(), a) == 1 && ::inet_pton(AF_INET6, target.c_str(), b) == 1) {
    size = 16;
  } else {
    return false;
  }
  if (bits < 0 || static_cast<size_t>(bits) > size * 8) return false;
  const size_t whole = static_cast<size_t>(bits) / 8;
  if (std::memcmp(a, b, whole) != 0) return false;
  const int rest = bits % 8;
  if (rest == 0) return true;
  const unsigned char mask = static_cast<unsigned char>(0xFF << (8 - rest));
  return (a[whole] & mask) == (b[whole] & mask);
}

// Whether text matches pattern, where '*' stands for any run of characters
// (none included). Both are lower case.
bool WildcardMatches(const std::string& pattern, const std::string& text) {
  size_t p = 0, t = 0;
  size_t starP = std::string::npos, starT = 0;  // the last '*' seen, and where its run ends now
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starT = t;
    } else if (p < pattern.size() && pattern[p] == text[t]) {
      ++p;
      ++t;
    } else if (starP != std::string::npos) {
      p = starP + 1;  // the last '*' takes one more character
      t = ++starT;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// A name that is an address literal: an IPv6 text, or digits and dots only.
bool IsAddressText(const std::string& name) {
  if (name.find(':') != std::string::npos) return true;
  return !name.empty() && name.find_first_not_of("0123456789.") == std::string::npos;
}

// One entry against the host name (empty when unknown) and the address; all
// lower case.
bool EntryMatches(std::string entry, BypassStyle style, const std::string& name, const std::string& ip) {
  if (entry == "*") return true;
  if (entry == "<local>") return !name.empty() && !IsAddressText(name) && name.find('.') == std::string::npos;
  if (style == BypassStyle::kNoProxy) {
    if (entry.front() == '[') {
      const size_t close = entry.find(']');
      entry = entry.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    } else if (entry.find(':') != std::string::npos && entry.find(':') == entry.rfind(':')) {
      entry.resize(entry.find(':'));  // "host:port": the port is not compared
    }
    if (!entry.empty() && entry.front() == '.') entry.erase(0, 1);
  }
  if (entry.find('/') != std::string::npos) return !ip.empty() && MatchesCidr(entry, ip);
  for (const std::string* target : {&name, &ip}) {
    if (target->empty() || entry.empty()) continue;
    if (WildcardMatches(entry, *target)) return true;
    // no_proxy's names cover the names below them.
    if (style == BypassStyle::kNoProxy && target->size() > entry.size() &&
        WildcardMatches("*." + entry, *target)) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool BypassMatches(const std::string& list, BypassStyle style, const std::string& hostName,
                   const std::string& targetIp) {
  const std::string name = Lower(hostName);
  std::string ip = Lower(targetIp);
  const size_t pct = ip.find('%');
  if (pct != std::string::npos) ip.resize(pct);
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t end = list.find_first_of(",; \t", pos);
    if (end == std::string::npos) end = list.size();
    const std::string entry = Lower(list.substr(pos, end - pos));
    pos = end + 1;
    if (!entry.empty() && EntryMatches(entry, style, name, ip)) return true;
  }
  return false;
}

void SplitProxyList(const std::string& list, std::string& forHttp, std::string& forHttps) {
  std::string http, https, plain;
  bool httpSeen = false, httpsSeen = false;
  size_t pos = 0;
  while (pos < list.size()) {
    size_t end = list.find_first_of("; \t", pos);
    if (end == std::string::npos) end = list.size();
    const std::string entry = list.substr(pos, end - pos);
    pos = end + 1;
    if (entry.empty()) continue;
    const size_t eq = entry.find('=');
    if (eq == std::string::npos) {
      if (plain.empty()) plain = entry;
      continue;
    }
    const std::string scheme = Lower(entry.substr(0, eq));
    if (scheme == "http" && !httpSeen) {
      httpSeen = true;
      http = entry.substr(eq + 1);
    } else if (scheme == "https" && !httpsSeen) {
      httpsSeen = true;
      https = entry.substr(eq + 1);
    }
  }
  forHttp = httpSeen ? http : plain;
  forHttps = httpsSeen ? https : plain;
}

namespace {

// One scheme's proxy text read into target (left direct when empty or unusable).
void LoadProxy(const SystemProxy& system, const char* scheme, const std::string& text, ProxyTarget& target) {
  if (text.empty() || !ParseProxyText(text, target)) return;
  znsyslog(3, kProxyLogTag, __LINE__, "proxy for %s from %s: [%s:%u]", scheme, system.source.c_str(),
           target.host.c_str(), static_cast<unsigned>(target.port));
}

// Reads the system's setting once; g_mutex is held.
void LoadLocked() {
  if (g_setting.loaded) return;
  g_setting = ProxySetting();
  g_setting.loaded = true;
  SystemProxy system;
  if (!ReadSystemProxy(system)) return;
  LoadProxy(system, "http", system.proxyHttp, g_setting.httpProxy);
  LoadProxy(system, "https", system.proxyHttps, g_setting.httpsProxy);
  g_setting.noProxy = Lower(system.noProxy);
  g_setting.bypassStyle = system.bypassStyle;
}

}  // namespace

bool ProxyForTarget(const char* hostName, const char* targetIp, bool bHttps, ProxyTarget& proxy) {
  std::lock_guard<std::mutex> lock(g_mutex);
  LoadLocked();
  const ProxyTarget& chosen = bHttps ? g_setting.httpsProxy : g_setting.httpProxy;
  if (chosen.port == 0) return false;
  const std::string name = hostName ? hostName : "";
  const std::string ip = targetIp ? targetIp : "";
  if (!g_setting.explicitSet && BypassMatches(g_setting.noProxy, g_setting.bypassStyle, name, ip)) {
    znsyslog(3, kProxyLogTag, __LINE__, "no_proxy: [%s] connects directly", name.empty() ? ip.c_str() : name.c_str());
    return false;
  }
  proxy = chosen;
  return true;
}

}  // namespace znplatform

void znnet_setproxy(const char* host, uint16_t port) {
  std::lock_guard<std::mutex> lock(znplatform::g_mutex);
  znplatform::g_setting.loaded = true;
  znplatform::g_setting.explicitSet = true;
  znplatform::g_setting.noProxy.clear();
  znplatform::g_setting.httpProxy = znplatform::ProxyTarget();
  if (host != nullptr && *host != '\0') {
    std::string text = host;
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    znplatform::g_setting.httpProxy.host = text;
    znplatform::g_setting.httpProxy.port = port != 0 ? port : znplatform::kDefaultProxyPort;
  }
  znplatform::g_setting.httpsProxy = znplatform::g_setting.httpProxy;  // one proxy for both schemes
}

void znnet_resetproxy() {
  std::lock_guard<std::mutex> lock(znplatform::g_mutex);
  znplatform::g_setting.loaded = false;
}
