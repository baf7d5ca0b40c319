// The table of virtual operations of type_info, which every type descriptor
// the compiler emits points to, and the list of readable names this module
// has asked vcruntime140.dll to build (released when the module ends).
#include <stdlib.h>

#include <typeinfo>

extern "C" {
__type_info_node __type_info_root_node;
__declspec(dllimport) void __cdecl __std_type_info_destroy_list(__type_info_node*);
}

type_info::~type_info() noexcept {}

// The table holds one entry, the deleting destructor: (this, flags) ->
// this, called with this in ECX. Type descriptors are never deleted, so it
// frees nothing.
__asm__(
    ".section .rdata,\"dr\"\n"
    ".p2align 2\n"
    ".globl \"??_7type_info@@6B@\"\n"
    "\"??_7type_info@@6B@\":\n"
    "  .long \"??_Gtype_info@@UAEPAXI@Z\"\n"
    ".text\n"
    ".p2align 4\n"
    ".globl \"??_Gtype_info@@UAEPAXI@Z\"\n"
    "\"??_Gtype_info@@UAEPAXI@Z\":\n"
    "  movl %ecx, %eax\n"
    "  retl $4\n");

namespace {
// Registered from the module's initialisers.
struct NameListOwner {
  ~NameListOwner() { __std_type_info_destroy_list(&__type_info_root_node); }
} g_name_list_owner;
}  // namespace
