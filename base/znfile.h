// Files with 64-bit sizes: POSIX descriptors, or Windows file handles opened
// through the wide-character calls (names are UTF-8 here on every system).
//
// Thread safety: none; a CFile is used by one thread at a time. The object owns
// its descriptor and closes it in Close() and in the destructor.
#pragma once

#include "base/zndef.h"

namespace zn {
namespace io {

class ZNBASE_API CFile {
 public:
  CFile() = default;
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;
  virtual ~CFile();

  // Modes: "rb" read, "wb" write (create, truncate), "ab" append (create),
  // "r+b" read and write. False when the file cannot be opened.
  bool Open(const char* path, const char* mode);
  void Close();
  bool IsOpen() const { return m_fd >= 0; }
  // Bytes read or written, or −1 on error. Retries on EINTR and short writes.
  // In "ab" mode every write goes to the end of the file.
  int64_t Read(void* buf, int64_t len);
  int64_t Write(const void* buf, int64_t len);
  // whence: 0 start, 1 current, 2 end. The new position, or −1.
  int64_t Seek(int64_t pos, int whence);
  // The size, or −1 when not open.
  int64_t GetSize();
  bool SetSize(int64_t size);

  static bool Move(const char* from, const char* to);
  static bool Remove(const char* path);
  static bool Exists(const char* path);

 private:
  intptr_t m_fd = -1;  // owned descriptor (on Windows the handle's value), −1 when closed
  bool m_bAppend = false;  // "ab": every write goes to the end
};

}  // namespace io
}  // namespace zn
