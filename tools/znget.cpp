// znget: fetches and sends HTTP and HTTPS resources with the client library.
//
// A host program written only against the public header: it makes one client
// without a notify task (callbacks arrive on the client's worker thread),
// starts one transfer at a time and waits for OnDownloadComplete. The exit
// status is the library's result code; an answer with a status from 400 up
// fails with 2 whatever code the library gave; bad options give 64.
//
// A download goes into a part file beside its target and replaces the target
// only when it succeeded, so that a 304, a failure or an interrupt leaves the
// target as it was; -C writes into the target itself, and an error page
// leaves it as it was too.
//
// The pieces: znget_options (command line and URLs), znget_files (part files,
// names, moves), znget_transfer (the client, progress and the log), and
// znget_posix / znget_win (the system calls, with UTF-8 names).
#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "tools/znget_files.h"
#include "tools/znget_options.h"
#include "tools/znget_os.h"
#include "tools/znget_transfer.h"

namespace {

constexpr int kExitInterrupted = 130;

std::atomic<bool> g_interrupted{false};
void OnSignal(int) { g_interrupted.store(true); }

// A -C target before the transfer, so that an error page can leave it as it was.
struct ResumedTarget {
  bool existed = false;
  uint64_t size = 0;
};

void RestoreResumedTarget(const std::string& path, const ResumedTarget& before) {
  if (!before.existed) {
    znget::RemoveFile(path);
  } else if (znget::SizeOf(path) > before.size) {
    znget::ResizeFile(path, before.size);
  }
}

}  // namespace

int main(int argc, char** argv) {
  using namespace znget;
  UseBinaryStandardStreams();
  Options o = ParseOptions(Utf8Arguments(argc, argv));
  std::string why;
  if (!o.url.empty() && !NormalizeUrl(o.url, &o.url, &why)) {
    Say("znget: %s\n", why.c_str());
    return kCodeBadUrl;
  }
  StartLog(o.verbosity);

  const bool downloadToFile = IsFileDownload(o);
  if (!o.output.empty() && o.output != "-" && !CheckOutputPath(o.output)) return kCodeLocalFile;
  ResumedTarget resumed;
  if (o.resume) resumed.existed = FileSize(o.output, &resumed.size);
  // The file the library writes: the target itself with -C, else a part file
  // beside it (in this folder when the server names the target).
  std::string part;
  if (downloadToFile && !o.resume) {
    part = CreatePartFile(o.output.empty() ? "znget" : o.output);
    if (part.empty()) {
      const std::string cause = LastErrorText();
      Say("znget: cannot create a file beside %s: %s\n", o.output.empty() ? "." : o.output.c_str(), cause.c_str());
      return kCodeLocalFile;
    }
  }
  const std::string written = part.empty() ? o.output : part;

  OnInterrupt(OnSignal);
  const auto started = std::chrono::steady_clock::now();
  const TransferResult result = RunTransfers(o, written, &g_interrupted);
  int code = result.code;
  std::string target = o.output;
  if (downloadToFile && target.empty() && code == kCodeSuccess) target = SafeFileName(result.serverName);

  if (result.interrupted) {
    KeepInterrupted(written, part, target, result.arrived);
    return kExitInterrupted;
  }
  if (!part.empty()) {
    // A part file whose move failed holds the only copy of the download: it stays.
    if (code != kCodeSuccess) RemoveFile(part);
    else if (!PlaceDownload(part, target, !o.output.empty() || o.clobber)) code = kCodeLocalFile;
  }
  if (o.resume && code != kCodeSuccess && result.status >= kFirstErrorStatus) RestoreResumedTarget(o.output, resumed);
  if (code == kCodeSuccess && !result.lastModified.empty()) KeepServerTime(target, result.lastModified.c_str());

  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (!o.quiet) {
    const std::string where = downloadToFile && code == kCodeSuccess ? " -> " + target : "";
    if (code == kCodeSuccess || code == kCodeNotModified) {
      Say("znget: %s, status %u, %s in %.2fs%s\n", CodeText(code), result.status,
          HumanBytes(static_cast<double>(result.arrived)).c_str(), secs, where.c_str());
    } else {
      Say("znget: %s (code %d, status %u)%s%s\n", CodeText(code), code, result.status,
          result.cause.empty() ? "" : ": ", result.cause.c_str());
    }
  }
  return code;
}
