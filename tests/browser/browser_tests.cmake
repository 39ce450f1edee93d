# The real-browser test (tests/browser/run_browser_test.py): Debian's Chromium, headless,
# with the test extension, talking to the Wine-run host of the Winelib build. Include it
# after cmake/windows_checks.cmake, whose Wine prefix fixture it shares:
#   include(${CMAKE_SOURCE_DIR}/tests/browser/browser_tests.cmake)
# Without Chromium or the Winelib build the test is skipped, unless CI or
# VANTREL_E2E_REQUIRED is set in the environment, where it fails.

if(NOT VANTREL_PYTHON3)
  return()
endif()
if(NOT VANTREL_WINDOWS_BUILD_DIR)
  set(VANTREL_WINDOWS_BUILD_DIR "${CMAKE_SOURCE_DIR}/build/windows")
endif()

add_test(NAME browser.chromium
  COMMAND ${VANTREL_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/run_browser_test.py
  WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR})
set_tests_properties(browser.chromium PROPERTIES
  LABELS "e2e;browser"
  ENVIRONMENT "VANTREL_HOST_EXE=${VANTREL_WINDOWS_BUILD_DIR}/vantrel-print-host.exe.so;VANTREL_WINE_HELPER=${VANTREL_WINDOWS_BUILD_DIR}/vantrel-wine-helper.exe.so;VANTREL_E2E_TEMPLATE=${CMAKE_BINARY_DIR}/e2e/wine-prefix-template;PYTHONDONTWRITEBYTECODE=1"
  FIXTURES_REQUIRED vantrel_wine_prefix
  RESOURCE_LOCK vantrel_wine
  SKIP_RETURN_CODE 77
  TIMEOUT 600)
