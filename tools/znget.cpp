// znget: fetches and sends HTTP and HTTPS resources with the client library.
//
// A host program written only against the public header: it makes one client
// without a notify task (callbacks arrive on the client's worker thread),
// starts one transfer at a time and waits for OnDownloadComplete. The exit
// status is the library's result code; bad options give 64.
//
// A download goes into a part file beside its target and replaces the target
// only when it succeeded, so that a 304, a failure or an interrupt leaves the
// target as it was; -C writes into the target itself.
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#include <sys/utime.h>
#include <windows.h>
#include <shellapi.h>
#else
#include <utime.h>
#endif

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "znhttpclient.h"
#include "znhttpclienttls.h"

namespace {

// Files znget opens are not handed to programs it might start.
#ifdef O_CLOEXEC
constexpr int kNoInherit = O_CLOEXEC;
#else
constexpr int kNoInherit = 0;  // the C runtime's files are not inherited there
#endif

constexpr int kExitUsage = 64;
constexpr int kExitInterrupted = 130;
constexpr uint8_t kAllNotifications = 0x1F;

const char kUsage[] =
    "usage: znget [options] URL\n"
    "       znget [options] --raw-head FILE --host HOST --port PORT\n"
    "\n"
    "Downloads:\n"
    "  -o FILE                 write the body to FILE ('-' for standard output), replacing\n"
    "                          it once the download succeeded; without -o the name comes\n"
    "                          from Content-Disposition or the URL and an existing file\n"
    "                          of that name is kept (exit 4)\n"
    "  --clobber               let a name from the server replace an existing file\n"
    "  -C                      resume: keep what FILE holds and ask for the rest\n"
    "  --if-modified-since D   only when changed since D (an HTTP date such as\n"
    "                          'Sun, 06 Nov 1994 08:49:37 GMT', or a file whose time to use)\n"
    "  --repeat N              run the same transfer N times on one client (the\n"
    "                          connection is kept between them)\n"
    "Requests and uploads (the answer goes to -o FILE or standard output):\n"
    "  --data TEXT             POST TEXT as the body (form-urlencoded unless -H gives a\n"
    "                          Content-Type); --data @FILE reads it from FILE ('-': standard\n"
    "                          input) without its line breaks\n"
    "  --data-file FILE        POST the bytes of FILE\n"
    "  --offset N              with --data-file: start at byte N of FILE\n"
    "  -F name=value           multipart form field (repeatable)\n"
    "  -F name=@path           multipart file part (at most one)\n"
    "  --raw-head FILE         send FILE as the request head (with --host, --port and\n"
    "                          optionally --data or --data-file as the body)\n"
    "Connection:\n"
    "  -H 'Name: value'        extra request header (repeatable)\n"
    "  --connect-timeout MS    connect time-out (default 5000)\n"
    "  --timeout MS            data receive time-out (default 60000)\n"
    "  --retry N               attempts per request (default 3)\n"
    "  --proxy                 use the system proxy (https_proxy, http_proxy, all_proxy)\n"
    "  --bind IP[:PORT]        local address to connect from ([v6]:port for IPv6)\n"
    "  --cert-name NAME        name the server certificate must carry\n"
    "  --cacert FILE           trust the certificates of FILE (PEM) instead of the\n"
    "                          system's store when verifying an HTTPS server\n"
    "  -k, --insecure          do not verify the server's certificate chain: only its\n"
    "                          common name is compared with the host (or --cert-name)\n"
    "Output:\n"
    "  --head                  print the response head\n"
    "  --progress              show the progress bar even when standard error is not\n"
    "                          a terminal\n"
    "  -q                      no progress bar and no summary\n"
    "  -v, -vv, -vvv           show the library's log (up to level 2, 3, 4) on standard error\n"
    "  -h, --help              this text\n"
    "\n"
    "Exit status: the library's result code\n"
    "  0 success, 1 not modified, 2 failure, 3 refused (401, 402, or a close before\n"
    "  the body), 4 local file failure, 5 no connection, 7 not found, 8 service\n"
    "  unavailable, 10 bad URL or upload source; 64 bad options, 130 interrupted\n"
    "  (the bytes received stay in the file; -C -o FILE resumes).\n";

struct Options {
  std::string url;
  std::string output;  // empty: name from the response; "-": standard output
  bool resume = false;
  bool clobber = false;
  bool haveIfModifiedSince = false;
  SYSTEMTIME ifModifiedSince = {};
  std::vector<std::string> headers;
  bool haveData = false;
  std::string data;
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
};

[[noreturn]] void UsageError(const char* fmt, const char* arg) {
  fprintf(stderr, "znget: ");
  fprintf(stderr, fmt, arg);
  fprintf(stderr, "\n(znget --help lists the options)\n");
  exit(kExitUsage);
}

bool ParseNumber(const char* text, uint64_t max, uint64_t* out) {
  if (!text || !*text) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(text, &end, 10);
  if (errno || *end || text[0] == '-' || v > max) return false;
  *out = v;
  return true;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian calendar).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// "Sun, 06 Nov 1994 08:49:37 GMT" into tm; false for anything else.
bool ParseHttpDate(const char* text, struct tm* tm) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char wday[4] = {0}, mon[4] = {0};
  int day = 0, year = 0, hour = 0, minute = 0, second = 0, used = 0;
  if (sscanf(text, "%3[A-Za-z], %2d %3[A-Za-z] %4d %2d:%2d:%2d GMT%n", wday, &day, mon, &year, &hour, &minute,
             &second, &used) != 7 ||
      text[used] != '\0') {
    return false;
  }
  for (int m = 0; m < 12; ++m) {
    if (strcmp(mon, kMonths[m]) != 0) continue;
    tm->tm_year = year - 1900;
    tm->tm_mon = m;
    tm->tm_mday = day;
    tm->tm_hour = hour;
    tm->tm_min = minute;
    tm->tm_sec = second;
    return day >= 1 && day <= 31 && hour < 24 && minute < 60 && second <= 60;
  }
  return false;
}

