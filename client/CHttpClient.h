// zn::CHttpClient: the client object behind the public interface, with its
// worker thread, its marshalled calls, its notifications and its request
// engine.
//
// Threads:
//  - host threads call the interface: setters and getters store and read plain
//    fields; the transfer operations check their arguments, set m_bRunning and
//    hand a parameter record to Request;
//  - the worker task ("HttpClient", made on the first request) runs Request,
//    Post, the connector, connection and timer callbacks and every engine
//    field; nothing there takes a lock because nothing else touches them;
//  - the notify task (the factory's argument) runs the host's callbacks;
//    without one they run on the worker.
// Calls cross threads as call records posted through CZNTaskBase::PushTask,
// guarded by m_pScopeHolder, so that records still queued when the client dies
// do nothing. m_lockThread guards starting and stopping the worker and is only
// ever tried.
//
// Ownership: the client owns its request record, its body reader and writer,
// its connector and its connection; it holds counted references to the worker
// task, the notify task, m_pNotifyRef and m_pUserObject. The host owns the
// client and deletes it through the interface.
#pragma once

#include <atomic>
#include <vector>

#include "base/znlock.h"
#include "base/znsocket.h"
#include "base/zntimer.h"
#include "body/CDataReader.h"
#include "body/HttpResponseDataWriter.h"
#include "body/ZnRequestId.h"
#include "http/HttpRequestInfo.h"
#include "http/IHttpResponseSink.h"
#include "include/znhttpclient.h"
#include "net/CHttpConnectorSink.h"

class CHttpConnector;

