#include "net/CZNSslProcessor.h"

#include <algorithm>

#include <cctype>
#include <climits>
#include <new>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "base/znplatform.h"
#include "base/zntask.h"
#include "net/CByteBuffer.h"
#include "net/CZNTrustStores.h"

namespace {

const char kLogTag[] = "CZNSslProcessor";
const int kLevelFail = 1;
const int kLevelWarn = 2;
const int kLevelEvent = 3;

const int kSelectRead = ZNSOCKET_EVENT_READ;
const int kSelectReadWrite = ZNSOCKET_EVENT_READ | ZNSOCKET_EVENT_WRITE;
// Room for ERR_error_string_n's text, terminator included.
const size_t kErrorTextSize = 64;
// A memory BIO never asks for a retry on write; the bound only guards against
// a BIO that would keep asking.
const int kMaxBioWriteRetries = 16;

// Keeps the processor alive for the rest of an event handler: the sink that
// hears a result may drop the last outside reference to the processor.
class CSelfReference final {
 public:
  explicit CSelfReference(CRefCount* p) : m_p(p) { m_p->AddRef(); }
  ~CSelfReference() { m_p->Release(); }
  CSelfReference(const CSelfReference&) = delete;
  CSelfReference& operator=(const CSelfReference&) = delete;

 private:
  CRefCount* m_p;  // counted reference for the scope
};

// Frees what OpenSSL keeps for the calling thread (its error queue, its
// random generators). On Linux OpenSSL frees it by itself when a thread
// ends; a static OpenSSL on Windows has no such hook, and each worker thread
// that ran TLS left about 4.5 KB behind.
void ReleaseOpenSslThreadState() { OPENSSL_thread_stop(); }

// Registers the release above for every task thread, and takes it back as
// this library is unloaded: the platform library's threads may outlive it.
struct OpenSslThreadExitHook final {
  OpenSslThreadExitHook() { zntask_atthreadexit(&ReleaseOpenSslThreadState); }
  ~OpenSslThreadExitHook() { zntask_removethreadexit(&ReleaseOpenSslThreadState); }
};

bool IsHandshakeInProgress(int e) {
  return e == SSL_ERROR_NONE || e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE ||
         e == SSL_ERROR_WANT_CONNECT || e == SSL_ERROR_WANT_ACCEPT;
}

int ClampToInt(uint32_t n) { return n > uint32_t(INT_MAX) ? INT_MAX : int(n); }

// The single-star comparison of a common name P against the required name E,
// both already lower-cased.
bool MatchCommonName(const zn::strutf8& P, const zn::strutf8& E) {
  const uint32_t p = P.length();
  const uint32_t e = E.length();
  // Without sign, so that an empty common name never matches.
  if (e < p - 1) return false;
  const char* pc = P.c_str();
  const char* ec = E.c_str();  // ec[e] is the terminator, reachable when e == p - 1
  for (uint32_t i = 0; i < p; ++i) {
    if (pc[i] == '*') {
      // The star matches any run; what follows it must end E.
      const uint32_t tail = p - 1 - i;
      for (uint32_t j = 1; j <= tail; ++j) {
        if (pc[p - j] != ec[e - j]) return false;
      }
      return true;
    }
    if (pc[i] != ec[i]) return false;
  }
  return e == p;
}

}  // namespace

CZNSslProcessor::CZNSslProcessor(znsocket_t s, const zn::strutf8& strSSLName, ISslProcessorSink* pSink,
                                 const CZNTlsVerify& verify)
    : ssl_ctx(nullptr), m_pSink(pSink), m_strSSLName(strSSLName), m_oVerify(verify), m_bHandshakeDone(false) {
  // The threads that run TLS are the library's task threads.
  static const OpenSslThreadExitHook s_oThreadExitHook;
  ssl_ctx = CreateSslContext();
  if (ssl_ctx && m_oVerify.m_bVerify && !SetUpVerification()) {
    FreeSslContext(ssl_ctx);
    ssl_ctx = nullptr;
  }
  if (!ssl_ctx) {
    // Nobody else will ever own the descriptor.
    znsocket_close(s);
    return;
  }
  CZNITCPSocket* pSocket = ZNCreateTCPSocket();
  if (!pSocket) {
    znsyslog(kLevelFail, kLogTag, __LINE__, "CZNSslProcessor: ZNCreateTCPSocket failed.");
    FreeSslContext(ssl_ctx);
    ssl_ctx = nullptr;
    znsocket_close(s);
    return;
  }
  ssl_ctx->pSocket = pSocket;
  pSocket->SetSink(this);
  if (!pSocket->Attach(s)) {
    znsyslog(kLevelFail, kLogTag, __LINE__, "CZNSslProcessor: Attach socket failed.");
  }
  pSocket->SelectEvent(kSelectReadWrite, false);
}