// An HTTP date (IMF-fixdate) or the modification time of a file.
bool ParseIfModifiedSince(const char* text, SYSTEMTIME* st) {
  struct tm tm = {};
  if (!ParseHttpDate(text, &tm)) {
    struct stat sb;
    if (stat(text, &sb) != 0) return false;
    time_t t = sb.st_mtime;
    const struct tm* utc = gmtime(&t);  // znget has one thread here
    if (!utc) return false;
    tm = *utc;
  }
  st->wYear = static_cast<uint16_t>(tm.tm_year + 1900);
  st->wMonth = static_cast<uint16_t>(tm.tm_mon + 1);
  st->wDay = static_cast<uint16_t>(tm.tm_mday);
  st->wHour = static_cast<uint16_t>(tm.tm_hour);
  st->wMinute = static_cast<uint16_t>(tm.tm_min);
  st->wSecond = static_cast<uint16_t>(tm.tm_sec);
  st->wMilliseconds = 0;
  // Day of week from the date itself, whatever the text named (1970-01-01 was a Thursday).
  const int64_t days = DaysFromCivil(st->wYear, st->wMonth, st->wDay);
  st->wDayOfWeek = static_cast<uint16_t>(((days % 7) + 11) % 7);
  return true;
}

bool ParseBind(const std::string& text, std::string* ip, uint16_t* port) {
  std::string host = text, portText;
  if (!text.empty() && text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':') return false;
      portText = text.substr(close + 2);
    }
  } else if (text.find(':') != std::string::npos && text.find(':') == text.rfind(':')) {
    host = text.substr(0, text.find(':'));
    portText = text.substr(text.find(':') + 1);
  }
  uint64_t p = 0;
  if (!portText.empty() && !ParseNumber(portText.c_str(), 65535, &p)) return false;
  if (host.empty()) return false;
  *ip = host;
  *port = static_cast<uint16_t>(p);
  return true;
}

