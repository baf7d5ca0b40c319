# Cross-compiles for 32-bit Windows in the Microsoft C++ ABI, the ABI of
# programs built by Visual C++ with /MD: Debian's clang 14 in Microsoft mode
# with lld-link, Microsoft's C++ standard library (microsoft/STL) for headers
# and a few of its sources, mingw-w64's headers in UCRT mode for the C
# library and the Windows API, and the stand-ins in vcrt/ for the closed parts
# of the Visual C++ runtime. At run time the modules import msvcp140.dll,
# vcruntime140.dll and ucrtbase.dll.
#
#   ZN_MSVC_STL_DIR      the stl/ folder of microsoft/STL (inc/ and src/)
#   ZN_MSVC_RUNTIME_DIR  where vcrt/ was built (its lib/ holds the runtime's
#                        libraries); empty while building vcrt/ itself
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZN_MSVC_ABI ON)
set(ZN_LLVM_VERSION 14)
set(ZN_MINGW_PREFIX i686-w64-mingw32)

# C libraries built by mingw-w64's GCC link into Microsoft-ABI images as they
# are (the C ABI is common): winpthreads, which the platform library's locks
# use, and OpenSSL; GCC's own helper library serves both.
set(ZN_MINGW_LIBGCC /usr/lib/gcc/${ZN_MINGW_PREFIX}/12-posix/libgcc.a)
set(ZN_MINGW_WINPTHREAD /usr/${ZN_MINGW_PREFIX}/lib/libwinpthread.a)

set(CMAKE_C_COMPILER clang-${ZN_LLVM_VERSION})
set(CMAKE_CXX_COMPILER clang++-${ZN_LLVM_VERSION})
set(CMAKE_C_COMPILER_TARGET i686-pc-windows-msvc)
set(CMAKE_CXX_COMPILER_TARGET i686-pc-windows-msvc)
set(CMAKE_LINKER lld-link-${ZN_LLVM_VERSION})
set(CMAKE_AR llvm-ar-${ZN_LLVM_VERSION})
set(CMAKE_RANLIB llvm-ranlib-${ZN_LLVM_VERSION})
set(CMAKE_RC_COMPILER llvm-rc-${ZN_LLVM_VERSION})
set(CMAKE_MT llvm-mt-${ZN_LLVM_VERSION})

# The variables try_compile() passes on to the projects it makes.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZN_MSVC_STL_DIR ZN_MSVC_RUNTIME_DIR ZN_WIN32_DEPS)
set(ZN_MSVC_STL_DIR "$ENV{ZN_MSVC_STL_DIR}" CACHE PATH "The stl/ folder of microsoft/STL")
set(ZN_MSVC_RUNTIME_DIR "$ENV{ZN_MSVC_RUNTIME_DIR}" CACHE PATH "Where vcrt/ was built")
if(NOT EXISTS "${ZN_MSVC_STL_DIR}/inc/yvals_core.h")
  message(FATAL_ERROR "ZN_MSVC_STL_DIR (${ZN_MSVC_STL_DIR}) is not the stl/ folder of microsoft/STL")
endif()
get_filename_component(ZN_VCRT_DIR "${CMAKE_CURRENT_LIST_DIR}/../vcrt" ABSOLUTE)
execute_process(COMMAND ${CMAKE_C_COMPILER} -print-resource-dir OUTPUT_VARIABLE ZN_CLANG_RESOURCE_DIR
  OUTPUT_STRIP_TRAILING_WHITESPACE)

