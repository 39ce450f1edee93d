# The Linux packages of the host (target `deb`, not part of ALL: scripts/build builds it in
# build/linux): the .deb and the per-user archive, made by cmake/deb_package.cmake into
# VANTREL_DIST_DIR.

find_program(VANTREL_DPKG_DEB dpkg-deb)
find_program(VANTREL_DPKG dpkg)
if(NOT VANTREL_DPKG_DEB OR NOT VANTREL_DPKG)
  message(STATUS "No Linux packages: dpkg-deb is missing")
  return()
endif()
execute_process(COMMAND ${VANTREL_DPKG} --print-architecture OUTPUT_VARIABLE _vantrel_arch
                OUTPUT_STRIP_TRAILING_WHITESPACE)
set(VANTREL_LINUX_DEB "${VANTREL_DIST_DIR}/vantrel-print-host_${PROJECT_VERSION}_${_vantrel_arch}.deb")
set(VANTREL_LINUX_USER_ARCHIVE
    "${VANTREL_DIST_DIR}/vantrel-print-host-${PROJECT_VERSION}-linux-user.tar.gz")

string(REPLACE ";" "," _vantrel_origins "${VANTREL_ALLOWED_ORIGINS}")
string(REPLACE ";" "," _vantrel_firefox_ids "${VANTREL_FIREFOX_EXTENSION_IDS}")
set(_vantrel_deb_parameters "${CMAKE_BINARY_DIR}/deb-parameters.cmake")
file(CONFIGURE OUTPUT "${_vantrel_deb_parameters}" CONTENT [[
set(VANTREL_ALLOWED_ORIGINS "@_vantrel_origins@")
set(VANTREL_FIREFOX_EXTENSION_IDS "@_vantrel_firefox_ids@")
]] @ONLY)

set(_vantrel_deb "${VANTREL_LINUX_DEB}")
set(_vantrel_user_archive "${VANTREL_LINUX_USER_ARCHIVE}")
add_custom_command(
  OUTPUT "${_vantrel_deb}" "${_vantrel_user_archive}"
  COMMAND ${CMAKE_COMMAND} "-DPARAMETERS=${_vantrel_deb_parameters}"
          "-DVERSION=${PROJECT_VERSION}" "-DHOST_EXE=$<TARGET_FILE:vantrel-print-host>"
          "-DWORK_DIR=${CMAKE_BINARY_DIR}/deb" "-DOUTPUT_DIR=${VANTREL_DIST_DIR}"
          "-DDPKG_DEB=${VANTREL_DPKG_DEB}" "-DARCH=${_vantrel_arch}"
          -P "${CMAKE_SOURCE_DIR}/cmake/deb_package.cmake"
  DEPENDS vantrel-print-host "${_vantrel_deb_parameters}"
          "${CMAKE_SOURCE_DIR}/cmake/deb_package.cmake" "${CMAKE_SOURCE_DIR}/cmake/manifests.cmake"
          "${CMAKE_SOURCE_DIR}/install/manifest.template.json"
          "${CMAKE_SOURCE_DIR}/install/linux/install-user.sh"
  COMMENT "Linux packages of vantrel-print-host ${PROJECT_VERSION}"
  VERBATIM)
add_custom_target(deb DEPENDS "${_vantrel_deb}" "${_vantrel_user_archive}")
