// zn::CHttpClient: the request step, the connect step, the connector results,
// the completion step and the reset step. Worker thread only.
#include <cstdlib>

#include "base/znplatform.h"
#include "client/CHttpClient.h"

namespace zn {

void CHttpClient::ResetRequest() {
  HttpRequestInfo& ri = m_oRequestInfo;
  ri.m_strHost.clear();
  ri.m_lstHosts.clear();
  ri.m_strMethod.clear();
  ri.m_strUrl.clear();
  ri.m_strPath.clear();
  ri.m_strIfModifiedSince.clear();
  ri.m_wPort = 0;
  ri.m_nRetryTimes = 0;
  ri.m_nRedirTimes = 0;
  ri.m_bFormData = false;
  HttpResponseInfo& rs = m_oResponse;
  rs.m_strResponseHead.clear();
  rs.m_dwResponseStatusCode = 0;
  rs.m_dwContentLength = 0;
  rs.m_bChunked = false;
  rs.m_bWithChunkTrailer = false;
  free(rs.m_pRecvBuf);
  rs.m_pRecvBuf = nullptr;
  rs.m_dwRecvBufLen = 0;
  rs.m_dwTmpRecvCurPos = 0;
  m_dwNextProgressTime = 0;
  m_bCompleted.store(false, std::memory_order_relaxed);
  delete m_pRqDataReader;
  m_pRqDataReader = nullptr;
  delete m_pRpDataWriter;
  m_pRpDataWriter = nullptr;
}

}  // namespace zn
