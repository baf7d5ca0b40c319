# Cross-compiles for 32-bit Windows with Debian's mingw-w64 (the posix thread
# flavour, which brings std::thread through winpthreads).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZN_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${ZN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZN_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ZN_MINGW_PREFIX})
# ZN_WIN32_DEPS: the folder where scripts/install-deps-win32 keeps OpenSSL,
# GoogleTest and the Asio include links built for this target.
if(ZN_WIN32_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${ZN_WIN32_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Programs built here run under Wine: CTest, test discovery and custom
# commands start them through it.
find_program(ZN_WINE wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ZN_WINE})