bool ReadFile(const std::string& path, std::string* out) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return false;
  char buf[65536];
  size_t n;
  out->clear();
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  bool ok = !ferror(f);
  fclose(f);
  return ok;
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  auto need = [&](int& i) -> const char* {
    if (i + 1 >= argc) UsageError("option %s needs a value", argv[i]);
    return argv[++i];
  };
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    uint64_t n = 0;
    if (a == "-h" || a == "--help") {
      fputs(kUsage, stdout);
      exit(0);
    } else if (a == "-o") {
      o.output = need(i);
    } else if (a == "-C") {
      o.resume = true;
    } else if (a == "--clobber") {
      o.clobber = true;
    } else if (a == "--if-modified-since") {
      const char* v = need(i);
      if (!ParseIfModifiedSince(v, &o.ifModifiedSince))
        UsageError("--if-modified-since: '%s' is neither an HTTP date nor a file", v);
      o.haveIfModifiedSince = true;
    } else if (a == "-H") {
      std::string h = need(i);
      if (h.find(':') == std::string::npos || h.find(':') == 0) UsageError("-H: '%s' is not 'Name: value'", h.c_str());
      o.headers.push_back(h);
    } else if (a == "--data") {
      o.data = need(i);
      o.haveData = true;
      if (!o.data.empty() && o.data[0] == '@') {
        const std::string path = o.data.substr(1);
        if (!ReadFile(path == "-" ? "/dev/stdin" : path, &o.data)) UsageError("--data: cannot read '%s'", path.c_str());
        // As curl's -d: the lines of the file are joined.
        o.data.erase(std::remove_if(o.data.begin(), o.data.end(), [](char c) { return c == '\r' || c == '\n'; }),
                     o.data.end());
      }
    } else if (a == "--data-file") {
      o.dataFile = need(i);
    } else if (a == "--offset") {
      const char* v = need(i);
      if (!ParseNumber(v, UINT64_MAX, &o.offset)) UsageError("--offset: '%s' is not a number", v);
    } else if (a == "-F") {
      std::string f = need(i);
      size_t eq = f.find('=');
      if (eq == std::string::npos || eq == 0) UsageError("-F: '%s' is not name=value or name=@path", f.c_str());
      std::string name = f.substr(0, eq), value = f.substr(eq + 1);
      if (!value.empty() && value[0] == '@') {
        if (!o.formFilePath.empty()) UsageError("-F: only one file part is possible ('%s')", f.c_str());
        o.formFileName = name;
        o.formFilePath = value.substr(1);
      } else {
        o.formFields.emplace_back(name, value);
      }
    } else if (a == "--raw-head") {
      o.rawHead = need(i);
    } else if (a == "--host") {
      o.rawHost = need(i);
    } else if (a == "--port") {
      const char* v = need(i);
      if (!ParseNumber(v, 65535, &n) || n == 0) UsageError("--port: '%s' is not a port", v);
      o.rawPort = static_cast<uint16_t>(n);
    } else if (a == "--connect-timeout" || a == "--timeout") {
      const char* v = need(i);
      if (!ParseNumber(v, UINT32_MAX, &n)) UsageError("'%s' is not a number of milliseconds", v);
      (a == "--timeout" ? o.recvTimeout : o.connectTimeout) = static_cast<uint32_t>(n);
    } else if (a == "--retry") {
      const char* v = need(i);
      if (!ParseNumber(v, 1000, &n) || n == 0) UsageError("--retry: '%s' is not a count from 1 to 1000", v);
      o.retries = static_cast<int32_t>(n);
    } else if (a == "--repeat") {
      const char* v = need(i);
      if (!ParseNumber(v, 1000000, &n) || n == 0) UsageError("--repeat: '%s' is not a count", v);
      o.repeat = static_cast<int>(n);
    } else if (a == "--proxy") {
      o.proxy = true;
    } else if (a == "--bind") {
      const char* v = need(i);
      if (!ParseBind(v, &o.bindIp, &o.bindPort)) UsageError("--bind: '%s' is not IP[:PORT]", v);
    } else if (a == "--cert-name") {
      o.certName = need(i);
    } else if (a == "--cacert") {
      o.caCert = need(i);
    } else if (a == "-k" || a == "--insecure") {
      o.insecure = true;
    } else if (a == "--head") {
      o.printHead = true;
    } else if (a == "--progress") {
      o.progress = 1;
    } else if (a == "-q") {
      o.quiet = true;
      o.progress = 0;
    } else if (a == "-v" || a == "-vv" || a == "-vvv") {
      o.verbosity = static_cast<int>(a.size()) - 1;
    } else if (a.size() > 1 && a[0] == '-') {
      UsageError("unknown option %s", a.c_str());
    } else if (o.url.empty()) {
      o.url = a;
    } else {
      UsageError("more than one URL: %s", a.c_str());
    }
  }
  if (!o.rawHead.empty()) {
    if (o.rawHost.empty() || o.rawPort == 0) UsageError("%s needs --host and --port", "--raw-head");
  } else if (o.url.empty()) {
    UsageError("%s", "no URL given");
  }
  int bodies = (o.haveData ? 1 : 0) + (o.dataFile.empty() ? 0 : 1) +
               ((o.formFields.empty() && o.formFilePath.empty()) ? 0 : 1);
  if (bodies > 1) UsageError("%s", "--data, --data-file and -F exclude each other");
  if (o.offset && o.dataFile.empty()) UsageError("%s", "--offset goes with --data-file");
  if (o.resume && (o.output.empty() || o.output == "-")) UsageError("%s", "-C needs -o FILE");
  return o;
}

