// Keeping a library loaded on Windows. The first hold on a module takes one
// loader reference on it; when the last hold goes, a thread of the platform
// library (which never unloads, see PinModule) gives that reference back, but
// only after every thread that gave back a hold has left the module's code:
// the code that gives back the last hold (a destructor the host called) still
// has to return through the module. A thread has left when it has ended, or
// when neither its instruction pointer, nor a register, nor a word of its live
// stack points into the module's image. Stale words that happen to point
// there only delay the release; a hold taken meanwhile keeps the reference.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "base/znplatform.h"
#include "platform/znmodule.h"

namespace {

// A thread that gave back a hold and may still run the module's code.
struct Leaver {
  DWORD id;
  HANDLE thread;  // owned; suspend, context and wait rights
};

// The holds on one module. Guarded by g_holdsLock.
struct ModuleHolds {
  uint32_t count = 0;           // holds given out
  bool referenced = false;      // one loader reference is ours
  bool kept = false;            // a leaver could not be watched: the reference stays for good
  bool releasing = false;       // a releaser thread runs for this module
  std::vector<Leaver> leavers;  // since the releaser last looked
};

// Leavers kept per module before those that ended are dropped.
constexpr size_t kLeaversBeforePrune = 64;
// The releaser's longest pause between two looks at a thread, in ms.
constexpr DWORD kLongestPause = 64;

std::mutex g_holdsLock;
std::map<HMODULE, ModuleHolds> g_holds;

// The module holding address, with a loader reference taken or not; null for
// the program itself, which never unloads.
HMODULE ModuleOf(const void* address, bool takeReference) {
  HMODULE module = nullptr;
  const DWORD flags =
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | (takeReference ? 0 : GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT);
  if (!::GetModuleHandleExW(flags, static_cast<LPCWSTR>(address), &module)) return nullptr;
  return module == ::GetModuleHandleW(nullptr) ? nullptr : module;
}

bool HasEnded(HANDLE thread) { return ::WaitForSingleObject(thread, 0) != WAIT_TIMEOUT; }

// Notes the calling thread as one that may still run the module's code.
void AddLeaver(ModuleHolds& holds) {
  const DWORD id = ::GetCurrentThreadId();
  std::vector<Leaver>& leavers = holds.leavers;
  if (leavers.size() >= kLeaversBeforePrune) {
    const auto ended = [](const Leaver& l) {
      if (!HasEnded(l.thread)) return false;
      ::CloseHandle(l.thread);
      return true;
    };
    leavers.erase(std::remove_if(leavers.begin(), leavers.end(), ended), leavers.end());
  }
  for (const Leaver& l : leavers) {
    if (l.id == id && !HasEnded(l.thread)) return;  // ids are unique among live threads
  }
  HANDLE thread = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &thread,
                         SYNCHRONIZE | THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION,
                         FALSE, 0)) {
    holds.kept = true;
    return;
  }
  leavers.push_back(Leaver{id, thread});
}

bool Inside(uintptr_t value, uintptr_t begin, uintptr_t end) { return value >= begin && value < end; }

// Whether the suspended thread may still run code of [begin, end).
bool RunsCodeOf(const CONTEXT& context, uintptr_t begin, uintptr_t end) {
#if defined(_M_X64) || defined(__x86_64__)
  const uintptr_t registers[] = {context.Rip, context.Rax, context.Rbx, context.Rcx, context.Rdx,
                                 context.Rsi, context.Rdi, context.Rbp, context.R8,  context.R9,
                                 context.R10, context.R11, context.R12, context.R13, context.R14, context.R15};
  const uintptr_t sp = context.Rsp;
#else
  const uintptr_t registers[] = {context.Eip, context.Eax, context.Ebx, context.Ecx,
                                 context.Edx, context.Esi, context.Edi, context.Ebp};
  const uintptr_t sp = context.Esp;
#endif
  for (uintptr_t value : registers) {
    if (Inside(value, begin, end)) return true;
  }
  // The live stack runs from sp to the end of its committed region.
  MEMORY_BASIC_INFORMATION region;
  if (!::VirtualQuery(reinterpret_cast<const void*>(sp), &region, sizeof region)) return true;
  const uintptr_t top = reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
  for (uintptr_t at = sp & ~(sizeof(uintptr_t) - 1); at + sizeof(uintptr_t) <= top; at += sizeof(uintptr_t)) {
    if (Inside(*reinterpret_cast<const uintptr_t*>(at), begin, end)) return true;
  }
  return false;
}

// Returns once the thread has left [begin, end) or ended.
void WaitUntilLeft(HANDLE thread, uintptr_t begin, uintptr_t end) {
  for (DWORD pause = 1;; pause = std::min(pause * 2, kLongestPause)) {
    if (HasEnded(thread)) return;
    if (::SuspendThread(thread) != static_cast<DWORD>(-1)) {
      // Nothing here allocates: the suspended thread may hold the heap's lock.
      CONTEXT context = {};
      context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
      const bool inside = !::GetThreadContext(thread, &context) || RunsCodeOf(context, begin, end);
      ::ResumeThread(thread);
      if (!inside) return;
    }
    ::Sleep(pause);
  }
}

// The releaser thread of one module: gives the loader reference back once the
// module has no holds and no thread runs its code.
DWORD WINAPI ReleaseWhenLeft(void* arg) {
  const HMODULE module = static_cast<HMODULE>(arg);
  const uintptr_t begin = reinterpret_cast<uintptr_t>(module);
  const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module);
  const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(begin + dos->e_lfanew);
  const uintptr_t end = begin + nt->OptionalHeader.SizeOfImage;
  for (;;) {
    std::vector<Leaver> leavers;
    {
      std::lock_guard<std::mutex> lock(g_holdsLock);
      ModuleHolds& holds = g_holds[module];
      if (holds.count != 0 || holds.kept) {
        // The new holders share the reference we still have.
        holds.releasing = false;
        return 0;
      }
      if (holds.leavers.empty()) {
        g_holds.erase(module);
        break;
      }
      leavers.swap(holds.leavers);
    }
    for (const Leaver& leaver : leavers) {
      WaitUntilLeft(leaver.thread, begin, end);
      ::CloseHandle(leaver.thread);
    }
  }
  ::FreeLibrary(module);
  return 0;
}

}  // namespace

namespace znplatform {

void PinModule(const void* address) {
  HMODULE module = nullptr;
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       static_cast<LPCWSTR>(address), &module);
}

}  // namespace znplatform

void znmodule_hold(const void* address) {
  const HMODULE module = ModuleOf(address, false);
  if (!module) return;
  std::lock_guard<std::mutex> lock(g_holdsLock);
  ModuleHolds& holds = g_holds[module];
  if (holds.count++ == 0 && !holds.referenced) holds.referenced = ModuleOf(address, true) != nullptr;
}

void znmodule_release(const void* address) {
  const HMODULE module = ModuleOf(address, false);
  if (!module) return;
  std::lock_guard<std::mutex> lock(g_holdsLock);
  const auto it = g_holds.find(module);
  if (it == g_holds.end() || it->second.count == 0) return;
  ModuleHolds& holds = it->second;
  AddLeaver(holds);
  if (--holds.count != 0 || !holds.referenced || holds.kept || holds.releasing) return;
  // The releaser runs in this library, which stays loaded (PinModule).
  const HANDLE releaser =
      ::CreateThread(nullptr, 64 * 1024, &ReleaseWhenLeft, module, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (!releaser) {
    holds.kept = true;  // without a thread to watch the leavers, the module stays
    return;
  }
  holds.releasing = true;
  ::CloseHandle(releaser);
}
