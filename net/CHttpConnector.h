// Turns a list of host names (or address literals) and a port into one usable
// connection: a connected TCP socket, or a TCP connection with a completed TLS
// handshake. Every host is resolved, the unique addresses are split into an
// IPv4 and an IPv6 list, and one sub-connector per family runs at the same
// time; the first family to succeed wins, and failure is reported once both
// families have failed.
//
// At most one success reaches the sink: a family that completes its handshake
// after the other family already won has its processor released. Results that
// arrive after the success are dropped.
//
// Thread: all operations and callbacks run on the owner's worker task; no
// locks. Owns both sub-connectors.
#pragma once

#include <vector>

#include "base/znlist.h"
#include "base/znsocket.h"
#include "base/znstring.h"
#include "net/CHttpConnectorSink.h"
#include "net/CHttpSubConnectorSink.h"
#include "net/CZNTlsVerify.h"

class CHttpSubConnector;
class CZNTaskIO;

class CHttpConnector final : public CHttpSubConnectorSink {
 public:
  // Room for one address text from znnet_iptostr6, terminator included.
  static const uint32_t kAddressTextSize = 65;

  // pSink is borrowed and may be null (results are then dropped).
  CHttpConnector(uint64_t id, CHttpConnectorSink* pSink, bool bUseProxy);
  ~CHttpConnector() override;
  CHttpConnector(const CHttpConnector&) = delete;
  CHttpConnector& operator=(const CHttpConnector&) = delete;

  void SetHttps(const zn::strutf8& strSSLName);
  // The host name of the URL, for the proxy's bypass list.
  void SetTargetHost(const zn::strutf8& strHost);
  void SetTlsVerify(const CZNTlsVerify& verify);
  void SetIpAndPort2Bind(const char* ip, unsigned short port);
  void SetReverseTcpSocket(CZNIReverseTcpSocketCreater* creater, CZNTaskIO* pTask);

  // Resolves strIPs and starts both families. True when at least one family
  // has an attempt in progress (its outcome follows through the sink); false
  // when nothing could be started (no callback follows). A time-out of 0
  // means 5000 ms per attempt.
  bool Connect(const zn::hostlist& strIPs, unsigned short wPort, uint32_t dwTimeout);
  // Restarts both families on the addresses that remain in their lists.
  bool ReConnect();
  // Abandons the attempt without destroying this object, which may still be
  // on the stack of one of its own callbacks: both families stop their timers,
  // drop their connecting sockets and release their TLS processors, so every
  // connection of the attempt that nobody else holds closes now (a processor
  // inside its own event handler closes when that handler returns). No result
  // reaches the sink afterwards.
  void Close();

  // The status with which a proxy refused a tunnel of this attempt (either
  // family), 0 when none did: the attempt failed at a proxy that answered.
  uint32_t GetProxyRefusal() const;

  // CHttpSubConnectorSink
  void OnConnected(CHttpSubConnector* pSub, bool bSuccess, znsocket_t s) override;
  void OnHttpsConnected(CHttpSubConnector* pSub, int eResult, CZNSslProcessor* pProcessor) override;

  // For tests and diagnostics: the families' current address lists.
  CHttpSubConnector* GetSubConnectorV4() const { return m_pSubConnectorV4; }
  CHttpSubConnector* GetSubConnectorV6() const { return m_pSubConnectorV6; }

 private:
  const char* FamilyName(CHttpSubConnector* pSub) const;
  CHttpSubConnector* Other(CHttpSubConnector* pSub) const;
  bool& FailedFlag(CHttpSubConnector* pSub);

  uint64_t Id;                              // request identifier for log lines
  CHttpConnectorSink* m_pSink;              // borrowed, may be null
  CHttpSubConnector* m_pSubConnectorV4;     // owned, never null after construction
  CHttpSubConnector* m_pSubConnectorV6;     // owned, never null after construction
  bool m_bV4Failed;                         // IPv4 finished without success or never started
  bool m_bV6Failed;                         // the same for IPv6
  bool m_bSucceeded = false;                // a success has been reported to the sink
};
