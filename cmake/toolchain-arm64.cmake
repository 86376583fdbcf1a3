# Cross build for Linux on 64-bit ARM with Debian's cross compiler and the
# arm64 libraries installed through multiarch (tools/cross-build arm64).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Programs built here run under user-mode emulation (test discovery too).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)
# Headers and libraries of the arm64 packages; the host header m_pd.h is the
# same on every system and comes from the x86-64 package.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_STRIP aarch64-linux-gnu-strip)
