#include "net/CHttpConnector.h"

#include <cstring>
#include <new>

#include "base/znplatform.h"
#include "net/CHttpSubConnector.h"
#include "net/CZNSslProcessor.h"

namespace {

const char kLogTag[] = "CHttpConnector";
const int kLevelWarn = 2;
const int kLevelEvent = 3;
const int kLevelDetail = 4;
// The result block holds at most this many address records.
const uint32_t kMaxAddressRecords = sizeof(znhostent6::addrs) / sizeof(znhostent6::addrs[0]);

bool Contains(const std::vector<zn::strutf8>& v, const zn::strutf8& s) {
  for (const auto& x : v) {
    if (x == s) return true;
  }
  return false;
}

// Appends s to the seen set and to list unless it was seen already. A list
// that cannot grow skips the address.
void AddUnique(std::vector<zn::strutf8>& seen, std::vector<zn::strutf8>& list, const zn::strutf8& s) {
  if (Contains(seen, s)) return;
  try {
    seen.push_back(s);
    list.push_back(s);
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace

CHttpConnector::CHttpConnector(uint64_t id, CHttpConnectorSink* pSink, bool bUseProxy)
    : Id(id),
      m_pSink(pSink),
      m_pSubConnectorV4(new CHttpSubConnector(id, this, bUseProxy)),
      m_pSubConnectorV6(new CHttpSubConnector(id, this, bUseProxy)),
      m_bV4Failed(false),
      m_bV6Failed(false) {}

CHttpConnector::~CHttpConnector() {
  delete m_pSubConnectorV4;
  m_pSubConnectorV4 = nullptr;
  delete m_pSubConnectorV6;
  m_pSubConnectorV6 = nullptr;
}

void CHttpConnector::SetTargetHost(const zn::strutf8& strHost) {
  m_pSubConnectorV4->SetTargetHost(strHost);
  m_pSubConnectorV6->SetTargetHost(strHost);
}

void CHttpConnector::SetHttps(const zn::strutf8& strSSLName) {
  m_pSubConnectorV4->SetHttps(strSSLName);
  m_pSubConnectorV6->SetHttps(strSSLName);
}

void CHttpConnector::SetTlsVerify(const CZNTlsVerify& verify) {
  m_pSubConnectorV4->SetTlsVerify(verify);
  m_pSubConnectorV6->SetTlsVerify(verify);
}

void CHttpConnector::SetIpAndPort2Bind(const char* ip, unsigned short port) {
  m_pSubConnectorV4->SetIpAndPort2Bind(ip, port);
  m_pSubConnectorV6->SetIpAndPort2Bind(ip, port);
}

void CHttpConnector::SetReverseTcpSocket(CZNIReverseTcpSocketCreater* creater, CZNTaskIO* pTask) {
  m_pSubConnectorV4->SetReverseTcpSocket(creater, pTask);
  m_pSubConnectorV6->SetReverseTcpSocket(creater, pTask);
}

bool CHttpConnector::Connect(const zn::hostlist& strIPs, unsigned short wPort, uint32_t dwTimeout) {
  if (strIPs.empty() || wPort == 0) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "Id[%I64u] Connect:strIPs is empty or wPort[%hu] is 0", Id, wPort);
    return false;
  }
  // The set of addresses already seen spans all hosts of the call.
  std::vector<zn::strutf8> seen;
  std::vector<zn::strutf8> vecIPs_v4;
  std::vector<zn::strutf8> vecIPs_v6;
  for (const zn::strutf8& host : strIPs) {
    znsyslog(kLevelDetail, kLogTag, __LINE__, "gethostbyname of ip %s", host.c_str());
    znhostent6 result;
    std::memset(&result, 0, sizeof(result));
    bool bResolved = false;
    znnet_gethostbyname6_ex(host.c_str(), &result, &bResolved);
    if (!bResolved) {
      // The resolver did not take the name: the text itself is tried, by the
      // IPv4 family whatever it looks like.
      AddUnique(seen, vecIPs_v4, host);
      continue;
    }
    if (result.count == 0) {
      znsyslog(kLevelWarn, kLogTag, __LINE__, "Id[%I64u] gethostbyname fail for host [%s]", Id, host.c_str());
      continue;
    }
    const uint32_t count = result.count < kMaxAddressRecords ? result.count : kMaxAddressRecords;
    for (uint32_t i = 0; i < count; ++i) {
      char szAddress[kAddressTextSize];
      std::memset(szAddress, 0, sizeof(szAddress));
      znnet_iptostr6(&result.addrs[i], szAddress, kAddressTextSize);
      const zn::strutf8 strAddress(szAddress);
      AddUnique(seen, znnet_isipv4(szAddress) ? vecIPs_v4 : vecIPs_v6, strAddress);
      znsyslog(kLevelEvent, kLogTag, __LINE__, "Id[%I64u] gethostbyname for host [%s]->[%u][%s]", Id, host.c_str(),
               unsigned(i), szAddress);
    }
  }
  for (const auto& ip : vecIPs_v4) {
    znsyslog(kLevelDetail, kLogTag, __LINE__, "CHttpSubConnector::Connect:Id[%I64u] unique ip of vecIPs_v4:%s", Id,
             ip.c_str());
  }
  for (const auto& ip : vecIPs_v6) {
    znsyslog(kLevelDetail, kLogTag, __LINE__, "CHttpSubConnector::Connect:Id[%I64u] unique ip of vecIPs_v6:%s", Id,
             ip.c_str());
  }

  m_bV4Failed = true;
  m_bV6Failed = true;
  m_bSucceeded = false;
  if (!vecIPs_v6.empty()) m_bV6Failed = !m_pSubConnectorV6->Connect(vecIPs_v6, wPort, dwTimeout);
  if (!vecIPs_v4.empty()) m_bV4Failed = !m_pSubConnectorV4->Connect(vecIPs_v4, wPort, dwTimeout);
  return !m_bV6Failed || !m_bV4Failed;
}

bool CHttpConnector::ReConnect() {
  m_bV4Failed = true;
  m_bV6Failed = true;
  m_bSucceeded = false;
  if (m_pSubConnectorV4->ReConnect()) m_bV4Failed = false;
  if (m_pSubConnectorV6->ReConnect()) m_bV6Failed = false;
  return !m_bV4Failed || !m_bV6Failed;
}

void CHttpConnector::Close() {
  m_pSink = nullptr;
  for (CHttpSubConnector* pSub : {m_pSubConnectorV4, m_pSubConnectorV6}) {
    pSub->DestroyCnnSocket();
    pSub->ReleaseSslProcessor();
  }
}

uint32_t CHttpConnector::GetProxyRefusal() const {
  const uint32_t dwV4 = m_pSubConnectorV4->GetProxyRefusal();
  return dwV4 != 0 ? dwV4 : m_pSubConnectorV6->GetProxyRefusal();
}

const char* CHttpConnector::FamilyName(CHttpSubConnector* pSub) const {
  return pSub == m_pSubConnectorV4 ? "IPV4" : "IPV6";
}

CHttpSubConnector* CHttpConnector::Other(CHttpSubConnector* pSub) const {
  return pSub == m_pSubConnectorV4 ? m_pSubConnectorV6 : m_pSubConnectorV4;
}

bool& CHttpConnector::FailedFlag(CHttpSubConnector* pSub) {
  return pSub == m_pSubConnectorV4 ? m_bV4Failed : m_bV6Failed;
}

void CHttpConnector::OnConnected(CHttpSubConnector* pSub, bool bSuccess, znsocket_t s) {
  if (pSub == m_pSubConnectorV4) {
    znsyslog(kLevelEvent, kLogTag, __LINE__, "Id[%I64u] OnConnected: bSuccess[%d] IPV4", Id, int(bSuccess));
  } else {
    znsyslog(kLevelEvent, kLogTag, __LINE__, "Id[%I64u] OnConnected: bSuccess[%d] IPV6", Id, int(bSuccess));
  }
  if (m_bSucceeded) {
    // The attempt is already won: a late connection is not wanted.
    if (bSuccess) znsocket_close(s);
    return;
  }
  if (bSuccess) {
    Other(pSub)->DestroyCnnSocket();
    m_bSucceeded = true;
    if (m_pSink) {
      m_pSink->OnConnected(true, s);
    } else {
      znsocket_close(s);
    }
    return;
  }
  FailedFlag(pSub) = true;
  if (m_bV4Failed && m_bV6Failed && m_pSink) m_pSink->OnConnected(false, znsocket_makeinvalid());
}

void CHttpConnector::OnHttpsConnected(CHttpSubConnector* pSub, int eResult, CZNSslProcessor* pProcessor) {
  if (pSub == m_pSubConnectorV4) {
    znsyslog(kLevelEvent, kLogTag, __LINE__, "Id[%I64u] OnHttpsConnected: eResult[%d] IPV4", Id, eResult);
  } else {
    znsyslog(kLevelEvent, kLogTag, __LINE__, "Id[%I64u] OnHttpsConnected: eResult[%d] IPV6", Id, eResult);
  }
  if (m_bSucceeded) {
    // The other family won already; a late winner's connection is closed with
    // its processor. The processor keeps itself alive until its own event
    // handler returns.
    if (eResult == 0 && pSub->GetSslProcessor() != nullptr) pSub->ReleaseSslProcessor();
    return;
  }
  if (eResult == 0) {
    Other(pSub)->DestroyCnnSocket();
    m_bSucceeded = true;
    if (m_pSink) m_pSink->OnHttpsConnected(0, pProcessor);
    return;
  }
  FailedFlag(pSub) = true;
  if (m_bV4Failed && m_bV6Failed && m_pSink) m_pSink->OnHttpsConnected(eResult, pProcessor);
}
