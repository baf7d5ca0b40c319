// The system proxy setting on POSIX systems: the conventional environment variables.
#include <cstdlib>

#include "platform/znproxy.h"

namespace znplatform {

namespace {

// The variables naming the proxy, in the order of preference.
constexpr const char* kProxyVariables[] = {"https_proxy", "HTTPS_PROXY", "http_proxy",
                                           "HTTP_PROXY",  "all_proxy",   "ALL_PROXY"};
constexpr const char* kNoProxyVariables[] = {"no_proxy", "NO_PROXY"};

}  // namespace

bool ReadSystemProxy(SystemProxy& out) {
  out = SystemProxy();
  for (const char* name : kProxyVariables) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') continue;
    out.proxyHttp = value;
    out.proxyHttps = value;
    out.source = name;
    break;  // the first variable that is set decides, even when it cannot be used
  }
  for (const char* name : kNoProxyVariables) {
    const char* value = std::getenv(name);
    if (value == nullptr) continue;
    out.noProxy = value;
    break;
  }
  return !out.proxyHttp.empty();
}

}  // namespace znplatform
