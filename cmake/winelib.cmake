# Toolchain of the Winelib build of the Windows host (scripts/build uses it):
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/winelib.cmake
# wineg++ compiles the Windows-specific sources against Wine's headers and links a Linux
# shared object, vantrel-print-host.exe.so, that wine64 runs (cmake/winelib_targets.cmake
# hands those targets to it). The portable library stays Linux code built by g++: it
# calls Debian's libpng, zlib and libcrypto, which use the Linux calling convention,
# while under wineg++ libpng's headers would declare every function ms_abi.

find_program(VANTREL_WINEGXX NAMES wineg++ wineg++-stable
             PATHS /usr/lib/wine /usr/lib/x86_64-linux-gnu/wine /usr/bin NO_DEFAULT_PATH)
find_program(VANTREL_WINEGXX NAMES wineg++ wineg++-stable)
if(NOT VANTREL_WINEGXX)
  message(FATAL_ERROR "wineg++ not found: install wine64-tools and libwine-dev")
endif()

set(CMAKE_CXX_COMPILER g++)
# Everything ends up in a shared object.
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
# winegcc writes name.exe (a shell wrapper) and name.exe.so from -o name.exe; with this
# suffix the target file CMake expects exists, so the link is not redone at every build.
set(CMAKE_EXECUTABLE_SUFFIX_CXX ".exe")

set(VANTREL_WINELIB ON)
set(VANTREL_WINDOWS_HOST ON CACHE BOOL "Build the Windows host executable" FORCE)
