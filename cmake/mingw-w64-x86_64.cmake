# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (package
# g++-mingw-w64-x86-64-posix). Used to build Qt (scripts/windows-qt.sh) and
# the project itself:
#   cmake -S . -B build-win -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#     -DCMAKE_PREFIX_PATH=<Qt prefix printed by scripts/windows-qt.sh> \
#     -DQT_HOST_PATH=/usr
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(MINGW_TRIPLET x86_64-w64-mingw32)

# The posix-threads flavour: std::thread, std::mutex and friends need it (the
# win32 flavour of GCC 12 has none). Its runtime DLLs (libstdc++-6.dll,
# libgcc_s_seh-1.dll, libwinpthread-1.dll) ship beside the program.
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

# Libraries, headers and CMake packages come from the mingw sysroot and from
# the prefixes given in CMAKE_PREFIX_PATH (the cross-built Qt), never from the
# build machine's /usr; programs run during the build (moc, rcc, uic, ...)
# come from the build machine (Qt finds them through QT_HOST_PATH).
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must not hand the build machine's libraries to a Windows build.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${MINGW_TRIPLET}/lib/pkgconfig)
unset(ENV{PKG_CONFIG_PATH})
