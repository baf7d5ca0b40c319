// GBK <-> UTF-16 through the Windows code page 936. The calls keep no state,
// so the functions are safe on any thread without a lock.
#include <windows.h>

#include "base/znplatform.h"

namespace {

const char kGbkTag[] = "zngbk";
const UINT kGbkCodePage = 936;
// Text that does not convert is the caller's to judge (a received head is
// read as it came, a text to send is refused with the caller's own line):
// here it is an event.
const int kUnconvertibleLogLevel = 3;

}  // namespace

bool znutf162gbk(const zn::strutf16& in, zn::strutf8& out) {
  out = "";
  if (in.length() == 0) return true;
  const wchar_t* src = in.data();
  const int srcLen = static_cast<int>(in.length());
  // WC_NO_BEST_FIT_CHARS with the default-character flag: a character GBK
  // cannot hold fails the conversion instead of becoming a look-alike or '?'.
  BOOL lossy = FALSE;
  const int n = ::WideCharToMultiByte(kGbkCodePage, WC_NO_BEST_FIT_CHARS, src, srcLen, nullptr, 0, nullptr, &lossy);
  if (n <= 0 || lossy) {
    znsyslog(kUnconvertibleLogLevel, kGbkTag, __LINE__, "utf16 to gbk fail errno[%d]",
             static_cast<int>(::GetLastError()));
    return false;
  }
  if (!out.reserve(static_cast<uint32_t>(n))) return false;
  if (::WideCharToMultiByte(kGbkCodePage, WC_NO_BEST_FIT_CHARS, src, srcLen, out.data(), n, nullptr, &lossy) != n ||
      lossy) {
    znsyslog(kUnconvertibleLogLevel, kGbkTag, __LINE__, "utf16 to gbk fail errno[%d]",
             static_cast<int>(::GetLastError()));
    out = "";
    return false;
  }
  out.setlength(static_cast<uint32_t>(n));
  return true;
}

bool zngbk2utf16(const char* gbk, uint32_t len, zn::strutf16& out) {
  out = L"";
  if (!gbk) return false;
  if (len == 0) return true;
  const int srcLen = static_cast<int>(len);
  const int n = ::MultiByteToWideChar(kGbkCodePage, MB_ERR_INVALID_CHARS, gbk, srcLen, nullptr, 0);
  if (n <= 0) {
    znsyslog(kUnconvertibleLogLevel, kGbkTag, __LINE__, "gbk to utf16 fail errno[%d]",
             static_cast<int>(::GetLastError()));
    return false;
  }
  if (!out.reserve(static_cast<uint32_t>(n))) return false;
  if (::MultiByteToWideChar(kGbkCodePage, MB_ERR_INVALID_CHARS, gbk, srcLen, out.data(), n) != n) {
    znsyslog(kUnconvertibleLogLevel, kGbkTag, __LINE__, "gbk to utf16 fail errno[%d]",
             static_cast<int>(::GetLastError()));
    out = L"";
    return false;
  }
  out.setlength(static_cast<uint32_t>(n));
  return true;
}
