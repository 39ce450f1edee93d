# The Linux packages of the host (target `deb`, not part of ALL: scripts/build builds it in
# build/linux): the .deb and the per-user archive, made by cmake/deb_package.cmake into
# VANTREL_DIST_DIR. Their names start with VANTREL_PACKAGE_STEM (CMakeLists.txt).

find_program(VANTREL_DPKG_DEB dpkg-deb)
find_program(VANTREL_DPKG dpkg)
# dpkg-shlibdeps derives the .deb's dependencies from the symbols the host uses.
find_program(VANTREL_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(NOT VANTREL_DPKG_DEB OR NOT VANTREL_DPKG OR NOT VANTREL_DPKG_SHLIBDEPS)
  message(STATUS "No Linux packages: dpkg-deb or dpkg-shlibdeps is missing (apt-get install dpkg-dev)")
  return()
endif()
execute_process(COMMAND ${VANTREL_DPKG} --print-architecture OUTPUT_VARIABLE _vantrel_arch
                OUTPUT_STRIP_TRAILING_WHITESPACE)
set(VANTREL_LINUX_DEB
    "${VANTREL_DIST_DIR}/${VANTREL_PACKAGE_STEM}_${PROJECT_VERSION}_${_vantrel_arch}.deb")
set(VANTREL_LINUX_USER_ARCHIVE
    "${VANTREL_DIST_DIR}/${VANTREL_PACKAGE_STEM}-${PROJECT_VERSION}-linux-user.tar.gz")
message(STATUS "Linux packages: ${VANTREL_LINUX_DEB} ${VANTREL_LINUX_USER_ARCHIVE}")

string(REPLACE ";" "," _vantrel_origins "${VANTREL_ALLOWED_ORIGINS}")
string(REPLACE ";" "," _vantrel_firefox_ids "${VANTREL_FIREFOX_EXTENSION_IDS}")
set(_vantrel_deb_parameters "${CMAKE_BINARY_DIR}/deb-parameters.cmake")
file(CONFIGURE OUTPUT "${_vantrel_deb_parameters}" CONTENT [[
set(VANTREL_ALLOWED_ORIGINS "@_vantrel_origins@")
set(VANTREL_FIREFOX_EXTENSION_IDS "@_vantrel_firefox_ids@")
]] @ONLY)

file(GLOB _vantrel_linux_install_files CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/install/linux/*"
     "${CMAKE_SOURCE_DIR}/install/linux/debian/*")
add_custom_command(
  OUTPUT "${VANTREL_LINUX_DEB}" "${VANTREL_LINUX_USER_ARCHIVE}"
  COMMAND ${CMAKE_COMMAND} "-DPARAMETERS=${_vantrel_deb_parameters}"
          "-DVERSION=${PROJECT_VERSION}" "-DHOST_EXE=$<TARGET_FILE:vantrel-print-host>"
          "-DWORK_DIR=${CMAKE_BINARY_DIR}/deb" "-DOUTPUT_DIR=${VANTREL_DIST_DIR}"
          "-DDPKG_DEB=${VANTREL_DPKG_DEB}" "-DDPKG_SHLIBDEPS=${VANTREL_DPKG_SHLIBDEPS}"
          "-DARCH=${_vantrel_arch}"
          -P "${CMAKE_SOURCE_DIR}/cmake/deb_package.cmake"
  DEPENDS vantrel-print-host "${_vantrel_deb_parameters}"
          "${CMAKE_SOURCE_DIR}/cmake/deb_package.cmake" "${CMAKE_SOURCE_DIR}/cmake/manifests.cmake"
          "${CMAKE_SOURCE_DIR}/install/manifest.template.json" ${_vantrel_linux_install_files}
  COMMENT "Linux packages of vantrel-print-host ${PROJECT_VERSION}"
  VERBATIM)
add_custom_target(deb DEPENDS "${VANTREL_LINUX_DEB}" "${VANTREL_LINUX_USER_ARCHIVE}")
