# Toolchain for the Winelib build of the Windows host: wineg++ compiles the Windows
# sources against Wine's headers and links a Linux shared object (name.exe.so) that
# wine64 runs. Usage: cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/winelib.cmake

find_program(VANTREL_WINEGXX NAMES wineg++ wineg++-stable
             PATHS /usr/lib/wine /usr/lib/x86_64-linux-gnu/wine /usr/bin NO_DEFAULT_PATH)
find_program(VANTREL_WINEGXX NAMES wineg++ wineg++-stable)
if(NOT VANTREL_WINEGXX)
  message(FATAL_ERROR "wineg++ not found: install wine64-tools and libwine-dev")
endif()
set(CMAKE_CXX_COMPILER ${VANTREL_WINEGXX})

# -mcygwin: glibc headers and libstdc++ instead of Wine's msvcrt.
set(CMAKE_CXX_FLAGS_INIT "-mcygwin")
# The ABI probe links a test executable, but winegcc names its output name.exe.so,
# which CMake cannot find; probing with a static library keeps the probe (and so
# the implicit include folders, which keeps -isystem /usr/include out of the flags:
# it would break libstdc++'s #include_next).
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# Debian's libpng, zlib and libcrypto are found in the multiarch folder.
set(CMAKE_LIBRARY_ARCHITECTURE x86_64-linux-gnu)
# winegcc writes name.exe (a shell wrapper) and name.exe.so from -o name.exe;
# with this suffix CMake's target file exists and the link is not redone on every build.
set(CMAKE_EXECUTABLE_SUFFIX_CXX ".exe")

set(VANTREL_WINELIB ON)
set(VANTREL_WINDOWS_HOST ON CACHE BOOL "Build the Windows host executable" FORCE)
