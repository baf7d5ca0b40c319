#include "TestSha256.h"

#include <openssl/evp.h>

#include <cstdio>
#include <vector>

namespace zntest {

Sha256::Sha256() : m_pCtx(EVP_MD_CTX_new()) {
  if (m_pCtx) EVP_DigestInit_ex(m_pCtx, EVP_sha256(), nullptr);
}

Sha256::~Sha256() { EVP_MD_CTX_free(m_pCtx); }

void Sha256::Update(const void* data, size_t len) {
  if (m_pCtx && len) EVP_DigestUpdate(m_pCtx, data, len);
}

std::string Sha256::FinalHex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  if (!m_pCtx || EVP_DigestFinal_ex(m_pCtx, digest, &len) != 1) return std::string();
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned i = 0; i < len; ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 15];
  }
  return hex;
}

std::string Sha256Hex(const void* data, size_t len) {
  Sha256 h;
  h.Update(data, len);
  return h.FinalHex();
}

std::string Sha256OfFile(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return std::string();
  Sha256 h;
  std::vector<unsigned char> buf(1 << 20);
  size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0) h.Update(buf.data(), n);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  return failed ? std::string() : h.FinalHex();
}

}  // namespace zntest
