// Internal to the platform library: the HTTP proxy that proxy-aware connecting
// sockets tunnel through.
//
// The setting comes from znnet_setproxy when a host program (or a test) made
// that call, otherwise from the environment, read once: https_proxy, then
// http_proxy, then all_proxy (each also in upper case), with no_proxy naming the
// targets that connect directly. Thread-safe: the setting is guarded by a mutex.
#pragma once

#include <cstdint>
#include <string>

namespace znplatform {

struct ProxyTarget {
  std::string host;   // host name or numeric address, without brackets
  uint16_t port = 0;  // non-zero when the proxy is in use
  std::string basicCredentials;  // base64 of "user:password" from the proxy URL, or empty
};

// The proxy for a connection to targetIp (an address text), or false when the
// connection should go directly.
bool ProxyForTarget(const char* targetIp, ProxyTarget& proxy);

}  // namespace znplatform
