# Cross build for 64-bit Windows with Debian's MinGW-w64 (POSIX thread model, so that
# std::thread and std::jthread work). Programs are linked statically: they run on a plain
# Windows, and under Wine, without the compiler's DLLs beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZAV_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZAV_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZAV_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ZAV_MINGW_TRIPLET}-windres)

# Headers and libraries (zlib included) come from the target's root only; build tools from
# the host.
set(CMAKE_FIND_ROOT_PATH /usr/${ZAV_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(ZLIB_USE_STATIC_LIBS ON)
