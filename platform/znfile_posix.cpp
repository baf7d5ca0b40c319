// zn::io::CFile on POSIX descriptors. Every system call that can be
// interrupted goes through RetryOnEintr; short reads and writes are completed
// in Read and Write.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/znfile.h"
#include "base/znplatform.h"

namespace {

const char kFileTag[] = "CFile";
// New files get rw-rw-rw- less the umask, as fopen would give them.
const mode_t kNewFileMode = 0666;
// Chunk size of the copy that stands in for rename across file systems.
const size_t kCopyChunk = 64 * 1024;

template <typename Fn>
auto RetryOnEintr(Fn fn) -> decltype(fn()) {
  decltype(fn()) rc;
  do {
    rc = fn();
  } while (rc == -1 && errno == EINTR);
  return rc;
}

// The open(2) flags of a mode text; -1 for an unknown mode. The "b" is
// accepted anywhere and means nothing on this platform.
int FlagsOfMode(const char* mode, bool* append) {
  if (!mode) return -1;
  bool plus = false;
  for (const char* p = mode + 1; *p; ++p) {
    if (*p == '+') plus = true;
    else if (*p != 'b') return -1;
  }
  *append = false;
  switch (mode[0]) {
    case 'r':
      return plus ? O_RDWR : O_RDONLY;
    case 'w':
      return (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
    case 'a':
      *append = true;
      return (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
    default:
      return -1;
  }
}

// Copies from to to and removes from; used when rename meets EXDEV.
bool CopyThenRemove(const char* from, const char* to) {
  zn::io::CFile src;
  zn::io::CFile dst;
  if (!src.Open(from, "rb") || !dst.Open(to, "wb")) return false;
  char buf[kCopyChunk];
  for (;;) {
    const int64_t n = src.Read(buf, sizeof(buf));
    if (n < 0) return false;
    if (n == 0) break;
    if (dst.Write(buf, n) != n) return false;
  }
  src.Close();
  dst.Close();
  return zn::io::CFile::Remove(from);
}

}  // namespace

namespace zn {
namespace io {

CFile::~CFile() {
  Close();
}

bool CFile::Open(const char* path, const char* mode) {
  Close();
  bool append = false;
  const int flags = FlagsOfMode(mode, &append);
  if (!path || flags < 0) {
    znsyslog(1, kFileTag, __LINE__, "open bad argument [%s] [%s]", path ? path : "(null)",
             mode ? mode : "(null)");
    return false;
  }
  const int fd = RetryOnEintr([&] { return ::open(path, flags | O_CLOEXEC, kNewFileMode); });
  if (fd < 0) {
    znsyslog(1, kFileTag, __LINE__, "open fail [%s] [%s] errno[%d]", path, mode, errno);
    return false;
  }
  m_fd = fd;
  m_bAppend = append;
  return true;
}

void CFile::Close() {
  if (m_fd < 0) return;
  // close(2) must not be retried on Linux: the descriptor is gone either way.
  if (::close(m_fd) != 0) znsyslog(1, kFileTag, __LINE__, "close fail errno[%d]", errno);
  m_fd = -1;
  m_bAppend = false;
}

int64_t CFile::Read(void* buf, int64_t len) {
  if (m_fd < 0 || !buf || len < 0) return -1;
  char* p = static_cast<char*>(buf);
  int64_t done = 0;
  while (done < len) {
    const ssize_t n = RetryOnEintr([&] { return ::read(m_fd, p + done, static_cast<size_t>(len - done)); });
    if (n < 0) {
      znsyslog(1, kFileTag, __LINE__, "read fail errno[%d]", errno);
      return done > 0 ? done : -1;
    }
    if (n == 0) break;  // end of file
    done += n;
  }
  return done;
}

int64_t CFile::Write(const void* buf, int64_t len) {
  if (m_fd < 0 || !buf || len < 0) return -1;
  const char* p = static_cast<const char*>(buf);
  int64_t done = 0;
  while (done < len) {
    const ssize_t n = RetryOnEintr([&] { return ::write(m_fd, p + done, static_cast<size_t>(len - done)); });
    if (n < 0) {
      znsyslog(1, kFileTag, __LINE__, "write fail errno[%d]", errno);
      return done > 0 ? done : -1;
    }
    done += n;
  }
  return done;
}

int64_t CFile::Seek(int64_t pos, int whence) {
  if (m_fd < 0) return -1;
  int how;
  switch (whence) {
    case 0: how = SEEK_SET; break;
    case 1: how = SEEK_CUR; break;
    case 2: how = SEEK_END; break;
    default: return -1;
  }
  const off_t rc = ::lseek(m_fd, static_cast<off_t>(pos), how);
  if (rc < 0) {
    znsyslog(1, kFileTag, __LINE__, "seek fail errno[%d]", errno);
    return -1;
  }
  return rc;
}

int64_t CFile::GetSize() {
  if (m_fd < 0) return -1;
  struct stat st;
  if (::fstat(m_fd, &st) != 0) {
    znsyslog(1, kFileTag, __LINE__, "fstat fail errno[%d]", errno);
    return -1;
  }
  return st.st_size;
}

bool CFile::SetSize(int64_t size) {
  if (m_fd < 0 || size < 0) return false;
  if (RetryOnEintr([&] { return ::ftruncate(m_fd, static_cast<off_t>(size)); }) != 0) {
    znsyslog(1, kFileTag, __LINE__, "ftruncate fail errno[%d]", errno);
    return false;
  }
  return true;
}

bool CFile::Move(const char* from, const char* to) {
  if (!from || !to) return false;
  if (::rename(from, to) == 0) return true;
  if (errno == EXDEV) return CopyThenRemove(from, to);
  znsyslog(1, kFileTag, __LINE__, "rename fail [%s] [%s] errno[%d]", from, to, errno);
  return false;
}

bool CFile::Remove(const char* path) {
  if (!path) return false;
  if (::unlink(path) != 0) {
    znsyslog(1, kFileTag, __LINE__, "unlink fail [%s] errno[%d]", path, errno);
    return false;
  }
  return true;
}

bool CFile::Exists(const char* path) {
  if (!path) return false;
  struct stat st;
  return ::stat(path, &st) == 0;
}

}  // namespace io
}  // namespace zn
