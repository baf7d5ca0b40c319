// Out-of-line members of the string types: storage, comparison, search, trim,
// formatting, and the UTF-8 <-> UTF-16 conversions.
//
// Storage rules shared by strbase<> and stream:
//  - m_pData is null until the object first holds something; assigning null
//    text (or clear()) frees it again.
//  - When m_pData is set it holds m_nCapacity + 1 elements: the content
//    [0, m_nLength) and a zero terminator at m_nLength (stream keeps one too,
//    although it does not promise it).
//  - Growth at least doubles the capacity, so that a head built by many small
//    appends costs amortised constant time per element.
//  - Allocation failure leaves the object as it was and is logged.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>

#include "base/znplatform.h"
#include "base/znstring.h"

namespace {

const char kStringTag[] = "znstring";
// Smallest capacity handed out, so that the first few appends do not each
// reallocate.
const uint32_t kMinCapacity = 15;
// The largest element count a string may hold: lengths are 32-bit, and one
// element is kept for the terminator.
const uint64_t kMaxCapacity = 0xFFFFFFFEull;
// Formatting tries this much stack before it measures and uses the heap.
const size_t kFormatStackBuffer = 512;
// The replacement character written for every malformed unit.
const uint32_t kReplacementChar = 0xFFFD;

// Makes room for `need` elements plus the terminator in the storage described
// by (data, capacity, length). Keeps the content. False (and no change) when
// the size cannot be represented or allocated.
template <typename T>
bool GrowStorage(T*& data, uint32_t& capacity, uint32_t length, uint64_t need) {
  if (data && need <= capacity) return true;
  if (need > kMaxCapacity) {
    znsyslog(1, kStringTag, __LINE__, "string too long [%I64u]", static_cast<uint64_t>(need));
    return false;
  }
  uint64_t newCap = data ? static_cast<uint64_t>(capacity) * 2 : 0;
  if (newCap < need) newCap = need;
  if (newCap < kMinCapacity) newCap = kMinCapacity;
  if (newCap > kMaxCapacity) newCap = kMaxCapacity;
  T* fresh = static_cast<T*>(std::malloc((newCap + 1) * sizeof(T)));
  if (!fresh) {
    znsyslog(1, kStringTag, __LINE__, "out of memory [%I64u]", static_cast<uint64_t>(newCap));
    return false;
  }
  if (data) {
    std::memcpy(fresh, data, static_cast<size_t>(length) * sizeof(T));
  }
  fresh[length] = T(0);
  // Callers copy out any source that lives inside the old block before growing
  // (see AppendElements), so it can go now.
  std::free(data);
  data = fresh;
  capacity = static_cast<uint32_t>(newCap);
  return true;
}

template <typename T>
bool InsideBlock(const T* p, const T* block, uint32_t capacity) {
  return block && p >= block && p <= block + capacity;
}

// Appends len elements from src (which may point into the storage itself).
template <typename T>
bool AppendElements(T*& data, uint32_t& capacity, uint32_t& length, const T* src, uint32_t len) {
  const uint64_t need = static_cast<uint64_t>(length) + len;
  if (len != 0 && InsideBlock(src, data, capacity) && (need > capacity || !data)) {
    // The source lives in a block that growing would free: copy it out first.
    T* copy = static_cast<T*>(std::malloc(static_cast<size_t>(len) * sizeof(T)));
    if (!copy) {
      znsyslog(1, kStringTag, __LINE__, "out of memory [%u]", static_cast<unsigned>(len));
      return false;
    }
    std::memcpy(copy, src, static_cast<size_t>(len) * sizeof(T));
    const bool ok = AppendElements(data, capacity, length, static_cast<const T*>(copy), len);
    std::free(copy);
    return ok;
  }
  if (!GrowStorage(data, capacity, length, need)) return false;
  if (len != 0) std::memmove(data + length, src, static_cast<size_t>(len) * sizeof(T));
  length = static_cast<uint32_t>(need);
  data[length] = T(0);
  return true;
}

template <typename T>
void FreeStorage(T*& data, uint32_t& capacity, uint32_t& length) {
  std::free(data);
  data = nullptr;
  capacity = 0;
  length = 0;
}

template <typename CharT>
uint32_t TextLength(const CharT* text) {
  uint32_t n = 0;
  while (text[n] != CharT(0)) ++n;
  return n;
}

template <typename CharT>
CharT AsciiLower(CharT c) {
  return (c >= CharT('A') && c <= CharT('Z')) ? CharT(c - CharT('A') + CharT('a')) : c;
}

template <typename CharT>
bool IsBlank(CharT c) {
  return c == CharT(' ') || c == CharT('\t') || c == CharT('\r') || c == CharT('\n');
}

template <typename CharT>
bool MatchAt(const CharT* hay, const CharT* needle, uint32_t n, bool ignorecase) {
  if (!ignorecase) return std::memcmp(hay, needle, static_cast<size_t>(n) * sizeof(CharT)) == 0;
  for (uint32_t i = 0; i < n; ++i) {
    if (AsciiLower(hay[i]) != AsciiLower(needle[i])) return false;
  }
  return true;
}

// ---- UTF-8 / UTF-16 -------------------------------------------------------------

// Appends the UTF-8 form of code point cp (which must not be a surrogate).
void PutUtf8(zn::strutf8& out, uint32_t cp) {
  char buf[4];
  uint32_t n;
  if (cp < 0x80) {
    buf[0] = static_cast<char>(cp);
    n = 1;
  } else if (cp < 0x800) {
    buf[0] = static_cast<char>(0xC0 | (cp >> 6));
    buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 2;
  } else if (cp < 0x10000) {
    buf[0] = static_cast<char>(0xE0 | (cp >> 12));
    buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 3;
  } else {
    buf[0] = static_cast<char>(0xF0 | (cp >> 18));
    buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 4;
  }
  out.append(buf, n);
}

void PutUtf16(zn::strutf16& out, uint32_t cp) {
  if (cp < 0x10000) {
    out.append(static_cast<znwchar_t>(cp));
  } else {
    cp -= 0x10000;
    znwchar_t pair[2] = {static_cast<znwchar_t>(0xD800 | (cp >> 10)),
                         static_cast<znwchar_t>(0xDC00 | (cp & 0x3FF))};
    out.append(pair, 2);
  }
}

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
void Utf16ToUtf8(const znwchar_t* in, uint32_t len, zn::strutf8& out) {
  out.reserve(len);  // a lower bound; grows as needed
  for (uint32_t i = 0; i < len; ++i) {
    uint32_t u = in[i];
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 < len && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
        u = 0x10000 + ((u - 0xD800) << 10) + (in[i + 1] - 0xDC00u);
        ++i;
      } else {
        u = kReplacementChar;
      }
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      u = kReplacementChar;
    }
    PutUtf8(out, u);
  }
}

