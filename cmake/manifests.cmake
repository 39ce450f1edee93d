# The native-messaging manifests of every package (the MSI packages, the .deb, the per-user
# Linux install), from the one template install/manifest.template.json, and the rules on the
# extensions they allow. Included by CMakeLists.txt and by the packaging scripts (cmake -P),
# which are given VANTREL_ALLOWED_ORIGINS and VANTREL_FIREFOX_EXTENSION_IDS (',' or
# ';'-separated).

get_filename_component(_vantrel_manifest_template
                       "${CMAKE_CURRENT_LIST_DIR}/../install/manifest.template.json" ABSOLUTE)

# The test extension (tests/browser/extension): its private key is in the repository, so
# anyone can load an extension with these ids. The demo and the tests allow it; a package
# that does says so in its name, and a release build refuses it.
set(VANTREL_TEST_ORIGIN "chrome-extension://ondflflfbmjblmgagbkicebfakiegiai/")
set(VANTREL_TEST_FIREFOX_ID "print-host-test@vantrel.example")

# The entries of an extension parameter, as a CMake list.
function(_vantrel_entries variable out)
  string(REPLACE "," ";" _entries "${${variable}}")
  list(TRANSFORM _entries STRIP)
  list(REMOVE_ITEM _entries "")
  set(${out} "${_entries}" PARENT_SCOPE)
endfunction()

# Sets out to the start of every package's file name: vantrel-print-host, or
# vantrel-print-host-test-extension when the packages let the test extension in.
function(vantrel_package_stem out)
  _vantrel_entries(VANTREL_ALLOWED_ORIGINS _origins)
  _vantrel_entries(VANTREL_FIREFOX_EXTENSION_IDS _firefox_ids)
  if(VANTREL_TEST_ORIGIN IN_LIST _origins OR VANTREL_TEST_FIREFOX_ID IN_LIST _firefox_ids)
    set(${out} "vantrel-print-host-test-extension" PARENT_SCOPE)
  else()
    set(${out} "vantrel-print-host" PARENT_SCOPE)
  endif()
endfunction()

# A release lets only the vendor's own extensions start the host: both parameters given, and
# neither holding the test extension.
function(vantrel_check_release)
  _vantrel_entries(VANTREL_ALLOWED_ORIGINS _origins)
  _vantrel_entries(VANTREL_FIREFOX_EXTENSION_IDS _firefox_ids)
  vantrel_package_stem(_stem)
  if(NOT _origins OR NOT _firefox_ids OR _stem MATCHES "test-extension")
    message(FATAL_ERROR "VANTREL_RELEASE: a release package allows only the vendor's own "
      "extensions. Set VANTREL_ALLOWED_ORIGINS (chrome-extension://<id>/) and "
      "VANTREL_FIREFOX_EXTENSION_IDS to them; neither may be empty or hold the test "
      "extension (${VANTREL_TEST_ORIGIN}, ${VANTREL_TEST_FIREFOX_ID}), whose private key is "
      "public.\nNow: VANTREL_ALLOWED_ORIGINS=\"${VANTREL_ALLOWED_ORIGINS}\", "
      "VANTREL_FIREFOX_EXTENSION_IDS=\"${VANTREL_FIREFOX_EXTENSION_IDS}\"")
  endif()
endfunction()

