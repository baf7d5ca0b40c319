// Keeping a library loaded on Windows. The first hold on a module takes one
// loader reference on it; when the last hold goes, a thread of the platform
// library (which never unloads, see PinModule) gives that reference back once
// every thread that gave back a hold has left the code: the holds are given
// back as the last step of a deallocation, after which such a thread still
// returns through this library's and the module's code. A thread has left
// when it has ended, or when it is seen (suspended) with its instruction
// pointer in neither library's code and no return address into either near
// the top of its stack. A stale word there only delays the release; a hold
// taken meanwhile keeps the reference.
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
// The releaser's first look at a thread comes this many ms after the last
// hold went, and the longest pause between two looks.
constexpr DWORD kFirstLook = 10;
constexpr DWORD kLongestPause = 64;
// Looks at one thread before the releaser stops watching it and keeps the
// reference for good (about ten seconds): the module then simply stays
// loaded, and no host thread is suspended over and over for the rest of the run.
constexpr int kLooksBeforeKeeping = 160;
// The words above a thread's stack pointer that may hold the return addresses
// of the few frames that give back a hold: the deallocation, the deleting
// destructor and the release call with its lock.
constexpr uintptr_t kReturnWords = 96;

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

// The span of a module's executable sections, where an instruction pointer or
// a return address into it points. Its handle and data (a host's HMODULE, a
// table of virtual operations) lie elsewhere in the image.
struct CodeSpan {
  uintptr_t begin = 0;
  uintptr_t end = 0;
  explicit CodeSpan(HMODULE module);
  bool Holds(uintptr_t value) const { return value >= begin && value < end; }
};

CodeSpan::CodeSpan(HMODULE module) {
  const uintptr_t base = reinterpret_cast<uintptr_t>(module);
  const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module);
  const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
  begin = base + nt->OptionalHeader.SizeOfImage;
  end = base;
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
    if (!(section->Characteristics & IMAGE_SCN_MEM_EXECUTE)) continue;
    begin = std::min<uintptr_t>(begin, base + section->VirtualAddress);
    end = std::max<uintptr_t>(end, base + section->VirtualAddress + section->Misc.VirtualSize);
  }
}

// Whether the suspended thread may still run code of either span.
bool RunsCodeOf(const CONTEXT& context, const CodeSpan& module, const CodeSpan& platform) {
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
    if (module.Holds(value) || platform.Holds(value)) return true;
  }
  // The live stack runs from sp to the end of its committed region.
  MEMORY_BASIC_INFORMATION region;
  if (!::VirtualQuery(reinterpret_cast<const void*>(sp), &region, sizeof region)) return true;
  const uintptr_t top = std::min<uintptr_t>(reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize,
                                            sp + kReturnWords * sizeof(uintptr_t));
  for (uintptr_t at = sp & ~(sizeof(uintptr_t) - 1); at + sizeof(uintptr_t) <= top; at += sizeof(uintptr_t)) {
    const uintptr_t value = *reinterpret_cast<const uintptr_t*>(at);
    if (module.Holds(value) || platform.Holds(value)) return true;
  }
  return false;
}

// True once the thread has left both spans or ended; false when it is still
// seen inside after about kLooksBeforeKeeping looks, which a stale word near
// the top of an idle thread's stack can cause for good.
bool WaitUntilLeft(HANDLE thread, const CodeSpan& module, const CodeSpan& platform) {
  DWORD pause = kFirstLook;
  for (int look = 0; look < kLooksBeforeKeeping; ++look, pause = std::min(pause * 2, kLongestPause)) {
    if (HasEnded(thread)) return true;
    if (::SuspendThread(thread) != static_cast<DWORD>(-1)) {
      // Nothing here allocates: the suspended thread may hold the heap's lock.
      CONTEXT context = {};
      context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
      const bool inside = !::GetThreadContext(thread, &context) || RunsCodeOf(context, module, platform);
      ::ResumeThread(thread);
      if (!inside) return true;
    }
    ::Sleep(pause);
  }
  return HasEnded(thread);
}

// The releaser thread of one module: gives the loader reference back once the
// module has no holds and no thread runs its code.
DWORD WINAPI ReleaseWhenLeft(void* arg) {
  const HMODULE module = static_cast<HMODULE>(arg);
  HMODULE self = nullptr;
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&g_holdsLock), &self);
  const CodeSpan code(module);
  const CodeSpan platform(self);
  ::Sleep(kFirstLook);
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
    bool left = true;
    for (const Leaver& leaver : leavers) {
      left = left && WaitUntilLeft(leaver.thread, code, platform);
      ::CloseHandle(leaver.thread);
    }
    if (!left) {
      std::lock_guard<std::mutex> lock(g_holdsLock);
      ModuleHolds& holds = g_holds[module];
      holds.kept = true;
      holds.releasing = false;
      return 0;
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
  // The releaser runs this library's code while the module goes, which may
  // be the only reason this library is loaded.
  static const bool s_bPinned = (znplatform::PinModule(&g_holdsLock), true);
  (void)s_bPinned;
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
