// The texts of a multipart/form-data upload: the boundary, the text fields,
// the header of the raw-bytes part and the closing delimiter. Everything that
// precedes the raw bytes is kept in request.m_strFormDataHead.
//
// Stateless; AddFormField and the part header run on the host's thread before
// a transfer starts, the closing delimiter is made on the worker thread.
#pragma once

#include <cstdint>

#include "base/zndef.h"
#include "base/znstring.h"
#include "http/HttpRequestInfo.h"

namespace zn {

class CHttpFormData final {
 public:
  // Characters of a boundary.
  static constexpr uint32_t kBoundaryLen = 6;
  // The closing delimiter "\r\n--" + boundary + "--\r\n\r\n" is this long plus the boundary.
  static constexpr uint32_t kFormEndFixedLen = 10;

  CHttpFormData() = delete;

  // out := kBoundaryLen characters drawn by zn_rand from digits, lower- and
  // upper-case letters.
  static void MakeBoundary(zn::strutf8& out);
  // Appends a text field; makes the boundary first when there is none. Names
  // and values go out as GBK when gbk is set, else as UTF-8. False, with
  // nothing appended, when gbk is set and GBK cannot hold name or value.
  static bool AddFormField(HttpRequestInfo& request, bool gbk, const zn::strutf16& name, const zn::strutf16& value);
  // Empties the boundary and the prepared text.
  static void ClearFormFields(HttpRequestInfo& request);
  // Appends the header of the raw-bytes part named partName. With a file name
  // (null: none) the header carries filename= with the file name's last path
  // component; without, the content type stays on the disposition line. The
  // boundary must exist already. False, with nothing appended, when gbk is set
  // and GBK cannot hold the part name or the file name.
  static bool AddDataPart(HttpRequestInfo& request, bool gbk, const znwchar_t* partName, const znwchar_t* fileName);
  // out := the closing delimiter for boundary.
  static void MakeFormEnd(const zn::strutf8& boundary, zn::strutf8& out);
};

}  // namespace zn