CZNSslProcessor::~CZNSslProcessor() {
  if (ssl_ctx) {
    delete ssl_ctx->pSocket;
    ssl_ctx->pSocket = nullptr;
    FreeSslContext(ssl_ctx);
    ssl_ctx = nullptr;
  }
  m_strSSLName.clear();
}

CZNSslProcessor::SslContext* CZNSslProcessor::CreateSslContext() {
  SSL_CTX* pSslCtx = SSL_CTX_new(TLS_client_method());
  if (!pSslCtx) {
    znsyslog(kLevelFail, kLogTag, __LINE__, "SSL_CTX_new failed.");
    return nullptr;
  }
  SSL* pSsl = SSL_new(pSslCtx);
  if (!pSsl) {
    znsyslog(kLevelFail, kLogTag, __LINE__, "SSL_new failed.");
    SSL_CTX_free(pSslCtx);
    return nullptr;
  }
  BIO* pReadBio = BIO_new(BIO_s_mem());
  BIO* pWriteBio = BIO_new(BIO_s_mem());
  if (!pReadBio || !pWriteBio) {
    znsyslog(kLevelFail, kLogTag, __LINE__, "BIO_new failed.");
    BIO_free(pReadBio);
    BIO_free(pWriteBio);
    SSL_free(pSsl);
    SSL_CTX_free(pSslCtx);
    return nullptr;
  }
  SslContext* ctx = new (std::nothrow) SslContext;
  CByteBuffer* send_buf = new (std::nothrow) CByteBuffer(kSendBufferSize);
  CByteBuffer* recv_buf = new (std::nothrow) CByteBuffer(kRecvBufferSize);
  if (!ctx || !send_buf || !recv_buf || send_buf->Capacity() != kSendBufferSize ||
      recv_buf->Capacity() != kRecvBufferSize) {
    znsyslog(kLevelFail, kLogTag, __LINE__, "CByteBuffer alloc failed.");
    delete ctx;
    delete send_buf;
    delete recv_buf;
    BIO_free(pReadBio);
    BIO_free(pWriteBio);
    SSL_free(pSsl);
    SSL_CTX_free(pSslCtx);
    return nullptr;
  }
  SSL_set_bio(pSsl, pReadBio, pWriteBio);
  const long mode = SSL_ctrl(pSsl, SSL_CTRL_MODE, 0, nullptr);
  SSL_ctrl(pSsl, SSL_CTRL_MODE, mode | SSL_MODE_ENABLE_PARTIAL_WRITE, nullptr);

  ctx->pSsl = pSsl;
  ctx->pSslCtx = pSslCtx;
  ctx->pReadBio = pReadBio;
  ctx->pWriteBio = pWriteBio;
  ctx->send_buf = send_buf;
  ctx->recv_buf = recv_buf;
  return ctx;
}

void CZNSslProcessor::FreeSslContext(SslContext* ctx) {
  if (!ctx) return;
  SSL_free(ctx->pSsl);  // frees both BIOs with it
  SSL_CTX_free(ctx->pSslCtx);
  delete ctx->send_buf;
  delete ctx->recv_buf;
  delete ctx;
}

bool CZNSslProcessor::StartHandshake() {
  if (!ssl_ctx) return false;
  CSelfReference self(this);
  m_bHandshakeDone = false;
  _https_connect();
  return true;
}

CZNITCPSocket* CZNSslProcessor::GetSocket() const { return ssl_ctx ? ssl_ctx->pSocket : nullptr; }

