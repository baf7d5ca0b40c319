// SHA-256 digests for tests, as lower-case hex text, through OpenSSL's EVP
// interface: of a buffer, of a file, or fed piece by piece; and the one
// deterministic byte pattern the tests send, store and check.
//
// Thread: a Sha256 object is used by one thread at a time; the free functions
// may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
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

// The pattern for a seed: byte i is byte i % 8 of SplitMix64(seed * K + i / 8),
// K a large odd number so that no two seeds share a stretch. Any range of it
// can be made on its own (both ends of a transfer, a file and a piece of it
// agree), and a lost, repeated or moved byte shows.
void FillPattern(uint64_t seed, uint64_t offset, void* out, size_t len);
// n bytes of the pattern for seed, from offset.
std::string Pattern(size_t n, uint64_t seed, uint64_t offset = 0);
// The digest of the first n bytes of the pattern for seed.
std::string PatternSha256(uint64_t seed, uint64_t n);

}  // namespace zntest
