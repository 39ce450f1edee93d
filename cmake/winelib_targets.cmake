# Included by the Winelib build (see cmake/winelib.cmake) after the portable library and
# before the Windows executables: every target made from here on is Windows code, which
# wineg++ compiles and links through a launcher standing in for g++.
set(CMAKE_CXX_COMPILER_LAUNCHER /bin/sh ${CMAKE_CURRENT_LIST_DIR}/winelib-cxx ${VANTREL_WINEGXX})
set(CMAKE_CXX_LINKER_LAUNCHER ${CMAKE_CXX_COMPILER_LAUNCHER})
# CMake's -fPIE for executables would override the -fPIC that winegcc passes for the
# shared object it builds.
set(CMAKE_POSITION_INDEPENDENT_CODE OFF)

# The Wine test rig's helper program (tests/e2e); not part of the product.
add_executable(vantrel-wine-helper ${CMAKE_SOURCE_DIR}/tests/e2e/wine_helper.cpp)
target_compile_definitions(vantrel-wine-helper PRIVATE UNICODE _UNICODE NOMINMAX)
target_link_libraries(vantrel-wine-helper PRIVATE gdi32 shell32)
