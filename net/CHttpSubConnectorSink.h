// How a sub-connector reports to its connector. Called on the connector's task.
#pragma once

#include "base/zndef.h"

class CHttpSubConnector;
class CZNSslProcessor;

class CHttpSubConnectorSink {
 public:
  virtual ~CHttpSubConnectorSink() = default;
  // Plain TCP connected (bSuccess, the descriptor now owned by the sink), or the
  // family has run out of addresses / could not start TLS (invalid handle).
  virtual void OnConnected(CHttpSubConnector* pSub, bool bSuccess, znsocket_t s) = 0;
  // The TLS handshake ended (0) or failed (1 to 7), with the family's processor
  // (borrowed: the sub-connector keeps its reference).
  virtual void OnHttpsConnected(CHttpSubConnector* pSub, int eResult, CZNSslProcessor* pProcessor) = 0;
};