void CZNSslProcessor::Report(int result) {
  if (m_pSink) m_pSink->OnSslConnected(result);
}

bool CZNSslProcessor::TakeHandshakeBytes() {
  if (BIO_ctrl(ssl_ctx->pWriteBio, BIO_CTRL_PENDING, 0, nullptr) <= 0) return false;
  unsigned char* pWrite = nullptr;
  const uint32_t space = ssl_ctx->send_buf->WritePtr(&pWrite);
  const int n = BIO_read(ssl_ctx->pWriteBio, pWrite, ClampToInt(space));
  if (n <= 0) return false;
  ssl_ctx->send_buf->AddSize(uint32_t(n));
  return true;
}

int CZNSslProcessor::WriteRecvBufToBio() {
  CByteBuffer* recv_buf = ssl_ctx->recv_buf;
  int written = 0;
  for (int attempt = 0; attempt < kMaxBioWriteRetries; ++attempt) {
    written = BIO_write(ssl_ctx->pReadBio, recv_buf->ReadPtr(), ClampToInt(recv_buf->Size()));
    if (written > 0 || !BIO_test_flags(ssl_ctx->pReadBio, BIO_FLAGS_SHOULD_RETRY)) break;
  }
  return written;
}

void CZNSslProcessor::_https_connect() {
  if (!ssl_ctx) return;
  ERR_clear_error();  // SSL_get_error reads the thread's error queue
  const int r = SSL_connect(ssl_ctx->pSsl);
  if (r > 0) {
    m_bHandshakeDone = true;
    Report(VerifyPeerCertificate());
    return;
  }
  const int e = SSL_get_error(ssl_ctx->pSsl, r);
  if (IsHandshakeInProgress(e)) {
    if (TakeHandshakeBytes()) {
      ssl_ctx->pSocket->SelectEvent(kSelectReadWrite, false);
    } else {
      ssl_ctx->pSocket->SelectEvent(kSelectRead, false);
    }
    return;
  }
  char szError[kErrorTextSize] = {0};
  ERR_error_string_n(static_cast<unsigned long>(e), szError, kErrorTextSize - 1);
  char szReason[kErrorTextSize * 2] = {0};
  ERR_error_string_n(ERR_peek_error(), szReason, sizeof(szReason) - 1);
  znsyslog(kLevelFail, kLogTag, __LINE__, "_https_connect, SSL_connect failed, ret[%d] err[%d] %s (%s)", r, e,
           szError, szReason);
  ERR_clear_error();
  Report(kResultConnectFailed);
}

bool CZNSslProcessor::SetUpVerification() {
  SSL_CTX* pCtx = ssl_ctx->pSslCtx;
  SSL* pSsl = ssl_ctx->pSsl;
  const char* szCA = m_oVerify.m_strCAPath.c_str();
  // The process's shared store of this source; the context takes a reference.
  X509_STORE* pStore = CZNTrustStores::Get(m_oVerify.m_strCAPath);
  if (!pStore) {
    char szReason[kErrorTextSize * 2] = {0};
    ERR_error_string_n(ERR_peek_error(), szReason, sizeof(szReason) - 1);
    ERR_clear_error();
    znsyslog(kLevelFail, kLogTag, __LINE__, "CZNSslProcessor: trust store [%s] not loaded (%s)",
             m_oVerify.m_strCAPath.empty() ? "default" : szCA, szReason);
    return false;
  }
  SSL_CTX_set1_cert_store(pCtx, pStore);
  X509_STORE_free(pStore);
  // An address literal is checked against the IP entries and sends no
  // server name; a host name against the DNS entries, and against the common
  // name only when the certificate has no DNS entry.
  ASN1_OCTET_STRING* pIp = a2i_IPADDRESS(m_strSSLName.c_str());
  const bool bIpName = pIp != nullptr;
  ASN1_OCTET_STRING_free(pIp);
  const bool bHostCheck = bIpName ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(pSsl), m_strSSLName.c_str()) == 1
                                  : SSL_set1_host(pSsl, m_strSSLName.c_str()) == 1;
  ASN1_OCTET_STRING* pHostIp = a2i_IPADDRESS(m_oVerify.m_strHostName.c_str());
  const bool bHostIsIp = pHostIp != nullptr;
  ASN1_OCTET_STRING_free(pHostIp);
  const bool bSni = bHostIsIp || m_oVerify.m_strHostName.empty() ||
                    SSL_set_tlsext_host_name(pSsl, m_oVerify.m_strHostName.c_str()) == 1;
  ERR_clear_error();
  if (!bHostCheck || !bSni) {
    znsyslog(kLevelFail, kLogTag, __LINE__, "CZNSslProcessor: name [%s] or server name [%s] refused by OpenSSL",
             m_strSSLName.c_str(), m_oVerify.m_strHostName.c_str());
    return false;
  }
  return true;
}

