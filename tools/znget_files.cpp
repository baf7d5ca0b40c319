// znget's output files.
#include "tools/znget_files.h"

#include <cstdio>
#include <random>

#include "tools/znget_options.h"
#include "tools/znget_os.h"

namespace znget {

namespace {

constexpr int kPartFileAttempts = 100;
constexpr size_t kReadPiece = 65536;

}  // namespace

ReadResult ReadSmallFile(const std::string& path, uint64_t limit, std::string* out) {
  const bool standardInput = path == "-";
  uint64_t size = 0;
  if (!standardInput && FileSize(path, &size) && size > limit) return ReadResult::kTooLarge;
  FILE* f = standardInput ? stdin : OpenUtf8File(path, "rb");
  if (!f) return ReadResult::kFailed;
  char buf[kReadPiece];
  size_t n;
  out->clear();
  while (out->size() <= limit && (n = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  const bool ok = !ferror(f);
  if (!standardInput) fclose(f);
  if (!ok) return ReadResult::kFailed;
  return out->size() > limit ? ReadResult::kTooLarge : ReadResult::kRead;
}

bool WriteAnswer(const std::string& output, const unsigned char* data, uint32_t len) {
  if (output.empty() || output == "-") return fwrite(data, 1, len, stdout) == len && fflush(stdout) == 0;
  FILE* f = OpenUtf8File(output, "wb");
  if (!f) return false;
  const bool ok = fwrite(data, 1, len, f) == len;
  return fclose(f) == 0 && ok;
}

bool CheckOutputPath(const std::string& path) {
  std::string dir = ".";
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos) dir = slash == 0 ? "/" : path.substr(0, slash);
  if (!IsFolder(dir)) {
    Say("znget: the folder of %s does not exist\n", path.c_str());
    return false;
  }
  if (IsFolder(path)) {
    Say("znget: %s is a folder\n", path.c_str());
    return false;
  }
  return true;
}

std::string CreatePartFile(const std::string& base) {
  const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device entropy;
  for (int attempt = 0; attempt < kPartFileAttempts; ++attempt) {
    std::string name = base + ".";
    for (int i = 0; i < 6; ++i) name += letters[entropy() % (sizeof letters - 1)];
    name += ".part";
    switch (CreateNewFile(name)) {
      case NewFile::kMade: return name;
      case NewFile::kTaken: continue;
      case NewFile::kFailed: return "";
    }
  }
  return "";
}

bool PlaceDownload(const std::string& part, const std::string& name, bool mayReplace) {
  switch (MoveIntoPlace(part, name, mayReplace)) {
    case Move::kMoved:
      return true;
    case Move::kTaken:
      Say("znget: %s exists and is kept (--clobber replaces it, -o names another file); the download is in %s\n",
          name.c_str(), part.c_str());
      return false;
    case Move::kFailed:
      break;
  }
  const std::string why = LastErrorText();
  Say("znget: cannot move %s to %s: %s; the download is in %s\n", part.c_str(), name.c_str(), why.c_str(),
      part.c_str());
  return false;
}

std::string SafeFileName(const std::string& name) {
  const size_t slash = name.find_last_of("/\\");
  const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
  std::string out;
  for (char c : base) out += (static_cast<unsigned char>(c) < 0x20 || c == ':') ? '_' : c;
  while (!out.empty() && out[0] == '.') out.erase(0, 1);
  return SystemSafeName(out.empty() ? "index.html" : out);
}

void KeepServerTime(const std::string& path, const char* httpDate) {
  int64_t seconds = 0;
  if (ParseHttpDate(httpDate, &seconds)) SetModificationTime(path, seconds);
}

uint64_t SizeOf(const std::string& path) {
  uint64_t size = 0;
  return FileSize(path, &size) ? size : 0;
}

void KeepInterrupted(const std::string& written, const std::string& part, const std::string& target,
                     uint64_t arrived) {
  std::string holder = written;
  const uint64_t have = holder.empty() ? 0 : SizeOf(holder);
  if (!part.empty() && have == 0) {
    RemoveFile(part);
    holder.clear();
  } else if (!part.empty() && !target.empty() && MoveIntoPlace(part, target, false) == Move::kMoved) {
    holder = target;  // there was no file of that name: -C -o TARGET goes on from here
  }
  const unsigned long long kept = have, all = arrived;
  if (holder.empty()) {
    Say("\nznget: interrupted after %llu bytes\n", all);
  } else if (have < arrived) {
    Say("\nznget: interrupted: %llu bytes are in %s, but %llu had arrived\n", kept, holder.c_str(), all);
  } else {
    const bool resumable = holder == target;
    Say("\nznget: interrupted: %llu bytes are in %s, all that arrived%s%s%s\n", kept, holder.c_str(),
        resumable ? "; -C -o " : "", resumable ? holder.c_str() : "", resumable ? " resumes" : "");
  }
}

}  // namespace znget
