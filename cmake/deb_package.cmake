# Builds the Linux packages of the host: cmake -D<name>=<value>... -P cmake/deb_package.cmake
# Run by the `deb` target, or by hand for one's own extensions (install/README.md). Makes, in
# OUTPUT_DIR, made when missing (the package's and the files' names start
# vantrel-print-host-test-extension instead when the test extension is allowed, see
# cmake/manifests.cmake; either package replaces the other):
#   vantrel-print-host_<version>_<arch>.deb   the host under /usr/lib/vantrel-print-host, its
#                                             manifests for Chrome, Chromium, Edge, Brave,
#                                             Vivaldi and Firefox, and the administrator's list
#                                             of further extensions to allow
#   vantrel-print-host-<version>-linux-user.tar.gz
#                                             the host and install-user.sh, for people without
#                                             root: per-user manifests instead
#
#   PARAMETERS       a file setting VANTREL_ALLOWED_ORIGINS and VANTREL_FIREFOX_EXTENSION_IDS
#                    (or give both with -D)
#   VERSION          the project version
#   HOST_EXE         the Linux host to ship
#   WORK_DIR         staging folder
#   OUTPUT_DIR       where the package and the archive go
#   DPKG_DEB         the dpkg-deb program
#   DPKG_SHLIBDEPS   the dpkg-shlibdeps program, which derives the dependencies from the host
#   ARCH             the Debian architecture (dpkg --print-architecture)
cmake_minimum_required(VERSION 3.25)

get_filename_component(_source_dir "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(_linux "${_source_dir}/install/linux")
if(PARAMETERS)
  include("${PARAMETERS}")
endif()
foreach(_name VERSION HOST_EXE WORK_DIR OUTPUT_DIR DPKG_DEB DPKG_SHLIBDEPS ARCH)
  if(NOT ${_name})
    message(FATAL_ERROR "deb_package: ${_name} is not given")
  endif()
endforeach()
include("${CMAKE_CURRENT_LIST_DIR}/manifests.cmake")
vantrel_package_stem(_stem)
set(_deb "${OUTPUT_DIR}/${_stem}_${VERSION}_${ARCH}.deb")
file(MAKE_DIRECTORY "${OUTPUT_DIR}")
set(_archive "${OUTPUT_DIR}/${_stem}-${VERSION}-linux-user.tar.gz")
file(REMOVE "${_deb}" "${_archive}")
file(REMOVE_RECURSE "${WORK_DIR}")
vantrel_allowed_lists(_origins _firefox_ids)  # refuses a malformed parameter

set(_executable OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                WORLD_EXECUTE)
set(_readable OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
# The host under the name the manifests give it, and what both packages render the manifests
# from when they are installed (install/linux/manifests.sh).
function(_stage_host_and_manifest_sources folder)
  file(MAKE_DIRECTORY "${folder}")
  file(COPY_FILE "${HOST_EXE}" "${folder}/vantrel-print-host")
  file(CHMOD "${folder}/vantrel-print-host" PERMISSIONS ${_executable})
  file(COPY "${_vantrel_manifest_template}" "${_linux}/manifests.sh" DESTINATION "${folder}"
       FILE_PERMISSIONS ${_readable})
  vantrel_write_allowed_list("${folder}/package-allowed-extensions")
endfunction()

# ---- the system-wide package, staged as dpkg-shlibdeps expects (debian/<package>)

set(_root "${WORK_DIR}/debian/vantrel-print-host")
set(_lib "/usr/lib/vantrel-print-host")
file(MAKE_DIRECTORY "${_root}/DEBIAN")
_stage_host_and_manifest_sources("${_root}${_lib}")
file(COPY "${_linux}/update-vantrel-print-host-manifests" DESTINATION "${_root}/usr/sbin"
     FILE_PERMISSIONS ${_executable})
file(COPY "${_linux}/allowed-extensions" DESTINATION "${_root}/etc/vantrel-print-host"
     FILE_PERMISSIONS ${_readable})
file(COPY "${_linux}/debian/postinst" "${_linux}/debian/postrm" DESTINATION "${_root}/DEBIAN"
     FILE_PERMISSIONS ${_executable})
file(WRITE "${_root}/DEBIAN/conffiles" "/etc/vantrel-print-host/allowed-extensions\n")

# Each browser's system-wide folder holds a link to the manifest that
# update-vantrel-print-host-manifests writes (the administrator's list can change it), so
# dpkg knows and removes every one. Brave and Vivaldi are Chromium browsers that read these
# folders of their own; Firefox reads only /usr/lib.
foreach(_folder /etc/opt/chrome/native-messaging-hosts /etc/chromium/native-messaging-hosts
                /etc/opt/edge/native-messaging-hosts /etc/opt/brave/native-messaging-hosts
                /etc/opt/vivaldi/native-messaging-hosts)
  file(MAKE_DIRECTORY "${_root}${_folder}")
  file(CREATE_LINK /var/lib/vantrel-print-host/com.vantrel.print.json
       "${_root}${_folder}/com.vantrel.print.json" SYMBOLIC)
endforeach()
file(MAKE_DIRECTORY "${_root}/usr/lib/mozilla/native-messaging-hosts")
file(CREATE_LINK /var/lib/vantrel-print-host/com.vantrel.print.firefox.json
     "${_root}/usr/lib/mozilla/native-messaging-hosts/com.vantrel.print.json" SYMBOLIC)

# The versions of glibc, libstdc++, OpenSSL, libcups and libpng the host was linked against,
# from the symbols it uses (dpkg-shlibdeps reads the libraries' symbols files).
file(WRITE "${WORK_DIR}/debian/control"
     "Source: vantrel-print-host\n\nPackage: vantrel-print-host\nArchitecture: any\n")
execute_process(COMMAND "${DPKG_SHLIBDEPS}" -O "-edebian/vantrel-print-host${_lib}/vantrel-print-host"
                WORKING_DIRECTORY "${WORK_DIR}"
                RESULT_VARIABLE _result OUTPUT_VARIABLE _shlibs ERROR_VARIABLE _error)
if(NOT _result EQUAL 0 OR NOT _shlibs MATCHES "shlibs:Depends=([^\n]+)")
  message(FATAL_ERROR "dpkg-shlibdeps could not derive the dependencies:\n${_shlibs}${_error}")
endif()
set(_depends "${CMAKE_MATCH_1}")
# The package is named as its file: one that allows the test extension is another package
# than one that allows only the vendor's, and each replaces the other (the same files), so
# that installing one's own over the test one takes the test manifests away.
if(_stem STREQUAL "vantrel-print-host")
  set(_other "vantrel-print-host-test-extension")
else()
  set(_other "vantrel-print-host")
endif()
file(WRITE "${_root}/DEBIAN/control" "Package: ${_stem}
Version: ${VERSION}
Architecture: ${ARCH}
Maintainer: Vantrel <support@vantrel.example>
Section: utils
Priority: optional
Depends: ${_depends}
Conflicts: ${_other}
Replaces: ${_other}
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

# ---- the per-user archive: install-user.sh renders the manifests where it installs the host

set(_user "${WORK_DIR}/${_stem}-${VERSION}")
_stage_host_and_manifest_sources("${_user}")
file(COPY "${_linux}/install-user.sh" DESTINATION "${_user}" FILE_PERMISSIONS ${_executable})
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar czf "${_archive}" "${_stem}-${VERSION}"
                WORKING_DIRECTORY "${WORK_DIR}" RESULT_VARIABLE _result)
if(NOT _result EQUAL 0)
  message(FATAL_ERROR "could not write ${_archive}")
endif()
message(STATUS "built ${_archive}")
