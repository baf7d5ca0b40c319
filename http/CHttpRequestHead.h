// The caller's header operations and the exact bytes of a request head:
// request line, the default lines the caller may override once, the caller's
// other lines, resume Range, If-Modified-Since, body length and, for multipart
// uploads, the content type and the text that precedes the file bytes.
//
// Stateless; the header operations run on the host's thread and write the
// header state they are given, the head is built on the client's worker
// thread each time a connection is ready to send.
#pragma once

#include <cstdint>

#include "base/zndef.h"
#include "base/znstring.h"
#include "http/HttpRequestInfo.h"

namespace zn {

class CDataReader;
class HttpResponseDataWriter;
class CHttpCookie;

class CHttpRequestHead final {
 public:
  CHttpRequestHead() = delete;

  // Stores a trimmed header. Host, Accept, User-Agent and Pragma (any case)
  // replace the default line of the next head; any other name is appended to
  // the extra lines as "name:value\r\n". False when name or value is empty
  // before trimming.
  static bool AddHeader(HttpHeaderState& headers, const zn::strutf16& name, const zn::strutf16& value);
  // The value formatted as "%u".
  static bool AddHeader(HttpHeaderState& headers, const zn::strutf16& name, uint32_t value);
  // Appends the trimmed line and "\r\n" to the extra lines; true.
  static bool AddHeaderLine(HttpHeaderState& headers, const zn::strutf16& line);
  static void ClearHeaders(HttpHeaderState& headers);
  // Removes the caller's Authorization, Cookie and Proxy-Authorization lines
  // (names in any case) from the extra lines; true when there was one.
  static bool DropCredentials(HttpHeaderState& headers);

  // Fills request.m_strIfModifiedSince with an IMF-fixdate line; leaves it
  // alone for a null record, a month outside 1..12 or a weekday above 6.
  static void BuildIfModifiedSince(HttpRequestInfo& request, const SYSTEMTIME* time);

  // out := the head for the request. reader and writer are borrowed and may be
  // null. cookie is the client's jar slot: a jar is made into it (owned by the
  // caller) when it is null. Overridable headers are removed from headers as
  // they are used. False, with out empty and a line naming the header, when
  // settings ask for GBK and a line of the head has no GBK form: such a head
  // is never sent altered.
  static bool BuildRqHead(HttpRequestInfo& request, HttpHeaderState& headers, const HttpMessageSettings& settings,
                          CDataReader* reader, HttpResponseDataWriter* writer, CHttpCookie*& cookie, zn::strutf8& out);
};

}  // namespace zn