# The extension parameters are what a vendor must set for its own extension: refuse a
# package that no browser would let talk to the host. Sets out_origins and out_firefox_ids to
# JSON lists.
function(vantrel_allowed_lists out_origins out_firefox_ids)
  # CMake's regular expressions have no {n}: fixed runs are spelled out.
  string(REPEAT "[a-p]" 32 _chromium_id)
  string(REPEAT "[0-9A-Fa-f]" 4 _hex4)
  string(REPEAT "[0-9A-Fa-f]" 8 _hex8)
  string(REPEAT "[0-9A-Fa-f]" 12 _hex12)
  _vantrel_allowed_list(VANTREL_ALLOWED_ORIGINS "^chrome-extension://${_chromium_id}/$"
                        "Chromium extension origins (chrome-extension://<32 letters a-p>/)" _o)
  _vantrel_allowed_list(VANTREL_FIREFOX_EXTENSION_IDS
                        "^([{]${_hex8}-${_hex4}-${_hex4}-${_hex4}-${_hex12}[}]|[A-Za-z0-9._-]*@[A-Za-z0-9._-]+)$"
                        "Firefox extension ids ({uuid}, or letters, digits, . _ - around one @; Firefox rejects a manifest with any other)" _f)
  set(${out_origins} "${_o}" PARENT_SCOPE)
  set(${out_firefox_ids} "${_f}" PARENT_SCOPE)
endfunction()

function(_vantrel_allowed_list variable pattern what out)
  _vantrel_entries(${variable} _entries)
  if(NOT _entries)
    message(FATAL_ERROR "${variable} is empty: give the ${what} the host answers "
                        "(-D${variable}=... when configuring the build)")
  endif()
  set(_json "")
  foreach(_entry IN LISTS _entries)
    if(NOT _entry MATCHES "${pattern}")
      message(FATAL_ERROR "${variable}: \"${_entry}\" is not a valid entry of ${what}")
    endif()
    list(APPEND _json "\"${_entry}\"")
  endforeach()
  list(JOIN _json ", " _json)
  set(${out} "[${_json}]" PARENT_SCOPE)
endfunction()

# Writes one manifest naming host_path (JSON-escaped here), with allowed_key
# ("allowed_origins" or "allowed_extensions") holding allowed_list. Each placeholder is a JSON
# token that must stand exactly once in the template, so a renamed one fails the build.
function(vantrel_render_manifest out_file host_path allowed_key allowed_list)
  file(READ "${_vantrel_manifest_template}" _text)
  string(REPLACE "\\" "\\\\" _path "${host_path}")
  string(REPLACE "\"" "\\\"" _path "${_path}")
  foreach(_pair "\"@HOST_PATH@\"|\"${_path}\""
                "\"@ALLOWED_KEY@\"|\"${allowed_key}\""
                "[\"@ALLOWED_LIST@\"]|${allowed_list}")
    string(FIND "${_pair}" "|" _bar)
    string(SUBSTRING "${_pair}" 0 ${_bar} _token)
    math(EXPR _bar "${_bar} + 1")
    string(SUBSTRING "${_pair}" ${_bar} -1 _value)
    string(FIND "${_text}" "${_token}" _first)
    string(FIND "${_text}" "${_token}" _last REVERSE)
    if(_first EQUAL -1 OR NOT _first EQUAL _last)
      message(FATAL_ERROR "${_vantrel_manifest_template} must hold ${_token} exactly once")
    endif()
    string(REPLACE "${_token}" "${_value}" _text "${_text}")
  endforeach()
  string(JSON _name ERROR_VARIABLE _error GET "${_text}" name)
  if(_error)
    message(FATAL_ERROR "the manifest rendered from ${_vantrel_manifest_template} is not JSON: "
                        "${_error}")
  endif()
  file(WRITE "${out_file}" "${_text}")
endfunction()

# Writes the extensions the package allows, one a line, for install/linux/manifests.sh, which
# renders the Linux manifests when they are installed (so that more can be added there).
# The parameters must have passed vantrel_allowed_lists.
function(vantrel_write_allowed_list out_file)
  _vantrel_entries(VANTREL_ALLOWED_ORIGINS _origins)
  _vantrel_entries(VANTREL_FIREFOX_EXTENSION_IDS _firefox_ids)
  list(JOIN _origins "\n" _origins)
  list(JOIN _firefox_ids "\n" _firefox_ids)
  file(WRITE "${out_file}" "# The extensions this package allows to start the host.\n"
                           "${_origins}\n${_firefox_ids}\n")
endfunction()