int CZNSslProcessor::VerifyChainAndName(X509* pCert) {
  const long verdict = SSL_get_verify_result(ssl_ctx->pSsl);
  if (verdict == X509_V_OK) return kResultOk;
  X509_NAME* pName = X509_get_subject_name(pCert);
  char* szSubject = pName ? X509_NAME_oneline(pName, nullptr, 0) : nullptr;
  znsyslog(kLevelFail, kLogTag, __LINE__, "_https_connect, SSL verify failed, %s, name=%s, subject=%s",
           X509_verify_cert_error_string(verdict), m_strSSLName.c_str(), szSubject ? szSubject : "");
  OPENSSL_free(szSubject);
  return kResultVerifyFailed;
}

int CZNSslProcessor::VerifyPeerCertificate() {
  X509* pCert = SSL_get1_peer_certificate(ssl_ctx->pSsl);
  if (!pCert) return kResultVerifyFailed;
  if (m_oVerify.m_bVerify) {
    const int result = VerifyChainAndName(pCert);
    X509_free(pCert);
    return result;
  }
  X509_NAME* pName = X509_get_subject_name(pCert);
  char* szLine = pName ? X509_NAME_oneline(pName, nullptr, 0) : nullptr;
  X509_free(pCert);
  if (!szLine) return kResultVerifyFailed;
  const int result = CheckSubjectName(szLine, m_strSSLName);
  OPENSSL_free(szLine);
  return result;
}

int CZNSslProcessor::CheckSubjectName(const char* szSubject, const zn::strutf8& strSSLName) {
  if (!szSubject) return kResultVerifyFailed;
  zn::strutf8 strLine(szSubject);
  for (uint32_t i = 0; i < strLine.length(); ++i) {
    strLine[i] = char(std::tolower(static_cast<unsigned char>(strLine[i])));
  }
  const int pos = strLine.find("/cn=");
  if (pos < 0) return kResultVerifyFailed;
  const zn::strutf8 strCName = strLine.substr(uint32_t(pos) + 4);
  zn::strutf8 strExpected(strSSLName);
  for (uint32_t i = 0; i < strExpected.length(); ++i) {
    strExpected[i] = char(std::tolower(static_cast<unsigned char>(strExpected[i])));
  }
  if (!MatchCommonName(strCName, strExpected)) {
    znsyslog(kLevelFail, kLogTag, __LINE__, "_https_connect, SSL verify failed, cname=%s, strSSLName=%s",
             strCName.c_str(), strExpected.c_str());
    return kResultVerifyFailed;
  }
  return kResultOk;
}