namespace zn {

class CChunker;
class CHttpCookie;
class CHttpClientScopeHolder;

// Not final: the six own operations are virtual so that a derived client may
// replace them (tests use this to watch the engine's steps).
class CHttpClient : public zn::IHttpClientEx,
                                     public CHttpConnectorSink,
                                     public CZNITCPSocketSink,
                                     public CZNTimer,
                                     public IHttpResponseSink {
 public:
  // ---- defaults of the settings ----
  static constexpr uint32_t kDefaultConnectTimeout = 5000;  // ms
  static constexpr uint32_t kDefaultRecvTimeout = 60000;    // ms
  static constexpr int32_t kDefaultMaxRetryTimes = 3;
  static constexpr int32_t kDefaultUserTag = -1;
  static constexpr uint8_t kDefaultNotifyFlags = 0x08;

  // ---- mask bits of m_byNotifyFlags ----
  static constexpr uint8_t kNotifyConnecting = 0x01;
  static constexpr uint8_t kNotifyConnected = 0x02;
  static constexpr uint8_t kNotifyDownloadStart = 0x04;
  static constexpr uint8_t kNotifyProgress = 0x10;

  // ---- the worker task ----
  static constexpr const char* kHttpTaskName = "HttpClient";
  static constexpr int kHttpTaskArg = 50;
  static constexpr int kHttpTaskPriority = 1;

  // ---- timers of the client ----
  static constexpr uint32_t kTimerRecv = 100;       // data-receive time-out, period m_dwRecvTimeout
  static constexpr uint32_t kTimerStopTask = 200;   // closes the kept connection
  static constexpr uint32_t kKeepAfterFailMs = 2000;
  static constexpr uint32_t kKeepAfterSuccessMs = 120000;

  // ---- limits of one request ----
  static constexpr int32_t kMaxRedirTimes = 5;

  // ---- a proxy's answers that end a request (code 3) instead of a direct attempt ----
  static constexpr uint32_t kProxyForbidden = 403;
  static constexpr uint32_t kProxyAuthRequired = 407;

  explicit CHttpClient(CZNTaskBase* pNotifyTask);
  CHttpClient(const CHttpClient&) = delete;
  CHttpClient& operator=(const CHttpClient&) = delete;
  ~CHttpClient() override;
  // A client keeps this library loaded from its allocation to its
  // deallocation, so that a host may unload the library before deleting it.
  static void* operator new(size_t n);
  static void operator delete(void* p);

  // ---- zn::IHttpClient ----
  void SetNotify(IHttpClientNotify* pNotify) override;
  void SetTimeout(uint32_t dwConnectTimeout, uint32_t dwRecvTimeout, int32_t nMaxRetryTimes) override;
  void SetUseIEProxy(bool bUseIEProxy) override;
  void SetBindAddress(const zn::strutf8& strIP, uint16_t wPort) override;
  void GetBindAddress(zn::strutf8& strIP, uint16_t& wPort) override;
  void SetId(uint64_t qwId) override;
  uint64_t GetId() override;
  void SetGbkHead(bool bGbkHead) override;
  void SetUseCookie(bool bUseCookie) override;
  void SetResume(bool bResume) override;
  void SetSyncRedirectNotify(bool bSync) override;
  void SetNotifyFlags(uint8_t byFlags) override;
  bool SetUserData(uint64_t qwUserData) override;
  bool SetUserObject(CRefCount* pObject) override;
  bool GetUserData(uint64_t& qwUserData) override;
  bool GetUserObject(CRefCount** ppObject) override;
  bool SetUserTag(int32_t nTag) override;
  int32_t GetUserTag() override;
  bool AddHeader(const zn::strutf16& strName, uint32_t dwValue) override;
  bool AddHeader(const zn::strutf16& strName, const zn::strutf16& strValue) override;
  bool AddHeaderLine(const zn::strutf16& strLine) override;
  void ClearHeaders() override;
  bool AddFormField(const zn::strutf16& strName, const zn::strutf16& strValue) override;
  void ClearFormFields() override;
  bool IsRunning() override;
  bool Download(const zn::strutf16& strPath, const zn::strutf16& strPort, const zn::hostlist& lstHosts,
                const zn::strutf16& strFile, const SYSTEMTIME* pIfModifiedSince, bool bResume) override;
  bool Download(const zn::strutf16& strUrl, const zn::strutf16& strFile, const SYSTEMTIME* pIfModifiedSince,
                bool bResume) override;
  bool Download(const zn::strutf8& strUrl, const zn::strutf8& strFile, const SYSTEMTIME* pIfModifiedSince,
                bool bResume) override;
  bool Download(const zn::strutf16& strUrl, const SYSTEMTIME* pIfModifiedSince) override;
  bool DownloadToStream(const zn::strutf16& strUrl, IZNStreamWriter* pStream, uint32_t dwReserved) override;
  bool HttpRequestToBuffer(const zn::strutf16& strPath, const zn::strutf16& strPort, const zn::hostlist& lstHosts,
                           int32_t nMethod, const char* pData, uint32_t dwLen) override;
  bool HttpRequestToBuffer(const zn::strutf16& strUrl, int32_t nMethod, const char* pData, uint32_t dwLen) override;
  bool Post(const char* pHost, uint16_t wPort, const zn::strutf8& strHead, const zn::strutf8& strBody) override;
  bool Upload(const zn::strutf16& strUrl, const char* pData, uint32_t dwLen) override;
  bool Upload(const zn::strutf8& strUrl, const char* pData, uint32_t dwLen) override;
  bool Upload(const zn::strutf16& strUrl, const zn::strutf16& strFile) override;
  bool UploadFormData(const zn::strutf16& strUrl, const znwchar_t* pFieldName, const char* pData, uint32_t dwLen,
                      const znwchar_t* pFileName) override;
  bool UploadFormData(const zn::strutf16& strUrl, const znwchar_t* pFieldName, const znwchar_t* pFilePath) override;
  void Stop() override;
  bool GetResponseHead(zn::strutf16& strHead) override;
  bool GetDownloadedBuffer(const unsigned char** ppData, uint32_t* pdwLen) override;
  bool GetDownloadFilePath(zn::strutf16& strPath) override;
  bool QueryInfo(const zn::strutf8& strName, zn::strutf8& strValue, bool bTrim) override;
  bool QueryInfoNumber(const zn::strutf16& strName, uint32_t& dwValue) override;
  bool QueryInfo(const zn::strutf16& strName, zn::strutf16& strValue, bool bTrim) override;
  uint32_t GetStatusCode() override;
  bool GetResponseFileName(zn::strutf16& strNameInOut) override;
  bool Upload(const zn::strutf16& strUrl, const zn::strutf16& strFile, uint64_t qwStart) override;
  bool GetConnectedAddress(zn::strutf8& strHost, uint16_t& wPort) override;
  bool GetPeerName(zn::strutf8& strHost, uint16_t& wPort) override;
  znsocket_t NativeSocket() override;
  void SetRefNotify(IHttpClientNotifyRef* pNotify) override;

  // ---- zn::IHttpClientEx ----
  bool Download(const zn::strutf8& strUrl, const zn::strutf8& strSSLName, const zn::strutf8& strFile,
                const SYSTEMTIME* pIfModifiedSince, bool bResume) override;
  bool Upload(const zn::strutf8& strUrl, const zn::strutf8& strSSLName, const char* pData, int32_t nLen) override;

  // ---- the client's own operations ----
  virtual void StartHttpThread();
  virtual void StopHttpThread(bool bForce);
  virtual void RetryConnect();
  virtual void ReConnect();
  virtual void Connect();
  virtual bool CanReuseTcp();

  // ---- worker thread: the request step ----
  // Entry of every transfer but Post; moves itself to the worker.
  void Request(HttpRequestParam& param);
  // Post's worker part; pHost is borrowed for the duration of the call.
  void PostOnWorker(const char* pHost, uint16_t wPort, const zn::strutf8& strHead, const zn::strutf8& strBody);

  // ---- notifications (any thread; they move themselves to the notify task) ----
  void NotifyOnConnecting(const zn::strutf16& strHost);
  void NotifyOnConnected();
  void NotifyOnDownloadStart(uint32_t dwPresent, uint32_t dwTotal) override;
  void NotifyOnProgress(uint64_t qwDone, uint64_t qwTotal, uint32_t dwRate, uint64_t qwDelta);
  void NotifyOnDownloadComplete(uint32_t dwCode);
  void NotifyOnRedirected(const zn::strutf16& strUrl);
  void NotifyOnReConnect();
  // Closes and deletes a host stream that no request will take.
  static void DropStream(IZNStreamWriter* pStream);

  // Paces OnProgress to one unforced report per second of zn_time.
  void ReportProgress(bool bForce) override;
  // The redirect report of the receive handling: in place on the worker when
  // synchronous redirect notification is on, else through NotifyOnRedirected.
  void NotifyRedirect();

  // Read-only views for diagnostics and tests.
  const HttpRequestInfo& RequestInfo() const { return m_oRequestInfo; }
  const HttpResponseInfo& ResponseInfo() const { return m_oResponse; }
  CZNTaskBase* HttpTask() const { return m_pHttpTask; }
  uint8_t NotifyFlags() const { return m_byNotifyFlags; }
  bool IsCompleted() const { return m_bCompleted.load(std::memory_order_relaxed); }

  // ---- call records ----
  // Base of every record posted to a task: a name and the function that runs
  // it. Destroyed through its virtual destructor after the run (or unrun).
  struct zn_task_call_base {
    typedef void (*RunFn)(zn_task_call_base* pCall);
    zn_task_call_base(const char* name, RunFn fn) : m_pszName(name), m_pfnRun(fn) {}
    zn_task_call_base(const zn_task_call_base&) = delete;
    zn_task_call_base& operator=(const zn_task_call_base&) = delete;
    virtual ~zn_task_call_base() = default;
    const char* m_pszName;  // constant text naming the call
    RunFn m_pfnRun;         // performs the call on the target thread
  };
  struct zn_task_call_base_CHttpClient : zn_task_call_base {
    zn_task_call_base_CHttpClient(const char* name, RunFn fn, CHttpClient* client)
        : zn_task_call_base(name, fn), m_pClient(client) {}
    CHttpClient* m_pClient;            // borrowed; reached only through a valid scope holder
    CZNEvent* m_pDoneEvent = nullptr;  // borrowed; signalled after the run when set (never set here)
  };

 protected:
  // ---- CHttpConnectorSink ----
  void OnConnected(bool bSuccess, znsocket_t s) override;
  void OnHttpsConnected(int eResult, CZNSslProcessor* pProcessor) override;
  // ---- CZNITCPSocketSink ----
  void OnRecv(CZNITCPSocket* pSocket) override;
  void OnSend(CZNITCPSocket* pSocket) override;
  void OnClose(CZNITCPSocket* pSocket) override;
  // ---- CZNTimer ----
  void OnTimer(unsigned int id) override;

 protected:
  // The fields below are the engine's; a derived client (tests, a host's
  // specialisation) reads them on the worker thread only.
  // Posts a record owning pCall to pTask through the scope holder; the record
  // is destroyed after it ran or when the task discards it.
  void PostCall(CZNTaskBase* pTask, zn_task_call_base* pCall);
  // True when pTask exists and runs on another thread: the caller must post.
  static bool MustPost(CZNTaskBase* pTask);
  // Calls fn on m_pNotify, else on m_pNotifyRef between AddRef and Release.
  template <class Fn>
  void CallHost(Fn fn);

  // Steps 3 on of the request step, on the worker with m_bRunning set. Takes
  // param.pStreamWriter (and nulls it).
  void RequestOnWorker(HttpRequestParam& param);

  // ---- message layer: the client's names, delegating to http/ ----
  bool CrackUrl(const zn::strutf8& strUrl, const zn::strutf8& strSSLName);
  bool CrackUrl(const zn::strutf8& strPath, const zn::strutf8& strPort, const zn::hostlist& lstHosts);
  void BuildIfModifiedSince(const SYSTEMTIME* pTime);
  bool BuildRqHead(zn::strutf8& strHead);
  void MakeBoundary(zn::strutf8& strBoundary);
  bool AnalyseResp(bool& bComplete);
  // Appends the header of the raw-bytes part of a multipart upload; false,
  // with nothing appended, when GBK heads are on and GBK cannot hold a name.
  bool AppendFormPart(const znwchar_t* pPartName, const znwchar_t* pFileName);
  // The settings the message layer reads, as they stand now.
  HttpMessageSettings MessageSettings() const;
  // On success: the announced chunk trailer goes behind the stored head.
  void AppendChunkTrailer();
  // Frees the cookie jar and the chunked decoder of the request.
  void ResetMessageState();

  // ---- the send and receive loop ----
  void SendRequest();
  void SendData(bool& bSent);
  // With a multipart body whose closing delimiter is not queued yet: makes
  // it the body source and returns true.
  bool QueueFormEnd();
  // A queued closing delimiter gives way to the multipart body it followed.
  void RestoreFormBody();
  // Retry and redirect: forget the answer so far and rewind the body.
  void ForgetAnswer();
  // The request may go again after its answer broke: a GET whose head the
  // client built. Other requests may have run on the server already.
  bool MayResend() const;
  // A broken answer: retry when MayResend, else complete with 2.
  void RetryOrFail();
  void DestroySocket();
  // Frees the connector, or, inside one of the connector's own callbacks,
  // retires it until FreeRetiredConnectors runs outside them.
  void DestroyConnector();
  void FreeRetiredConnectors();

  // ---- entry points ----
  // Marks the client busy and hands the request on; true. False, with the
  // client idle again and any stream writer freed, when no worker thread can
  // be had: the request would otherwise wait for a completion that never comes.
  bool Start(HttpRequestParam& param);
  // StartHttpThread's work: false only when the worker task had to be
  // started and the system refused its thread. A start refused by the busy
  // lock counts as started (the request then goes where the lock's holder
  // leaves it).
  bool StartWorker();
  // True, with the entry point's "Error <entry>,m_bRunning" line, while a
  // transfer runs: the entry point then refuses.
  bool RefuseWhileRunning(const char* pEntry, const char* pUrl);
  // The common checks of the two multipart uploads; pSource is the data or the
  // file path (null when none).
  bool CheckFormUpload(const zn::strutf16& strUrl, const void* pSource);

  // StopHttpThread's work, shared with the destructor (which must not call
  // a virtual operation).
  void StopHttpThreadImpl(bool bForce);

  // The engine steps (worker thread).
  void ConnectStep(bool bNoProxy);
  // After a failed attempt: when a proxy refused it (403, 407), completes the
  // request with 3 and returns true.
  bool EndOnProxyRefusal();
  // The kept connection's channel is the one the request asks for (scheme,
  // certificate name, verification as set now).
  bool SameChannel();
  // On a redirect from (bHttps, strHost, wPort) to the record's new URL: the
  // caller's certificate name holds only for its own host, and credentials
  // stay with their origin.
  void ApplyRedirectOrigin(bool bHttps, const zn::strutf8& strHost, uint16_t wPort);
  void RetryConnectStep(bool bProxyFailure);
  void NotifyComplete(int32_t nCode);
  // Writes the writer's cached bytes to the target file and closes it; false
  // when the cached bytes could not be written.
  bool CloseTarget();
  void ResetRequest();

  // ---- settings ----
  uint32_t m_dwConnectTimeout = kDefaultConnectTimeout;
  uint32_t m_dwRecvTimeout = kDefaultRecvTimeout;
  int32_t m_nMaxRetryTimes = kDefaultMaxRetryTimes;
  bool m_bUseIEProxy = false;
  zn::strutf8 m_strBindIP;
  uint16_t m_wBindPort = 0;
  bool m_bGbkHead = false;
  bool m_bUseCookie = true;
  bool m_bResume = false;
  bool m_bSyncRedirectNotify = false;
  uint8_t m_byNotifyFlags = kDefaultNotifyFlags;
  uint64_t m_qwUserData = 0;
  CRefCount* m_pUserObject = nullptr;           // counted, may be null
  int32_t m_nUserTag = kDefaultUserTag;
  IHttpClientNotify* m_pNotify = nullptr;       // borrowed, may be null; wins over m_pNotifyRef
  IHttpClientNotifyRef* m_pNotifyRef = nullptr; // counted, may be null
  CZNTaskBase* m_pNotifyTask = nullptr;         // counted, may be null: callbacks then run on the worker

  // ---- worker thread and marshalling ----
  CZNTaskIO* m_pHttpTask = nullptr;             // counted; null until the first start, kept after a stop
  CZNLock m_lockThread;                         // guards m_pHttpTask's start and stop; try-lock only
  CHttpClientScopeHolder* m_pScopeHolder;       // counted (one reference); targets this until destruction
  std::atomic<bool> m_bRunning{false};          // a transfer is under way (host threads and worker)
  std::atomic<bool> m_bCompleted{false};        // the completion step ran for the current request

  // ---- the request (worker thread) ----
  HttpRequestInfo m_oRequestInfo;
  HttpResponseInfo m_oResponse;
  CDataReader* m_pRqDataReader = nullptr;       // owned, may be null: the body source
  HttpResponseDataWriter* m_pRpDataWriter = nullptr;  // owned, may be null: the body sink
  CZNITCPSocket* m_pSocket = nullptr;           // owned, may be null: the (kept) connection
  zn::strutf8 m_strsockIP;                      // host text m_pSocket was opened for
  uint16_t m_wsockPort = 0;                     // port m_pSocket was opened for
  // How m_pSocket reaches its server, beyond host and port: a request reuses
  // it only when all of this is what the request would connect with.
  struct SockChannel {
    bool m_bHttps = false;      // TLS runs on it
    zn::strutf8 m_strSSLName;   // TLS: the name its certificate was checked against
    bool m_bVerify = false;     // TLS: the chain and name were verified
    zn::strutf8 m_strCAPath;    // TLS, verified: the trust anchors (empty: the system's store)
  };
  SockChannel m_oSockChannel;                   // set with m_strsockIP
  bool m_bReuseTcp = false;                     // the current request runs on a kept connection
  zn::strutf8 m_strRqHead;                      // the head to send
  uint32_t m_dwRqHeadSent = 0;                  // bytes of m_strRqHead sent, <= its length
  bool m_bFormEndQueued = false;                // the closing multipart delimiter is the body source
  CDataReader* m_pFormBodyReader = nullptr;     // owned, may be null: the multipart body's own reader,
                                                // set aside while the delimiter is sent
  bool m_bBuildHead = true;                     // build m_strRqHead before sending; false after Post
  uint32_t m_dwNextProgressTime = 0;            // zn_time seconds before which no unforced report goes out
  bool m_bProxyUsed = false;                    // the current attempt went through the system proxy
  HttpHeaderState m_oHeaders;                   // the caller's header lines (host thread while idle)
  CHttpCookie* m_pHttpCookie = nullptr;         // owned, may be null: the cookie jar of the request
  CChunker* m_pChunker = nullptr;               // owned, may be null: the chunked decoder of the request
  CHttpConnector* m_pConnector = nullptr;       // owned, may be null: the connector of the current attempt
  std::vector<CHttpConnector*> m_vecRetiredConnectors;  // owned: replaced inside a connector callback
  int32_t m_nConnectorCallbacks = 0;            // connector callbacks on the stack; retire, never free, while > 0
};

}  // namespace zn
