# The extension developers' client library (client/): client.build installs its locked npm
# dependencies, compiles it and packs it into build/dist/ (scripts/build-client); then
# client.unit runs its unit tests with Node's test runner, and browser.client runs
# tests/browser/test_client.py: headless Chromium with the packed library against the
# Wine-run host, in the same Wine prefix fixture, host and lock as browser.chromium;
# browser.pdf_labels prints PDF labels through it in Chromium and Firefox, on both hosts.
# Include it after tests/browser/browser_tests.cmake.
# Without Node.js and npm the client tests are skipped, unless CI or VANTREL_E2E_REQUIRED
# is set in the environment, where they fail.

find_program(VANTREL_NODE NAMES node nodejs)
find_program(VANTREL_NPM NAMES npm)
if(NOT VANTREL_NODE OR NOT VANTREL_NPM)
  add_test(NAME client.unit
    COMMAND ${CMAKE_COMMAND} -E env sh -c
            "echo 'node and npm are missing (apt-get install nodejs npm)'; [ -z \"$CI$VANTREL_E2E_REQUIRED\" ] && exit 77; exit 1")
  set_tests_properties(client.unit PROPERTIES SKIP_RETURN_CODE 77 LABELS client)
  return()
endif()

add_test(NAME client.build COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/build-client)
set_tests_properties(client.build PROPERTIES
  LABELS client FIXTURES_SETUP vantrel_client_package TIMEOUT 600)

add_test(NAME client.unit
  COMMAND ${VANTREL_NODE} --test test/
  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/client)
set_tests_properties(client.unit PROPERTIES
  LABELS client FIXTURES_REQUIRED vantrel_client_package TIMEOUT 120)

if(TEST browser.chromium)
  # The host, helper and prefix template exactly as the browser test gets them.
  get_test_property(browser.chromium ENVIRONMENT _vantrel_browser_env)
  add_test(NAME browser.client
    COMMAND ${VANTREL_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/browser/test_client.py
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/tests/browser)
  set_tests_properties(browser.client PROPERTIES
    LABELS "e2e;browser;client"
    ENVIRONMENT "${_vantrel_browser_env}"
    FIXTURES_REQUIRED "vantrel_wine_prefix;vantrel_client_package"
    RESOURCE_LOCK vantrel_wine
    SKIP_RETURN_CODE 77
    TIMEOUT 600)
  # PDF labels through printPdf in Chromium and Firefox, against this host and the Linux one.
  if(TARGET vantrel-print-host)
    add_test(NAME browser.pdf_labels
      COMMAND ${VANTREL_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/browser/test_pdf_labels.py
              --linux-host $<TARGET_FILE:vantrel-print-host>
      WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/tests/browser)
    set_tests_properties(browser.pdf_labels PROPERTIES
      LABELS "e2e;browser;client"
      ENVIRONMENT "${_vantrel_browser_env}"
      FIXTURES_REQUIRED "vantrel_wine_prefix;vantrel_client_package"
      RESOURCE_LOCK vantrel_wine
      SKIP_RETURN_CODE 77
      TIMEOUT 900)
  endif()
endif()
