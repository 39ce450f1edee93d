# Cross toolchain of the Windows executable, built on Debian with MinGW-w64
# (g++-mingw-w64-x86-64): a 64-bit static PE whose code is Windows code throughout (LLP64,
# 16-bit wchar_t, the MinGW C runtime). scripts/build uses it:
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# The posix thread model: the win32 one has no std::thread or std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# Libraries come from MinGW-w64's own folder (zlib) and from build/mingw-deps/prefix (libpng,
# the nlohmann headers; scripts/mingw-deps prepares it), never from the build machine.
set(VANTREL_MINGW_DEPS "${CMAKE_CURRENT_LIST_DIR}/../build/mingw-deps/prefix")
get_filename_component(VANTREL_MINGW_DEPS "${VANTREL_MINGW_DEPS}" ABSOLUTE)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${VANTREL_MINGW_DEPS}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# zlib and libpng as static archives: the executable needs no DLL of theirs beside it.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
set(ZLIB_USE_STATIC_LIBS ON)
