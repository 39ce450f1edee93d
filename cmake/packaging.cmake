# The MSI packages of the Windows host (target `msi`, part of ALL), from the one WiX source
# install/windows/vantrel-print-host.wxs, into VANTREL_DIST_DIR:
#   vantrel-print-host-per-user.msi     %LOCALAPPDATA%\Programs\Vantrel Print Host, HKCU
#   vantrel-print-host-per-machine.msi  Program Files\Vantrel Print Host, HKLM
# (vantrel-print-host-test-extension-per-*.msi while the test extension is allowed: the
# names start with VANTREL_PACKAGE_STEM, CMakeLists.txt).
# Built by Debian's wixl (cmake/msi_package.cmake does the work). Signed with osslsigncode
# when VANTREL_SIGN_PKCS12 names a certificate; otherwise the build says they are unsigned.
# wixl exists only on Linux: a Windows build without it makes no package (WiX 3 builds the
# same source there, see install/README.md).

# VANTREL_ALLOWED_ORIGINS, VANTREL_FIREFOX_EXTENSION_IDS and VANTREL_DIST_DIR: CMakeLists.txt.
set(VANTREL_SIGN_PKCS12 "" CACHE FILEPATH
    "PKCS#12 file with the code-signing certificate and key; empty: the artefacts are unsigned")
set(VANTREL_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File holding the password of VANTREL_SIGN_PKCS12")
set(VANTREL_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamping server for the signatures")

find_program(VANTREL_WIXL wixl)
if(NOT VANTREL_WIXL)
  if(CMAKE_HOST_WIN32)
    message(STATUS "No MSI packages: wixl is a Linux tool (with WiX 3, see install/README.md)")
    return()
  endif()
  message(FATAL_ERROR "wixl is missing (apt-get install wixl): it builds the MSI packages")
endif()
find_program(VANTREL_OSSLSIGNCODE osslsigncode)

# The parameters reach the build step through a file, so that changing one rebuilds the
# packages (a custom command is not rerun when only its command line changes).
string(REPLACE ";" "," _vantrel_origins "${VANTREL_ALLOWED_ORIGINS}")
string(REPLACE ";" "," _vantrel_firefox_ids "${VANTREL_FIREFOX_EXTENSION_IDS}")
set(_vantrel_msi_work "${CMAKE_BINARY_DIR}/msi")
set(_vantrel_msi_parameters "${_vantrel_msi_work}/parameters.cmake")
file(CONFIGURE OUTPUT "${_vantrel_msi_parameters}" CONTENT [[
set(VANTREL_ALLOWED_ORIGINS "@_vantrel_origins@")
set(VANTREL_FIREFOX_EXTENSION_IDS "@_vantrel_firefox_ids@")
set(VANTREL_SIGN_PKCS12 "@VANTREL_SIGN_PKCS12@")
set(VANTREL_SIGN_PASSWORD_FILE "@VANTREL_SIGN_PASSWORD_FILE@")
set(VANTREL_SIGN_TIMESTAMP_URL "@VANTREL_SIGN_TIMESTAMP_URL@")
set(OSSLSIGNCODE "@VANTREL_OSSLSIGNCODE@")
set(VERSION "@PROJECT_VERSION@")
set(WIXL "@VANTREL_WIXL@")
]] @ONLY)

set(_vantrel_msi_outputs
  "${VANTREL_DIST_DIR}/${VANTREL_PACKAGE_STEM}-per-user.msi"
  "${VANTREL_DIST_DIR}/${VANTREL_PACKAGE_STEM}-per-machine.msi")
list(JOIN _vantrel_msi_outputs " " _vantrel_msi_names)
message(STATUS "MSI packages: ${_vantrel_msi_names}")
set(_vantrel_msi_signing_inputs "")
if(VANTREL_SIGN_PKCS12)
  list(APPEND _vantrel_msi_signing_inputs "${VANTREL_SIGN_PKCS12}")
endif()
add_custom_command(
  OUTPUT ${_vantrel_msi_outputs}
  COMMAND ${CMAKE_COMMAND} "-DPARAMETERS=${_vantrel_msi_parameters}"
          "-DHOST_EXE=$<TARGET_FILE:vantrel-print-host>"
          "-DWORK_DIR=${_vantrel_msi_work}" "-DOUTPUT_DIR=${VANTREL_DIST_DIR}"
          -P "${CMAKE_SOURCE_DIR}/cmake/msi_package.cmake"
  DEPENDS vantrel-print-host "$<TARGET_FILE:vantrel-print-host>" "${_vantrel_msi_parameters}"
          "${CMAKE_SOURCE_DIR}/cmake/msi_package.cmake" "${CMAKE_SOURCE_DIR}/cmake/manifests.cmake"
          "${CMAKE_SOURCE_DIR}/install/windows/vantrel-print-host.wxs"
          "${CMAKE_SOURCE_DIR}/install/manifest.template.json"
          ${_vantrel_msi_signing_inputs}
  COMMENT "MSI packages of vantrel-print-host ${PROJECT_VERSION}"
  VERBATIM)
add_custom_target(msi ALL DEPENDS ${_vantrel_msi_outputs})
