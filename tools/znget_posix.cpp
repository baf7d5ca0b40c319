// znget's system calls on POSIX systems: names are bytes, and the UTF-8 the
// rest of znget uses goes to the calls unchanged.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/znget_os.h"

namespace znget {

void UseBinaryStandardStreams() {}

std::vector<std::string> Utf8Arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

void OnInterrupt(void (*handler)(int)) {
  signal(SIGINT, handler);
  signal(SIGTERM, handler);
  signal(SIGPIPE, SIG_IGN);
}

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

void WriteStandardError(const std::string& text) {
  fwrite(text.data(), 1, text.size(), stderr);
  fflush(stderr);
}

std::string LastErrorText() { return strerror(errno); }

std::string ErrorText(int code) { return strerror(code); }

FILE* OpenUtf8File(const std::string& path, const char* mode) {
  // "e": not handed to programs znget might start.
  return fopen(path.c_str(), (std::string(mode) + "e").c_str());
}

NewFile CreateNewFile(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd >= 0) {
    close(fd);
    return NewFile::kMade;
  }
  return errno == EEXIST ? NewFile::kTaken : NewFile::kFailed;
}

bool IsFolder(const std::string& path) {
  struct stat sb;
  return stat(path.c_str(), &sb) == 0 && S_ISDIR(sb.st_mode);
}

bool FileSize(const std::string& path, uint64_t* size) {
  struct stat sb;
  if (stat(path.c_str(), &sb) != 0) return false;
  *size = static_cast<uint64_t>(sb.st_size);
  return true;
}

bool ResizeFile(const std::string& path, uint64_t size) {
  return truncate(path.c_str(), static_cast<off_t>(size)) == 0;
}

bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0; }

bool ModificationTime(const std::string& path, int64_t* seconds) {
  struct stat sb;
  if (stat(path.c_str(), &sb) != 0) return false;
  *seconds = static_cast<int64_t>(sb.st_mtime);
  return true;
}

bool SetModificationTime(const std::string& path, int64_t seconds) {
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_NOW;
  times[1].tv_sec = static_cast<time_t>(seconds);
  times[1].tv_nsec = 0;
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

Move MoveIntoPlace(const std::string& from, const std::string& to, bool replace) {
  if (replace) return rename(from.c_str(), to.c_str()) == 0 ? Move::kMoved : Move::kFailed;
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return Move::kMoved;
  if (errno == EEXIST) return Move::kTaken;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return Move::kFailed;
  // A file system without the flag: a hard link refuses an existing name
  // just as well, and the part file's name goes after it.
  if (link(from.c_str(), to.c_str()) != 0) return errno == EEXIST ? Move::kTaken : Move::kFailed;
  unlink(from.c_str());
  return Move::kMoved;
}

std::string SystemSafeName(const std::string& name) { return name; }

}  // namespace znget
