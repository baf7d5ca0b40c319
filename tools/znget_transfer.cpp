// The transfer: one client, its notifications and the library's log.
#include "tools/znget_transfer.h"

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "tools/znget_files.h"
#include "tools/znget_os.h"
#include "znhttpclient.h"
#include "znhttpclienttls.h"

namespace znget {

namespace {

constexpr uint8_t kAllNotifications = 0x1F;

// Writes the body to standard output as it arrives; an error page (a status
// from 400 up) is dropped, as the file of a download would be. Runs on the
// client's worker thread, which also sets the status it asks for. The library
// owns the object; client and error are borrowed and outlive it.
class StdoutStream final : public IZNStreamWriter {
 public:
  StdoutStream(zn::IHttpClient* client, std::string* error) : m_pClient(client), m_pError(error) {}

  uint64_t Write(const void* pData, uint32_t len) override {
    if (m_pClient->GetStatusCode() >= kFirstErrorStatus) return len;
    if (fwrite(pData, 1, len, stdout) == len && fflush(stdout) == 0) return len;
    *m_pError = "cannot write to standard output: " + LastErrorText();
    return 0;
  }

 private:
  zn::IHttpClient* const m_pClient;
  std::string* const m_pError;
};

// The callback object: progress bar, summary and the completion handshake
// with the main thread. Its notifications run on the client's worker thread,
// Wait and Done on the main thread. Owned by RunTransfers, which deletes the
// client before it.
class Notify final : public IHttpClientNotify {
 public:
  // interrupt is borrowed and outlives the object.
  Notify(bool bar, uint64_t stopAt, std::atomic<bool>* interrupt)
      : m_bBar(bar), m_qwStopAt(stopAt), m_pInterrupt(interrupt) {}