// Writes the body to standard output as it arrives.
class StdoutStream final : public IZNStreamWriter {
 public:
  uint64_t Write(const void* pData, uint32_t len) override {
    const char* p = static_cast<const char*>(pData);
    uint32_t left = len;
    while (left) {
      ssize_t n = ::write(STDOUT_FILENO, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return 0;
      p += n;
      left -= static_cast<uint32_t>(n);
    }
    return len;
  }
};

std::string HumanBytes(double v) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int u = 0;
  while (v >= 1024 && u < 4) {
    v /= 1024;
    ++u;
  }
  char buf[32];
  snprintf(buf, sizeof buf, u ? "%.1f %s" : "%.0f %s", v, units[u]);
  return buf;
}

// The callback object: progress bar, summary and the completion handshake
// with the main thread. Its operations run on the client's worker thread.
class Notify final : public IHttpClientNotify {
 public:
  explicit Notify(bool bar) : m_bBar(bar) {}

  void OnConnecting(zn::IHttpClient*, zn::strutf16&) override {}
  void OnConnected(zn::IHttpClient*) override {}
  void OnDownloadStart(zn::IHttpClient*, uint32_t present, uint32_t total) override {
    m_qwStartDone = present;
    m_qwTotal = total;
  }
  void OnProgress(zn::IHttpClient*, uint64_t done, uint64_t total, uint32_t rate, uint64_t) override {
    m_qwDone = done;
    m_qwTotal = total;
    if (!m_bBar) return;
    std::string line = "\r" + HumanBytes(static_cast<double>(done));
    char buf[128];
    if (total) {
      int pct = static_cast<int>(done * 100 / total);
      line += " / " + HumanBytes(static_cast<double>(total));
      int width = 30, fill = static_cast<int>(done * width / total);
      snprintf(buf, sizeof buf, " %3d%% [%-*s]", pct, width, std::string(fill > width ? width : fill, '#').c_str());
      line += buf;
    }
    line += "  " + HumanBytes(rate) + "/s";
    if (total && rate && done <= total) {
      uint64_t left = (total - done) / rate;
      snprintf(buf, sizeof buf, "  %02u:%02u left", static_cast<unsigned>(left / 60), static_cast<unsigned>(left % 60));
      line += buf;
    }
    line += "   ";
    fputs(line.c_str(), stderr);
    m_bBarShown = true;
  }
  void OnRedirected(zn::IHttpClient*, zn::strutf16& url) override {
    if (m_bBar) fprintf(stderr, "%sredirected to %s\n", m_bBarShown ? "\n" : "", zn::strutf8(url).c_str());
    m_bBarShown = false;
  }
  void OnDownloadComplete(zn::IHttpClient*, uint32_t code) override {
    if (m_bBarShown) fputs("\n", stderr);
    m_bBarShown = false;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nCode = static_cast<int>(code);
    m_bDone = true;
    m_cv.notify_all();
  }

  // Waits for the completion; -1 when interrupted first.
  int Wait(const std::atomic<bool>& interrupted) {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_bDone) {
      if (interrupted.load()) return -1;
      m_cv.wait_for(lock, std::chrono::milliseconds(100));
    }
    m_bDone = false;
    return m_nCode;
  }
  uint64_t Done() const { return m_qwDone; }

 private:
  const bool m_bBar;
  bool m_bBarShown = false;
  std::atomic<uint64_t> m_qwDone{0}, m_qwTotal{0}, m_qwStartDone{0};
  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_bDone = false;  // guarded by m_mutex
  int m_nCode = 0;       // guarded by m_mutex
};

std::atomic<bool> g_interrupted{false};
void OnSignal(int) { g_interrupted.store(true); }

const char* CodeText(int code) {
  switch (code) {
    case 0: return "success";
    case 1: return "not modified";
    case 2: return "failed";
    case 3: return "refused";
    case 4: return "local file failure";
    case 5: return "no connection";
    case 7: return "not found";
    case 8: return "service unavailable";
    case 10: return "bad URL or upload source";
    default: return "failed";
  }
}

// The last path component of a name from the server, safe to create here.
std::string SafeFileName(const std::string& name) {
  size_t slash = name.find_last_of("/\\");
  std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
  std::string out;
  for (char c : base) out += (static_cast<unsigned char>(c) < 0x20 || c == ':') ? '_' : c;
  while (!out.empty() && out[0] == '.') out.erase(0, 1);
  return out.empty() ? "index.html" : out;
}

