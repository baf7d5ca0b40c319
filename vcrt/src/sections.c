// The initialiser tables. The linker sorts the parts of a section by the text
// after '$', so the A and Z entries here bound the entries compilers place
// between them (.CRT$XCU for C++ dynamic initialisation, .CRT$XDU for
// thread_local variables). The bounds are null; the walkers skip nulls.
#include "internal.h"

#pragma section(".CRT$XIA", long, read)
#pragma section(".CRT$XIZ", long, read)
#pragma section(".CRT$XCA", long, read)
#pragma section(".CRT$XCZ", long, read)
#pragma section(".CRT$XDA", long, read)
#pragma section(".CRT$XDZ", long, read)

__declspec(allocate(".CRT$XIA")) _PIFV __xi_a[] = {0};
__declspec(allocate(".CRT$XIZ")) _PIFV __xi_z[] = {0};
__declspec(allocate(".CRT$XCA")) _PVFV __xc_a[] = {0};
__declspec(allocate(".CRT$XCZ")) _PVFV __xc_z[] = {0};
__declspec(allocate(".CRT$XDA")) _PVFV __xd_a[] = {0};
__declspec(allocate(".CRT$XDZ")) _PVFV __xd_z[] = {0};

// A program that uses floating point references this symbol; its value is
// the conventional marker.
int _fltused = 0x9875;

// The instruction-set level the standard library may rely on: the baseline,
// so it takes its portable paths.
int __isa_available = 0;
