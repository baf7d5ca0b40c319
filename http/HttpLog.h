// Log tags of the message layer: the client's tag for everything the client
// itself reports, and the tag of the chunked decoder and the cookie jar.
#pragma once

namespace zn {

constexpr const char* kHttpClientLogTag = "znhttp";
constexpr const char* kHttpLogTag = "Http";

// Log levels of znsyslog.
constexpr int kLogFailure = 1;
constexpr int kLogWarning = 2;
constexpr int kLogEvent = 3;
constexpr int kLogDetail = 4;

}  // namespace zn
