// Reads header values out of a stored head: the query in its UTF-8, UTF-16
// and numeric forms, for a fuzzer-chosen name and for the names the client
// itself asks for, and the download file name. Input: the name, '\n', the
// URL, '\n', then the head (any bytes, zero bytes included).
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "http/CHttpHeaderQuery.h"

namespace {

const int kLogsOn = znfuzz::EnableAllLogs();

// Names the analysis, the client and its hosts query.
const char* const kKnownNames[] = {
    "Content-Length", "Transfer-Encoding", "Trailer", "Trailers", "Content-Range",
    "Location",       "Set-Cookie",        "Content-Disposition", "Last-Modified", "Date",
};

std::string_view TakeLine(std::string_view& rest) {
  const size_t nl = rest.find('\n');
  const std::string_view line = rest.substr(0, nl);
  rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
  return line;
}

void QueryAllForms(const zn::strutf8& head, const std::string& name) {
  zn::strutf8 raw;
  if (zn::CHttpHeaderQuery::QueryInfo(head, name.c_str(), raw, false)) {
    // A value is the rest of one line: it never carries a line feed.
    ZN_FUZZ_CHECK(!raw.empty());
    ZN_FUZZ_CHECK(memchr(raw.c_str(), '\n', raw.length()) == nullptr);
  }
  zn::strutf8 trimmed;
  const bool found = zn::CHttpHeaderQuery::QueryInfo(head, name.c_str(), trimmed, true);
  ZN_FUZZ_CHECK(found == !trimmed.empty());

  // The output's current content stays in front of the value.
  zn::strutf8 prefixed("x");
  zn::CHttpHeaderQuery::QueryInfo(head, name.c_str(), prefixed, false);
  ZN_FUZZ_CHECK(prefixed.length() >= 1 && prefixed.c_str()[0] == 'x');

  const zn::strutf16 name16(zn::strutf8(name.c_str()));
  zn::strutf16 wide;
  zn::CHttpHeaderQuery::QueryInfo(head, name16, wide, true);

  uint32_t number = 1;
  if (!zn::CHttpHeaderQuery::QueryInfoNumber(head, name.c_str(), number)) ZN_FUZZ_CHECK(number == 0);
  zn::CHttpHeaderQuery::QueryInfoNumber(head, name16, number);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)kLogsOn;
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  const std::string name(TakeLine(rest));
  const std::string_view url = TakeLine(rest);
  const zn::strutf8 head(rest.data(), static_cast<uint32_t>(rest.size()));
  const zn::strutf8 url8(url.data(), static_cast<uint32_t>(url.size()));

  QueryAllForms(head, name.c_str());
  for (const char* known : kKnownNames) QueryAllForms(head, known);

  zn::strutf16 fileName(zn::strutf8(name.c_str()));
  ZN_FUZZ_CHECK(zn::CHttpHeaderQuery::GetResponseFileName(head, url8, fileName));
  zn::strutf16 disposition("Content-Disposition");
  ZN_FUZZ_CHECK(zn::CHttpHeaderQuery::GetResponseFileName(head, url8, disposition));
  return 0;
}
