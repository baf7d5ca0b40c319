// Thread-local storage of the module: the TLS directory the loader reads,
// the index it fills in, on-demand initialisation of thread_local objects
// and the destructors registered for them.
#include <stdlib.h>

#include "internal.h"

// The loader copies .tls (bounded by _tls_start and _tls_end) into every
// thread's block and stores the block's index in _tls_index.
#pragma section(".tls", long, read, write)
#pragma section(".tls$ZZZ", long, read, write)
__declspec(allocate(".tls")) char _tls_start = 0;
__declspec(allocate(".tls$ZZZ")) char _tls_end = 0;
ULONG _tls_index = 0;

// TLS callbacks, called by the loader on process and thread attach and detach.
#pragma section(".CRT$XLA", long, read)
#pragma section(".CRT$XLZ", long, read)
__declspec(allocate(".CRT$XLA")) PIMAGE_TLS_CALLBACK __xl_a = 0;
__declspec(allocate(".CRT$XLZ")) PIMAGE_TLS_CALLBACK __xl_z = 0;

// The linker finds the directory by this name.
const IMAGE_TLS_DIRECTORY32 _tls_used = {
    (DWORD)(ULONG_PTR)&_tls_start, (DWORD)(ULONG_PTR)&_tls_end, (DWORD)(ULONG_PTR)&_tls_index,
    (DWORD)(ULONG_PTR)(&__xl_a + 1), 0, 0};

// Offset of the TLS array in the x86 thread environment block (fs:[0x2C]);
// compiled code reads it through this symbol.
__asm__(".globl __tls_array\n__tls_array = 44\n");

// Set once the calling thread has run the thread_local initialisers; the
// compiler checks it before every access to such an object.
__declspec(thread) char __tls_guard = 0;

void __cdecl __dyn_tls_on_demand_init(void) {
  if (__tls_guard) return;
  __tls_guard = 1;
  for (_PVFV* init = __xd_a; init < __xd_z; ++init) {
    if (*init) (*init)();
  }
}

// Destructors of the calling thread's thread_local objects, newest first.
typedef struct TlsDestructor {
  struct TlsDestructor* next;
  _PVFV destroy;
} TlsDestructor;
static __declspec(thread) TlsDestructor* t_destructors = 0;

void __cdecl __tlregdtor(_PVFV destroy) {
  TlsDestructor* node = (TlsDestructor*)malloc(sizeof(TlsDestructor));
  if (!node) abort();
  node->destroy = destroy;
  node->next = t_destructors;
  t_destructors = node;
}

void __zn_run_thread_local_destructors(void) {
  while (t_destructors) {
    TlsDestructor* node = t_destructors;
    t_destructors = node->next;
    node->destroy();
    free(node);
  }
}

// The module's TLS callback (the linker asks for it by this name when the
// compiler initialises thread_local objects on demand): initialisation waits
// for the first access, destruction happens here when the thread ends.
void NTAPI __dyn_tls_init(PVOID module, DWORD reason, PVOID reserved) {
  (void)module;
  (void)reserved;
  if (reason == DLL_THREAD_DETACH || reason == DLL_PROCESS_DETACH) __zn_run_thread_local_destructors();
}
#pragma section(".CRT$XLD", long, read)
__declspec(allocate(".CRT$XLD")) PIMAGE_TLS_CALLBACK __zn_tls_callback = __dyn_tls_init;
