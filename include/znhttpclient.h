// The public interface of the HTTP client library for hosts.
//
// A host includes only this header and links the two libraries. It makes a
// client with zn_create_httpclient_ex, configures it through the setters,
// starts one transfer at a time and learns its course through a callback
// object (IHttpClientNotify or IHttpClientNotifyRef) on a task of its choice.
// The host owns each client and ends it with delete.
//
// Threads: setters, getters and transfer operations are called on the host's
// thread (the transfers of one client from one thread). Transfers run on the
// client's own worker thread; callbacks arrive on the notify task given to the
// factory, or on the worker thread when none was given.
#pragma once

#include "base/zndef.h"
#include "base/znlist.h"
#include "base/znplatform.h"  // the log threshold and sink (znsyslog_setlevel, znsyslog_setsink)
#include "base/znrefcount.h"
#include "base/znstreamwriter.h"
#include "base/znstring.h"
#include "base/zntask.h"

// Methods of HttpRequestToBuffer.
#define HTTPMETHOD_GET 0
#define HTTPMETHOD_POST 1

namespace zn {
class IHttpClient;
}

// The host's callback object. The client does not own it; it must outlive
// the client or be replaced (SetNotify) before it dies.
class IHttpClientNotify {
 public:
  virtual ~IHttpClientNotify() {}
  // Once per request, before any connection attempt.
  virtual void OnConnecting(zn::IHttpClient* pClient, zn::strutf16& strHost) = 0;
  // A connection is ready (also when a kept connection is reused).
  virtual void OnConnected(zn::IHttpClient* pClient) = 0;
  // The body starts: bytes already present and the total length.
  virtual void OnDownloadStart(zn::IHttpClient* pClient, uint32_t dwPresent, uint32_t dwTotal) = 0;
  // Paced to about one report per second.
  virtual void OnProgress(zn::IHttpClient* pClient, uint64_t qwDone, uint64_t qwTotal, uint32_t dwRate,
                          uint64_t qwDelta) = 0;
  // A redirect is followed; with synchronous redirect notification the host
  // may rewrite the URL in place.
  virtual void OnRedirected(zn::IHttpClient* pClient, zn::strutf16& strUrl) = 0;
  // Exactly once per started request, last. The client is idle when this runs.
  virtual void OnDownloadComplete(zn::IHttpClient* pClient, uint32_t dwCode) = 0;
};

// The reference-counted form of the callback object; the client holds one
// reference while it is set and one more around every call.
class IHttpClientNotifyRef : public CRefCountSafe {
 public:
  virtual void OnConnecting(zn::IHttpClient* pClient, zn::strutf16& strHost) = 0;
  virtual void OnConnected(zn::IHttpClient* pClient) = 0;
  virtual void OnDownloadStart(zn::IHttpClient* pClient, uint32_t dwPresent, uint32_t dwTotal) = 0;
  virtual void OnProgress(zn::IHttpClient* pClient, uint64_t qwDone, uint64_t qwTotal, uint32_t dwRate,
                          uint64_t qwDelta) = 0;
  virtual void OnRedirected(zn::IHttpClient* pClient, zn::strutf16& strUrl) = 0;
  virtual void OnDownloadComplete(zn::IHttpClient* pClient, uint32_t dwCode) = 0;
};

namespace zn {

// One client carries one transfer at a time. Results are true when the call
// was accepted (false also when the client's worker thread cannot be made:
// the transfer then never started and nothing more is reported); the outcome of a transfer arrives as OnDownloadComplete with a
// result code: 0 success, 1 not modified, 2 failure, 3 refused, 4 local file
// failure, 5 no connection, 7 not found, 8 service unavailable, 10 bad URL or
// upload source.
class IHttpClient {
 public:
  virtual ~IHttpClient() {}

  // ---- settings (call while no transfer runs) ----
  virtual void SetNotify(IHttpClientNotify* pNotify) = 0;  // borrowed
  virtual void SetTimeout(uint32_t dwConnectTimeout, uint32_t dwRecvTimeout, int32_t nMaxRetryTimes) = 0;
  virtual void SetUseIEProxy(bool bUseIEProxy) = 0;
  virtual void SetBindAddress(const zn::strutf8& strIP, uint16_t wPort) = 0;
  virtual void GetBindAddress(zn::strutf8& strIP, uint16_t& wPort) = 0;
  virtual void SetId(uint64_t qwId) = 0;
  virtual uint64_t GetId() = 0;
  // Heads and form texts as GBK. A text GBK cannot hold is never sent altered:
  // AddFormField and UploadFormData refuse it, a head line with it ends the
  // request with 10 before anything is sent. A received head that is not GBK
  // is read as it came.
  virtual void SetGbkHead(bool bGbkHead) = 0;
  virtual void SetUseCookie(bool bUseCookie) = 0;
  virtual void SetResume(bool bResume) = 0;
  virtual void SetSyncRedirectNotify(bool bSync) = 0;
  virtual void SetNotifyFlags(uint8_t byFlags) = 0;
  virtual bool SetUserData(uint64_t qwUserData) = 0;
  virtual bool SetUserObject(CRefCount* pObject) = 0;  // counted
  virtual bool GetUserData(uint64_t& qwUserData) = 0;
  // The caller receives a reference of its own.
  virtual bool GetUserObject(CRefCount** ppObject) = 0;
  virtual bool SetUserTag(int32_t nTag) = 0;
  virtual int32_t GetUserTag() = 0;

