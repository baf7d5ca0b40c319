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

// The system's proxy setting as text.
struct SystemProxy {
  std::string proxy;    // "[http://][user[:password]@]host[:port]", empty for none
  std::string noProxy;  // targets that connect directly: entries separated by commas or blanks
  std::string source;   // where the setting was found, for log lines
};

// Reads the system's setting; false when there is none. On POSIX systems the
// environment: https_proxy, then http_proxy, then all_proxy (each also in upper
// case; the first that is set decides), with no_proxy. On Windows the current
// user's Internet Explorer setting, read through WinHTTP. Any thread.
bool ReadSystemProxy(SystemProxy& out);

// The proxy for a connection to targetIp (an address text), or false when the
// connection should go directly.
bool ProxyForTarget(const char* targetIp, ProxyTarget& proxy);

}  // namespace znplatform
