// Turns the target of a request into the URL components of the request
// record: full URL, host, address list, port, TLS flag, certificate name and
// the request target of the request line.
//
// Stateless; the operations write only the record they are given. Used on the
// client's worker thread at the start of a request and before the reconnect to
// a redirect target.
#pragma once

#include "base/zndef.h"
#include "base/znlist.h"
#include "base/znstring.h"
#include "http/HttpRequestInfo.h"

namespace zn {

class CHttpUrl final {
 public:
  // Used when no port follows the host, whatever the scheme.
  static constexpr const char* kDefaultPort = "80";

  CHttpUrl() = delete;

  // URL form. url may be null (false) and may be info.m_strUrl itself;
  // m_strUrl keeps it without its fragment (from the first "#"), which is no
  // part of any other component either.
  // sslName may be info.m_strSSLName itself. On success m_lstHosts gains the
  // host at its end (the caller empties the list first). A failure may already
  // have replaced m_strUrl; the other components are written only on success.
  static bool CrackUrl(HttpRequestInfo& info, const char* url, const zn::strutf8& sslName);

  // Host-list form: the URL is built as "http://" + first host + ":" + port +
  // path; the list is copied in order. m_strSSLName is left alone.
  static bool CrackUrl(HttpRequestInfo& info, const zn::strutf8& path, const zn::strutf8& port,
                       const zn::hostlist& hosts);
};

}  // namespace zn
