// Owned text and byte strings: zn::strutf8 (UTF-8 bytes), zn::strutf16 (UTF-16
// code units of type znwchar_t, wchar_t on Windows) and zn::stream (raw bytes).
//
// All three share one layout: a library word (the capacity of the storage),
// the length (elements, terminator not counted) and the data pointer, which is
// null while the object has never held anything. The two text types keep a
// zero terminator behind their data. The storage is managed by the platform
// library (out-of-line members); the inline members here never allocate.
//
// Thread safety: none. A string is used by one thread at a time.
#pragma once

#include "base/zndef.h"

namespace zn {

class strutf16;

template <typename CharT>
class ZNBASE_API strbase {
 public:
  typedef CharT value_type;

  strbase() = default;
  strbase(const CharT* text);                    // null or zero-terminated
  strbase(const CharT* text, uint32_t len);      // exactly len elements
  strbase(const strbase& other);
  strbase(strbase&& other) noexcept;
  virtual ~strbase();

  strbase& operator=(const CharT* text);         // null empties and frees
  strbase& operator=(const strbase& other);
  strbase& operator=(strbase&& other) noexcept;

  // The text, never null ("" while nothing is held).
  const CharT* c_str() const { return m_pData ? m_pData : kEmpty; }
  // The raw pointer, which may be null.
  CharT* data() const { return m_pData; }
  explicit operator CharT*() const { return m_pData; }
  uint32_t length() const { return m_nLength; }
  uint32_t size() const { return m_nLength; }
  bool empty() const { return m_nLength == 0; }
  uint32_t capacity() const { return m_nCapacity; }

  // No bounds check: index < length() is the caller's duty.
  CharT& at(uint32_t i) { return m_pData[i]; }
  const CharT& at(uint32_t i) const { return m_pData[i]; }
  CharT& operator[](uint32_t i) { return m_pData[i]; }
  const CharT& operator[](uint32_t i) const { return m_pData[i]; }

  void clear() { *this = static_cast<const CharT*>(nullptr); }
  strbase& assign(const strbase& other) { return *this = other; }
  strbase& assign(const CharT* text, uint32_t len);
  strbase& append(const CharT* text);            // null appends nothing
  strbase& append(const CharT* text, uint32_t len);
  strbase& append(CharT c) { return append(&c, 1); }
  strbase& append(const strbase& other) { return append(other.m_pData, other.m_nLength); }
  strbase& operator+=(const strbase& other) { return append(other); }
  strbase& operator+=(const CharT* text) { return append(text); }
  strbase& operator+=(CharT c) { return append(c); }

  // Makes room for at least n elements (plus the terminator) without changing
  // the content; the length stays.
  bool reserve(uint32_t n);
  // Sets the length to n (n <= capacity after reserve), writing the terminator.
  void setlength(uint32_t n);

  // Null text equals an empty string only; otherwise equal length and bytes.
  bool operator==(const CharT* text) const;
  bool operator==(const strbase& other) const;
  bool operator!=(const CharT* text) const { return !(*this == text); }
  bool operator!=(const strbase& other) const { return !(*this == other); }
  // Null storage or null text compare by pointer difference (null first, two
  // nulls equal); otherwise unsigned element order up to the terminator. −1, 0, 1.
  int compare(const CharT* text) const;
  bool operator<(const strbase& other) const { return compare(other.m_pData) < 0; }

  // Case-sensitive; false when this string is empty, when text is null or
  // empty, or when text is longer than this string.
  bool startswith(const CharT* text) const;
  bool endswith(const CharT* text) const;
  // Case-sensitive full equality; false when either side is empty or null.
  bool equals(const CharT* text) const;

  // Index of the first match at or after start, or −1. Ignore-case folds ASCII.
  int find(const CharT* text, uint32_t start = 0, bool ignorecase = false) const;
  // Index of the last match starting at or before start (−1: from the end), or −1.
  int reversefind(const CharT* text, int start = -1, bool ignorecase = false) const;
  // Removes blanks (space, tab, CR, LF) at the right end when right is set and
  // at the left end when left is set.
  strbase& trim(bool right = true, bool left = true);
  strbase& trimleft() { return trim(false, true); }
  strbase& trimright() { return trim(true, false); }
  // ASCII lower-casing in place.
  strbase& makelower();
  // A copy of elements [pos, pos + count), clipped to the length.
  strbase substr(uint32_t pos, uint32_t count = 0xFFFFFFFFu) const;

 protected:
  static const CharT kEmpty[1];
  uint32_t m_nCapacity = 0;  // library word: elements the storage can hold, terminator excluded
  uint32_t m_nLength = 0;    // elements held, terminator not counted
  CharT* m_pData = nullptr;  // owned; null until something was held
};

#if !defined(_WIN32)
// The members come from the platform library. On Windows the DLL exports only
// the members defined out of line; a user makes the inline ones itself, which
// an explicit instantiation declaration would forbid.
extern template class strbase<char>;
extern template class strbase<znwchar_t>;
#endif

// UTF-8 text.
class ZNBASE_API strutf8 : public strbase<char> {
 public:
  using strbase<char>::strbase;
  using strbase<char>::operator=;
  strutf8() = default;
  strutf8(const strbase<char>& other) : strbase<char>(other) {}
  explicit strutf8(const strutf16& text);   // UTF-16 -> UTF-8
  strutf8& operator=(const strutf16& text);
  // Replaces the content with printf-style formatted text.
  strutf8& format(const char* fmt, ...) ZN_PRINTF_LIKE(2, 3);
  strutf8& appendformat(const char* fmt, ...) ZN_PRINTF_LIKE(2, 3);
};

// UTF-16 text in 16-bit code units.
class ZNBASE_API strutf16 : public strbase<znwchar_t> {
 public:
  using strbase<znwchar_t>::strbase;
  using strbase<znwchar_t>::operator=;
  strutf16() = default;
  strutf16(const strbase<znwchar_t>& other) : strbase<znwchar_t>(other) {}
  explicit strutf16(const strutf8& text);   // UTF-8 -> UTF-16
  strutf16(const char* utf8);               // UTF-8 text, for convenience
  strutf16& operator=(const strutf8& text);
};

// Bytes with a length. No terminator is promised.
class ZNBASE_API stream {
 public:
  stream() = default;
  stream(const void* data, uint32_t len);
  stream(const stream& other);
  stream(stream&& other) noexcept;
  virtual ~stream();
  stream& operator=(const stream& other);
  stream& operator=(stream&& other) noexcept;

  unsigned char* data() const { return m_pData; }
  char* tos8() const { return reinterpret_cast<char*>(m_pData); }
  uint32_t length() const { return m_nLength; }
  uint32_t size() const { return m_nLength; }
  bool empty() const { return m_nLength == 0; }
  unsigned char& operator[](uint32_t i) { return m_pData[i]; }
  const unsigned char& operator[](uint32_t i) const { return m_pData[i]; }

  void clear();
  stream& assign(const void* data, uint32_t len);
  stream& append(const void* data, uint32_t len);
  bool operator==(const stream& other) const;
  bool operator!=(const stream& other) const { return !(*this == other); }

 protected:
  uint32_t m_nCapacity = 0;        // library word: bytes the storage can hold
  uint32_t m_nLength = 0;          // bytes held
  unsigned char* m_pData = nullptr;  // owned; null until something was held
};

}  // namespace zn
