// The system proxy setting on Windows: the current user's Internet Explorer
// setting, read through WinHTTP (Wine keeps it in its registry). Only a fixed
// proxy is used; automatic detection and configuration scripts are not run.
// The proxy list and the bypass list are read by the portable code.
#include <windows.h>
#include <winhttp.h>

#include <string>

#include "platform/znproxy.h"

namespace znplatform {

namespace {

std::string Utf8Of(const wchar_t* text) {
  if (text == nullptr || *text == L'\0') return std::string();
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

}  // namespace

bool ReadSystemProxy(SystemProxy& out) {
  out = SystemProxy();
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
  if (!::WinHttpGetIEProxyConfigForCurrentUser(&config)) return false;
  SplitProxyList(Utf8Of(config.lpszProxy), out.proxyHttp, out.proxyHttps);
  out.noProxy = Utf8Of(config.lpszProxyBypass);
  out.bypassStyle = BypassStyle::kWindows;
  out.source = "the Internet Explorer setting";
  for (LPWSTR text : {config.lpszAutoConfigUrl, config.lpszProxy, config.lpszProxyBypass}) {
    if (text != nullptr) ::GlobalFree(text);
  }
  return !out.proxyHttp.empty() || !out.proxyHttps.empty();
}

}  // namespace znplatform
