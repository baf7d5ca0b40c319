#include "http/CHttpHeaderQuery.h"

#include <string>
#include <string_view>

#include "base/znplatform.h"
#include "body/ZnRequestId.h"
#include "http/HttpLog.h"

namespace zn {

namespace {

constexpr std::string_view kFileNameKey = "filename=";
// The quotes around a file name: its first and last character are dropped.
constexpr size_t kQuoteChars = 2;

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

size_t FindNoCase(std::string_view hay, std::string_view needle) {
  if (needle.size() > hay.size()) return std::string_view::npos;
  for (size_t i = 0; i + needle.size() <= hay.size(); ++i) {
    size_t k = 0;
    while (k < needle.size() && FoldAscii(hay[i + k]) == FoldAscii(needle[k])) ++k;
    if (k == needle.size()) return i;
  }
  return std::string_view::npos;
}

std::string_view View(const zn::strutf8& s) { return std::string_view(s.c_str(), s.length()); }

}  // namespace

bool CHttpHeaderQuery::QueryInfo(const zn::strutf8& head, const char* name, zn::strutf8& out, bool trim) {
  if (head.empty() || !name) return false;
  const std::string_view text = View(head);
  std::string key = "\n";
  key += name;
  size_t match = FindNoCase(text, key + ":");
  if (match == std::string_view::npos) match = FindNoCase(text, key + " :");
  if (match == std::string_view::npos) return false;

  const size_t lineStart = match + 1;
  size_t lineEnd = text.find('\n', lineStart);
  if (lineEnd == std::string_view::npos) return false;
  if (lineEnd > lineStart && text[lineEnd - 1] == '\r') --lineEnd;
  const std::string_view line = text.substr(lineStart, lineEnd - lineStart);
  const std::string_view value = line.substr(line.find(':') + 1);

  out.append(value.data(), static_cast<uint32_t>(value.size()));
  if (trim) out.trim();
  return !out.empty();
}

bool CHttpHeaderQuery::QueryInfo(const zn::strutf8& head, const zn::strutf16& name, zn::strutf16& out, bool trim) {
  const zn::strutf8 name8(name);
  zn::strutf8 out8(out);
  const bool found = QueryInfo(head, name8.c_str(), out8, trim);
  out = out8;
  return found;
}

bool CHttpHeaderQuery::QueryInfoNumber(const zn::strutf8& head, const char* name, uint32_t& out) {
  out = 0;
  zn::strutf8 value;
  if (!QueryInfo(head, name, value, true)) return false;
  uint32_t number = 0;
  zn_str2uint32(value.c_str(), &number);
  out = number;
  return true;
}

bool CHttpHeaderQuery::QueryInfoNumber64(const zn::strutf8& head, const char* name, uint64_t& out, bool& bFits) {
  out = 0;
  bFits = true;
  zn::strutf8 value;
  if (!QueryInfo(head, name, value, true)) return false;
  uint64_t number = 0;
  // Text without digits reads as 0, as in the 32-bit form; only digits that
  // run past 64 bits are refused.
  bFits = zn_str2uint64(value.c_str(), &number) || number != UINT64_MAX;
  out = number;
  return true;
}

bool CHttpHeaderQuery::QueryInfoNumber(const zn::strutf8& head, const zn::strutf16& name, uint32_t& out) {
  const zn::strutf8 name8(name);
  return QueryInfoNumber(head, name8.c_str(), out);
}

bool CHttpHeaderQuery::GetResponseFileName(const zn::strutf8& head, const zn::strutf8& url, zn::strutf16& inout) {
  const zn::strutf8 name(inout);
  zn::strutf8 disposition;
  if (QueryInfo(head, name.c_str(), disposition, true)) {
    znsyslog(kLogEvent, kHttpClientLogTag, __LINE__, "Id[%I64u] GetResponseFileName strDisposition=[%s]",
             CurrentRequestId(), disposition.c_str());
    const std::string_view value = View(disposition);
    const size_t key = value.find(kFileNameKey);
    if (key != std::string_view::npos) {
      const std::string_view quoted = value.substr(key + kFileNameKey.size());
      if (quoted.size() > kQuoteChars) {
        const std::string_view bare = quoted.substr(1, quoted.size() - kQuoteChars);
        const zn::strutf8 fileName(bare.data(), static_cast<uint32_t>(bare.size()));
        inout = fileName;
        znsyslog(kLogEvent, kHttpClientLogTag, __LINE__, "Id[%I64u] GetResponseFileName [%s]", CurrentRequestId(),
                 fileName.c_str());
        return true;
      }
    }
  }
  const std::string_view whole = View(url);
  const std::string_view beforeQuery = whole.substr(0, whole.find('?'));
  const zn::strutf8 fallback(beforeQuery.data(), static_cast<uint32_t>(beforeQuery.size()));
  inout = fallback;
  znsyslog(kLogEvent, kHttpClientLogTag, __LINE__, "Id[%I64u] GetResponseFileName [%s] URL[%s]", CurrentRequestId(),
           fallback.c_str(), url.c_str());
  return true;
}

}  // namespace zn