// Where a named output file can be created: its folder must exist.
bool CheckOutputPath(const std::string& path) {
  std::string dir = ".";
  size_t slash = path.rfind('/');
  if (slash != std::string::npos) dir = slash == 0 ? "/" : path.substr(0, slash);
  struct stat sb;
  if (stat(dir.c_str(), &sb) != 0 || !S_ISDIR(sb.st_mode)) {
    fprintf(stderr, "znget: the folder of %s does not exist\n", path.c_str());
    return false;
  }
  struct stat fb;
  if (stat(path.c_str(), &fb) == 0 && S_ISDIR(fb.st_mode)) {
    fprintf(stderr, "znget: %s is a folder\n", path.c_str());
    return false;
  }
  return true;
}

// Brings a URL to the form the library reads: the scheme in lower case, the
// port of an https URL written out (the library's default is 80), no fragment,
// and spaces, control bytes and bytes above 0x7F of the path and query
// percent-encoded. False, with the reason, for a URL znget cannot fetch.
bool NormalizeUrl(const std::string& in, std::string* out, std::string* why) {
  const size_t sep = in.find("://");
  if (sep == std::string::npos) {
    *why = in + " has no scheme; write http://" + in + " or https://" + in;
    return false;
  }
  std::string scheme = in.substr(0, sep);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
  if (scheme != "http" && scheme != "https") {
    *why = "the scheme of " + in + " is not supported (http and https are)";
    return false;
  }
  const std::string rest = in.substr(sep + 3);
  const size_t end = rest.find_first_of("/?#");
  std::string authority = rest.substr(0, end), tail = end == std::string::npos ? "" : rest.substr(end);
  tail = tail.substr(0, tail.find('#'));
  if (scheme == "https") {
    const std::string hostPort = authority.substr(authority.rfind('@') + 1);
    const size_t colon = hostPort.rfind(':'), bracket = hostPort.rfind(']');
    const bool portGiven = colon != std::string::npos && (bracket == std::string::npos || colon > bracket);
    if (!portGiven) authority += ":443";
    else if (colon + 1 == hostPort.size()) authority += "443";
  }
  *out = scheme + "://" + authority;
  for (unsigned char c : tail) {
    if (c > 0x20 && c < 0x7F) {
      *out += static_cast<char>(c);
    } else {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02X", c);
      *out += hex;
    }
  }
  return true;
}

// The library's log. Lines up to the level -v asks for go to standard error;
// lines of levels 1 and 2 are kept to explain a failure in the final message.
// The platform's and the connector's lines carry the system's own text (a
// resolver or socket error), so the first of them is the cause; without one,
// the client's last line is. The sink runs on the library's threads.
std::mutex g_logMutex;
int g_logVerbosity = 0;             // set before the first request
std::string g_firstSystemLine;      // guarded by g_logMutex
std::string g_lastClientLine;       // guarded by g_logMutex
const char kClientLogTag[] = "znhttp";

void LogSink(int level, const char* tag, int line, const char* text, void*) {
  if (g_logVerbosity > 0 && level <= g_logVerbosity + 1) fprintf(stderr, "[%d] %s:%d %s\n", level, tag, line, text);
  // The completion line only repeats the result code.
  if (level > 2 || strstr(text, "NotifyComplete")) return;
  std::lock_guard<std::mutex> lock(g_logMutex);
  if (strcmp(tag, kClientLogTag) == 0) g_lastClientLine = text;
  else if (g_firstSystemLine.empty()) g_firstSystemLine = text;
}

void ForgetLoggedCause() {
  std::lock_guard<std::mutex> lock(g_logMutex);
  g_firstSystemLine.clear();
  g_lastClientLine.clear();
}

// The kept line that explains a failure, without its request number, with the
// text of an errno it gives as a number; "" when none was logged.
std::string LoggedCause() {
  std::lock_guard<std::mutex> lock(g_logMutex);
  std::string cause = g_firstSystemLine.empty() ? g_lastClientLine : g_firstSystemLine;
  if (cause.compare(0, 3, "Id[") == 0 && cause.find("] ") != std::string::npos) cause.erase(0, cause.find("] ") + 2);
  const size_t at = cause.find("errno[");
  if (at != std::string::npos) cause += std::string(" (") + strerror(atoi(cause.c_str() + at + 6)) + ")";
  return cause;
}

