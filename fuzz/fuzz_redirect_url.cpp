// Resolves a relative Location against the current URL. Input: the base URL,
// a '\n', then the reference (each ends at its first zero byte, as the C
// strings the analysis passes do).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "http/CHttpResponseAnalyser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const void* nl = memchr(data, '\n', size);
  const size_t baseLen = nl ? static_cast<const uint8_t*>(nl) - data : size;
  const std::string base = std::string(text, baseLen).c_str();
  const std::string ref = nl ? std::string(text + baseLen + 1, size - baseLen - 1).c_str() : std::string();

  char* joined = zn::CHttpResponseAnalyser::MakeRedirectUrl(base.c_str(), ref.c_str());
  ZN_FUZZ_CHECK(joined != nullptr);
  const size_t len = strlen(joined);
  // The result is a prefix of the base, at most one "/", and the reference
  // with its leading "./" and "../" steps dropped: never longer than both
  // together plus the separator, and it always ends with what is left of the
  // reference.
  ZN_FUZZ_CHECK(len <= base.size() + ref.size() + 1);
  size_t skipped = 0;
  if (ref.compare(0, 2, "./") == 0) skipped = 2;
  while (ref.compare(skipped, 3, "../") == 0) skipped += 3;
  const size_t tail = ref[0] == '/' ? ref.size() : ref.size() - skipped;
  ZN_FUZZ_CHECK(len >= tail);
  ZN_FUZZ_CHECK(memcmp(joined + len - tail, ref.data() + (ref.size() - tail), tail) == 0);
  free(joined);

  // Null arguments read as empty texts.
  char* fromNull = zn::CHttpResponseAnalyser::MakeRedirectUrl(nullptr, ref.c_str());
  ZN_FUZZ_CHECK(fromNull != nullptr);
  free(fromNull);
  return 0;
}
