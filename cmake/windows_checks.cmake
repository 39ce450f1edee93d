# Tests of the Windows build (build/windows, the static MinGW-w64 PE that scripts/build
# cross-compiles) that run from the native build's ctest:
# - mingw.pe_imports: the executable imports nothing but DLLs that ship with Windows;
# - windows.*: the PE host under Wine driven through its standard streams (tests/windows/test_*.py).
# A missing tool or Windows build skips these tests, unless CI or VANTREL_E2E_REQUIRED is set
# in the environment, where they fail.

set(VANTREL_WINDOWS_BUILD_DIR "${CMAKE_SOURCE_DIR}/build/windows" CACHE PATH
    "Folder of the Windows build whose host the e2e tests run")
set(VANTREL_HOST_EXE "${VANTREL_WINDOWS_BUILD_DIR}/vantrel-print-host.exe")

set(_vantrel_skip_code 77)

find_program(VANTREL_PYTHON3 NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(VANTREL_PYTHON3 NAMES python3)
if(NOT VANTREL_PYTHON3)
  return()
endif()

# ---- The executable's imports ------------------------------------------------------------

add_test(NAME mingw.pe_imports
  COMMAND ${VANTREL_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/windows/pe_imports.py ${VANTREL_HOST_EXE})
set_tests_properties(mingw.pe_imports PROPERTIES
  LABELS mingw SKIP_RETURN_CODE ${_vantrel_skip_code} ENVIRONMENT "${VANTREL_TEST_PYTHONPATH}")

# ---- End-to-end tests under Wine ----------------------------------------------------------

set(_vantrel_windows_dir "${CMAKE_SOURCE_DIR}/tests/windows")
set(_vantrel_template "${CMAKE_BINARY_DIR}/windows/wine-prefix-template")
set(VANTREL_E2E_ENV
  "VANTREL_HOST_EXE=${VANTREL_HOST_EXE}"
  "VANTREL_E2E_TEMPLATE=${_vantrel_template}"
  "PYTHONDONTWRITEBYTECODE=1"
  "${VANTREL_TEST_PYTHONPATH}")

# One fresh prefix per ctest run; each test file starts from a copy of it.
add_test(NAME windows.wine_prefix
  COMMAND ${VANTREL_PYTHON3} -m rig make-template ${_vantrel_template}
  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/tests)
add_test(NAME windows.wine_prefix_cleanup
  COMMAND ${VANTREL_PYTHON3} -m rig remove-template ${_vantrel_template}
  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/tests)
set_tests_properties(windows.wine_prefix PROPERTIES
  FIXTURES_SETUP vantrel_wine_prefix LABELS e2e TIMEOUT 300
  SKIP_RETURN_CODE ${_vantrel_skip_code})
set_tests_properties(windows.wine_prefix_cleanup PROPERTIES
  FIXTURES_CLEANUP vantrel_wine_prefix LABELS e2e TIMEOUT 60)

file(GLOB _vantrel_e2e_tests CONFIGURE_DEPENDS "${_vantrel_windows_dir}/test_*.py")
foreach(_test IN LISTS _vantrel_e2e_tests)
  get_filename_component(_name "${_test}" NAME_WE)
  string(REGEX REPLACE "^test_" "" _name "${_name}")
  add_test(NAME "windows.${_name}" COMMAND ${VANTREL_PYTHON3} ${_test}
           WORKING_DIRECTORY ${_vantrel_windows_dir})
  set_tests_properties("windows.${_name}" PROPERTIES
    LABELS "e2e;windows"
    ENVIRONMENT "${VANTREL_E2E_ENV}"
    FIXTURES_REQUIRED vantrel_wine_prefix
    # One Wine test at a time: they time lock waits and deadlines, which a second Wine
    # process tree on two cores distorts; unit tests still run beside them.
    RESOURCE_LOCK vantrel_wine
    SKIP_RETURN_CODE ${_vantrel_skip_code}
    TIMEOUT 900)
endforeach()