  void OnConnecting(zn::IHttpClient*, zn::strutf16&) override {}
  void OnConnected(zn::IHttpClient*) override {}
  void OnDownloadStart(zn::IHttpClient*, uint32_t, uint32_t) override {}
  void OnProgress(zn::IHttpClient*, uint64_t done, uint64_t total, uint32_t rate, uint64_t) override {
    m_qwDone = done;
    // As an interrupt would: the main thread stops the client.
    if (m_qwStopAt && done >= m_qwStopAt) m_pInterrupt->store(true);
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
    WriteStandardError(line);
    m_bBarShown = true;
  }
  void OnRedirected(zn::IHttpClient*, zn::strutf16& url) override {
    if (m_bBar) Say("%sredirected to %s\n", m_bBarShown ? "\n" : "", zn::strutf8(url).c_str());
    m_bBarShown = false;
  }
  void OnDownloadComplete(zn::IHttpClient*, uint32_t code) override {
    if (m_bBarShown) WriteStandardError("\n");
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
  const uint64_t m_qwStopAt;              // 0: never
  std::atomic<bool>* const m_pInterrupt;  // borrowed
  bool m_bBarShown = false;               // worker thread only
  std::atomic<uint64_t> m_qwDone{0};      // bytes in the target, as the last progress report gave them
  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_bDone = false;  // guarded by m_mutex
  int m_nCode = 0;       // guarded by m_mutex
};

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
  if (g_logVerbosity > 0 && level <= g_logVerbosity + 1) Say("[%d] %s:%d %s\n", level, tag, line, text);
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
  if (at != std::string::npos) cause += " (" + ErrorText(atoi(cause.c_str() + at + 6)) + ")";
  return cause;
}

// Starts one transfer; false when the client refused it.
bool Start(zn::IHttpClientEx* client, const Options& o, const std::string& target, std::string* memoryAnswer,
           std::string* outputError) {
  const SYSTEMTIME* ims = o.haveIfModifiedSince ? &o.ifModifiedSince : nullptr;
  *memoryAnswer = "";
  if (!o.rawHead.empty()) {
    std::string head, body = o.data;
    for (const auto& source : {std::make_pair(o.rawHead, &head), std::make_pair(o.dataFile, &body)}) {
      if (source.first.empty()) continue;
      const ReadResult read = ReadSmallFile(source.first, kMaxBodyBytes, source.second);
      if (read != ReadResult::kRead) {
        Say("znget: cannot read %s%s\n", source.first.c_str(),
            read == ReadResult::kTooLarge ? ": larger than 2 GiB" : "");
        return false;
      }
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
    // The options refuse a body past the interface's limit.
    return client->Upload(zn::strutf8(o.url.c_str()), zn::strutf8(o.certName.c_str()), o.data.data(),
                          static_cast<int32_t>(std::min<uint64_t>(o.data.size(), kMaxBodyBytes)));
  }
  if (target == "-") {
    // The stream form has no date: a conditional download goes through memory.
    if (ims) {
      *memoryAnswer = "memory";
      return client->Download(url, ims);
    }
    return client->DownloadToStream(url, new StdoutStream(client, outputError), 0);
  }
  return client->Download(zn::strutf8(o.url.c_str()), zn::strutf8(o.certName.c_str()), zn::strutf8(target.c_str()), ims,
                          o.resume);
}

}  // namespace

void StartLog(int verbosity) {
  g_logVerbosity = verbosity;
  znsyslog_setsink(LogSink, nullptr);
  znsyslog_setlevel(verbosity > 0 ? verbosity + 1 : 2);
}

TransferResult RunTransfers(const Options& o, const std::string& written, std::atomic<bool>* interrupt) {
  const bool bar = !o.quiet && (o.progress == 1 || (o.progress == -1 && StandardErrorIsTerminal()));
  Notify notify(bar, o.stopAt, interrupt);
  zn::IHttpClientEx* client = zn_create_httpclient_ex(nullptr);
  client->SetNotify(&notify);
  client->SetNotifyFlags(kAllNotifications);
  client->SetTimeout(o.connectTimeout, o.recvTimeout, o.retries);
  client->SetUseIEProxy(o.proxy);
  // HTTPS servers are verified as every other HTTPS client does: chain, name
  // and server name indication; -k keeps the library's own common-name check.
  if (o.insecure) {
    Say("znget: -k: the server's certificate chain is not verified, only its common name\n");
  } else {
    zn_httpclient_set_tls_verify(client, true, o.caCert.empty() ? nullptr : o.caCert.c_str());
  }
  if (!o.bindIp.empty()) client->SetBindAddress(zn::strutf8(o.bindIp.c_str()), o.bindPort);

  bool contentTypeGiven = false;
  for (const auto& h : o.headers) contentTypeGiven |= strncasecmp(h.c_str(), "Content-Type:", 13) == 0;

  TransferResult result;
  std::string outputError;  // written by the stream on the worker thread, read once the client is gone
  for (int round = 0; round < o.repeat && result.code == kCodeSuccess; ++round) {
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
    if (!Start(client, o, written, &memoryAnswer, &outputError)) {
      const std::string cause = LoggedCause();
      Say("znget: the transfer could not start (bad URL or arguments)%s%s\n", cause.empty() ? "" : ": ",
          cause.c_str());
      result.code = kCodeBadUrl;
      break;
    }
    result.code = notify.Wait(*interrupt);
    if (result.code < 0) {
      client->Stop();
      result.interrupted = true;
      break;
    }
    result.status = client->GetStatusCode();
    // As curl --fail: an error page is no success, whatever the library made of it.
    if (result.code == kCodeSuccess && result.status >= kFirstErrorStatus) result.code = kCodeFailed;
    if (o.printHead) {
      zn::strutf16 head;
      client->GetResponseHead(head);
      const std::string text = zn::strutf8(head).c_str();
      if (o.output == "-") WriteStandardError(text);
      else fputs(text.c_str(), stdout);
    }
    if ((result.code == kCodeSuccess || result.code == kCodeNotModified) && !memoryAnswer.empty()) {
      const unsigned char* data = nullptr;
      uint32_t len = 0;
      if (client->GetDownloadedBuffer(&data, &len) && !WriteAnswer(o.output, data, len)) {
        Say("znget: cannot write %s\n", o.output.empty() ? "the answer" : o.output.c_str());
        result.code = kCodeLocalFile;
      }
    }
  }
  if (IsFileDownload(o) && result.code == kCodeSuccess) {
    zn::strutf8 lastModified;
    if (client->QueryInfo(zn::strutf8("Last-Modified"), lastModified, true)) result.lastModified = lastModified.c_str();
    zn::strutf16 name("Content-Disposition");
    client->GetResponseFileName(name);
    result.serverName = zn::strutf8(name).c_str();
  }
  // From here on the file is complete and closed.
  delete client;
  result.arrived = notify.Done();
  if (result.code != kCodeSuccess && result.code != kCodeNotModified) {
    result.cause = outputError.empty() ? LoggedCause() : outputError;
  }
  return result;
}

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

}  // namespace znget
