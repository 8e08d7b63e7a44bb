# Cross build for Windows x86-64 with Debian's mingw-w64 compilers, in the
# win32 thread model: the library uses Win32 locks and threads, so the DLL
# needs no winpthread runtime.
#
# Extra prefixes to search (the cross-built OpenSSL, for libssh2's own build)
# come in TW_CROSS_PREFIXES; the machine's own headers and libraries are never
# searched, only the mingw-w64 sysroot and those prefixes.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TW_CROSS x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TW_CROSS}-gcc-win32)
set(CMAKE_CXX_COMPILER ${TW_CROSS}-g++-win32)
set(CMAKE_RC_COMPILER ${TW_CROSS}-windres)
set(CMAKE_AR ${TW_CROSS}-gcc-ar-win32 CACHE FILEPATH "")
set(CMAKE_RANLIB ${TW_CROSS}-gcc-ranlib-win32 CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${TW_CROSS} ${TW_CROSS_PREFIXES})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TW_CROSS_PREFIXES)
