# Builds the Linux packages of the host: cmake -D<name>=<value>... -P cmake/deb_package.cmake
# Run by the `deb` target. Makes, in OUTPUT_DIR:
#   vantrel-print-host_<version>_<arch>.deb   the host under /usr/lib/vantrel-print-host and
#                                             system-wide manifests for Chrome, Chromium, Edge,
#                                             Brave, Vivaldi and Firefox
#   vantrel-print-host-<version>-linux-user.tar.gz
#                                             the host and install-user.sh, for people without
#                                             root: per-user manifests instead
#
#   PARAMETERS       a file setting VANTREL_ALLOWED_ORIGINS and VANTREL_FIREFOX_EXTENSION_IDS
#   VERSION          the project version
#   HOST_EXE         the Linux host to ship
#   WORK_DIR         staging folder
#   OUTPUT_DIR       where the package and the archive go
#   DPKG_DEB         the dpkg-deb program
#   ARCH             the Debian architecture (dpkg --print-architecture)
cmake_minimum_required(VERSION 3.25)

get_filename_component(_source_dir "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
if(PARAMETERS)
  include("${PARAMETERS}")
endif()
foreach(_name VERSION HOST_EXE WORK_DIR OUTPUT_DIR DPKG_DEB ARCH)
  if(NOT ${_name})
    message(FATAL_ERROR "deb_package: ${_name} is not given")
  endif()
endforeach()
include("${CMAKE_CURRENT_LIST_DIR}/manifests.cmake")
vantrel_allowed_lists(_origins _firefox_ids)

set(_deb "${OUTPUT_DIR}/vantrel-print-host_${VERSION}_${ARCH}.deb")
set(_archive "${OUTPUT_DIR}/vantrel-print-host-${VERSION}-linux-user.tar.gz")
file(REMOVE "${_deb}" "${_archive}")
file(REMOVE_RECURSE "${WORK_DIR}")

# ---- the system-wide package

set(_root "${WORK_DIR}/deb")
set(_installed "/usr/lib/vantrel-print-host/vantrel-print-host")
file(MAKE_DIRECTORY "${_root}/usr/lib/vantrel-print-host" "${_root}/DEBIAN")
file(COPY_FILE "${HOST_EXE}" "${_root}${_installed}")
file(CHMOD "${_root}${_installed}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
     GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# Where each browser reads system-wide hosts. Brave and Vivaldi are Chromium browsers that
# read these folders of their own.
set(_chromium_folders
  /etc/opt/chrome/native-messaging-hosts
  /etc/chromium/native-messaging-hosts
  /etc/opt/edge/native-messaging-hosts
  /etc/opt/brave/native-messaging-hosts
  /etc/opt/vivaldi/native-messaging-hosts)
set(_conffiles "")
foreach(_folder IN LISTS _chromium_folders)
  vantrel_render_manifest("${_root}${_folder}/com.vantrel.print.json" "${_installed}"
                          allowed_origins "${_origins}")
  string(APPEND _conffiles "${_folder}/com.vantrel.print.json\n")
endforeach()
# Firefox's system-wide folder is not a configuration folder: the manifest there is no conffile.
vantrel_render_manifest("${_root}/usr/lib/mozilla/native-messaging-hosts/com.vantrel.print.json"
                        "${_installed}" allowed_extensions "${_firefox_ids}")
file(WRITE "${_root}/DEBIAN/conffiles" "${_conffiles}")
file(WRITE "${_root}/DEBIAN/control" "Package: vantrel-print-host
Version: ${VERSION}
Architecture: ${ARCH}
Maintainer: Vantrel <support@vantrel.example>
Section: utils
Priority: optional
Depends: libc6, libstdc++6, libcups2, libpng16-16, zlib1g, libssl3
Description: Vantrel Print Host: prints labels for a browser extension, exactly once
 A native-messaging host that browsers start for the Vantrel label-printing
 extension. It prints PNG labels at their physical size on CUPS queues and keeps
 a per-user ledger so that a retried print is never printed twice.
")
execute_process(COMMAND "${DPKG_DEB}" --root-owner-group --build "${_root}" "${_deb}"
                RESULT_VARIABLE _result OUTPUT_VARIABLE _out ERROR_VARIABLE _out)
if(NOT _result EQUAL 0)
  message(FATAL_ERROR "dpkg-deb failed:\n${_out}")
endif()
message(STATUS "built ${_deb}")

# ---- the per-user archive: install-user.sh puts in the path where it installs the host

set(_user "${WORK_DIR}/vantrel-print-host-${VERSION}")
file(MAKE_DIRECTORY "${_user}")
file(COPY "${HOST_EXE}" "${_source_dir}/install/linux/install-user.sh" DESTINATION "${_user}"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
     WORLD_EXECUTE)
vantrel_render_manifest("${_user}/com.vantrel.print.json.in" "@INSTALLED_HOST@"
                        allowed_origins "${_origins}")
vantrel_render_manifest("${_user}/com.vantrel.print.firefox.json.in" "@INSTALLED_HOST@"
                        allowed_extensions "${_firefox_ids}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar czf "${_archive}" "vantrel-print-host-${VERSION}"
                WORKING_DIRECTORY "${WORK_DIR}" RESULT_VARIABLE _result)
if(NOT _result EQUAL 0)
  message(FATAL_ERROR "could not write ${_archive}")
endif()
message(STATUS "built ${_archive}")
