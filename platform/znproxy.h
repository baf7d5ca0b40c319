// Internal to the platform library: the HTTP proxy that proxy-aware connecting
// sockets tunnel through.
//
// The setting comes from znnet_setproxy when a host program (or a test) made
// that call, otherwise from the system's setting, read once (ReadSystemProxy).
// Thread-safe: the setting is guarded by a mutex.
#pragma once

#include <cstdint>
#include <string>

namespace znplatform {

struct ProxyTarget {
  std::string host;   // host name or numeric address, without brackets
  uint16_t port = 0;  // non-zero when the proxy is in use
  std::string basicCredentials;  // base64 of "user:password" from the proxy URL, or empty
};

// How a list of targets that connect directly reads its entries. Both kinds
// take "*" wildcards anywhere in an entry, "*" alone for every target and
// "<local>" for host names without a dot, compared without regard to case
// with the host name and with the address, and "net/bits" for the addresses
// inside.
enum class BypassStyle {
  // no_proxy: a name also covers the names below it ("example.com" and
  // ".example.com" take "www.example.com"); "host:port" compares the host alone.
  kNoProxy,
  // Windows' bypass list: an entry covers what it spells and nothing more
  // ("*.example.com" for the names below).
  kWindows,
};

// The system's proxy setting as text; each proxy is
// "[http://][user[:password]@]host[:port]", empty where that scheme connects
// directly.
struct SystemProxy {
  std::string proxyHttp;   // for http:// targets
  std::string proxyHttps;  // for https:// targets
  std::string noProxy;     // targets that connect directly: entries separated by ';', ',' or blanks
  BypassStyle bypassStyle = BypassStyle::kNoProxy;
  std::string source;      // where the setting was found, for log lines
};

// Reads the system's setting; false when there is none. On POSIX systems the
// environment: https_proxy, then http_proxy, then all_proxy (each also in upper
// case; the first that is set decides, for both schemes), with no_proxy. On
// Windows the current user's Internet Explorer setting, read through WinHTTP.
// Any thread.
bool ReadSystemProxy(SystemProxy& out);

// Splits a Windows proxy list: entries separated by ';' or blanks, each
// "host:port" (for both schemes, unless the scheme has an entry of its own) or
// "scheme=host:port". A scheme without an entry gets an empty text (direct);
// entries of other schemes are ignored.
void SplitProxyList(const std::string& list, std::string& forHttp, std::string& forHttps);

// Whether a target, named by hostName (may be empty) and reached at targetIp
// (may be empty), is in the list of targets that connect directly.
bool BypassMatches(const std::string& list, BypassStyle style, const std::string& hostName,
                   const std::string& targetIp);

// The proxy for a connection to targetIp (an address text) of a URL with host
// name hostName (null or empty: unknown) and the given scheme, or false when
// the connection should go directly.
bool ProxyForTarget(const char* hostName, const char* targetIp, bool bHttps, ProxyTarget& proxy);

}  // namespace znplatform
