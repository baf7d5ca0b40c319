// The call records of zn::CHttpClient: one class per operation that moves
// itself to another task, each keeping copies of its arguments. A record is
// made on the posting thread, owned by a tagCallTaskArg, and run (or dropped)
// on the target task; its run calls the same operation again, which then
// takes its direct path because it is on the target thread.
//
// Internal to client/.
#pragma once

#include "client/CHttpClient.h"
#include "client/CHttpClientScopeHolder.h"

namespace zn {

// Owns one call record; the record dies with the last reference (after the
// run, or when the task discards the call unrun).
class tagCallTaskArg final : public CRefCountSafe {
 public:
  tagCallTaskArg(CHttpClient::zn_task_call_base* pCall, CHttpClientScopeHolder* pHolder)
      : m_pCall(pCall), m_pHolder(pHolder) {
    m_pHolder->AddRef();
  }
  ~tagCallTaskArg() override {
    delete m_pCall;
    m_pHolder->Release();
  }
  CHttpClient::zn_task_call_base* m_pCall;  // owned, never null
  CHttpClientScopeHolder* m_pHolder;        // counted: the run holds its lock
};

// Shared tail of every run: signals the done event when one was given.
template <class Record>
struct zn_task_call_CHttpClientRecord : CHttpClient::zn_task_call_base_CHttpClient {
  zn_task_call_CHttpClientRecord(const char* name, CHttpClient* client)
      : CHttpClient::zn_task_call_base_CHttpClient(name, &RunRecord, client) {}
  static void RunRecord(CHttpClient::zn_task_call_base* pCall) {
    Record* self = static_cast<Record*>(pCall);
    self->Invoke();
    if (self->m_pDoneEvent) self->m_pDoneEvent->Post();
  }
};

struct zn_task_call_CHttpClientRequest final : zn_task_call_CHttpClientRecord<zn_task_call_CHttpClientRequest> {
  zn_task_call_CHttpClientRequest(CHttpClient* client, const HttpRequestParam& param)
      : zn_task_call_CHttpClientRecord("Request", client), m_oParam(param) {}
  // A record dropped unrun (the task stopped, or the client died) still owns
  // the host's stream; a run that handed it on left null here.
  ~zn_task_call_CHttpClientRequest() override { CHttpClient::DropStream(m_oParam.pStreamWriter); }
  void Invoke() { m_pClient->Request(m_oParam); }
  HttpRequestParam m_oParam;  // full copy; its stream writer passes to the run
};

struct zn_task_call_CHttpClientPost final : zn_task_call_CHttpClientRecord<zn_task_call_CHttpClientPost> {
  // The host text is copied rather than borrowed, so that the caller need not
  // keep it alive until the worker takes the call.
  zn_task_call_CHttpClientPost(CHttpClient* client, const char* pHost, uint16_t wPort, const zn::strutf8& strHead,
                               const zn::strutf8& strBody)
      : zn_task_call_CHttpClientRecord("Post", client),
        m_bHasHost(pHost != nullptr),
        m_strHost(pHost),
        m_wPort(wPort),
        m_strHead(strHead),
        m_strBody(strBody) {}
  void Invoke() { m_pClient->PostOnWorker(m_bHasHost ? m_strHost.c_str() : nullptr, m_wPort, m_strHead, m_strBody); }
  bool m_bHasHost;        // the caller's host pointer was not null
  zn::strutf8 m_strHost;  // copy of the caller's host text
  uint16_t m_wPort;
  zn::strutf8 m_strHead;
  zn::strutf8 m_strBody;
};

struct zn_task_call_CHttpClientNotifyOnConnecting final
    : zn_task_call_CHttpClientRecord<zn_task_call_CHttpClientNotifyOnConnecting> {
  zn_task_call_CHttpClientNotifyOnConnecting(CHttpClient* client, const zn::strutf16& strHost)
      : zn_task_call_CHttpClientRecord("NotifyOnConnecting", client), m_strHost(strHost) {}
  void Invoke() { m_pClient->NotifyOnConnecting(m_strHost); }
  zn::strutf16 m_strHost;
};

struct zn_task_call_CHttpClientNotifyOnConnected final
    : zn_task_call_CHttpClientRecord<zn_task_call_CHttpClientNotifyOnConnected> {
  explicit zn_task_call_CHttpClientNotifyOnConnected(CHttpClient* client)
      : zn_task_call_CHttpClientRecord("NotifyOnConnected", client) {}
  void Invoke() { m_pClient->NotifyOnConnected(); }
};

struct zn_task_call_CHttpClientNotifyOnDownloadStart final
    : zn_task_call_CHttpClientRecord<zn_task_call_CHttpClientNotifyOnDownloadStart> {
  zn_task_call_CHttpClientNotifyOnDownloadStart(CHttpClient* client, uint32_t dwPresent, uint32_t dwTotal)
      : zn_task_call_CHttpClientRecord("NotifyOnDownloadStart", client), m_dwPresent(dwPresent), m_dwTotal(dwTotal) {}
  void Invoke() { m_pClient->NotifyOnDownloadStart(m_dwPresent, m_dwTotal); }
  uint32_t m_dwPresent;
  uint32_t m_dwTotal;
};

struct zn_task_call_CHttpClientNotifyOnProgress final
    : zn_task_call_CHttpClientRecord<zn_task_call_CHttpClientNotifyOnProgress> {
  zn_task_call_CHttpClientNotifyOnProgress(CHttpClient* client, uint64_t qwDone, uint64_t qwTotal, uint32_t dwRate,
                                           uint64_t qwDelta)
      : zn_task_call_CHttpClientRecord("NotifyOnProgress", client),
        m_qwDone(qwDone),
        m_qwTotal(qwTotal),
        m_dwRate(dwRate),
        m_qwDelta(qwDelta) {}
  void Invoke() { m_pClient->NotifyOnProgress(m_qwDone, m_qwTotal, m_dwRate, m_qwDelta); }
  uint64_t m_qwDone;
  uint64_t m_qwTotal;
  uint32_t m_dwRate;
  uint64_t m_qwDelta;
};

struct zn_task_call_CHttpClientNotifyOnDownloadComplete final
    : zn_task_call_CHttpClientRecord<zn_task_call_CHttpClientNotifyOnDownloadComplete> {
  zn_task_call_CHttpClientNotifyOnDownloadComplete(CHttpClient* client, uint32_t dwCode)
      : zn_task_call_CHttpClientRecord("NotifyOnDownloadComplete", client), m_dwCode(dwCode) {}
  void Invoke() { m_pClient->NotifyOnDownloadComplete(m_dwCode); }
  uint32_t m_dwCode;
};

struct zn_task_call_CHttpClientNotifyOnRedirected final
    : zn_task_call_CHttpClientRecord<zn_task_call_CHttpClientNotifyOnRedirected> {
  zn_task_call_CHttpClientNotifyOnRedirected(CHttpClient* client, const zn::strutf16& strUrl)
      : zn_task_call_CHttpClientRecord("NotifyOnRedirected", client), m_strUrl(strUrl) {}
  void Invoke() { m_pClient->NotifyOnRedirected(m_strUrl); }
  zn::strutf16 m_strUrl;
};

struct zn_task_call_CHttpClientNotifyOnReConnect final
    : zn_task_call_CHttpClientRecord<zn_task_call_CHttpClientNotifyOnReConnect> {
  explicit zn_task_call_CHttpClientNotifyOnReConnect(CHttpClient* client)
      : zn_task_call_CHttpClientRecord("NotifyOnReConnect", client) {}
  void Invoke() { m_pClient->NotifyOnReConnect(); }
};

}  // namespace zn
