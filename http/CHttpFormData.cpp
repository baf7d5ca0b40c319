#include "http/CHttpFormData.h"

#include "base/znplatform.h"
#include "body/ZnRequestId.h"
#include "http/HttpLog.h"

namespace zn {

namespace {

constexpr char kBoundaryAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr uint32_t kBoundaryAlphabetLen = sizeof(kBoundaryAlphabet) - 1;
static_assert(kBoundaryAlphabetLen == 62, "digits and both letter cases");

// Text as it goes into the form: GBK bytes or UTF-8. A text that GBK cannot
// hold is refused with a line naming the field and which of its texts failed,
// so that it never goes out altered or empty.
bool FormText(const zn::strutf16& text, bool gbk, const zn::strutf8& field, const char* what, zn::strutf8& out) {
  if (!gbk) {
    out = text;
    return true;
  }
  if (znutf162gbk(text, out)) return true;
  znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] Error form field [%s] %s has no GBK form",
           CurrentRequestId(), field.c_str(), what);
  return false;
}

}  // namespace

void CHttpFormData::MakeBoundary(zn::strutf8& out) {
  char boundary[kBoundaryLen + 1] = {};
  for (uint32_t i = 0; i < kBoundaryLen; ++i) boundary[i] = kBoundaryAlphabet[zn_rand() % kBoundaryAlphabetLen];
  out = boundary;
}

bool CHttpFormData::AddFormField(HttpRequestInfo& request, bool gbk, const zn::strutf16& name,
                                 const zn::strutf16& value) {
  const zn::strutf8 field(name);
  zn::strutf8 name8;
  zn::strutf8 value8;
  if (!FormText(name, gbk, field, "name", name8) || !FormText(value, gbk, field, "value", value8)) return false;
  if (request.m_strBoundary.empty()) MakeBoundary(request.m_strBoundary);
  request.m_strFormDataHead.appendformat("--%s\r\nContent-Disposition: form-data; name=\"%s\"\r\n\r\n%s\r\n",
                                         request.m_strBoundary.c_str(), name8.c_str(), value8.c_str());
  return true;
}

void CHttpFormData::ClearFormFields(HttpRequestInfo& request) {
  request.m_strBoundary.clear();
  request.m_strFormDataHead.clear();
}

bool CHttpFormData::AddDataPart(HttpRequestInfo& request, bool gbk, const znwchar_t* partName,
                                const znwchar_t* fileName) {
  const zn::strutf16 part(partName);
  const zn::strutf8 field(part);
  zn::strutf8 part8;
  if (!FormText(part, gbk, field, "name", part8)) return false;
  if (fileName) {
    zn::strutf8 pureName;
    CHttpInfoParser::GetPureFileName(zn::strutf8(zn::strutf16(fileName)).c_str(), pureName);
    zn::strutf8 file8;
    if (!FormText(zn::strutf16(pureName), gbk, field, "filename", file8)) return false;
    request.m_strFormDataHead.appendformat(
        "--%s\r\nContent-Disposition: form-data; name=\"%s\"; filename=\"%s\"\r\n"
        "Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: binary\r\n\r\n",
        request.m_strBoundary.c_str(), part8.c_str(), file8.c_str());
  } else {
    request.m_strFormDataHead.appendformat(
        "--%s\r\nContent-Disposition: form-data; name=\"%s\"; Content-Type: application/octet-stream\r\n"
        "Content-Transfer-Encoding: binary\r\n\r\n",
        request.m_strBoundary.c_str(), part8.c_str());
  }
  return true;
}

void CHttpFormData::MakeFormEnd(const zn::strutf8& boundary, zn::strutf8& out) {
  out.format("\r\n--%s--\r\n\r\n", boundary.c_str());
}

}  // namespace zn
