#include "TestSha256.h"

#include <openssl/evp.h>

#include <algorithm>
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

void FillPattern(uint64_t seed, uint64_t offset, void* out, size_t len) {
  unsigned char* p = static_cast<unsigned char*>(out);
  for (size_t i = 0; i < len;) {
    const uint64_t pos = offset + i;
    uint64_t x = seed * 0xD1B54A32D192ED03ull + pos / 8 + 0x9E3779B97F4A7C15ull;  // SplitMix64
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x = (x ^ (x >> 31)) >> (8 * (pos % 8));
    for (uint64_t k = pos % 8; k < 8 && i < len; ++k, x >>= 8) p[i++] = static_cast<unsigned char>(x);
  }
}

std::string Pattern(size_t n, uint64_t seed, uint64_t offset) {
  std::string s(n, '\0');
  FillPattern(seed, offset, s.data(), n);
  return s;
}

std::string PatternSha256(uint64_t seed, uint64_t n) {
  Sha256 h;
  std::vector<unsigned char> buf(1 << 16);
  for (uint64_t done = 0; done < n; done += buf.size()) {
    const size_t take = size_t(std::min<uint64_t>(buf.size(), n - done));
    FillPattern(seed, done, buf.data(), take);
    h.Update(buf.data(), take);
  }
  return h.FinalHex();
}

}  // namespace zntest
