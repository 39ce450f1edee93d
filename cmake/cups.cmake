# The CUPS print system (src/domain/printing/cups/) links libcups; the Windows build never sees
# it. vantrel-cups-probe drives it against the scheduler named by CUPS_SERVER.

find_package(Cups REQUIRED)
target_link_libraries(vantrel_core PUBLIC Cups::Cups)

add_executable(vantrel-cups-probe ${CMAKE_SOURCE_DIR}/tests/cups/cups_probe.cpp)
target_link_libraries(vantrel-cups-probe PRIVATE vantrel_core)
