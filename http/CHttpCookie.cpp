#include "http/CHttpCookie.h"

#include "base/znplatform.h"
#include "body/ZnRequestId.h"
#include "http/HttpLog.h"

namespace zn {

CHttpCookie::CHttpCookie() : m_qwRequestId(CurrentRequestId()) {}

bool CHttpCookie::SetRawCookie(const char* url, const char* cookie) {
  if (!url || !cookie) return false;
  znsyslog(kLogEvent, kHttpLogTag, __LINE__, "Id[%I64u] SetRawCookie [%s] bRet[%d]", m_qwRequestId, cookie, 1);
  return true;
}

bool CHttpCookie::GetCookie(const char* url, zn::strutf8& out) {
  // The jar has nothing to copy into the buffer, so the text stays empty.
  char buf[kMaxCookieLen] = {};
  out = buf;
  return true;
}

}  // namespace zn
