# Cross build for Windows x86-64 with Debian's MinGW-w64 compiler (the POSIX
# threads variant, for std::thread) (tools/cross-build windows). FFTW comes
# from QAVEX_FFTW_PREFIX, a static build made for MinGW.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_DLLTOOL x86_64-w64-mingw32-dlltool)
set(CMAKE_STRIP x86_64-w64-mingw32-strip)
# Test programs run under Wine (Debian's wine64 keeps its loader in /usr/lib/wine).
find_program(QAVEX_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(QAVEX_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QAVEX_WINE})
endif()
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# FFTW comes from a folder outside the MinGW root.
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
