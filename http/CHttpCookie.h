// The cookie jar of a request. It keeps no cookies: SetRawCookie only logs
// what the server sent, and GetCookie always answers with empty text, so the
// request head never carries a Cookie line.
//
// Owned by the client (made on first need, freed when the next request
// starts); used on the client's worker thread only. Log tag "Http".
#pragma once

#include <cstdint>

#include "base/zndef.h"
#include "base/znstring.h"

namespace zn {

class CHttpCookie final {
 public:
  // Most cookie text GetCookie hands out.
  static constexpr uint32_t kMaxCookieLen = 2048;

  // Remembers the request identifier current now, for its log lines.
  CHttpCookie();
  CHttpCookie(const CHttpCookie&) = delete;
  CHttpCookie& operator=(const CHttpCookie&) = delete;

  // False only when an argument is null.
  bool SetRawCookie(const char* url, const char* cookie);
  // out := the cookies for url (always empty); true.
  bool GetCookie(const char* url, zn::strutf8& out);

  uint64_t RequestId() const { return m_qwRequestId; }

 private:
  uint64_t m_qwRequestId;  // request identifier when the jar was made
};

}  // namespace zn