// UTF-8 to UTF-16. Malformed input is replaced by U+FFFD per maximal invalid
// subsequence: a lead byte followed by fewer continuation bytes than it
// announces yields one U+FFFD and decoding resumes at the byte that broke the
// sequence. Overlong forms, surrogates and values above U+10FFFF are malformed.
// Never reads at or beyond in + len.
void Utf8ToUtf16(const unsigned char* in, uint32_t len, zn::strutf16& out) {
  out.reserve(len);  // UTF-16 never needs more units than UTF-8 has bytes
  uint32_t i = 0;
  while (i < len) {
    const unsigned char b = in[i];
    if (b < 0x80) {
      out.append(static_cast<znwchar_t>(b));
      ++i;
      continue;
    }
    uint32_t need;           // continuation bytes expected
    uint32_t cp;             // bits gathered so far
    unsigned char lo = 0x80;  // allowed range of the first continuation byte
    unsigned char hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      need = 1;
      cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      need = 2;
      cp = b & 0x0F;
      if (b == 0xE0) lo = 0xA0;  // no overlong forms
      if (b == 0xED) hi = 0x9F;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      need = 3;
      cp = b & 0x07;
      if (b == 0xF0) lo = 0x90;  // no overlong forms
      if (b == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      // A stray continuation byte or a lead byte that never starts a valid form.
      PutUtf16(out, kReplacementChar);
      ++i;
      continue;
    }
    uint32_t j = i + 1;
    bool ok = true;
    for (uint32_t k = 0; k < need; ++k, ++j) {
      if (j >= len) {
        ok = false;
        break;
      }
      const unsigned char c = in[j];
      const unsigned char min = (k == 0) ? lo : 0x80;
      const unsigned char max = (k == 0) ? hi : 0xBF;
      if (c < min || c > max) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (c & 0x3F);
    }
    if (!ok) {
      PutUtf16(out, kReplacementChar);
      i = j;  // resume at the byte that broke the sequence (or the end)
      continue;
    }
    PutUtf16(out, cp);
    i = j;
  }
}

}  // namespace

