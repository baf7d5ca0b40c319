#include "body/ZnRequestId.h"

namespace zn {
std::atomic<uint64_t> g_qwHttpRequestId{0};
}  // namespace zn
