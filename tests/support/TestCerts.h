// Certificates made at test time: a fresh EC P-256 key and a certificate with
// a subject chosen by the test, self-signed or signed by a test authority,
// with subjectAltName entries and an expired validity when asked, in memory
// through the OpenSSL API (no external tool).
//
// Thread: a TestCert is an immutable value once made; copies share the same
// OpenSSL objects and may be read from any thread (for example by a server
// thread loading them into an SSL_CTX).
#pragma once

#include <memory>
#include <string>

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace zntest {

class TestCert;

// What a certificate carries beyond its subject.
struct CertOptions {
  // subjectAltName entries in OpenSSL's syntax, "DNS:a.test,IP:127.0.0.1"; "" for none.
  std::string altNames;
  const TestCert* issuer = nullptr;  // borrowed; signs the certificate (null: self-signed)
  bool ca = false;                   // a certificate authority (basicConstraints CA:TRUE)
  bool expired = false;              // its validity ended a day ago
};

class TestCert final {
 public:
  // subject in OpenSSL's one-line form, "/O=XX/CN=Alpha.Beta"; "" makes an
  // empty subject. An unknown field name or a failed OpenSSL call gives an
  // invalid TestCert.
  static TestCert Make(const std::string& subject);
  static TestCert Make(const std::string& subject, const CertOptions& options);

  bool valid() const { return m_pCert && m_pKey; }
  X509* cert() const { return m_pCert.get(); }    // owned by this value
  EVP_PKEY* key() const { return m_pKey.get(); }  // owned by this value
  // Writes the certificate and the unencrypted key as PEM files (for servers
  // configured by file, such as nginx). False on any failure.
  bool WriteFiles(const std::string& certPath, const std::string& keyPath) const;
  // The certificate alone, as a PEM file (a trust anchor for the client).
  bool WriteCertFile(const std::string& certPath) const;

 private:
  std::shared_ptr<X509> m_pCert;
  std::shared_ptr<EVP_PKEY> m_pKey;
};

}  // namespace zntest
