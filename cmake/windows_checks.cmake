# Tests of the Windows build that run from the native build's ctest:
# - mingw.*: every Windows-only source compiled against MinGW-w64's real Windows headers,
#   so code that only Wine's headers accept is caught;
# - e2e.*: the Wine-run host driven through its standard streams (tests/e2e/test_*.py),
#   from the Winelib build in VANTREL_WINDOWS_BUILD_DIR (scripts/build makes both).
# Missing tools or a missing Winelib build skip these tests, unless CI or
# VANTREL_E2E_REQUIRED is set in the environment, where they fail.

set(VANTREL_WINDOWS_BUILD_DIR "${CMAKE_SOURCE_DIR}/build/windows" CACHE PATH
    "Folder of the Winelib build whose host the e2e tests run")

set(_vantrel_skip_code 77)

# ---- MinGW-w64 syntax checks --------------------------------------------------------

find_program(VANTREL_MINGW_CXX NAMES x86_64-w64-mingw32-g++-posix)
# Third-party headers reach the cross compiler through this folder alone: adding
# /usr/include would mix glibc's headers into the Windows build.
set(_vantrel_mingw_include "${CMAKE_BINARY_DIR}/mingw-include")
file(MAKE_DIRECTORY "${_vantrel_mingw_include}")
foreach(_dir nlohmann)
  if(EXISTS "/usr/include/${_dir}" AND NOT EXISTS "${_vantrel_mingw_include}/${_dir}")
    file(CREATE_LINK "/usr/include/${_dir}" "${_vantrel_mingw_include}/${_dir}" SYMBOLIC)
  endif()
endforeach()

file(GLOB_RECURSE _vantrel_windows_sources CONFIGURE_DEPENDS
  "${CMAKE_SOURCE_DIR}/src/*_win32.cpp")
list(APPEND _vantrel_windows_sources "${CMAKE_SOURCE_DIR}/src/main.cpp")
list(SORT _vantrel_windows_sources)
foreach(_source IN LISTS _vantrel_windows_sources)
  if(NOT EXISTS "${_source}")
    continue()
  endif()
  file(RELATIVE_PATH _name "${CMAKE_SOURCE_DIR}/src" "${_source}")
  if(VANTREL_MINGW_CXX)
    add_test(NAME "mingw.${_name}"
      COMMAND ${VANTREL_MINGW_CXX} -std=c++23 -fsyntax-only -Wall -Wextra
              -DUNICODE -D_UNICODE -DNOMINMAX -DWIN32_LEAN_AND_MEAN
              -I${CMAKE_SOURCE_DIR}/src -I${_vantrel_mingw_include} ${_source})
  else()
    add_test(NAME "mingw.${_name}"
      COMMAND ${CMAKE_COMMAND} -E env sh -c
              "echo 'x86_64-w64-mingw32-g++-posix is missing (apt-get install g++-mingw-w64-x86-64)'; [ -z \"$CI$VANTREL_E2E_REQUIRED\" ] && exit ${_vantrel_skip_code}; exit 1")
    set_tests_properties("mingw.${_name}" PROPERTIES SKIP_RETURN_CODE ${_vantrel_skip_code})
  endif()
  set_tests_properties("mingw.${_name}" PROPERTIES LABELS "mingw")
endforeach()

