// mingw-w64's math.h, with the C99 classification and comparison macros
// replaced for C++ by functions, as the UCRT's header declares them: the C++
// standard library brings them into namespace std by name.
#pragma once
#include_next <math.h>

#ifdef __cplusplus
#undef fpclassify
#undef signbit
#undef isfinite
#undef isinf
#undef isnan
#undef isnormal
#undef isgreater
#undef isgreaterequal
#undef isless
#undef islessequal
#undef islessgreater
#undef isunordered

extern "C++" {
#define _ZN_CLASSIFY(_Ty)                                                                           \
  inline int fpclassify(_Ty _X) noexcept {                                                         \
    return __builtin_fpclassify(FP_NAN, FP_INFINITE, FP_NORMAL, FP_SUBNORMAL, FP_ZERO, _X);         \
  }                                                                                                \
  inline bool signbit(_Ty _X) noexcept { return __builtin_signbit(_X) != 0; }                      \
  inline bool isfinite(_Ty _X) noexcept { return __builtin_isfinite(_X); }                         \
  inline bool isinf(_Ty _X) noexcept { return __builtin_isinf(_X); }                               \
  inline bool isnan(_Ty _X) noexcept { return __builtin_isnan(_X); }                               \
  inline bool isnormal(_Ty _X) noexcept { return __builtin_isnormal(_X); }
_ZN_CLASSIFY(float)
_ZN_CLASSIFY(double)
_ZN_CLASSIFY(long double)
#undef _ZN_CLASSIFY

// Integer arguments are classified as double.
template <class _Ty>
inline int fpclassify(_Ty _X) noexcept { return fpclassify(static_cast<double>(_X)); }
template <class _Ty>
inline bool signbit(_Ty _X) noexcept { return signbit(static_cast<double>(_X)); }
template <class _Ty>
inline bool isfinite(_Ty _X) noexcept { return isfinite(static_cast<double>(_X)); }
template <class _Ty>
inline bool isinf(_Ty _X) noexcept { return isinf(static_cast<double>(_X)); }
template <class _Ty>
inline bool isnan(_Ty _X) noexcept { return isnan(static_cast<double>(_X)); }
template <class _Ty>
inline bool isnormal(_Ty _X) noexcept { return isnormal(static_cast<double>(_X)); }

// The comparisons take the common floating type of their arguments.
#define _ZN_COMPARE(_Name, _Builtin)                                         \
  template <class _Ty1, class _Ty2>                                          \
  inline bool _Name(_Ty1 _X, _Ty2 _Y) noexcept {                             \
    using _Common = decltype(_X + _Y + 0.0f);                                \
    return _Builtin(static_cast<_Common>(_X), static_cast<_Common>(_Y));     \
  }
_ZN_COMPARE(isgreater, __builtin_isgreater)
_ZN_COMPARE(isgreaterequal, __builtin_isgreaterequal)
_ZN_COMPARE(isless, __builtin_isless)
_ZN_COMPARE(islessequal, __builtin_islessequal)
_ZN_COMPARE(islessgreater, __builtin_islessgreater)
_ZN_COMPARE(isunordered, __builtin_isunordered)
#undef _ZN_COMPARE
}
#endif