// Makes an empty file named BASE.XXXXXX.part to download into, beside BASE so
// that the final rename stays on one file system. Its mode is what fopen
// gives (0666 less the umask), not mkstemp's 0600, as it becomes the
// download. "" when no file can be made.
std::string CreatePartFile(const std::string& base) {
  const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = base + ".";
    for (int i = 0; i < 6; ++i) name += letters[random() % (sizeof letters - 1)];
    name += ".part";
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | kNoInherit, 0666);
    if (fd >= 0) {
      close(fd);
      return name;
    }
    if (errno != EEXIST) break;
  }
  return "";
}

// Gives a downloaded file the server's modification time, so that a later
// --if-modified-since FILE asks with the server's own date (servers that
// answer 304 only to their exact date would otherwise always send it again).
void KeepServerTime(const std::string& path, const char* httpDate) {
  struct tm tm = {};
  if (!ParseHttpDate(httpDate, &tm)) return;
  const int64_t days = DaysFromCivil(tm.tm_year + 1900, static_cast<unsigned>(tm.tm_mon + 1),
                                     static_cast<unsigned>(tm.tm_mday));
  struct utimbuf times;
  times.actime = time(nullptr);
  times.modtime = static_cast<time_t>(days * 86400 + tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec);
  utime(path.c_str(), &times);
}

// A name that is taken, by a file or by a link (even one that leads nowhere).
bool Exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

uint64_t FileSize(const std::string& path) {
  struct stat sb;
  return stat(path.c_str(), &sb) == 0 ? static_cast<uint64_t>(sb.st_size) : 0;
}

// Moves a finished download to its name. A name the server chose replaces no
// file unless --clobber allows it; the download then stays in its part file.
bool PlaceDownload(const std::string& part, const std::string& name, bool mayReplace) {
  if (!mayReplace && Exists(name)) {
    fprintf(stderr, "znget: %s exists and is kept (--clobber replaces it, -o names another file); "
            "the download is in %s\n", name.c_str(), part.c_str());
    return false;
  }
  // rename() does not replace a file everywhere (not on Windows): an allowed
  // replacement removes the old file first.
  if (rename(part.c_str(), name.c_str()) != 0 && !(mayReplace && remove(name.c_str()) == 0 &&
                                                   rename(part.c_str(), name.c_str()) == 0)) {
    fprintf(stderr, "znget: cannot rename %s to %s: %s\n", part.c_str(), name.c_str(), strerror(errno));
    unlink(part.c_str());
    return false;
  }
  return true;
}

// Starts one transfer; false when the client refused it.
bool Start(zn::IHttpClientEx* client, const Options& o, const std::string& target, std::string* memoryAnswer) {
  const SYSTEMTIME* ims = o.haveIfModifiedSince ? &o.ifModifiedSince : nullptr;
  *memoryAnswer = "";
  if (!o.rawHead.empty()) {
    std::string head, body = o.data;
    if (!ReadFile(o.rawHead, &head)) {
      fprintf(stderr, "znget: cannot read %s\n", o.rawHead.c_str());
      return false;
    }
    if (!o.dataFile.empty() && !ReadFile(o.dataFile, &body)) {
      fprintf(stderr, "znget: cannot read %s\n", o.dataFile.c_str());
      return false;
    }
    *memoryAnswer = "memory";
    return client->Post(o.rawHost.c_str(), o.rawPort, zn::strutf8(head.c_str(), static_cast<uint32_t>(head.size())),
                        zn::strutf8(body.c_str(), static_cast<uint32_t>(body.size())));
  }
  zn::strutf16 url(o.url.c_str());
  if (!o.formFields.empty() || !o.formFilePath.empty()) {
    for (const auto& f : o.formFields) client->AddFormField(zn::strutf16(f.first.c_str()), zn::strutf16(f.second.c_str()));
    *memoryAnswer = "memory";
    if (!o.formFilePath.empty()) {
      zn::strutf16 name(o.formFileName.c_str()), path(o.formFilePath.c_str());
      return client->UploadFormData(url, name.c_str(), path.c_str());
    }
    return client->UploadFormData(url, nullptr, nullptr, 0, nullptr);
  }
  if (!o.dataFile.empty()) {
    *memoryAnswer = "memory";
    return o.offset ? client->Upload(url, zn::strutf16(o.dataFile.c_str()), o.offset)
                    : client->Upload(url, zn::strutf16(o.dataFile.c_str()));
  }
  if (o.haveData) {
    *memoryAnswer = "memory";
    return client->Upload(zn::strutf8(o.url.c_str()), zn::strutf8(o.certName.c_str()), o.data.data(),
                          static_cast<int32_t>(o.data.size()));
  }
  if (target == "-") {
    // The stream form has no date: a conditional download goes through memory.
    if (ims) {
      *memoryAnswer = "memory";
      return client->Download(url, ims);
    }
    return client->DownloadToStream(url, new StdoutStream, 0);
  }
  return client->Download(zn::strutf8(o.url.c_str()), zn::strutf8(o.certName.c_str()), zn::strutf8(target.c_str()), ims,
                          o.resume);
}

