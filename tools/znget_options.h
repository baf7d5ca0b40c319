// znget's command line: the options, the URL as the library reads it, and
// the dates znget reads and writes. Runs on the main thread before any
// transfer; a bad option ends the program with kExitUsage.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "znhttpclient.h"

namespace znget {

constexpr int kExitUsage = 64;
// The most one body in memory may hold: the upload interface counts its
// length in a signed 32-bit number.
constexpr uint64_t kMaxBodyBytes = INT32_MAX;

struct Options {
  std::string url;
  std::string output;  // empty: name from the response; "-": standard output
  bool resume = false;
  bool clobber = false;
  bool haveIfModifiedSince = false;
  SYSTEMTIME ifModifiedSince = {};
  std::vector<std::string> headers;
  bool haveData = false;
  std::string data;  // at most kMaxBodyBytes
  std::string dataFile;
  uint64_t offset = 0;
  std::vector<std::pair<std::string, std::string>> formFields;
  std::string formFileName, formFilePath;
  std::string rawHead, rawHost;
  uint16_t rawPort = 0;
  uint32_t connectTimeout = 5000, recvTimeout = 60000;
  int32_t retries = 3;
  bool proxy = false;
  std::string bindIp;
  uint16_t bindPort = 0;
  std::string certName;
  std::string caCert;     // trust anchors in place of the system's store
  bool insecure = false;  // the library's default check (common name only)
  bool printHead = false;
  int progress = -1;  // -1: when standard error is a terminal
  bool quiet = false;
  int verbosity = 0;
  int repeat = 1;
  uint64_t stopAt = 0;  // stop as an interrupt does once the file holds this much; 0: never
};

// The options of argv (UTF-8); prints the usage and exits on -h, exits with
// kExitUsage on a bad option.
Options ParseOptions(const std::vector<std::string>& argv);

// Brings a URL to the form the library reads: the scheme in lower case, the
// port of an https URL written out (the library's default is 80), no fragment,
// and spaces, control bytes and bytes above 0x7F of the path and query
// percent-encoded. False, with the reason, for a URL znget cannot fetch.
bool NormalizeUrl(const std::string& in, std::string* out, std::string* why);

// "Sun, 06 Nov 1994 08:49:37 GMT" as seconds since 1970-01-01; false for any other text.
bool ParseHttpDate(const char* text, int64_t* seconds);

// A GET whose body goes into a file (not an upload, not standard output).
bool IsFileDownload(const Options& o);

}  // namespace znget