void CZNSslProcessor::OnRecv(CZNITCPSocket* /*pSocket*/) {
  if (!ssl_ctx) return;
  CSelfReference self(this);
  CByteBuffer* recv_buf = ssl_ctx->recv_buf;
  unsigned char* pWrite = nullptr;
  const uint32_t space = recv_buf->WritePtr(&pWrite);
  if (m_bHandshakeDone && !MayReadIntoRecvBuf()) {
    // Still holding bytes: the new ones stay in the socket (and the server
    // is slowed down by TCP) until ReadData has drained recv_buf; it then
    // takes this read.
    m_bReadDeferred = true;
    return;
  }
  const int n = ssl_ctx->pSocket->Recv(pWrite, m_bHandshakeDone ? DataReadSize(space) : space);
  if (!m_bHandshakeDone) {
    if (n < 1) {
      znsyslog(kLevelFail, kLogTag, __LINE__, "CZNSslProcessor OnRecv: handshake recv failed, ret[%d]", n);
      Report(kResultRecvFailed);
      return;
    }
    recv_buf->AddSize(uint32_t(n));
    if (WriteRecvBufToBio() > 0) {
      recv_buf->Reset();
      _https_connect();
    } else {
      znsyslog(kLevelFail, kLogTag, __LINE__, "CZNSslProcessor OnRecv: BIO_write failed, size[%u]",
               unsigned(recv_buf->Size()));
      Report(kResultBioWriteFailed);
    }
    return;
  }
  if (n < 1) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "CZNSslProcessor OnRecv: recv return[%d] < 0 capacity[%u] ", n,
             unsigned(space));
    return;
  }
  // Bytes behind the end of the TLS stream are read and dropped, so that a
  // peer that goes on sending neither fills the buffer nor keeps the socket
  // readable.
  if (m_bStreamEnded) return;
  recv_buf->AddSize(uint32_t(n));
  znsyslog(kLevelEvent, kLogTag, __LINE__, "CZNSslProcessor OnRecv: recv[%d] capacity[%u] ", n, unsigned(space));
}

void CZNSslProcessor::OnSend(CZNITCPSocket* /*pSocket*/) {
  if (!ssl_ctx) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "CZNSslProcessor OnSend: ssl_ctx is null");
    return;
  }
  CSelfReference self(this);
  if (m_bHandshakeDone) {
    FlushSendBuffer();
    return;
  }
  CByteBuffer* send_buf = ssl_ctx->send_buf;
  const uint32_t stored = send_buf->Size();
  // A negative result, taken without sign, counts as everything sent.
  const uint32_t n = stored > 0 ? uint32_t(ssl_ctx->pSocket->Send(send_buf->ReadPtr(), stored)) : 0;
  if (n >= stored) {
    send_buf->Reset();
    ssl_ctx->pSocket->SelectEvent(kSelectRead, false);
    _https_connect();
  } else if (n > 0) {
    send_buf->RemoveFront(n);
    ssl_ctx->pSocket->SelectEvent(kSelectReadWrite, false);
    _https_connect();
  } else {
    send_buf->Reset();
    ssl_ctx->pSocket->SelectEvent(kSelectRead, false);
    znsyslog(kLevelFail, kLogTag, __LINE__, "OnConnectSslRead failed");
    Report(kResultSendFailed);
    _https_connect();
  }
}

void CZNSslProcessor::OnClose(CZNITCPSocket* /*pSocket*/) {
  CSelfReference self(this);
  Report(kResultClosed);
}

int CZNSslProcessor::ReadData(void* pBuf, uint32_t len) {
  if (!ssl_ctx) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "CZNSslProcessor ReadData: ssl_ctx is null");
    return 0;
  }
  if (m_bStreamEnded) return 0;
  uint32_t total = 0;
  FeedReadBio();
  if (pBuf) {
    unsigned char* pOut = static_cast<unsigned char*>(pBuf);
    while (total < len) {
      ERR_clear_error();
      const int r = SSL_read(ssl_ctx->pSsl, pOut + total, ClampToInt(len - total));
      if (r >= 1) {
        total += uint32_t(r);
        continue;
      }
      const int e = SSL_get_error(ssl_ctx->pSsl, r);
      if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
        EndStream(e);
        return int(total);
      }
      // Out of whole records in the BIO: go on while recv_buf has more.
      if (FeedReadBio() == 0) break;
    }
  }
  ResumeSocketRead();
  return int(total);
}

void CZNSslProcessor::EndStream(int sslError) {
  m_bStreamEnded = true;
  if (sslError == SSL_ERROR_ZERO_RETURN) {
    znsyslog(kLevelEvent, kLogTag, __LINE__, "CZNSslProcessor ReadData: close_notify received, the stream ends");
  } else {
    m_bStreamBroken = true;
    char szReason[kErrorTextSize * 2] = {0};
    ERR_error_string_n(ERR_peek_error(), szReason, sizeof(szReason) - 1);
    znsyslog(kLevelFail, kLogTag, __LINE__, "CZNSslProcessor ReadData: SSL_read failed, err[%d] (%s), the stream ends",
             sslError, szReason);
  }
  ERR_clear_error();
  // Whatever ciphertext still waits can never be read.
  ssl_ctx->recv_buf->Reset();
}