# The headers, in this order: the runtime stand-ins, the C++ library,
# clang's own (intrinsics, stddef.h, stdarg.h), the C library and Windows.
# mingw-w64's headers read as the UCRT's with these definitions; _DLL and _MT
# select the DLL runtime as /MD does; _X86_ is what mingw-w64's headers test
# for the processor; the intrinsics that clang's intrin.h defines (five
# string moves and the compiler barrier) are marked as defined for mingw-w64's
# winnt.h. The C++ library's vectorised algorithms are left out:
# clang 14 cannot build their source.
set(ZN_MSVC_FLAGS
  "-fms-compatibility-version=19.33 -fgnuc-version=4.2.1 -nostdlibinc \
-isystem ${ZN_VCRT_DIR}/include -isystem ${ZN_MSVC_STL_DIR}/inc -isystem ${ZN_CLANG_RESOURCE_DIR}/include \
-isystem /usr/${ZN_MINGW_PREFIX}/include \
-D_UCRT -D__MSVCRT_VERSION__=0xE00 -D__USE_MINGW_ANSI_STDIO=0 -D_DLL -D_MT -D_X86_=1 \
-DUSE_NO_MINGW_SETJMP_TWO_ARGS -D_USE_STD_VECTOR_ALGORITHMS=0 \
-D__INTRINSIC_DEFINED___stosw -D__INTRINSIC_DEFINED___stosd -D__INTRINSIC_DEFINED___movsb \
-D__INTRINSIC_DEFINED___movsw -D__INTRINSIC_DEFINED___movsd -D_ReadWriteBarrier=_ReadWriteBarrier -Wno-unused-command-line-argument")
set(CMAKE_C_FLAGS_INIT "${ZN_MSVC_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${ZN_MSVC_FLAGS}")

# Linking: lld-link (lld-14's, found through -B) through the clang driver,
# without the default libraries
# of a Visual C++ installation; the runtime's libraries come from vcrt/ and
# the Windows API's from mingw-w64's import libraries (lld-link reads them).
# SafeSEH is off: the OpenSSL objects built by GCC carry no SafeSEH table.
set(ZN_MSVC_LINK_FLAGS "-fuse-ld=lld -B/usr/lib/llvm-${ZN_LLVM_VERSION}/bin -nostdlib -Xlinker /safeseh:no -Xlinker /libpath:/usr/${ZN_MINGW_PREFIX}/lib")
# The DLL runtime, release flavour, in every configuration (/MD): the
# objects ask for msvcrt.lib and oldnames.lib, the C++ headers for msvcprt.lib.
# (Projects that predate CMake 3.15, GoogleTest among them, are told to
# honour the setting.) Checks build in the release configuration: there is no
# debug runtime.
set(CMAKE_MSVC_RUNTIME_LIBRARY MultiThreadedDLL)
set(CMAKE_POLICY_DEFAULT_CMP0091 NEW)
set(CMAKE_TRY_COMPILE_CONFIGURATION Release)
# (GCC's helper library last: 64-bit division and stack probes for the
# objects GCC built.)
if(ZN_MSVC_RUNTIME_DIR)
  string(APPEND ZN_MSVC_LINK_FLAGS " -Xlinker /libpath:${ZN_MSVC_RUNTIME_DIR}/lib")
  set(CMAKE_C_STANDARD_LIBRARIES "-loldnames -lkernel32 -luser32 -ladvapi32 ${ZN_MINGW_LIBGCC}")
  set(CMAKE_CXX_STANDARD_LIBRARIES "${CMAKE_C_STANDARD_LIBRARIES}")
else()
  # vcrt/ itself: nothing can be linked yet, so checks only compile.
  set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
endif()
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "${ZN_MSVC_LINK_FLAGS}")
endforeach()

set(CMAKE_FIND_ROOT_PATH /usr/${ZN_MINGW_PREFIX})
if(ZN_MSVC_RUNTIME_DIR)
  list(APPEND CMAKE_FIND_ROOT_PATH ${ZN_MSVC_RUNTIME_DIR})
endif()
# ZN_WIN32_DEPS: the folder where scripts/install-deps-win32 keeps OpenSSL
# (a C library: its mingw-w64 build links into either ABI) and Asio's links.
if(ZN_WIN32_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${ZN_WIN32_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
find_program(ZN_WINE wine)
if(ZN_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZN_WINE})
endif()
