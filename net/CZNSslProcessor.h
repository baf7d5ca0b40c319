// The TLS client of the library: an OpenSSL client connection over two memory
// BIOs on a connected TCP socket.
//
// Ciphertext from the network goes socket -> recv_buf -> read BIO -> SSL, and
// ciphertext that SSL produces goes write BIO -> send_buf -> socket. The
// processor first drives the handshake itself on its socket's events and checks
// the server certificate's common name against the required name; it reports
// the result once per step that ends the handshake to its ISslProcessorSink.
// Afterwards CHttpSocket takes the socket's events and uses the data
// operations (ReadData, WriteData, FlushSendBuffer, ...).
//
// By default no trust store, no server name indication and no verify mode are
// set: the common-name comparison is the only check of the server. With
// verification on (CZNTlsVerify) the chain and the name are checked by
// OpenSSL instead, and a failure ends the handshake as a name mismatch does.
//
// Thread: everything runs on the task that constructed the processor (the
// socket it makes delivers its events there). Reference-counted: created with
// one reference; the last Release destroys the OpenSSL objects and the socket.
#pragma once

#include "base/znrefcount.h"
#include "base/znsocket.h"
#include "base/znstring.h"
#include "net/CZNTlsVerify.h"
#include "net/ISslProcessorSink.h"

struct ssl_st;
struct ssl_ctx_st;
struct bio_st;
struct x509_st;
typedef struct x509_st X509;
class CByteBuffer;

class CZNSslProcessor final : public CRefCountSafe, public CZNITCPSocketSink {
 public:
  // Handshake results reported to the sink.
  enum {
    kResultOk = 0,
    kResultConnectFailed = 1,
    kResultClosed = 2,
    kResultSendFailed = 3,
    kResultRecvFailed = 4,
    kResultBioWriteFailed = 5,
    kResultVerifyFailed = 6,
  };
  static const uint32_t kSendBufferSize = 32768;
  static const uint32_t kRecvBufferSize = 131072;

  // The TLS state record. Every pointer is owned by the record; pReadBio and
  // pWriteBio are owned through pSsl once SSL_set_bio has run.
  struct SslContext {
    ssl_st* pSsl = nullptr;
    ssl_ctx_st* pSslCtx = nullptr;
    bio_st* pReadBio = nullptr;    // network -> TLS
    bio_st* pWriteBio = nullptr;   // TLS -> network
    CByteBuffer* send_buf = nullptr;  // ciphertext waiting for the socket
    CByteBuffer* recv_buf = nullptr;  // ciphertext waiting for the read BIO
    CZNITCPSocket* pSocket = nullptr; // the socket on the connected descriptor
  };

  // Takes ownership of the connected descriptor s. Without a TLS state record
  // (an OpenSSL allocation failed) the descriptor is closed and no socket is
  // made. pSink is borrowed and must outlive the handshake or be cleared with
  // SetSink.
  CZNSslProcessor(znsocket_t s, const zn::strutf8& strSSLName, ISslProcessorSink* pSink,
                  const CZNTlsVerify& verify = CZNTlsVerify());
  CZNSslProcessor(const CZNSslProcessor&) = delete;
  CZNSslProcessor& operator=(const CZNSslProcessor&) = delete;

  bool HasSslContext() const { return ssl_ctx != nullptr; }
  bool IsHandshakeDone() const { return m_bHandshakeDone; }
  void ClearHandshakeDone() { m_bHandshakeDone = false; }
  // Replaces the sink (null: results are dropped).
  void SetSink(ISslProcessorSink* pSink) { m_pSink = pSink; }

  // False without a TLS state record; else clears the handshake flag, makes one
  // handshake step and returns true. The sink may hear the result inside.
  bool StartHandshake();
  // One handshake step.
  void _https_connect();
  // The socket, or null without a TLS state record. Owned by the processor.
  CZNITCPSocket* GetSocket() const;