uint32_t CZNSslProcessor::FeedReadBio() {
  CByteBuffer* recv_buf = ssl_ctx->recv_buf;
  uint32_t moved = 0;
  while (!recv_buf->IsEmpty()) {
    const long pending = BIO_ctrl(ssl_ctx->pReadBio, BIO_CTRL_PENDING, 0, nullptr);
    if (pending < 0 || uint32_t(pending) >= kReadBioBacklog) break;
    const uint32_t n = std::min(recv_buf->Size(), kReadBioBacklog - uint32_t(pending));
    int written = 0;
    for (int attempt = 0; attempt < kMaxBioWriteRetries; ++attempt) {
      written = BIO_write(ssl_ctx->pReadBio, recv_buf->ReadPtr(), ClampToInt(n));
      if (written > 0 || !BIO_test_flags(ssl_ctx->pReadBio, BIO_FLAGS_SHOULD_RETRY)) break;
    }
    // A negative count, taken without sign, exceeds the stored size: the
    // buffer logs and empties itself.
    recv_buf->RemoveFront(uint32_t(written));
    if (written <= 0) break;
    moved += uint32_t(written);
  }
  return moved;
}

void CZNSslProcessor::ResumeSocketRead() {
  if (!m_bReadDeferred || !ssl_ctx->pSocket) return;
  CByteBuffer* recv_buf = ssl_ctx->recv_buf;
  unsigned char* pWrite = nullptr;
  const uint32_t space = recv_buf->WritePtr(&pWrite);
  if (!MayReadIntoRecvBuf()) return;
  m_bReadDeferred = false;
  // Reading also lets the socket report its next bytes (or its close).
  const int n = ssl_ctx->pSocket->Recv(pWrite, DataReadSize(space));
  if (n >= 1) recv_buf->AddSize(uint32_t(n));
}

bool CZNSslProcessor::MayReadIntoRecvBuf() const {
  const CByteBuffer* recv_buf = ssl_ctx->recv_buf;
  return recv_buf->IsEmpty() && recv_buf->WritePtr() > 0;
}

int CZNSslProcessor::WriteData(const void* pData, uint32_t len) {
  if (!ssl_ctx) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "CZNSslProcessor WriteData: ssl_ctx is null");
    return 0;
  }
  uint32_t total = 0;
  if (pData) {
    const unsigned char* pIn = static_cast<const unsigned char*>(pData);
    while (total < len) {
      ERR_clear_error();
      const int r = SSL_write(ssl_ctx->pSsl, pIn + total, ClampToInt(len - total));
      if (r < 1) {
        SSL_get_error(ssl_ctx->pSsl, r);
        break;
      }
      total += uint32_t(r);
    }
  }
  FlushSendBuffer();
  return int(total);
}

bool CZNSslProcessor::IsAllDataSent() {
  if (!ssl_ctx) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "CZNSslProcessor IsAllDataSent: ssl_ctx is null");
    return true;
  }
  return ssl_ctx->send_buf->IsEmpty() && BIO_ctrl(ssl_ctx->pWriteBio, BIO_CTRL_PENDING, 0, nullptr) <= 0;
}

bool CZNSslProcessor::HasMoreDataToRead() {
  if (!ssl_ctx) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "CZNSslProcessor HasMoreDataToRead: ssl_ctx is null");
    return false;
  }
  if (m_bStreamEnded) return false;
  if (!ssl_ctx->recv_buf->IsEmpty()) return true;
  // Plaintext of a record that SSL_read has opened but not yet handed out:
  // without it, a read smaller than a record would strand the rest of the
  // record once no more ciphertext arrives.
  if (SSL_pending(ssl_ctx->pSsl) > 0) return true;
  return BIO_ctrl(ssl_ctx->pReadBio, BIO_CTRL_PENDING, 0, nullptr) > 0;
}

