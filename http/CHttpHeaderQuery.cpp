#include "http/CHttpHeaderQuery.h"

#include <string>
#include <string_view>

#include "base/znplatform.h"
#include "body/ZnRequestId.h"
#include "http/HttpLog.h"

namespace zn {

namespace {

constexpr std::string_view kFileNameKey = "filename=";
// The extended parameter: charset'language'percent-encoded bytes.
constexpr std::string_view kExtFileNameKey = "filename*=";
constexpr char kQuote = '"';
constexpr char kEscape = '\\';
constexpr char kParamEnd = ';';

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

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// A parameter value written as it stands: up to the next ";", without the
// blanks around it.
std::string_view TokenValue(std::string_view text) { return TrimBlanks(text.substr(0, text.find(kParamEnd))); }

// Reading a quoted file name behind its opening quote.
enum class QuotedState {
  kText,    // copies bytes; a backslash goes to kEscape, a quote ends the name
  kEscape,  // copies the next byte whatever it is, then back to kText
};

// The text of a quoted-string whose opening quote has been consumed: up to
// the closing quote, each backslash taking the next byte literally. A value
// that never closes runs to the end of the text.
std::string QuotedValue(std::string_view text) {
  std::string out;
  QuotedState state = QuotedState::kText;
  for (const char c : text) {
    if (state == QuotedState::kEscape) {
      out += c;
      state = QuotedState::kText;
    } else if (c == kEscape) {
      state = QuotedState::kEscape;
    } else if (c == kQuote) {
      return out;
    } else {
      out += c;
    }
  }
  return std::string(TrimBlanks(out));
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = FoldAscii(c);
  return (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
}

// The name of an extended value (charset'language'text, the text
// percent-encoded) as UTF-8. UTF-8 and ISO-8859-1 are read; false for another
// charset, a broken escape or an empty name.
bool ExtendedValue(std::string_view text, std::string* out) {
  const size_t charsetEnd = text.find('\'');
  if (charsetEnd == std::string_view::npos) return false;
  const size_t languageEnd = text.find('\'', charsetEnd + 1);
  if (languageEnd == std::string_view::npos) return false;
  const std::string_view charset = text.substr(0, charsetEnd);
  const bool utf8 = charset.size() == 5 && FindNoCase(charset, "utf-8") == 0;
  const bool latin1 = charset.size() == 10 && FindNoCase(charset, "iso-8859-1") == 0;
  if (!utf8 && !latin1) return false;
  std::string bytes;
  const std::string_view encoded = text.substr(languageEnd + 1);
  for (size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] != '%') {
      bytes += encoded[i];
      continue;
    }
    const int high = i + 2 < encoded.size() ? HexDigit(encoded[i + 1]) : -1;
    const int low = high < 0 ? -1 : HexDigit(encoded[i + 2]);
    const int byte = low < 0 ? -1 : high * 16 + low;
    if (byte <= 0) return false;  // a broken escape, or a zero byte, which would end the name early
    bytes += static_cast<char>(byte);
    i += 2;
  }
  out->clear();
  for (const char c : bytes) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (utf8 || b < 0x80) {
      *out += c;
    } else {
      *out += static_cast<char>(0xC0 | (b >> 6));
      *out += static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  return !out->empty();
}

// The file name a disposition value carries: the extended parameter when it
// can be read, else the plain one, quoted or as it stands. "" when neither
// gives a name.
std::string DispositionFileName(std::string_view value) {
  std::string name;
  const size_t ext = value.find(kExtFileNameKey);
  if (ext != std::string_view::npos && ExtendedValue(TokenValue(value.substr(ext + kExtFileNameKey.size())), &name)) {
    return name;
  }
  const size_t key = value.find(kFileNameKey);
  if (key == std::string_view::npos) return "";
  const std::string_view rest = value.substr(key + kFileNameKey.size());
  if (!rest.empty() && rest.front() == kQuote) return QuotedValue(rest.substr(1));
  return std::string(TokenValue(rest));
}

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
    const std::string name8 = DispositionFileName(View(disposition));
    if (!name8.empty()) {
      const zn::strutf8 fileName(name8.data(), static_cast<uint32_t>(name8.size()));
      inout = fileName;
      znsyslog(kLogEvent, kHttpClientLogTag, __LINE__, "Id[%I64u] GetResponseFileName [%s]", CurrentRequestId(),
               fileName.c_str());
      return true;
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
