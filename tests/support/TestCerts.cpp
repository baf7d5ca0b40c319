#include "TestCerts.h"

#include <cstdio>

#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <utility>
#include <vector>

namespace zntest {

TestCert TestCert::Make(const std::string& subject) { return Make(subject, CertOptions()); }

TestCert TestCert::Make(const std::string& subject, const CertOptions& options) {
  TestCert out;
  std::shared_ptr<EVP_PKEY> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  std::shared_ptr<X509> cert(X509_new(), X509_free);
  if (!key || !cert) return out;
  X509_set_version(cert.get(), 2);
  unsigned char serial[8];
  if (RAND_bytes(serial, sizeof(serial)) != 1) return out;
  serial[0] &= 0x7F;  // keep the serial positive
  BIGNUM* bn = BN_bin2bn(serial, sizeof(serial), nullptr);
  if (!bn) return out;
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
  BN_free(bn);
  // An expired certificate ended a day ago.
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), (options.expired ? -48L : -24L) * 3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), options.expired ? -24L * 3600 : 30L * 24 * 3600);
  // "/A=1/B=2": each field in order; a field without "=" is an error.
  X509_NAME* name = X509_get_subject_name(cert.get());
  for (size_t pos = 0; pos < subject.size();) {
    size_t end = subject.find('/', pos + 1);
    if (end == std::string::npos) end = subject.size();
    const std::string field = subject.substr(pos + 1, end - pos - 1);
    const size_t eq = field.find('=');
    if (subject[pos] != '/' || eq == std::string::npos || eq == 0 ||
        X509_NAME_add_entry_by_txt(name, field.substr(0, eq).c_str(), MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(field.c_str() + eq + 1), -1, -1, 0) != 1) {
      return out;
    }
    pos = end;
  }
  // Extensions as "name:value" texts in OpenSSL's configuration syntax.
  X509V3_CTX ctx;
  const TestCert* issuer = options.issuer && options.issuer->valid() ? options.issuer : nullptr;
  X509V3_set_ctx(&ctx, issuer ? issuer->cert() : cert.get(), cert.get(), nullptr, nullptr, 0);
  std::vector<std::pair<const char*, std::string>> extensions;
  if (options.ca) extensions.push_back({"basicConstraints", "critical,CA:TRUE"});
  if (!options.altNames.empty()) extensions.push_back({"subjectAltName", options.altNames});
  for (const auto& e : extensions) {
    X509_EXTENSION* ext = X509V3_EXT_conf(nullptr, &ctx, e.first, e.second.c_str());
    const bool added = ext && X509_add_ext(cert.get(), ext, -1) == 1;
    X509_EXTENSION_free(ext);
    if (!added) return out;
  }
  X509_NAME* issuerName = issuer ? X509_get_subject_name(issuer->cert()) : name;
  EVP_PKEY* signer = issuer ? issuer->key() : key.get();
  if (X509_set_issuer_name(cert.get(), issuerName) != 1 || X509_set_pubkey(cert.get(), key.get()) != 1 ||
      X509_sign(cert.get(), signer, EVP_sha256()) <= 0) {
    return out;
  }
  out.m_pCert = cert;
  out.m_pKey = key;
  return out;
}

namespace {

// Writes a file through write (a PEM writer); false on any failure.
template <typename Write>
bool WritePem(const std::string& path, Write write) {
  FILE* f = std::fopen(path.c_str(), "wb");
  bool ok = f && write(f) == 1;
  if (f) ok = std::fclose(f) == 0 && ok;
  return ok;
}

}  // namespace

bool TestCert::WriteCertFile(const std::string& certPath) const {
  return valid() && WritePem(certPath, [this](FILE* f) { return PEM_write_X509(f, m_pCert.get()); });
}

bool TestCert::WriteFiles(const std::string& certPath, const std::string& keyPath) const {
  return WriteCertFile(certPath) && WritePem(keyPath, [this](FILE* f) {
           return PEM_write_PrivateKey(f, m_pKey.get(), nullptr, nullptr, 0, nullptr, nullptr);
         });
}

}  // namespace zntest
