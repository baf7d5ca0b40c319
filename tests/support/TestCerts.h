// Certificates made at test time: a fresh EC P-256 key and a self-signed
// certificate with a subject chosen by the test, in memory through the
// OpenSSL API (no external tool).
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

class TestCert final {
 public:
  // subject in OpenSSL's one-line form, "/O=XX/CN=Alpha.Beta"; "" makes an
  // empty subject. An unknown field name or a failed OpenSSL call gives an
  // invalid TestCert.
  static TestCert Make(const std::string& subject);

  bool valid() const { return m_pCert && m_pKey; }
  X509* cert() const { return m_pCert.get(); }    // owned by this value
  EVP_PKEY* key() const { return m_pKey.get(); }  // owned by this value
  // The subject as X509_NAME_oneline prints it.
  std::string SubjectLine() const;
  // Writes the certificate and the unencrypted key as PEM files (for servers
  // configured by file, such as nginx). False on any failure.
  bool WriteFiles(const std::string& certPath, const std::string& keyPath) const;

 private:
  std::shared_ptr<X509> m_pCert;
  std::shared_ptr<EVP_PKEY> m_pKey;
};

}  // namespace zntest