# A static PE build of the pieces that need no third-party library (Debian has no libpng
# or OpenSSL for MinGW-w64): the framing over the real standard handles, which
# tests/e2e/test_pe_channel.py runs under Wine.
set(_vantrel_pe_probe "${CMAKE_BINARY_DIR}/mingw/pe_channel_probe.exe")
if(VANTREL_MINGW_CXX)
  set(_vantrel_pe_sources
    ${CMAKE_SOURCE_DIR}/tests/e2e/pe_channel_probe.cpp
    ${CMAKE_SOURCE_DIR}/src/host/channel.cpp
    ${CMAKE_SOURCE_DIR}/src/host/standard_streams_win32.cpp
    ${CMAKE_SOURCE_DIR}/src/host/os_error.cpp
    ${CMAKE_SOURCE_DIR}/src/host/os_error_win32.cpp
    ${CMAKE_SOURCE_DIR}/src/host/host_error.cpp
    ${CMAKE_SOURCE_DIR}/src/host/utf.cpp)
  file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/mingw")
  add_test(NAME mingw.pe_build
    COMMAND ${VANTREL_MINGW_CXX} -std=c++23 -O1 -static -Wall -Wextra
            -DUNICODE -D_UNICODE -DNOMINMAX -DWIN32_LEAN_AND_MEAN
            -I${CMAKE_SOURCE_DIR}/src -o ${_vantrel_pe_probe} ${_vantrel_pe_sources})
  set_tests_properties(mingw.pe_build PROPERTIES
    LABELS mingw FIXTURES_SETUP vantrel_mingw_pe TIMEOUT 300)
endif()

# ---- End-to-end tests under Wine ------------------------------------------------------

find_program(VANTREL_PYTHON3 NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(VANTREL_PYTHON3 NAMES python3)
if(VANTREL_PYTHON3)
  set(_vantrel_e2e_dir "${CMAKE_SOURCE_DIR}/tests/e2e")
  set(_vantrel_template "${CMAKE_BINARY_DIR}/e2e/wine-prefix-template")
  set(_vantrel_e2e_env
    "VANTREL_HOST_EXE=${VANTREL_WINDOWS_BUILD_DIR}/vantrel-print-host.exe.so"
    "VANTREL_WINE_HELPER=${VANTREL_WINDOWS_BUILD_DIR}/vantrel-wine-helper.exe.so"
    "VANTREL_E2E_TEMPLATE=${_vantrel_template}"
    "VANTREL_PE_PROBE=${_vantrel_pe_probe}"
    "PYTHONDONTWRITEBYTECODE=1")

  # One fresh prefix per ctest run; each test file starts from a copy of it.
  add_test(NAME e2e.wine_prefix
    COMMAND ${VANTREL_PYTHON3} ${_vantrel_e2e_dir}/harness.py make-template ${_vantrel_template})
  add_test(NAME e2e.wine_prefix_cleanup
    COMMAND ${VANTREL_PYTHON3} ${_vantrel_e2e_dir}/harness.py remove-template ${_vantrel_template})
  set_tests_properties(e2e.wine_prefix PROPERTIES
    FIXTURES_SETUP vantrel_wine_prefix LABELS e2e TIMEOUT 300
    SKIP_RETURN_CODE ${_vantrel_skip_code})
  set_tests_properties(e2e.wine_prefix_cleanup PROPERTIES
    FIXTURES_CLEANUP vantrel_wine_prefix LABELS e2e TIMEOUT 60)

  file(GLOB _vantrel_e2e_tests CONFIGURE_DEPENDS "${_vantrel_e2e_dir}/test_*.py")
  foreach(_test IN LISTS _vantrel_e2e_tests)
    get_filename_component(_name "${_test}" NAME_WE)
    string(REGEX REPLACE "^test_" "" _name "${_name}")
    add_test(NAME "e2e.${_name}" COMMAND ${VANTREL_PYTHON3} ${_test}
             WORKING_DIRECTORY ${_vantrel_e2e_dir})
    set_tests_properties("e2e.${_name}" PROPERTIES
      LABELS e2e
      ENVIRONMENT "${_vantrel_e2e_env}"
      FIXTURES_REQUIRED vantrel_wine_prefix
      # One Wine test at a time: they time lock waits and deadlines, which a second Wine
      # process tree on two cores distorts; unit tests still run beside them.
      RESOURCE_LOCK vantrel_wine
      SKIP_RETURN_CODE ${_vantrel_skip_code}
      TIMEOUT 900)
  endforeach()
  if(TEST e2e.pe_channel AND VANTREL_MINGW_CXX)
    set_tests_properties(e2e.pe_channel PROPERTIES
      FIXTURES_REQUIRED "vantrel_wine_prefix;vantrel_mingw_pe")
  endif()
endif()
