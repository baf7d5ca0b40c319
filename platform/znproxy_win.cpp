// The system proxy setting on Windows: the current user's Internet Explorer
// setting, read through WinHTTP (Wine keeps it in its registry). Only a fixed
// proxy is used; automatic detection and configuration scripts are not run.
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

// The entry for the CONNECT tunnel in a proxy list: "host:port" alone, or
// "scheme=host:port" entries separated by ';' or blanks, of which https is
// preferred, then http, then an entry without a scheme.
std::string PickProxy(const std::string& list) {
  std::string https, http, plain;
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
    } else if (entry.compare(0, eq, "https") == 0) {
      https = entry.substr(eq + 1);
    } else if (entry.compare(0, eq, "http") == 0) {
      http = entry.substr(eq + 1);
    }
  }
  return !https.empty() ? https : !http.empty() ? http : plain;
}

// The bypass list ("<local>;*.example.com;10.*") in the form the direct-target
// matcher reads: comma-separated, "*." prefixes as leading dots, "*" alone for
// every target. "<local>" and other wildcard patterns have no equivalent there
// and are left out.
std::string BypassList(const std::string& list) {
  std::string out;
  size_t pos = 0;
  while (pos < list.size()) {
    size_t end = list.find_first_of("; \t", pos);
    if (end == std::string::npos) end = list.size();
    std::string entry = list.substr(pos, end - pos);
    pos = end + 1;
    if (entry.compare(0, 2, "*.") == 0) entry.erase(0, 1);
    if (entry.empty() || (entry != "*" && entry.find_first_of("*<") != std::string::npos)) continue;
    if (!out.empty()) out += ',';
    out += entry;
  }
  return out;
}

}  // namespace

bool ReadSystemProxy(SystemProxy& out) {
  out = SystemProxy();
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
  if (!::WinHttpGetIEProxyConfigForCurrentUser(&config)) return false;
  out.proxy = PickProxy(Utf8Of(config.lpszProxy));
  out.noProxy = BypassList(Utf8Of(config.lpszProxyBypass));
  out.source = "the Internet Explorer setting";
  for (LPWSTR text : {config.lpszAutoConfigUrl, config.lpszProxy, config.lpszProxyBypass}) {
    if (text != nullptr) ::GlobalFree(text);
  }
  return !out.proxy.empty();
}

}  // namespace znplatform
