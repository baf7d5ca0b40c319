// Connects to one address family's list of addresses, one at a time in list
// order, moving on when an attempt fails; for HTTPS it then runs the TLS
// handshake on the connected socket under a 3000 ms timer and reports the
// outcome to its connector.
//
// Thread: everything (the owner's calls, the connecting socket's callback, the
// processor's results, the timer) runs on the task that uses it; the timer is
// made without a task and fires on the task of the thread that arms it. No
// locks. Owns its connecting socket; holds one counted reference to its TLS
// processor.
#pragma once

#include <vector>

#include "base/znsocket.h"
#include "base/znstring.h"
#include "base/zntimer.h"
#include "net/CHttpSubConnectorSink.h"
#include "net/CZNTlsVerify.h"
#include "net/ISslProcessorSink.h"

class CZNTaskIO;
class CZNSslProcessor;

class CHttpSubConnector final : public CZNITCPCnnSocketSink, public ISslProcessorSink, public CZNTimer {
 public:
  static const uint32_t kDefaultConnectTimeoutMs = 5000;
  static const uint32_t kHandshakeTimeoutMs = 3000;
  static const uint32_t kTimerHandshake = 1;
  // Connector codes (see CHttpConnectorSink).
  static const int kCodeHandshakeTimeout = 7;

  // pSink is borrowed and may be null (results are then dropped).
  CHttpSubConnector(uint64_t id, CHttpSubConnectorSink* pSink, bool bUseProxy);
  ~CHttpSubConnector() override;
  CHttpSubConnector(const CHttpSubConnector&) = delete;
  CHttpSubConnector& operator=(const CHttpSubConnector&) = delete;

  void SetHttps(const zn::strutf8& strSSLName);
  // The host name of the URL, given to proxy-aware connecting sockets for the
  // bypass list (with the scheme of SetHttps).
  void SetTargetHost(const zn::strutf8& strHost) { m_strTargetHost = strHost; }
  // How the TLS handshake checks the server (off unless set).
  void SetTlsVerify(const CZNTlsVerify& verify) { m_oVerify = verify; }
  void SetIpAndPort2Bind(const char* ip, unsigned short port) override;
  // creater is borrowed; pTask is counted.
  void SetReverseTcpSocket(CZNIReverseTcpSocketCreater* creater, CZNTaskIO* pTask);

  // True when an attempt is under way (a callback will follow); false when
  // every address failed at once (no callback).
  bool Connect(const std::vector<zn::strutf8>& strIPs, unsigned short wPort, uint32_t dwTimeout);
  // The same on the addresses that remain, starting with the one tried last.
  bool ReConnect();
  bool InternalConnect(const char* ip, unsigned short port);
  // Drops the first address; yields the new first one, false when none is left.
  bool GetNextIP(zn::strutf8& strIP);

  // Destroys the connecting socket: a connect in progress is abandoned without
  // a callback. A descriptor already handed over is not affected.
  void DestroyCnnSocket();
  bool HasCnnSocket() const { return m_pCnnSocket != nullptr; }
  // Stops the handshake timer and releases the TLS processor (closing its
  // connection unless someone else holds a reference).
  void ReleaseSslProcessor();
  CZNSslProcessor* GetSslProcessor() const { return m_pSslProcessor; }
  // The status with which a proxy last refused a tunnel for this family's
  // current Connect (407, 403, ...), 0 when none did.
  uint32_t GetProxyRefusal() const { return m_dwProxyRefusal; }
  const std::vector<zn::strutf8>& GetIPs() const { return m_vecIPs; }

  // CZNITCPCnnSocketSink
  void OnConnected(bool bSuccess, uint64_t reserved) override;
  // ISslProcessorSink
  void OnSslConnected(int result) override;
  // CZNTimer
  void OnTimer(unsigned int id) override;

 private:
  // Processor results to connector codes: 1 and 2 swap, the rest pass.
  static int TranslateSslResult(int result);
  // Runs the attempts of Connect / ReConnect from the first address on.
  bool ConnectFromFirst(const char* szStart, const char* szFailed, const char* szNext);

  uint64_t Id;                              // request identifier for log lines
  CHttpSubConnectorSink* m_pSink;           // borrowed, may be null
  bool m_bUseProxy;                         // proxy-aware connecting sockets
  bool m_bHttps;                            // run the TLS handshake after the connect
  zn::strutf8 m_strSSLName;                 // name the certificate must carry
  zn::strutf8 m_strTargetHost;              // the URL's host name, may be empty
  CZNTlsVerify m_oVerify;                   // off by default
  CZNIReverseTcpSocketCreater* m_pReverseCreater;  // borrowed, may be null
  CZNTaskIO* m_pReverseTask;                // counted reference, may be null
  bool m_bUseReverseTcp;                    // both of the two above are set
  zn::strutf8 m_strBindIP;                  // local address to bind, may be empty
  unsigned short m_wBindPort;               // local port to bind, 0 for any
  // Addresses still to try; element 0 is the one being (or last) tried.
  std::vector<zn::strutf8> m_vecIPs;
  unsigned short m_wPort;                   // server port
  uint32_t m_nTimeout;                      // TCP connect time-out, ms
  CZNITCPCnnSocket* m_pCnnSocket;           // owned, may be null
  CZNSslProcessor* m_pSslProcessor;         // one counted reference, may be null
  uint32_t m_dwProxyRefusal = 0;            // see GetProxyRefusal; 0 at every Connect
};
