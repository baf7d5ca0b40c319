// znget's command line: options, URLs and HTTP dates.
#include "tools/znget_options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/znget_files.h"
#include "tools/znget_os.h"

namespace znget {

namespace {

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
    "  --stop-at N             stop as Ctrl-C does once the file holds N bytes\n"
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
    "  0 success, 1 not modified, 2 failure (also an answer from 400 up that is\n"
    "  not named here, such as 500), 3 refused (401, 402, or a close before the\n"
    "  body), 4 local file failure, 5 no connection, 7 not found, 8 service\n"
    "  unavailable, 10 bad URL or upload source; 64 bad options, 130 interrupted\n"
    "  (the bytes received stay in the file; -C -o FILE resumes).\n";

[[noreturn]] void UsageError(const char* fmt, const char* arg) {
  char text[1024];
  snprintf(text, sizeof text, fmt, arg);
  WriteStandardError(std::string("znget: ") + text + "\n(znget --help lists the options)\n");
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

// Year, month and day of a count of days since 1970-01-01.
void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

// An HTTP date (IMF-fixdate) or the modification time of a file.
bool ParseIfModifiedSince(const char* text, SYSTEMTIME* st) {
  int64_t seconds = 0;
  if (!ParseHttpDate(text, &seconds) && !ModificationTime(text, &seconds)) return false;
  const int64_t days = (seconds >= 0 ? seconds : seconds - 86399) / 86400, inDay = seconds - days * 86400;
  int64_t year = 0;
  unsigned month = 0, day = 0;
  CivilFromDays(days, &year, &month, &day);
  if (year < 1601 || year > 30827) return false;
  st->wYear = static_cast<uint16_t>(year);
  st->wMonth = static_cast<uint16_t>(month);
  st->wDay = static_cast<uint16_t>(day);
  st->wHour = static_cast<uint16_t>(inDay / 3600);
  st->wMinute = static_cast<uint16_t>(inDay / 60 % 60);
  st->wSecond = static_cast<uint16_t>(inDay % 60);
  st->wMilliseconds = 0;
  st->wDayOfWeek = static_cast<uint16_t>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
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

// The port of an authority (host, [v6] or user@host, then ":port"): false
// for one that is not all digits or past 65535; "" when none is written.
bool AuthorityPort(const std::string& authority, std::string* port) {
  const std::string hostPort = authority.substr(authority.rfind('@') + 1);
  const size_t colon = hostPort.rfind(':'), bracket = hostPort.rfind(']');
  port->clear();
  if (colon == std::string::npos || (bracket != std::string::npos && colon < bracket)) return true;
  *port = hostPort.substr(colon + 1);
  uint64_t n = 0;
  return port->empty() ||
         (port->find_first_not_of("0123456789") == std::string::npos && ParseNumber(port->c_str(), 65535, &n) && n > 0);
}

}  // namespace

Options ParseOptions(const std::vector<std::string>& argv) {
  Options o;
  const int argc = static_cast<int>(argv.size());
  auto need = [&](int& i) -> const char* {
    if (i + 1 >= argc) UsageError("option %s needs a value", argv[i].c_str());
    return argv[++i].c_str();
  };
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    uint64_t n = 0;
    if (a == "-h" || a == "--help") {
      fputs(kUsage, stdout);
      fflush(stdout);
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
        const ReadResult read = ReadSmallFile(path, kMaxBodyBytes, &o.data);
        if (read == ReadResult::kTooLarge) {
          UsageError("--data: '%s' holds more than one request can carry (2 GiB)", path.c_str());
        }
        if (read != ReadResult::kRead) UsageError("--data: cannot read '%s'", path.c_str());
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
    } else if (a == "--stop-at") {
      const char* v = need(i);
      if (!ParseNumber(v, UINT64_MAX, &o.stopAt) || o.stopAt == 0) UsageError("--stop-at: '%s' is not a size", v);
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

bool ParseHttpDate(const char* text, int64_t* seconds) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char wday[4] = {0}, mon[4] = {0};
  int day = 0, year = 0, hour = 0, minute = 0, second = 0, used = 0;
  if (sscanf(text, "%3[A-Za-z], %2d %3[A-Za-z] %4d %2d:%2d:%2d GMT%n", wday, &day, mon, &year, &hour, &minute,
             &second, &used) != 7 ||
      text[used] != '\0') {
    return false;
  }
  for (unsigned m = 0; m < 12; ++m) {
    if (strcmp(mon, kMonths[m]) != 0) continue;
    if (day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return false;
    *seconds = DaysFromCivil(year, m + 1, static_cast<unsigned>(day)) * 86400 + hour * 3600 + minute * 60 + second;
    return true;
  }
  return false;
}

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
  std::string port;
  if (!AuthorityPort(authority, &port)) {
    *why = "the port of " + in + " is not a number from 1 to 65535";
    return false;
  }
  if (scheme == "https" && port.empty()) authority += authority.back() == ':' ? "443" : ":443";
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

bool IsFileDownload(const Options& o) {
  return o.rawHead.empty() && !o.haveData && o.dataFile.empty() && o.formFields.empty() && o.formFilePath.empty() &&
         o.output != "-";
}

}  // namespace znget
