# Builds the MSI packages of the host: cmake -D<name>=<value>... -P cmake/msi_package.cmake
# Run by the `msi` target (cmake/packaging.cmake); the install tests run it too, to make a
# package of another version. Steps: stage the executable (signed when a certificate is
# given), render both manifests from install/manifest.template.json, run wixl once per
# scope, sign each package.
#
#   PARAMETERS                      optional: a file setting any of those below
#   VANTREL_ALLOWED_ORIGINS         Chromium origins, ','-separated: chrome-extension://<id>/
#   VANTREL_FIREFOX_EXTENSION_IDS   Firefox extension ids, ','-separated
#   VERSION                         a.b.c, the project version
#   HOST_EXE                        the executable to ship
#   WORK_DIR                        staging folder (the executable, manifests)
#   OUTPUT_DIR                      where vantrel-print-host-per-user.msi and
#                                   vantrel-print-host-per-machine.msi go (their names start
#                                   vantrel-print-host-test-extension when the parameters
#                                   allow the test extension)
#   WIXL                            the wixl program
#   SCOPES                          optional: perUser, perMachine or both (default)
#   VANTREL_SIGN_PKCS12             optional: certificate and key; signing needs OSSLSIGNCODE
#   VANTREL_SIGN_PASSWORD_FILE      optional: file holding the PKCS#12 password
#   VANTREL_SIGN_TIMESTAMP_URL      optional: RFC 3161 time-stamping server
cmake_minimum_required(VERSION 3.25)

get_filename_component(_source_dir "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(_wxs "${_source_dir}/install/windows/vantrel-print-host.wxs")
if(PARAMETERS)
  include("${PARAMETERS}")
endif()

foreach(_name VERSION HOST_EXE WORK_DIR OUTPUT_DIR WIXL)
  if(NOT ${_name})
    message(FATAL_ERROR "msi_package: ${_name} is not given")
  endif()
endforeach()
# Relative paths are the caller's (wixl runs in WORK_DIR).
foreach(_name HOST_EXE WORK_DIR OUTPUT_DIR)
  get_filename_component(${_name} "${${_name}}" ABSOLUTE)
endforeach()
if(NOT SCOPES)
  set(SCOPES perUser perMachine)
endif()
include("${CMAKE_CURRENT_LIST_DIR}/manifests.cmake")
vantrel_package_stem(_stem)
set(_packages "")
foreach(_scope IN LISTS SCOPES)
  if(_scope STREQUAL "perUser")
    list(APPEND _packages "${OUTPUT_DIR}/${_stem}-per-user.msi")
  elseif(_scope STREQUAL "perMachine")
    list(APPEND _packages "${OUTPUT_DIR}/${_stem}-per-machine.msi")
  else()
    message(FATAL_ERROR "msi_package: SCOPES holds \"${_scope}\"; perUser and perMachine are known")
  endif()
endforeach()
# A refused build leaves no package of an earlier build behind to be mistaken for its own.
file(REMOVE ${_packages})

vantrel_allowed_lists(_origins _firefox_ids)

if(NOT VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$"
   OR CMAKE_MATCH_1 GREATER 255 OR CMAKE_MATCH_2 GREATER 255 OR CMAKE_MATCH_3 GREATER 65535)
  message(FATAL_ERROR "msi_package: VERSION \"${VERSION}\" is not a Windows Installer "
                      "version (a.b.c, a and b up to 255, c up to 65535)")
endif()
if(NOT EXISTS "${HOST_EXE}")
  message(FATAL_ERROR "msi_package: HOST_EXE ${HOST_EXE} does not exist")
endif()

file(MAKE_DIRECTORY "${WORK_DIR}" "${OUTPUT_DIR}")

set(_sign_args "")
if(VANTREL_SIGN_PKCS12)
  if(NOT OSSLSIGNCODE)
    message(FATAL_ERROR "VANTREL_SIGN_PKCS12 is set but osslsigncode is missing (apt-get install osslsigncode)")
  endif()
  if(NOT EXISTS "${VANTREL_SIGN_PKCS12}")
    message(FATAL_ERROR "VANTREL_SIGN_PKCS12: ${VANTREL_SIGN_PKCS12} does not exist")
  endif()
  set(_sign_args -pkcs12 "${VANTREL_SIGN_PKCS12}" -h sha256 -n "Vantrel Print Host")
  if(VANTREL_SIGN_PASSWORD_FILE)
    list(APPEND _sign_args -readpass "${VANTREL_SIGN_PASSWORD_FILE}")
  endif()
  if(VANTREL_SIGN_TIMESTAMP_URL)
    list(APPEND _sign_args -ts "${VANTREL_SIGN_TIMESTAMP_URL}")
  endif()
endif()

# Signs `input` into `output` (osslsigncode does not sign in place); copies it unsigned
# without a certificate.
function(_sign_or_copy input output)
  file(REMOVE "${output}")
  if(_sign_args)
    execute_process(COMMAND "${OSSLSIGNCODE}" sign ${_sign_args} -in "${input}" -out "${output}"
                    RESULT_VARIABLE _result OUTPUT_VARIABLE _out ERROR_VARIABLE _out)
    if(NOT _result EQUAL 0)
      message(FATAL_ERROR "signing ${input} failed:\n${_out}")
    endif()
  else()
    file(COPY_FILE "${input}" "${output}")
  endif()
endfunction()

set(_staged_exe "${WORK_DIR}/vantrel-print-host.exe")
_sign_or_copy("${HOST_EXE}" "${_staged_exe}")

# The manifests sit beside the program, which they name by its file name: Chrome, Edge and
# Firefox resolve a relative path against the manifest's folder on Windows.
vantrel_render_manifest("${WORK_DIR}/com.vantrel.print.json" "vantrel-print-host.exe"
                        allowed_origins "${_origins}")
vantrel_render_manifest("${WORK_DIR}/com.vantrel.print.firefox.json" "vantrel-print-host.exe"
                        allowed_extensions "${_firefox_ids}")

foreach(_scope _msi IN ZIP_LISTS SCOPES _packages)
  set(_unsigned "${WORK_DIR}/${_scope}.unsigned.msi")
  file(REMOVE "${_unsigned}")
  # wixl takes only relative Source paths (absolute ones fail a GLib assertion): it runs in
  # the staging folder and is given file names.
  execute_process(
    COMMAND "${WIXL}" -a x64 -o "${_unsigned}"
            -D "Scope=${_scope}" -D "Version=${VERSION}" -D "HostExe=vantrel-print-host.exe"
            -D "ChromiumManifest=com.vantrel.print.json"
            -D "FirefoxManifest=com.vantrel.print.firefox.json"
            "${_wxs}"
    WORKING_DIRECTORY "${WORK_DIR}"
    RESULT_VARIABLE _result OUTPUT_VARIABLE _out ERROR_VARIABLE _out)
  if(NOT _result EQUAL 0 OR NOT EXISTS "${_unsigned}")
    message(FATAL_ERROR "wixl failed for ${_scope}:\n${_out}")
  endif()
  _sign_or_copy("${_unsigned}" "${_msi}")
  message(STATUS "built ${_msi} (${VERSION})")
endforeach()

if(_sign_args)
  message(STATUS "signed with ${VANTREL_SIGN_PKCS12}: the executable and the packages")
else()
  message(STATUS "UNSIGNED: the executable and the packages carry no signature "
                 "(set VANTREL_SIGN_PKCS12 to sign them)")
endif()