  // ---- caller headers and form fields (for the next request) ----
  virtual bool AddHeader(const zn::strutf16& strName, uint32_t dwValue) = 0;
  virtual bool AddHeader(const zn::strutf16& strName, const zn::strutf16& strValue) = 0;
  virtual bool AddHeaderLine(const zn::strutf16& strLine) = 0;
  virtual void ClearHeaders() = 0;
  virtual bool AddFormField(const zn::strutf16& strName, const zn::strutf16& strValue) = 0;
  virtual void ClearFormFields() = 0;

  virtual bool IsRunning() = 0;

  // ---- transfers ----
  virtual bool Download(const zn::strutf16& strPath, const zn::strutf16& strPort, const zn::hostlist& lstHosts,
                        const zn::strutf16& strFile, const SYSTEMTIME* pIfModifiedSince, bool bResume) = 0;
  virtual bool Download(const zn::strutf16& strUrl, const zn::strutf16& strFile, const SYSTEMTIME* pIfModifiedSince,
                        bool bResume) = 0;
  virtual bool Download(const zn::strutf8& strUrl, const zn::strutf8& strFile, const SYSTEMTIME* pIfModifiedSince,
                        bool bResume) = 0;
  // The body is kept in memory (GetDownloadedBuffer).
  virtual bool Download(const zn::strutf16& strUrl, const SYSTEMTIME* pIfModifiedSince) = 0;
  // The stream is owned by the client from this call on, accepted or not.
  virtual bool DownloadToStream(const zn::strutf16& strUrl, IZNStreamWriter* pStream, uint32_t dwReserved) = 0;
  virtual bool HttpRequestToBuffer(const zn::strutf16& strPath, const zn::strutf16& strPort,
                                   const zn::hostlist& lstHosts, int32_t nMethod, const char* pData,
                                   uint32_t dwLen) = 0;
  virtual bool HttpRequestToBuffer(const zn::strutf16& strUrl, int32_t nMethod, const char* pData,
                                   uint32_t dwLen) = 0;
  // Sends a prepared head and body to host and port; the answer goes to memory.
  virtual bool Post(const char* pHost, uint16_t wPort, const zn::strutf8& strHead, const zn::strutf8& strBody) = 0;
  virtual bool Upload(const zn::strutf16& strUrl, const char* pData, uint32_t dwLen) = 0;
  virtual bool Upload(const zn::strutf8& strUrl, const char* pData, uint32_t dwLen) = 0;
  virtual bool Upload(const zn::strutf16& strUrl, const zn::strutf16& strFile) = 0;
  virtual bool UploadFormData(const zn::strutf16& strUrl, const znwchar_t* pFieldName, const char* pData,
                              uint32_t dwLen, const znwchar_t* pFileName) = 0;
  virtual bool UploadFormData(const zn::strutf16& strUrl, const znwchar_t* pFieldName,
                              const znwchar_t* pFilePath) = 0;
  // Ends the transfer without a completion report.
  virtual void Stop() = 0;

  // ---- results ----
  virtual bool GetResponseHead(zn::strutf16& strHead) = 0;
  // The buffer belongs to the client and stays valid until the next request.
  virtual bool GetDownloadedBuffer(const unsigned char** ppData, uint32_t* pdwLen) = 0;
  virtual bool GetDownloadFilePath(zn::strutf16& strPath) = 0;
  virtual bool QueryInfo(const zn::strutf8& strName, zn::strutf8& strValue, bool bTrim) = 0;
  virtual bool QueryInfoNumber(const zn::strutf16& strName, uint32_t& dwValue) = 0;
  virtual bool QueryInfo(const zn::strutf16& strName, zn::strutf16& strValue, bool bTrim) = 0;
  virtual uint32_t GetStatusCode() = 0;
  // Header name in, file name out.
  virtual bool GetResponseFileName(zn::strutf16& strNameInOut) = 0;
  virtual bool Upload(const zn::strutf16& strUrl, const zn::strutf16& strFile, uint64_t qwStart) = 0;
  virtual bool GetConnectedAddress(zn::strutf8& strHost, uint16_t& wPort) = 0;
  virtual bool GetPeerName(zn::strutf8& strHost, uint16_t& wPort) = 0;
  virtual znsocket_t NativeSocket() = 0;
  virtual void SetRefNotify(IHttpClientNotifyRef* pNotify) = 0;  // counted
};

class IHttpClientEx : public IHttpClient {
 public:
  // strSSLName: the name the server certificate must carry (empty: the URL's host).
  virtual bool Download(const zn::strutf8& strUrl, const zn::strutf8& strSSLName, const zn::strutf8& strFile,
                        const SYSTEMTIME* pIfModifiedSince, bool bResume) = 0;
  virtual bool Upload(const zn::strutf8& strUrl, const zn::strutf8& strSSLName, const char* pData,
                      int32_t nLen) = 0;
  using IHttpClient::Download;
  using IHttpClient::Upload;
};

}  // namespace zn

// Makes a client. pNotifyTask (counted, may be null) receives the callbacks;
// without it they run on the client's worker thread.
extern "C" ZNHTTP_API zn::IHttpClientEx* zn_create_httpclient_ex(CZNTaskBase* pNotifyTask);

// The millisecond clock of every time-out, pace and rate.
extern "C" ZNHTTP_API uint64_t zn_gettickcount();
