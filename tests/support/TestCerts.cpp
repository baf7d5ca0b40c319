#include "TestCerts.h"

#include <cstdio>
#include <vector>

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

namespace zntest {
namespace {

const long kValidBeforeNowSeconds = 24L * 3600;
const long kValidAfterNowSeconds = 30L * 24 * 3600;

// Splits "/A=1/B=2" into its (key, value) pairs; false on a field without "=".
bool ParseSubject(const std::string& subject, std::vector<std::pair<std::string, std::string>>* fields) {
  size_t pos = 0;
  while (pos < subject.size()) {
    if (subject[pos] != '/') return false;
    size_t end = subject.find('/', pos + 1);
    if (end == std::string::npos) end = subject.size();
    const std::string field = subject.substr(pos + 1, end - pos - 1);
    const size_t eq = field.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    fields->emplace_back(field.substr(0, eq), field.substr(eq + 1));
    pos = end;
  }
  return true;
}

std::string BioToString(BIO* bio) {
  char* data = nullptr;
  const long len = BIO_get_mem_data(bio, &data);
  return len > 0 ? std::string(data, size_t(len)) : std::string();
}

}  // namespace

TestCert TestCert::Make(const std::string& subject) {
  TestCert out;
  std::vector<std::pair<std::string, std::string>> fields;
  if (!ParseSubject(subject, &fields)) return out;

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
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -kValidBeforeNowSeconds);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValidAfterNowSeconds);

  X509_NAME* name = X509_get_subject_name(cert.get());
  for (const auto& f : fields) {
    if (X509_NAME_add_entry_by_txt(name, f.first.c_str(), MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(f.second.c_str()), -1, -1, 0) != 1) {
      return out;
    }
  }
  if (X509_set_issuer_name(cert.get(), name) != 1) return out;
  if (X509_set_pubkey(cert.get(), key.get()) != 1) return out;
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0) return out;

  out.m_pCert = cert;
  out.m_pKey = key;
  return out;
}

std::string TestCert::SubjectLine() const {
  if (!m_pCert) return std::string();
  char* line = X509_NAME_oneline(X509_get_subject_name(m_pCert.get()), nullptr, 0);
  if (!line) return std::string();
  std::string s(line);
  OPENSSL_free(line);
  return s;
}

std::string TestCert::CertPem() const {
  if (!m_pCert) return std::string();
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!bio || PEM_write_bio_X509(bio.get(), m_pCert.get()) != 1) return std::string();
  return BioToString(bio.get());
}

std::string TestCert::KeyPem() const {
  if (!m_pKey) return std::string();
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), m_pKey.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    return std::string();
  }
  return BioToString(bio.get());
}

bool TestCert::WriteFiles(const std::string& certPath, const std::string& keyPath) const {
  const std::string certPem = CertPem();
  const std::string keyPem = KeyPem();
  if (certPem.empty() || keyPem.empty()) return false;
  const std::pair<const std::string*, const std::string*> files[] = {{&certPath, &certPem}, {&keyPath, &keyPem}};
  for (const auto& f : files) {
    FILE* fp = std::fopen(f.first->c_str(), "wb");
    if (!fp) return false;
    const bool ok = std::fwrite(f.second->data(), 1, f.second->size(), fp) == f.second->size();
    if (std::fclose(fp) != 0 || !ok) return false;
  }
  return true;
}

}  // namespace zntest
