// The platform library's C-style interface: logging, threads, time, random
// numbers, number parsing, GBK conversion, locks, reader-writer locks and
// events. Everything here is implemented in platform/ and is safe to call from
// any thread unless a function says otherwise.
#pragma once

#include "base/zndef.h"
#include "base/znstring.h"

// ---- logging -------------------------------------------------------------------
// Levels: 1 failures, 2 warnings and time-outs, 3 events of a request, 4 detail.
// Formats are printf-style and may use the MSVC length modifier I64 ("%I64u"),
// which is rewritten to its C99 form before formatting. Arguments must have
// exactly the width the format names.
ZNBASE_API void znsyslog(int level, const char* tag, int line, const char* format, ...);

// Receives each line that passes the threshold: level, tag, source line and the
// formatted text. Called on the logging thread; must be thread-safe.
typedef void (*znsyslog_sink_t)(int level, const char* tag, int line, const char* text, void* ctx);
// Lines with a level above the threshold are dropped. 0 (the default) drops all.
ZNBASE_API void znsyslog_setlevel(int maxLevel);
ZNBASE_API int znsyslog_getlevel();
// Replaces the sink (null: write "[level] tag:line text" lines to standard error).
ZNBASE_API void znsyslog_setsink(znsyslog_sink_t sink, void* ctx);

// ---- threads, time, numbers ------------------------------------------------------
// An id of the calling thread, never 0, unique among the live threads.
ZNBASE_API uint64_t znthread_selfid();
// Seconds since the epoch.
ZNBASE_API uint32_t zn_time();
// A pseudo-random number; thread-safe.
ZNBASE_API uint32_t zn_rand();
// "0x"/"0X" text is read as hexadecimal, anything else as decimal; leading
// blanks are skipped and reading stops at the first non-digit. No digits: false
// and 0. A value beyond 32 bits: false and 0xFFFFFFFF.
ZNBASE_API bool zn_str2uint32(const char* text, uint32_t* out);
// The same reading for lengths and positions of 64 bits. A value beyond 64
// bits: false and UINT64_MAX.
ZNBASE_API bool zn_str2uint64(const char* text, uint64_t* out);

// Receives one certificate of the system's trust store, DER-encoded; the
// bytes are valid during the call only.
typedef void (*zn_certsink_t)(const unsigned char* der, uint32_t len, void* ctx);
// Hands every certificate of the system's store of trusted roots to sink (on
// Windows the "ROOT" store) and returns how many; -1 where the system keeps
// no such store of its own, and TLS is to take OpenSSL's default paths (the
// distribution's CA bundle and folder).
ZNBASE_API int zn_enumsystemrootcerts(zn_certsink_t sink, void* ctx);

// ---- verified TLS settings of the HTTP library's clients ---------------------------
// pClient is the client's zn::IHttpClient address. On: its HTTPS connections
// verify the chain and the name, against the trust anchors of pszCAPath when
// it is neither null nor empty, else the system's store. Off (the default)
// forgets the client; a client turns itself off when it is destroyed.
ZNBASE_API void zn_tlsverify_set(const void* pClient, bool bVerify, const char* pszCAPath);
// True when verification is on for pClient, with its CA path (empty: the system's store).
ZNBASE_API bool zn_tlsverify_get(const void* pClient, zn::strutf8& strCAPath);

// The monotonic performance counter and its frequency (ticks per second).
ZNBASE_API uint64_t zn_perfcounter();
ZNBASE_API uint64_t zn_perffrequency();
// The millisecond split formula of the clock, kept pure so that it can be tested:
// s = c / f, r = c - s * f, result s * 1000 + r * 1000 / f.
inline uint64_t zn_ticks_from_counter(uint64_t c, uint64_t f) {
  const uint64_t s = c / f;
  const uint64_t r = c - s * f;
  return s * 1000 + (r * 1000) / f;
}

// ---- keeping a library loaded -------------------------------------------------------
// A library whose objects outlive a host's unload call (FreeLibrary, dlclose)
// keeps itself loaded while any of them exists. address is any address inside
// that library; the program itself is never unloaded and needs no hold.
// Takes one hold; the first one takes a reference on the library from the
// system's loader.
ZNBASE_API void znmodule_hold(const void* address);
// Gives back one hold; meant as the last step of freeing such an object, so
// that only returns remain. The loader's reference goes back after the last
// hold, once every thread that gave one back has left the library's code.
ZNBASE_API void znmodule_release(const void* address);

// ---- GBK --------------------------------------------------------------------------
// UTF-16 text to GBK bytes and back (glibc iconv). False when the text cannot be
// converted; out is then empty.
ZNBASE_API bool znutf162gbk(const zn::strutf16& in, zn::strutf8& out);
ZNBASE_API bool zngbk2utf16(const char* gbk, uint32_t len, zn::strutf16& out);

// ---- locks ------------------------------------------------------------------------
// A mutex record stored inside its owner (large enough for pthread_mutex_t).
struct znlock_t {
  alignas(16) unsigned char opaque[64];
};
ZNBASE_API void znlock_init(znlock_t* lock);
ZNBASE_API void znlock_lock(znlock_t* lock);
ZNBASE_API int znlock_trylock(znlock_t* lock);  // 0 = taken
ZNBASE_API void znlock_unlock(znlock_t* lock);
ZNBASE_API void znlock_destroy(znlock_t* lock);

typedef void* znrwlock_t;
ZNBASE_API znrwlock_t znrwlock_alloc();
ZNBASE_API int znrwlock_rdlock(znrwlock_t lock);
ZNBASE_API int znrwlock_wrlock(znrwlock_t lock);
ZNBASE_API int znrwlock_tryrdlock(znrwlock_t lock);  // 0 = taken
ZNBASE_API int znrwlock_tryrwlock(znrwlock_t lock);  // 0 = taken
ZNBASE_API int znrwlock_unlock(znrwlock_t lock);
ZNBASE_API void znrwlock_destroy(znrwlock_t lock);

// ---- events -----------------------------------------------------------------------
typedef void* znevent_t;
// manualReset: stays signalled until reset; else a successful wait resets it.
ZNBASE_API znevent_t znevent_create(bool manualReset, bool initialState);
ZNBASE_API void znevent_signal(znevent_t ev);
ZNBASE_API void znevent_reset(znevent_t ev);
// 0 when signalled within ms milliseconds (negative: wait forever), else non-zero.
ZNBASE_API int znevent_timedwait(znevent_t ev, int64_t ms);
ZNBASE_API bool znevent_issignaled(znevent_t ev);
ZNBASE_API void znevent_destory(znevent_t ev);

// ---- file names -------------------------------------------------------------------
class ZNBASE_API CHttpInfoParser {
 public:
  // The last component of a path, after the last "/" or "\". False for null.
  static bool GetPureFileName(const char* path, zn::strutf8& name);
};
