// SHA-256 digests for tests, as lower-case hex text, through OpenSSL's EVP
// interface: of a buffer, of a file, or fed piece by piece.
//
// Thread: a Sha256 object is used by one thread at a time; the free functions
// may be called from any thread.
#pragma once

#include <cstddef>
#include <string>

typedef struct evp_md_ctx_st EVP_MD_CTX;

namespace zntest {

class Sha256 final {
 public:
  Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  ~Sha256();
  void Update(const void* data, size_t len);
  // The digest of everything fed so far; the object is spent afterwards.
  std::string FinalHex();

 private:
  EVP_MD_CTX* m_pCtx;  // owned
};

std::string Sha256Hex(const void* data, size_t len);
inline std::string Sha256Hex(const std::string& bytes) { return Sha256Hex(bytes.data(), bytes.size()); }
// The digest of a file's content, or "" when it cannot be read.
std::string Sha256OfFile(const std::string& path);

}  // namespace zntest