void CZNSslProcessor::FlushSendBuffer() {
  if (!ssl_ctx) return;
  CByteBuffer* send_buf = ssl_ctx->send_buf;
  if (BIO_ctrl(ssl_ctx->pWriteBio, BIO_CTRL_PENDING, 0, nullptr) > 0) {
    unsigned char* pWrite = nullptr;
    const uint32_t space = send_buf->WritePtr(&pWrite);
    if (space > 0) {
      const int n = BIO_read(ssl_ctx->pWriteBio, pWrite, ClampToInt(space));
      if (n > 0) send_buf->AddSize(uint32_t(n));
    }
  }
  if (send_buf->IsEmpty()) return;
  const int sent = ssl_ctx->pSocket->Send(send_buf->ReadPtr(), send_buf->Size());
  if (sent < 1) return;
  if (uint32_t(sent) >= send_buf->Size()) {
    send_buf->Reset();
  } else {
    send_buf->RemoveFront(uint32_t(sent));
  }
}

void CZNSslProcessor::SetSendBufferSize(uint32_t n) {
  if (!ssl_ctx) return;
  CByteBuffer* send_buf = ssl_ctx->send_buf;
  if (send_buf->Size() > n) {
    znsyslog(kLevelWarn, kLogTag, __LINE__,
             "SetSendBufferSize, send_buf data size[%d]>SendBufferSize[%d], should call SetSendBufferSize early",
             int(send_buf->Size()), int(n));
    return;
  }
  if (send_buf->Capacity() == n) {
    znsyslog(kLevelEvent, kLogTag, __LINE__, "SetSendBufferSize, send_buf size[%d] == SendBufferSize[%d]",
             int(send_buf->Capacity()), int(n));
    return;
  }
  CByteBuffer* pNew = new (std::nothrow) CByteBuffer(n);
  if (!pNew || pNew->Capacity() != n) {
    znsyslog(kLevelFail, kLogTag, __LINE__, "SetSendBufferSize, alloc of [%u] bytes failed", unsigned(n));
    delete pNew;
    return;
  }
  if (send_buf->Size() > 0) {
    znsyslog(kLevelEvent, kLogTag, __LINE__,
             "SetSendBufferSize, send_buf data size[%d] >0, SendBufferSize[%d], should call SetSendBufferSize early",
             int(send_buf->Size()), int(n));
    pNew->CopyFrom(send_buf->ReadPtr(), send_buf->Size());
  } else {
    znsyslog(kLevelEvent, kLogTag, __LINE__, "SetSendBufferSize SendBufferSize[%d]", int(n));
  }
  delete send_buf;
  ssl_ctx->send_buf = pNew;
}

void CZNSslProcessor::SetRecvBufferSize(uint32_t n) {
  if (!ssl_ctx) return;
  CByteBuffer* recv_buf = ssl_ctx->recv_buf;
  if (recv_buf->Size() > n) {
    znsyslog(kLevelWarn, kLogTag, __LINE__,
             "SetRecvBufferSize, recv_buf data size[%d]>RecvBufferSize[%d], should call SetRecvBufferSize early",
             int(recv_buf->Size()), int(n));
    return;
  }
  if (recv_buf->Capacity() == n) {
    znsyslog(kLevelEvent, kLogTag, __LINE__, "SetRecvBufferSize, recv_buf size[%d] == RecvBufferSize[%d]",
             int(recv_buf->Capacity()), int(n));
    return;
  }
  CByteBuffer* pNew = new (std::nothrow) CByteBuffer(n);
  if (!pNew || pNew->Capacity() != n) {
    znsyslog(kLevelFail, kLogTag, __LINE__, "SetRecvBufferSize, alloc of [%u] bytes failed", unsigned(n));
    delete pNew;
    return;
  }
  if (recv_buf->Size() > 0) {
    znsyslog(kLevelWarn, kLogTag, __LINE__,
             "SetRecvBufferSize, recv_buf data size[%d] >0, RecvBufferSize[%d], should call SetRecvBufferSize early",
             int(recv_buf->Size()), int(n));
    pNew->CopyFrom(recv_buf->ReadPtr(), recv_buf->Size());
  } else {
    znsyslog(kLevelEvent, kLogTag, __LINE__, "SetRecvBufferSize RecvBufferSize[%d]", int(n));
  }
  delete recv_buf;
  ssl_ctx->recv_buf = pNew;
}
