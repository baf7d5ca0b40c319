// zn::io::CFile on Windows file handles. Names are UTF-8 and go to the
// wide-character calls, so any name the file system holds can be opened. Short
// reads and writes are completed in Read and Write, as on POSIX systems.
#include <windows.h>

#include <string>

#include "base/znfile.h"
#include "base/znplatform.h"

namespace {

const char kFileTag[] = "CFile";
// ReadFile and WriteFile move at most this much per call (their counts are 32-bit).
const DWORD kMaxChunk = 1u << 30;

// A UTF-8 name as UTF-16; empty for invalid UTF-8.
std::wstring WideName(const char* path) {
  const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, &out[0], n);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

HANDLE AsHandle(intptr_t fd) { return reinterpret_cast<HANDLE>(fd); }

// The access and creation of a mode text; false for an unknown mode. The "b"
// is accepted anywhere and means nothing.
bool ModeOf(const char* mode, DWORD* access, DWORD* creation, bool* append) {
  if (!mode) return false;
  bool plus = false;
  for (const char* p = mode + 1; *p; ++p) {
    if (*p == '+') plus = true;
    else if (*p != 'b') return false;
  }
  *append = false;
  switch (mode[0]) {
    case 'r':
      *access = GENERIC_READ | (plus ? GENERIC_WRITE : 0);
      *creation = OPEN_EXISTING;
      return true;
    case 'w':
      *access = GENERIC_WRITE | (plus ? GENERIC_READ : 0);
      *creation = CREATE_ALWAYS;
      return true;
    case 'a':
      *append = true;
      *access = GENERIC_WRITE | (plus ? GENERIC_READ : 0);
      *creation = OPEN_ALWAYS;
      return true;
    default:
      return false;
  }
}

}  // namespace

namespace zn {
namespace io {

CFile::~CFile() {
  Close();
}

bool CFile::Open(const char* path, const char* mode) {
  Close();
  DWORD access = 0;
  DWORD creation = 0;
  bool append = false;
  if (!path || !ModeOf(mode, &access, &creation, &append)) {
    znsyslog(1, kFileTag, __LINE__, "open bad argument [%s] [%s]", path ? path : "(null)",
             mode ? mode : "(null)");
    return false;
  }
  const std::wstring name = WideName(path);
  // Shared like a POSIX file: others may read, write, rename and delete it
  // while it is open.
  const HANDLE h = name.empty() ? INVALID_HANDLE_VALUE
                                : ::CreateFileW(name.c_str(), access,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                creation, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    znsyslog(1, kFileTag, __LINE__, "open fail [%s] [%s] errno[%d]", path, mode,
             static_cast<int>(::GetLastError()));
    return false;
  }
  m_fd = reinterpret_cast<intptr_t>(h);
  m_bAppend = append;
  return true;
}

void CFile::Close() {
  if (m_fd < 0) return;
  if (!::CloseHandle(AsHandle(m_fd))) {
    znsyslog(1, kFileTag, __LINE__, "close fail errno[%d]", static_cast<int>(::GetLastError()));
  }
  m_fd = -1;
  m_bAppend = false;
}

int64_t CFile::Read(void* buf, int64_t len) {
  if (m_fd < 0 || !buf || len < 0) return -1;
  char* p = static_cast<char*>(buf);
  int64_t done = 0;
  while (done < len) {
    const DWORD want = len - done > kMaxChunk ? kMaxChunk : static_cast<DWORD>(len - done);
    DWORD n = 0;
    if (!::ReadFile(AsHandle(m_fd), p + done, want, &n, nullptr)) {
      znsyslog(1, kFileTag, __LINE__, "read fail errno[%d]", static_cast<int>(::GetLastError()));
      return done > 0 ? done : -1;
    }
    if (n == 0) break;  // end of file
    done += n;
  }
  return done;
}

int64_t CFile::Write(const void* buf, int64_t len) {
  if (m_fd < 0 || !buf || len < 0) return -1;
  if (m_bAppend && Seek(0, 2) < 0) return -1;
  const char* p = static_cast<const char*>(buf);
  int64_t done = 0;
  while (done < len) {
    const DWORD want = len - done > kMaxChunk ? kMaxChunk : static_cast<DWORD>(len - done);
    DWORD n = 0;
    if (!::WriteFile(AsHandle(m_fd), p + done, want, &n, nullptr)) {
      znsyslog(1, kFileTag, __LINE__, "write fail errno[%d]", static_cast<int>(::GetLastError()));
      return done > 0 ? done : -1;
    }
    done += n;
  }
  return done;
}

int64_t CFile::Seek(int64_t pos, int whence) {
  if (m_fd < 0) return -1;
  DWORD how;
  switch (whence) {
    case 0: how = FILE_BEGIN; break;
    case 1: how = FILE_CURRENT; break;
    case 2: how = FILE_END; break;
    default: return -1;
  }
  LARGE_INTEGER to;
  LARGE_INTEGER now;
  to.QuadPart = pos;
  if (!::SetFilePointerEx(AsHandle(m_fd), to, &now, how)) {
    znsyslog(1, kFileTag, __LINE__, "seek fail errno[%d]", static_cast<int>(::GetLastError()));
    return -1;
  }
  return now.QuadPart;
}

int64_t CFile::GetSize() {
  if (m_fd < 0) return -1;
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(AsHandle(m_fd), &size)) {
    znsyslog(1, kFileTag, __LINE__, "fstat fail errno[%d]", static_cast<int>(::GetLastError()));
    return -1;
  }
  return size.QuadPart;
}

// Like ftruncate: the size changes, the position stays where it was.
bool CFile::SetSize(int64_t size) {
  if (m_fd < 0 || size < 0) return false;
  const int64_t pos = Seek(0, 1);
  if (pos < 0 || Seek(size, 0) < 0) return false;
  const bool ok = ::SetEndOfFile(AsHandle(m_fd)) != 0;
  if (!ok) znsyslog(1, kFileTag, __LINE__, "ftruncate fail errno[%d]", static_cast<int>(::GetLastError()));
  Seek(pos, 0);
  return ok;
}

bool CFile::Move(const char* from, const char* to) {
  if (!from || !to) return false;
  const std::wstring src = WideName(from);
  const std::wstring dst = WideName(to);
  if (!src.empty() && !dst.empty() &&
      ::MoveFileExW(src.c_str(), dst.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
    return true;
  }
  znsyslog(1, kFileTag, __LINE__, "rename fail [%s] [%s] errno[%d]", from, to, static_cast<int>(::GetLastError()));
  return false;
}

bool CFile::Remove(const char* path) {
  if (!path) return false;
  const std::wstring name = WideName(path);
  if (name.empty() || !::DeleteFileW(name.c_str())) {
    znsyslog(1, kFileTag, __LINE__, "unlink fail [%s] errno[%d]", path, static_cast<int>(::GetLastError()));
    return false;
  }
  return true;
}

bool CFile::Exists(const char* path) {
  if (!path) return false;
  const std::wstring name = WideName(path);
  return !name.empty() && ::GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace io
}  // namespace zn
