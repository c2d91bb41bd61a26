# Target docs: the HTML reference of the two public headers, in <build>/docs/html. Doxygen
# fails it on any warning: an exported function, parameter, result or code left undocumented.
find_program(KELVARO_DOXYGEN NAMES doxygen)
if(NOT KELVARO_DOXYGEN)
  message(STATUS "doxygen not found (scripts/setup.sh installs it): no docs target")
  return()
endif()

set(KELVARO_DOCS_OUTPUT "${PROJECT_BINARY_DIR}/docs")
configure_file("${PROJECT_SOURCE_DIR}/docs/Doxyfile.in" "${KELVARO_DOCS_OUTPUT}/Doxyfile" @ONLY)
# A fresh html/ each time: doxygen leaves pages of whatever was removed from the headers.
add_custom_target(docs
  COMMAND ${CMAKE_COMMAND} -E rm -rf "${KELVARO_DOCS_OUTPUT}/html"
  COMMAND ${KELVARO_DOXYGEN} "${KELVARO_DOCS_OUTPUT}/Doxyfile"
  WORKING_DIRECTORY "${KELVARO_DOCS_OUTPUT}"
  COMMENT "HTML reference of the headers: ${KELVARO_DOCS_OUTPUT}/html/index.html"
  SOURCES docs/Doxyfile.in include/Kelvaro32.h include/kelvaro.h
  VERBATIM)
