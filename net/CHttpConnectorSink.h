// How a connector reports the outcome of one connection attempt to its owner.
// Called on the owner's worker task.
#pragma once

#include "base/zndef.h"

class CZNSslProcessor;

class CHttpConnectorSink {
 public:
  virtual ~CHttpConnectorSink() = default;
  // Plain TCP: the connected descriptor (now owned by the sink) when bSuccess,
  // else an invalid handle.
  virtual void OnConnected(bool bSuccess, znsocket_t s) = 0;
  // TLS: eResult 0 with the processor whose handshake completed (the sink takes
  // its own counted reference), or the failure code 1 to 7.
  virtual void OnHttpsConnected(int eResult, CZNSslProcessor* pProcessor) = 0;
};
