// zn::CHttpClient: operations whose machinery is not in this build yet. Each
// refuses (returns false or does nothing); none claims success.
#include "base/znplatform.h"
#include "client/CHttpClient.h"

namespace zn {

void CHttpClient::RequestOnWorker(HttpRequestParam& param) {
  DropStream(param.pStreamWriter);
  param.pStreamWriter = nullptr;
}
void CHttpClient::PostOnWorker(const char*, uint16_t, const zn::strutf8&, const zn::strutf8&) {}
void CHttpClient::RetryConnect() {}
void CHttpClient::ReConnect() {}
void CHttpClient::Connect() {}
bool CHttpClient::CanReuseTcp() { return false; }
void CHttpClient::OnConnected(bool, znsocket_t s) {
  if (znsocket_isvalid(s)) znsocket_close(s);
}
void CHttpClient::OnHttpsConnected(int, CZNSslProcessor*) {}
void CHttpClient::OnRecv(CZNITCPSocket*) {}
void CHttpClient::OnSend(CZNITCPSocket*) {}
void CHttpClient::OnClose(CZNITCPSocket*) {}
void CHttpClient::OnTimer(unsigned int) {}

bool CHttpClient::AddHeader(const zn::strutf16&, uint32_t) { return false; }
bool CHttpClient::AddHeader(const zn::strutf16&, const zn::strutf16&) { return false; }
bool CHttpClient::AddHeaderLine(const zn::strutf16&) { return false; }
void CHttpClient::ClearHeaders() {}
bool CHttpClient::AddFormField(const zn::strutf16&, const zn::strutf16&) { return false; }
void CHttpClient::ClearFormFields() {}
bool CHttpClient::QueryInfo(const zn::strutf8&, zn::strutf8&, bool) { return false; }
bool CHttpClient::QueryInfoNumber(const zn::strutf16&, uint32_t&) { return false; }
bool CHttpClient::QueryInfo(const zn::strutf16&, zn::strutf16&, bool) { return false; }
bool CHttpClient::GetResponseFileName(zn::strutf16&) { return false; }

bool CHttpClient::Download(const zn::strutf16&, const zn::strutf16&, const zn::hostlist&, const zn::strutf16&,
                           const SYSTEMTIME*, bool) {
  return false;
}
bool CHttpClient::Download(const zn::strutf16&, const zn::strutf16&, const SYSTEMTIME*, bool) { return false; }
bool CHttpClient::Download(const zn::strutf8&, const zn::strutf8&, const SYSTEMTIME*, bool) { return false; }
bool CHttpClient::Download(const zn::strutf16&, const SYSTEMTIME*) { return false; }
bool CHttpClient::DownloadToStream(const zn::strutf16&, IZNStreamWriter* pStream, uint32_t) {
  DropStream(pStream);
  return false;
}
bool CHttpClient::HttpRequestToBuffer(const zn::strutf16&, const zn::strutf16&, const zn::hostlist&, int32_t,
                                      const char*, uint32_t) {
  return false;
}
bool CHttpClient::HttpRequestToBuffer(const zn::strutf16&, int32_t, const char*, uint32_t) { return false; }
bool CHttpClient::Upload(const zn::strutf16&, const char*, uint32_t) { return false; }
bool CHttpClient::Upload(const zn::strutf8&, const char*, uint32_t) { return false; }
bool CHttpClient::Upload(const zn::strutf16&, const zn::strutf16&) { return false; }
bool CHttpClient::Upload(const zn::strutf16&, const zn::strutf16&, uint64_t) { return false; }
bool CHttpClient::UploadFormData(const zn::strutf16&, const znwchar_t*, const char*, uint32_t, const znwchar_t*) {
  return false;
}
bool CHttpClient::UploadFormData(const zn::strutf16&, const znwchar_t*, const znwchar_t*) { return false; }
bool CHttpClient::Download(const zn::strutf8&, const zn::strutf8&, const zn::strutf8&, const SYSTEMTIME*, bool) {
  return false;
}
bool CHttpClient::Upload(const zn::strutf8&, const zn::strutf8&, const char*, int32_t) { return false; }
bool CHttpClient::Post(const char*, uint16_t, const zn::strutf8&, const zn::strutf8&) { return false; }

}  // namespace zn
