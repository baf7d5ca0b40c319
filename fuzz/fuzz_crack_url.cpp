// Splits URLs into the components of a request record, in both forms: the
// URL form (with a certificate name) and the host-list form (path, port and
// addresses). Input: a selector byte, then fields separated by '\n'.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "http/CHttpUrl.h"

namespace {

const int kLogsOn = znfuzz::EnableAllLogs();

std::vector<std::string> SplitLines(const uint8_t* data, size_t size) {
  std::vector<std::string> fields(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == '\n') {
      fields.emplace_back();
    } else {
      fields.back().push_back(static_cast<char>(data[i]));
    }
  }
  return fields;
}

zn::strutf8 Utf8(const std::string& s) { return zn::strutf8(s.data(), static_cast<uint32_t>(s.size())); }

// After a successful crack of the URL form the record must be usable by the
// request head and the connector: a path, a host list ending in the host.
void CheckUrlForm(const zn::HttpRequestInfo& info, const std::string& url) {
  ZN_FUZZ_CHECK(!info.m_strPath.empty());
  ZN_FUZZ_CHECK(!info.m_lstHosts.empty());
  // The fragment is the caller's own: it is kept out of the record.
  ZN_FUZZ_CHECK(info.m_strUrl == url.substr(0, url.find('#')).c_str());
  ZN_FUZZ_CHECK(std::string(info.m_strPath.c_str()).find('#') == std::string::npos);
  ZN_FUZZ_CHECK(info.m_bHttps == (url.compare(0, 8, "https://") == 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)kLogsOn;
  if (size == 0) return 0;
  const uint8_t selector = data[0];
  std::vector<std::string> fields = SplitLines(data + 1, size - 1);

  zn::HttpRequestInfo info;
  if ((selector & 1) == 0) {
    // URL form: URL, then an optional certificate name. A zero byte ends the
    // URL as it would for a caller's C string.
    const std::string url = fields[0].c_str();
    const zn::strutf8 sslName = Utf8(fields.size() > 1 ? fields[1] : std::string());
    if (zn::CHttpUrl::CrackUrl(info, url.c_str(), sslName)) CheckUrlForm(info, url);
    // The record's own fields as arguments: the call copies them first.
    zn::HttpRequestInfo again;
    again.m_strUrl = url.c_str();
    again.m_strSSLName = sslName;
    if (zn::CHttpUrl::CrackUrl(again, again.m_strUrl.c_str(), again.m_strSSLName)) CheckUrlForm(again, url);
  } else {
    // Host-list form: path, port, then the addresses.
    const zn::strutf8 path = Utf8(fields[0]);
    const zn::strutf8 port = Utf8(fields.size() > 1 ? fields[1] : std::string());
    zn::hostlist hosts;
    for (size_t i = 2; i < fields.size(); ++i) hosts.push_back(Utf8(fields[i]));
    const bool ok = zn::CHttpUrl::CrackUrl(info, path, port, hosts);
    ZN_FUZZ_CHECK(ok == !hosts.empty());
    if (ok) {
      ZN_FUZZ_CHECK(!info.m_strPath.empty());
      ZN_FUZZ_CHECK(info.m_strHost == hosts.front());
      ZN_FUZZ_CHECK(!info.m_bHttps);
    }
  }
  return 0;
}
