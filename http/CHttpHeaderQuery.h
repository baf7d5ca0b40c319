// Reads header values out of a stored response head: the generic query (first
// occurrence only, the field name matched without regard to case), its UTF-16
// and numeric forms, and the file name of a download.
//
// Stateless; the operations only read the head they are given and take no
// lock, so they run on whichever thread calls them.
#pragma once

#include <cstdint>

#include "base/zndef.h"
#include "base/znstring.h"

namespace zn {

class CHttpHeaderQuery final {
 public:
  CHttpHeaderQuery() = delete;

  // Appends the value of header name (text behind the first ":" of its line,
  // without the line end) to out, trimmed at both ends when trim is set. The
  // name must follow a line feed and be followed by ":" or " :", so the status
  // line and partial names never match. False when the head is empty, the
  // header is missing or its line has no end, or out ends up empty.
  static bool QueryInfo(const zn::strutf8& head, const char* name, zn::strutf8& out, bool trim);
  // UTF-16 form: out's current content goes through UTF-8 and back.
  static bool QueryInfo(const zn::strutf8& head, const zn::strutf16& name, zn::strutf16& out, bool trim);
  // out := 0, then the trimmed value read by zn_str2uint32 ("0x" text as
  // hexadecimal). True when the header was found with a value, whatever the
  // conversion made of it.
  static bool QueryInfoNumber(const zn::strutf8& head, const char* name, uint32_t& out);
  static bool QueryInfoNumber(const zn::strutf8& head, const zn::strutf16& name, uint32_t& out);
  // The 64-bit form for lengths and positions, read by zn_str2uint64. True
  // when the header was found with a value; bFits is false when its digits
  // exceed what 64 bits hold (out is then UINT64_MAX).
  static bool QueryInfoNumber64(const zn::strutf8& head, const char* name, uint64_t& out, bool& bFits);
  // inout holds a header name (the disposition header) on entry and the file
  // name on return: the "filename*=" value of that header when its charset is
  // UTF-8 or ISO-8859-1 (percent-decoded, as UTF-8), else the "filename="
  // value, quoted (to its closing quote, backslash escapes honoured) or as it
  // stands (to the next ";"), or else url up to its first "?". Always true.
  static bool GetResponseFileName(const zn::strutf8& head, const zn::strutf8& url, zn::strutf16& inout);
};

}  // namespace zn
