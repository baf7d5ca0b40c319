#include "http/CHttpFormData.h"

#include "base/znplatform.h"

namespace zn {

namespace {

constexpr char kBoundaryAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr uint32_t kBoundaryAlphabetLen = sizeof(kBoundaryAlphabet) - 1;
static_assert(kBoundaryAlphabetLen == 62, "digits and both letter cases");

// Text as it goes into the form: GBK bytes or UTF-8.
zn::strutf8 FormText(const zn::strutf16& text, bool gbk) {
  zn::strutf8 out;
  if (gbk) {
    znutf162gbk(text, out);
  } else {
    out = text;
  }
  return out;
}

}  // namespace

void CHttpFormData::MakeBoundary(zn::strutf8& out) {
  char boundary[kBoundaryLen + 1] = {};
  for (uint32_t i = 0; i < kBoundaryLen; ++i) boundary[i] = kBoundaryAlphabet[zn_rand() % kBoundaryAlphabetLen];
  out = boundary;
}

void CHttpFormData::AddFormField(HttpRequestInfo& request, bool gbk, const zn::strutf16& name,
                                 const zn::strutf16& value) {
  if (request.m_strBoundary.empty()) MakeBoundary(request.m_strBoundary);
  const zn::strutf8 name8 = FormText(name, gbk);
  const zn::strutf8 value8 = FormText(value, gbk);
  request.m_strFormDataHead.appendformat("--%s\r\nContent-Disposition: form-data; name=\"%s\"\r\n\r\n%s\r\n",
                                         request.m_strBoundary.c_str(), name8.c_str(), value8.c_str());
}

void CHttpFormData::ClearFormFields(HttpRequestInfo& request) {
  request.m_strBoundary.clear();
  request.m_strFormDataHead.clear();
}

void CHttpFormData::AddDataPart(HttpRequestInfo& request, bool gbk, const znwchar_t* partName,
                                const znwchar_t* fileName) {
  const zn::strutf8 part8 = FormText(zn::strutf16(partName), gbk);
  if (fileName) {
    zn::strutf8 pureName;
    CHttpInfoParser::GetPureFileName(zn::strutf8(zn::strutf16(fileName)).c_str(), pureName);
    const zn::strutf8 file8 = FormText(zn::strutf16(pureName), gbk);
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
}

void CHttpFormData::MakeFormEnd(const zn::strutf8& boundary, zn::strutf8& out) {
  out.format("\r\n--%s--\r\n\r\n", boundary.c_str());
}

}  // namespace zn
