// mingw-w64's stdio.h, with the UCRT function the C++ library's file streams
// use to reach a FILE's buffer pointers.
#pragma once
#include_next <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif
__declspec(dllimport) errno_t __cdecl _get_stream_buffer_pointers(FILE* _Stream, char*** _Base, char*** _Ptr,
                                                                 int** _Count);
#ifdef __cplusplus
}
#endif
