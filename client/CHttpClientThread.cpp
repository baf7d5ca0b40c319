// zn::CHttpClient: the worker task, its start and stop, and the posting of
// call records to another task.
#include "base/znplatform.h"
#include "client/CHttpClient.h"
#include "http/HttpLog.h"
#include "client/CHttpClientCalls.h"

namespace zn {

thread_local CHttpClientScopeHolder* CHttpClientScopeHolder::t_pInCall = nullptr;

namespace {

// Runs on the target task: hands the record to its run. The platform calls
// this only while the client's scope holder is valid.
// The run holds the holder's lock shared, so that the client's destruction
// on another thread waits for it.
int CallTaskTrampoline(void* /*pObject*/, CRefCount* pArg) {
  tagCallTaskArg* pTaskArg = static_cast<tagCallTaskArg*>(pArg);
  if (!pTaskArg || !pTaskArg->m_pCall) return 0;
  pTaskArg->m_pHolder->RunGuarded([&](CHttpClient*) { pTaskArg->m_pCall->m_pfnRun(pTaskArg->m_pCall); });
  return 0;
}

}  // namespace

bool CHttpClient::MustPost(CZNTaskBase* pTask) {
  return pTask != nullptr && pTask->getthreadid() != znthread_selfid();
}

void CHttpClient::PostCall(CZNTaskBase* pTask, zn_task_call_base* pCall) {
  tagCallTaskArg* pTaskArg = new tagCallTaskArg(pCall, m_pScopeHolder);
  {
    CScopeCall call(m_pScopeHolder, this, &CallTaskTrampoline, pTaskArg);
    // A task that does not take the call destroys its copy at once, which
    // destroys the record unrun: nothing else is to be done for it.
    CZNTaskBase::PushTask(pTask, call);
  }
  pTaskArg->Release();
}

void CHttpClient::StartHttpThread() { StartWorker(); }

bool CHttpClient::StartWorker() {
  CZNAutoTrylock lock(m_lockThread);
  if (!lock.IsLocked()) {
    znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "CHttpClient::StartHttpThread other thread is already starting thread.");
    return true;
  }
  if (m_pHttpTask && m_pHttpTask->IsStarted()) return true;
  if (m_pHttpTask) m_pHttpTask->Release();
  m_pHttpTask = new CZNTaskIO(kHttpTaskName, kHttpTaskArg, kHttpTaskPriority);
  if (m_pHttpTask->Start()) return true;
  znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "Id[%I64u] CHttpClient::StartHttpThread thread start fail, request refused",
           CurrentRequestId());
  return false;
}

void CHttpClient::StopHttpThread(bool bForce) { StopHttpThreadImpl(bForce); }

void CHttpClient::StopHttpThreadImpl(bool bForce) {
  CZNAutoTrylock lock(m_lockThread);
  if (!lock.IsLocked()) {
    znsyslog(kLogFailure, kHttpClientLogTag, __LINE__, "CHttpClient::StopHttpThread other thread is already stopping thread.");
    return;
  }
  if (!bForce && m_bRunning.load(std::memory_order_relaxed)) return;
  // The task object stays referenced; the next start replaces it.
  if (m_pHttpTask) m_pHttpTask->Stop();
  delete m_pSocket;
  m_pSocket = nullptr;
  // A stopped download keeps every byte received so far, so that a later
  // resume starts behind all of them.
  CloseTarget();
  ResetRequest();
  SetTimerTask(nullptr);
}

void CHttpClient::Stop() {
  StopHttpThread(true);
  m_bRunning.store(false, std::memory_order_relaxed);
  m_bCompleted.store(false, std::memory_order_relaxed);
}

void CHttpClient::Request(HttpRequestParam& param) {
  StartHttpThread();
  if (MustPost(m_pHttpTask)) {
    PostCall(m_pHttpTask, new zn_task_call_CHttpClientRequest(this, param));
    // The posted copy owns the stream writer now.
    param.pStreamWriter = nullptr;
    return;
  }
  if (!m_bRunning.load(std::memory_order_relaxed)) {
    // A Stop came first: the request is dropped without a report.
    DropStream(param.pStreamWriter);
    param.pStreamWriter = nullptr;
    return;
  }
  RequestOnWorker(param);
}

}  // namespace zn
