# The real-browser test (tests/browser/run_browser_test.py): Debian's Chromium, headless,
# with the test extension, talking to the Windows build's host under Wine. Include it
# after cmake/windows_checks.cmake, whose Wine prefix fixture it shares:
#   include(${CMAKE_SOURCE_DIR}/tests/browser/browser_tests.cmake)
# Without Chromium or the Windows build the test is skipped, unless CI or
# VANTREL_E2E_REQUIRED is set in the environment, where it fails.

if(NOT VANTREL_PYTHON3)
  return()
endif()

add_test(NAME browser.chromium
  COMMAND ${VANTREL_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/run_browser_test.py
  WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR})
set_tests_properties(browser.chromium PROPERTIES
  LABELS "e2e;browser"
  ENVIRONMENT "${VANTREL_E2E_ENV}"
  FIXTURES_REQUIRED vantrel_wine_prefix
  RESOURCE_LOCK vantrel_wine
  SKIP_RETURN_CODE 77
  TIMEOUT 600)

# Browser tests of the Linux host, no Wine: Debian's firefox-esr, headless, with the packed
# client (tests/linux/test_linux_firefox.py), and the example extension set up and registered
# as its README says, its page driven in headless Chromium (tests/linux/test_example_extension.py,
# with the per-user archive of build/linux). Skipped without the browser, cupsd or the
# packages, except under CI or VANTREL_E2E_REQUIRED.
if(TARGET vantrel-print-host)
  add_test(NAME linux.firefox
    COMMAND ${VANTREL_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/linux/test_linux_firefox.py
            --host $<TARGET_FILE:vantrel-print-host>)
  add_test(NAME linux.example
    COMMAND ${VANTREL_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/linux/test_example_extension.py
            --archive "${VANTREL_LINUX_USER_ARCHIVE}")
  add_test(NAME linux.raw_labels
    COMMAND ${VANTREL_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/linux/test_linux_raw_labels.py
            --host $<TARGET_FILE:vantrel-print-host>)
  # The doctor's verdict against both browsers' over a table of manifests and folders, in a
  # mount namespace of its own (root): one start of each browser for the whole table.
  add_test(NAME linux.registrations
    COMMAND ${VANTREL_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/linux/test_browser_registrations.py
            --host $<TARGET_FILE:vantrel-print-host>)
  set_tests_properties(linux.registrations PROPERTIES
    LABELS "e2e;linux;browser" ENVIRONMENT "${VANTREL_TEST_PYTHONPATH}" SKIP_RETURN_CODE 77
    TIMEOUT 300)
  set_tests_properties(linux.firefox linux.example linux.raw_labels PROPERTIES
    LABELS "e2e;linux;browser"
    ENVIRONMENT "${VANTREL_TEST_PYTHONPATH}"
    FIXTURES_REQUIRED vantrel_client_package
    SKIP_RETURN_CODE 77
    TIMEOUT 600)
endif()