namespace zn {

// ---- strbase ------------------------------------------------------------------------

template <typename CharT>
const CharT strbase<CharT>::kEmpty[1] = {CharT(0)};

template <typename CharT>
strbase<CharT>::strbase(const CharT* text) {
  if (text) assign(text, TextLength(text));
}

template <typename CharT>
strbase<CharT>::strbase(const CharT* text, uint32_t len) {
  if (text) assign(text, len);
}

template <typename CharT>
strbase<CharT>::strbase(const strbase& other) {
  if (other.m_pData) assign(other.m_pData, other.m_nLength);
}

template <typename CharT>
strbase<CharT>::strbase(strbase&& other) noexcept
    : m_nCapacity(other.m_nCapacity), m_nLength(other.m_nLength), m_pData(other.m_pData) {
  other.m_nCapacity = 0;
  other.m_nLength = 0;
  other.m_pData = nullptr;
}

template <typename CharT>
strbase<CharT>::~strbase() {
  FreeStorage(m_pData, m_nCapacity, m_nLength);
}

template <typename CharT>
strbase<CharT>& strbase<CharT>::operator=(const CharT* text) {
  if (!text) {
    FreeStorage(m_pData, m_nCapacity, m_nLength);
    return *this;
  }
  return assign(text, TextLength(text));
}

template <typename CharT>
strbase<CharT>& strbase<CharT>::operator=(const strbase& other) {
  if (this == &other) return *this;
  if (!other.m_pData) {
    FreeStorage(m_pData, m_nCapacity, m_nLength);
    return *this;
  }
  return assign(other.m_pData, other.m_nLength);
}

template <typename CharT>
strbase<CharT>& strbase<CharT>::operator=(strbase&& other) noexcept {
  if (this == &other) return *this;
  FreeStorage(m_pData, m_nCapacity, m_nLength);
  m_nCapacity = other.m_nCapacity;
  m_nLength = other.m_nLength;
  m_pData = other.m_pData;
  other.m_nCapacity = 0;
  other.m_nLength = 0;
  other.m_pData = nullptr;
  return *this;
}

template <typename CharT>
strbase<CharT>& strbase<CharT>::assign(const CharT* text, uint32_t len) {
  if (!text) {
    FreeStorage(m_pData, m_nCapacity, m_nLength);
    return *this;
  }
  if (InsideBlock(text, m_pData, m_nCapacity)) {
    // Assigning a piece of ourselves: the piece is already in place or moves left.
    const uint32_t offset = static_cast<uint32_t>(text - m_pData);
    if (offset + static_cast<uint64_t>(len) > m_nLength) len = m_nLength - offset;
    std::memmove(m_pData, text, static_cast<size_t>(len) * sizeof(CharT));
    m_nLength = len;
    m_pData[len] = CharT(0);
    return *this;
  }
  m_nLength = 0;
  if (m_pData) m_pData[0] = CharT(0);
  AppendElements(m_pData, m_nCapacity, m_nLength, text, len);
  return *this;
}

template <typename CharT>
strbase<CharT>& strbase<CharT>::append(const CharT* text) {
  if (text) append(text, TextLength(text));
  return *this;
}

template <typename CharT>
strbase<CharT>& strbase<CharT>::append(const CharT* text, uint32_t len) {
  if (!text) return *this;
  AppendElements(m_pData, m_nCapacity, m_nLength, text, len);
  return *this;
}

template <typename CharT>
bool strbase<CharT>::reserve(uint32_t n) {
  return GrowStorage(m_pData, m_nCapacity, m_nLength, n);
}

template <typename CharT>
void strbase<CharT>::setlength(uint32_t n) {
  if (!m_pData) {
    if (n == 0) return;
    if (!reserve(n)) return;
  }
  if (n > m_nCapacity) n = m_nCapacity;
  m_nLength = n;
  m_pData[n] = CharT(0);
}

template <typename CharT>
bool strbase<CharT>::operator==(const CharT* text) const {
  if (!text) return m_nLength == 0;
  const uint32_t n = TextLength(text);
  if (n != m_nLength) return false;
  return n == 0 || std::memcmp(m_pData, text, static_cast<size_t>(n) * sizeof(CharT)) == 0;
}

template <typename CharT>
bool strbase<CharT>::operator==(const strbase& other) const {
  if (m_nLength != other.m_nLength) return false;
  return m_nLength == 0 ||
         std::memcmp(m_pData, other.m_pData, static_cast<size_t>(m_nLength) * sizeof(CharT)) == 0;
}

template <typename CharT>
int strbase<CharT>::compare(const CharT* text) const {
  if (!m_pData || !text) {
    // Null sorts first; two nulls are equal.
    if (m_pData == text) return 0;
    return m_pData ? 1 : -1;
  }
  typedef typename std::make_unsigned<CharT>::type Unit;
  for (uint32_t i = 0;; ++i) {
    const Unit a = static_cast<Unit>(m_pData[i]);
    const Unit b = static_cast<Unit>(text[i]);
    if (a != b) return a < b ? -1 : 1;
    if (a == 0) return 0;
  }
}

template <typename CharT>
bool strbase<CharT>::startswith(const CharT* text) const {
  if (m_nLength == 0 || !text || text[0] == CharT(0)) return false;
  const uint32_t n = TextLength(text);
  return n <= m_nLength && MatchAt(m_pData, text, n, false);
}

template <typename CharT>
bool strbase<CharT>::endswith(const CharT* text) const {
  if (m_nLength == 0 || !text || text[0] == CharT(0)) return false;
  const uint32_t n = TextLength(text);
  return n <= m_nLength && MatchAt(m_pData + (m_nLength - n), text, n, false);
}

template <typename CharT>
bool strbase<CharT>::equals(const CharT* text) const {
  if (m_nLength == 0 || !text || text[0] == CharT(0)) return false;
  return *this == text;
}

template <typename CharT>
int strbase<CharT>::find(const CharT* text, uint32_t start, bool ignorecase) const {
  if (!text || text[0] == CharT(0) || start >= m_nLength) return -1;
  const uint32_t n = TextLength(text);
  if (n > m_nLength - start) return -1;
  const uint32_t last = m_nLength - n;
  for (uint32_t i = start; i <= last; ++i) {
    if (MatchAt(m_pData + i, text, n, ignorecase)) return static_cast<int>(i);
  }
  return -1;
}

template <typename CharT>
int strbase<CharT>::reversefind(const CharT* text, int start, bool ignorecase) const {
  if (!text || text[0] == CharT(0) || m_nLength == 0) return -1;
  const uint32_t n = TextLength(text);
  if (n > m_nLength) return -1;
  int64_t i = static_cast<int64_t>(m_nLength - n);
  if (start >= 0 && start < i) i = start;
  for (; i >= 0; --i) {
    if (MatchAt(m_pData + i, text, n, ignorecase)) return static_cast<int>(i);
  }
  return -1;
}

template <typename CharT>
strbase<CharT>& strbase<CharT>::trim(bool right, bool left) {
  if (m_nLength == 0) return *this;
  uint32_t end = m_nLength;
  if (right) {
    while (end > 0 && IsBlank(m_pData[end - 1])) --end;
  }
  uint32_t begin = 0;
  if (left) {
    while (begin < end && IsBlank(m_pData[begin])) ++begin;
  }
  if (begin != 0) {
    std::memmove(m_pData, m_pData + begin, static_cast<size_t>(end - begin) * sizeof(CharT));
  }
  m_nLength = end - begin;
  m_pData[m_nLength] = CharT(0);
  return *this;
}

template <typename CharT>
strbase<CharT>& strbase<CharT>::makelower() {
  for (uint32_t i = 0; i < m_nLength; ++i) m_pData[i] = AsciiLower(m_pData[i]);
  return *this;
}

template <typename CharT>
strbase<CharT> strbase<CharT>::substr(uint32_t pos, uint32_t count) const {
  if (pos >= m_nLength) return strbase();
  const uint32_t avail = m_nLength - pos;
  return strbase(m_pData + pos, count < avail ? count : avail);
}

template class strbase<char>;
template class strbase<znwchar_t>;

// ---- strutf8 / strutf16 ----------------------------------------------------------------

strutf8::strutf8(const strutf16& text) {
  *this = text;
}

strutf8& strutf8::operator=(const strutf16& text) {
  if (!text.data()) {
    clear();
    return *this;
  }
  strutf8 out;
  out.reserve(text.length());
  Utf16ToUtf8(text.data(), text.length(), out);
  *this = std::move(out);
  return *this;
}

namespace {

// Formats into a caller-independent buffer and appends, so that arguments that
// point into the target string stay valid while they are read.
void AppendFormatted(strutf8& target, const char* fmt, va_list args) {
  if (!fmt) return;
  char stackBuf[kFormatStackBuffer];
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(stackBuf, sizeof(stackBuf), fmt, copy);
  va_end(copy);
  if (n < 0) {
    znsyslog(1, kStringTag, __LINE__, "format fail [%s]", fmt);
    return;
  }
  if (static_cast<size_t>(n) < sizeof(stackBuf)) {
    target.append(stackBuf, static_cast<uint32_t>(n));
    return;
  }
  char* heap = static_cast<char*>(std::malloc(static_cast<size_t>(n) + 1));
  if (!heap) {
    znsyslog(1, kStringTag, __LINE__, "out of memory [%d]", n);
    return;
  }
  std::vsnprintf(heap, static_cast<size_t>(n) + 1, fmt, args);
  target.append(heap, static_cast<uint32_t>(n));
  std::free(heap);
}

}  // namespace

strutf8& strutf8::format(const char* fmt, ...) {
  strutf8 out;
  va_list args;
  va_start(args, fmt);
  AppendFormatted(out, fmt, args);
  va_end(args);
  if (!out.data()) out = "";
  *this = std::move(out);
  return *this;
}

strutf8& strutf8::appendformat(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  AppendFormatted(*this, fmt, args);
  va_end(args);
  return *this;
}

strutf16::strutf16(const strutf8& text) {
  *this = text;
}

strutf16::strutf16(const char* utf8) {
  if (!utf8) return;
  Utf8ToUtf16(reinterpret_cast<const unsigned char*>(utf8), TextLength(utf8), *this);
  if (!m_pData) *this = ZN_WTEXT("");
}

strutf16& strutf16::operator=(const strutf8& text) {
  if (!text.data()) {
    clear();
    return *this;
  }
  strutf16 out(ZN_WTEXT(""));
  Utf8ToUtf16(reinterpret_cast<const unsigned char*>(text.data()), text.length(), out);
  *this = std::move(out);
  return *this;
}

// ---- stream ---------------------------------------------------------------------------

stream::stream(const void* data, uint32_t len) {
  assign(data, len);
}

stream::stream(const stream& other) {
  if (other.m_pData) assign(other.m_pData, other.m_nLength);
}

stream::stream(stream&& other) noexcept
    : m_nCapacity(other.m_nCapacity), m_nLength(other.m_nLength), m_pData(other.m_pData) {
  other.m_nCapacity = 0;
  other.m_nLength = 0;
  other.m_pData = nullptr;
}

stream::~stream() {
  FreeStorage(m_pData, m_nCapacity, m_nLength);
}

stream& stream::operator=(const stream& other) {
  if (this == &other) return *this;
  if (!other.m_pData) {
    clear();
    return *this;
  }
  return assign(other.m_pData, other.m_nLength);
}

stream& stream::operator=(stream&& other) noexcept {
  if (this == &other) return *this;
  FreeStorage(m_pData, m_nCapacity, m_nLength);
  m_nCapacity = other.m_nCapacity;
  m_nLength = other.m_nLength;
  m_pData = other.m_pData;
  other.m_nCapacity = 0;
  other.m_nLength = 0;
  other.m_pData = nullptr;
  return *this;
}

void stream::clear() {
  FreeStorage(m_pData, m_nCapacity, m_nLength);
}

stream& stream::assign(const void* data, uint32_t len) {
  if (!data) {
    clear();
    return *this;
  }
  const unsigned char* src = static_cast<const unsigned char*>(data);
  if (InsideBlock(src, m_pData, m_nCapacity)) {
    const uint32_t offset = static_cast<uint32_t>(src - m_pData);
    if (offset + static_cast<uint64_t>(len) > m_nLength) len = m_nLength - offset;
    std::memmove(m_pData, src, len);
    m_nLength = len;
    m_pData[len] = 0;
    return *this;
  }
  m_nLength = 0;
  AppendElements(m_pData, m_nCapacity, m_nLength, src, len);
  return *this;
}

stream& stream::append(const void* data, uint32_t len) {
  if (!data) return *this;
  AppendElements(m_pData, m_nCapacity, m_nLength, static_cast<const unsigned char*>(data), len);
  return *this;
}

bool stream::operator==(const stream& other) const {
  if (m_nLength != other.m_nLength) return false;
  return m_nLength == 0 || std::memcmp(m_pData, other.m_pData, m_nLength) == 0;
}

}  // namespace zn
