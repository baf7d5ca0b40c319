// GBK <-> UTF-16 through glibc iconv. Each call opens its own converter, so
// the functions are safe on any thread without a lock.
#include <iconv.h>

#include <cerrno>
#include <cstring>

#include "base/znplatform.h"

namespace {

const char kGbkTag[] = "zngbk";
const char kGbkCharset[] = "GBK";
const char kUtf16Charset[] = "UTF-16LE";
// Text that does not convert is the caller's to judge (a received head is
// read as it came, a text to send is refused with the caller's own line):
// here it is an event.
const int kUnconvertibleLogLevel = 3;
// Worst-case growth of each direction: a UTF-16 unit becomes at most 2 GBK
// bytes; a GBK byte becomes at most one UTF-16 unit (2 bytes).
const size_t kGbkBytesPerUnit = 2;

// An iconv descriptor for one call; closed on scope exit.
class Converter final {
 public:
  Converter(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  ~Converter() {
    if (Ok()) iconv_close(m_cd);
  }
  bool Ok() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
  // Converts all of [in, in + inLen) into out (room outLen); the bytes written,
  // or -1 on any invalid or unconvertible input.
  long Run(const char* in, size_t inLen, char* out, size_t outLen) {
    char* src = const_cast<char*>(in);
    char* dst = out;
    size_t srcLeft = inLen;
    size_t dstLeft = outLen;
    if (iconv(m_cd, &src, &srcLeft, &dst, &dstLeft) == static_cast<size_t>(-1)) return -1;
    if (iconv(m_cd, nullptr, nullptr, &dst, &dstLeft) == static_cast<size_t>(-1)) return -1;
    return static_cast<long>(outLen - dstLeft);
  }

 private:
  iconv_t m_cd;  // owned
};

}  // namespace

bool znutf162gbk(const zn::strutf16& in, zn::strutf8& out) {
  out = "";
  if (in.length() == 0) return true;
  Converter conv(kGbkCharset, kUtf16Charset);
  if (!conv.Ok()) {
    znsyslog(1, kGbkTag, __LINE__, "iconv_open fail errno[%d]", errno);
    return false;
  }
  const size_t room = static_cast<size_t>(in.length()) * kGbkBytesPerUnit;
  if (!out.reserve(static_cast<uint32_t>(room))) return false;
  const long n = conv.Run(reinterpret_cast<const char*>(in.data()), in.length() * sizeof(znwchar_t),
                          out.data(), room);
  if (n < 0) {
    znsyslog(kUnconvertibleLogLevel, kGbkTag, __LINE__, "utf16 to gbk fail errno[%d]", errno);
    out = "";
    return false;
  }
  out.setlength(static_cast<uint32_t>(n));
  return true;
}

bool zngbk2utf16(const char* gbk, uint32_t len, zn::strutf16& out) {
  out = ZN_WTEXT("");
  if (!gbk) return false;
  if (len == 0) return true;
  Converter conv(kUtf16Charset, kGbkCharset);
  if (!conv.Ok()) {
    znsyslog(1, kGbkTag, __LINE__, "iconv_open fail errno[%d]", errno);
    return false;
  }
  if (!out.reserve(len)) return false;
  const long n = conv.Run(gbk, len, reinterpret_cast<char*>(out.data()), static_cast<size_t>(len) * sizeof(znwchar_t));
  if (n < 0) {
    znsyslog(kUnconvertibleLogLevel, kGbkTag, __LINE__, "gbk to utf16 fail errno[%d]", errno);
    out = ZN_WTEXT("");
    return false;
  }
  out.setlength(static_cast<uint32_t>(n / sizeof(znwchar_t)));
  return true;
}