  // Feeds the buffered ciphertext to TLS and reads up to len plaintext bytes.
  // The server's close_notify or a fatal TLS error ends the stream: the
  // plaintext before it is returned, every later call returns 0, and
  // IsStreamEnded turns true.
  int ReadData(void* pBuf, uint32_t len);
  // The TLS stream has ended (close_notify or a fatal error) although the TCP
  // connection may still be open: for the reader it is closed.
  bool IsStreamEnded() const { return m_bStreamEnded; }
  // It ended by a fatal TLS error, not by close_notify.
  bool IsStreamBroken() const { return m_bStreamBroken; }
  // Encrypts as much of the data as TLS takes and flushes; the plaintext count.
  int WriteData(const void* pData, uint32_t len);
  bool IsAllDataSent();
  bool HasMoreDataToRead();
  // Moves at most one send buffer's worth of ciphertext to the socket.
  void FlushSendBuffer();
  void SetSendBufferSize(uint32_t n);
  void SetRecvBufferSize(uint32_t n);

  // Socket events: from the socket itself during the handshake, from
  // CHttpSocket afterwards.
  void OnRecv(CZNITCPSocket* pSocket) override;
  void OnSend(CZNITCPSocket* pSocket) override;
  void OnClose(CZNITCPSocket* pSocket) override;

  // The common-name check of a certificate subject in one-line form
  // ("/O=XX/CN=name"): kResultOk when the text after the first "/cn=" (case
  // folded, later fields included) matches strSSLName, honouring one leading
  // or inner "*" that stands for any run of characters; kResultVerifyFailed
  // otherwise. A mismatch is logged; a subject without "/cn=" is not.
  static int CheckSubjectName(const char* szSubject, const zn::strutf8& strSSLName);

 private:
  ~CZNSslProcessor() override;
  // Builds the TLS state record; null (after a level-1 line) on failure.
  static SslContext* CreateSslContext();
  static void FreeSslContext(SslContext* ctx);
  // kResultOk or kResultVerifyFailed for the peer certificate.
  int VerifyPeerCertificate();
  // With verification on: the trust store, the host check and the server
  // name of the session. False (logged) when OpenSSL refuses one of them.
  bool SetUpVerification();
  // With verification on: OpenSSL's verdict on the chain and the name.
  int VerifyChainAndName(X509* pCert);
  void Report(int result);
  // Moves the handshake bytes of the write BIO into send_buf; true when some
  // were moved.
  bool TakeHandshakeBytes();
  // Writes recv_buf's bytes into the read BIO; the BIO's result.
  int WriteRecvBufToBio();
  // Moves recv_buf's bytes into the read BIO while the BIO holds less than
  // kReadBioBacklog; the bytes moved.
  uint32_t FeedReadBio();
  // Takes the socket read that OnRecv left for later because recv_buf still
  // held bytes; reads only once recv_buf is empty.
  void ResumeSocketRead();
  // After the handshake: whether recv_buf may take a socket read now, and
  // how many bytes that read asks for.
  bool MayReadIntoRecvBuf() const;
  static uint32_t DataReadSize(uint32_t space) { return space < kDataReadSize ? space : kDataReadSize; }
  // Marks the stream ended after SSL_read failed with sslError (logged) and
  // drops the ciphertext still buffered.
  void EndStream(int sslError);

  // Ciphertext waiting in the read BIO is kept below this bound (two records
  // and their overhead). A memory BIO moves its unread bytes to the front on
  // every write, so a backlog that grew with the transfer would make each
  // read cost the whole backlog; and without a bound a fast server would
  // fill memory faster than the host reads.
  static constexpr uint32_t kReadBioBacklog = 34 * 1024;
  // After the handshake recv_buf takes a socket read only when it is empty,
  // and a read asks for at most this much. recv_buf then refills from its
  // front, so a connection touches kDataReadSize bytes of it rather than its
  // whole capacity: with hundreds of connections at once that is most of
  // their memory, and a larger read was not measurably cheaper per byte.
  static constexpr uint32_t kDataReadSize = 64 * 1024;

  SslContext* ssl_ctx;         // owned; null when making the OpenSSL objects failed
  ISslProcessorSink* m_pSink;  // borrowed, may be null
  zn::strutf8 m_strSSLName;    // the name the certificate's common name must match
  CZNTlsVerify m_oVerify;      // off by default
  bool m_bHandshakeDone;       // SSL_connect has succeeded: events are data transfer
  bool m_bReadDeferred = false;  // after the handshake, OnRecv found recv_buf holding bytes
                                 // and left the new ones in the socket; ReadData reads them
  bool m_bStreamEnded = false;   // close_notify or a fatal error seen by ReadData; never cleared
  bool m_bStreamBroken = false;  // that end was a fatal error; never cleared
};
