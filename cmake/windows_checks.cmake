# Tests of the Windows build (build/windows, the static MinGW-w64 PE that scripts/build
# cross-compiles) that run from the native build's ctest:
# - mingw.pe_imports: the executable imports nothing but DLLs that ship with Windows;
# - e2e.*: the PE host under Wine driven through its standard streams (tests/e2e/test_*.py).
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
  COMMAND ${VANTREL_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/e2e/pe_imports.py ${VANTREL_HOST_EXE})
set_tests_properties(mingw.pe_imports PROPERTIES
  LABELS mingw SKIP_RETURN_CODE ${_vantrel_skip_code})

# ---- End-to-end tests under Wine ----------------------------------------------------------

set(_vantrel_e2e_dir "${CMAKE_SOURCE_DIR}/tests/e2e")
set(_vantrel_template "${CMAKE_BINARY_DIR}/e2e/wine-prefix-template")
set(VANTREL_E2E_ENV
  "VANTREL_HOST_EXE=${VANTREL_HOST_EXE}"
  "VANTREL_E2E_TEMPLATE=${_vantrel_template}"
  "PYTHONDONTWRITEBYTECODE=1")

# One fresh prefix per ctest run; each test file starts from a copy of it. The rig package
# (tests/rig) runs from tests/.
add_test(NAME e2e.wine_prefix
  COMMAND ${VANTREL_PYTHON3} -m rig make-template ${_vantrel_template}
  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/tests)
add_test(NAME e2e.wine_prefix_cleanup
  COMMAND ${VANTREL_PYTHON3} -m rig remove-template ${_vantrel_template}
  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/tests)
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
    ENVIRONMENT "${VANTREL_E2E_ENV}"
    FIXTURES_REQUIRED vantrel_wine_prefix
    # One Wine test at a time: they time lock waits and deadlines, which a second Wine
    # process tree on two cores distorts; unit tests still run beside them.
    RESOURCE_LOCK vantrel_wine
    SKIP_RETURN_CODE ${_vantrel_skip_code}
    TIMEOUT 900)
endforeach()
