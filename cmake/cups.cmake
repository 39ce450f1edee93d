# The CUPS print system (src/domain/printing/cups/) links libcups; the Windows build never sees
# it. vantrel-cups-probe drives it against a private scheduler for tests/linux/, whose end-to-end
# test (linux.cups) prints on real driver queues. Without cupsd, lpadmin or Ghostscript the test is
# skipped, unless CI or VANTREL_E2E_REQUIRED is set in the environment, where it fails.

find_package(Cups REQUIRED)
target_link_libraries(vantrel_core PUBLIC Cups::Cups)

add_executable(vantrel-cups-probe ${CMAKE_SOURCE_DIR}/tests/linux/cups_probe.cpp)
target_link_libraries(vantrel-cups-probe PRIVATE vantrel_core)

add_test(NAME linux.cups
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/linux/test_cups_print_system.py
          --probe $<TARGET_FILE:vantrel-cups-probe>)
set_tests_properties(linux.cups PROPERTIES LABELS "e2e;linux" SKIP_RETURN_CODE 77 TIMEOUT 600
  ENVIRONMENT "${VANTREL_TEST_PYTHONPATH}")