bool WriteAnswer(const std::string& output, const unsigned char* data, uint32_t len) {
  if (output.empty() || output == "-") return fwrite(data, 1, len, stdout) == len && fflush(stdout) == 0;
  FILE* f = fopen(output.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(data, 1, len, f) == len;
  return fclose(f) == 0 && ok;
}

// Bodies go to standard output byte for byte, and the lines on standard
// error end with "\n" alone: the Windows C runtime would otherwise write
// both in text mode and turn every "\n" into "\r\n".
void UseBinaryStandardStreams() {
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
#endif
}

// The arguments in UTF-8. On Windows the C runtime hands main() its arguments
// in the ANSI code page, which loses every character outside it (a file name
// or a URL path in another script); the wide command line keeps them.
std::vector<std::string> Utf8Arguments(int argc, char** argv) {
#ifdef _WIN32
  int count = 0;
  if (LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
    std::vector<std::string> args;
    for (int i = 0; i < count; ++i) {
      args.push_back(zn::strutf8(zn::strutf16(wide[i])).c_str());
    }
    LocalFree(wide);
    return args;
  }
#endif
  return std::vector<std::string>(argv, argv + argc);
}

}  // namespace

int main(int argc, char** argv) {
  UseBinaryStandardStreams();
  std::vector<std::string> args = Utf8Arguments(argc, argv);
  std::vector<char*> argPointers;
  for (std::string& a : args) argPointers.push_back(&a[0]);
  argPointers.push_back(nullptr);
  Options o = ParseOptions(static_cast<int>(args.size()), argPointers.data());
  std::string why;
  if (!o.url.empty() && !NormalizeUrl(o.url, &o.url, &why)) {
    fprintf(stderr, "znget: %s\n", why.c_str());
    return 10;
  }
  g_logVerbosity = o.verbosity;
  znsyslog_setsink(LogSink, nullptr);
  znsyslog_setlevel(o.verbosity > 0 ? o.verbosity + 1 : 2);

  const bool downloadToFile = o.rawHead.empty() && !o.haveData && o.dataFile.empty() && o.formFields.empty() &&
                              o.formFilePath.empty() && o.output != "-";
  if (!o.output.empty() && o.output != "-" && !CheckOutputPath(o.output)) return 4;
  // The file the library writes: the target itself with -C, else a part file
  // beside it (in this folder when the server names the target).
  std::string part;
  if (downloadToFile && !o.resume) {
    part = CreatePartFile(o.output.empty() ? "znget" : o.output);
    if (part.empty()) {
      fprintf(stderr, "znget: cannot create a file beside %s: %s\n", o.output.empty() ? "." : o.output.c_str(),
              strerror(errno));
      return 4;
    }
  }
  const std::string written = part.empty() ? o.output : part;

  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
#ifdef SIGPIPE
  signal(SIGPIPE, SIG_IGN);  // a closed standard output ends writes with an error instead
#endif

  const bool bar = !o.quiet && (o.progress == 1 || (o.progress == -1 && isatty(STDERR_FILENO)));
  Notify notify(bar);
  zn::IHttpClientEx* client = zn_create_httpclient_ex(nullptr);
  client->SetNotify(&notify);
  client->SetNotifyFlags(kAllNotifications);
  client->SetTimeout(o.connectTimeout, o.recvTimeout, o.retries);
  client->SetUseIEProxy(o.proxy);
  // HTTPS servers are verified as every other HTTPS client does: chain, name
  // and server name indication; -k keeps the library's own common-name check.
  if (o.insecure) {
    fprintf(stderr, "znget: -k: the server's certificate chain is not verified, only its common name\n");
  } else {
    zn_httpclient_set_tls_verify(client, true, o.caCert.empty() ? nullptr : o.caCert.c_str());
  }
  if (!o.bindIp.empty()) client->SetBindAddress(zn::strutf8(o.bindIp.c_str()), o.bindPort);

  bool contentTypeGiven = false;
  for (const auto& h : o.headers) contentTypeGiven |= strncasecmp(h.c_str(), "Content-Type:", 13) == 0;

  int code = 0;
  bool interrupted = false;
  auto started = std::chrono::steady_clock::now();
  for (int round = 0; round < o.repeat && code == 0; ++round) {
    for (const auto& h : o.headers) {
      size_t colon = h.find(':');
      std::string name = h.substr(0, colon), value = h.substr(colon + 1);
      if (!client->AddHeader(zn::strutf16(name.c_str()), zn::strutf16(value.c_str())))
        client->AddHeaderLine(zn::strutf16(h.c_str()));
    }
    if (o.haveData && o.rawHead.empty() && !contentTypeGiven)
      client->AddHeader(zn::strutf16("Content-Type"), zn::strutf16("application/x-www-form-urlencoded"));
    ForgetLoggedCause();
    std::string memoryAnswer;
    if (!Start(client, o, written, &memoryAnswer)) {
      const std::string cause = LoggedCause();
      fprintf(stderr, "znget: the transfer could not start (bad URL or arguments)%s%s\n", cause.empty() ? "" : ": ",
              cause.c_str());
      code = 10;
      break;
    }
    code = notify.Wait(g_interrupted);
    if (code < 0) {
      client->Stop();
      interrupted = true;
      break;
    }
    if (o.printHead) {
      zn::strutf16 head;
      client->GetResponseHead(head);
      FILE* out = o.output == "-" ? stderr : stdout;
      fputs(zn::strutf8(head).c_str(), out);
    }
    if ((code == 0 || code == 1) && !memoryAnswer.empty()) {
      const unsigned char* data = nullptr;
      uint32_t len = 0;
      if (client->GetDownloadedBuffer(&data, &len) && !WriteAnswer(o.output, data, len)) {
        fprintf(stderr, "znget: cannot write %s\n", o.output.empty() ? "the answer" : o.output.c_str());
        code = 4;
      }
    }
  }
  const uint32_t status = client->GetStatusCode();
  zn::strutf8 lastModified;
  if (downloadToFile && code == 0) client->QueryInfo(zn::strutf8("Last-Modified"), lastModified, true);
  std::string target = o.output;
  if (downloadToFile && target.empty() && code == 0) {
    zn::strutf16 name("Content-Disposition");
    client->GetResponseFileName(name);
    target = SafeFileName(zn::strutf8(name).c_str());
  }
  // From here on the file is complete and closed.
  delete client;

  if (interrupted) {
    // What arrived is kept: in the target with -C, or when there was none
    // before (so that -C resumes it); else in the part file beside it.
    std::string holder = written;
    const uint64_t have = holder.empty() ? 0 : FileSize(holder);
    if (!part.empty() && have == 0) {
      unlink(part.c_str());
      holder.clear();
    } else if (!part.empty() && !target.empty() && !Exists(target) && rename(part.c_str(), target.c_str()) == 0) {
      holder = target;
    }
    if (holder.empty()) {
      fprintf(stderr, "\nznget: interrupted after %s\n", HumanBytes(static_cast<double>(notify.Done())).c_str());
    } else if (have < notify.Done()) {
      fprintf(stderr, "\nznget: interrupted: %llu bytes are in %s, but %llu had arrived\n",
              static_cast<unsigned long long>(have), holder.c_str(), static_cast<unsigned long long>(notify.Done()));
    } else {
      fprintf(stderr, "\nznget: interrupted: %llu bytes are in %s, all that arrived%s%s%s\n",
              static_cast<unsigned long long>(have), holder.c_str(), holder == target ? "; -C -o " : "",
              holder == target ? holder.c_str() : "", holder == target ? " resumes" : "");
    }
    return kExitInterrupted;
  }
  if (!part.empty()) {
    if (code != 0) unlink(part.c_str());
    else if (!PlaceDownload(part, target, !o.output.empty() || o.clobber)) code = 4;
  }
  if (code == 0 && !lastModified.empty()) KeepServerTime(target, lastModified.c_str());

  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (!o.quiet) {
    std::string where = downloadToFile && code == 0 ? " -> " + target : "";
    if (code == 0 || code == 1) {
      fprintf(stderr, "znget: %s, status %u, %s in %.2fs%s\n", CodeText(code), status,
              HumanBytes(static_cast<double>(notify.Done())).c_str(), secs, where.c_str());
    } else {
      // Without an HTTP status the log says what went wrong.
      const std::string cause = status == 0 ? LoggedCause() : "";
      fprintf(stderr, "znget: %s (code %d, status %u)%s%s\n", CodeText(code), code, status, cause.empty() ? "" : ": ",
              cause.c_str());
    }
  }
  return code;
}
