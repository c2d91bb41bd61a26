# What `cmake --install` puts in place and what CPack makes of it: the library (on Windows the
# DLL and its import libraries), both headers, the CMake package Kelvaro32::Kelvaro32,
# kelvaro32.pc and, once built, the HTML reference. The tools install themselves (tools/).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KELVARO_PACKAGE_SUMMARY "Drive a motorised zoom lens through its serial control port")
set(KELVARO_PACKAGE_CONTACT "Kelvaro32 maintainers <maintainers@kelvaro32.invalid>"
    CACHE STRING "Maintainer named in the Linux package")
set(KELVARO_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/Kelvaro32")

install(TARGETS Kelvaro32 EXPORT Kelvaro32Targets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/Kelvaro32.h include/kelvaro.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(WIN32)
  # The MSVC import library, when it has been made next to the DLL (llvm-dlltool); the .def
  # names the 32-bit DLL's __stdcall exports.
  install(FILES "${PROJECT_BINARY_DIR}/Kelvaro32.lib" DESTINATION ${CMAKE_INSTALL_LIBDIR} OPTIONAL)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    install(FILES src/Kelvaro32.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
  endif()
endif()

if(NOT WIN32)
  # The Python package for the system's Python 3 (Debian's dist-packages), with a link to the
  # library beside it, where the package looks first.
  set(KELVARO_PYTHON_DIR "lib/python3/dist-packages" CACHE STRING
      "Where the Python package kelvaro goes, under the prefix")
  install(DIRECTORY python/kelvaro DESTINATION ${KELVARO_PYTHON_DIR}
          PATTERN __pycache__ EXCLUDE PATTERN "*.pyc" EXCLUDE)
  file(RELATIVE_PATH library_from_python "/${KELVARO_PYTHON_DIR}/kelvaro" "/${CMAKE_INSTALL_LIBDIR}/libKelvaro32.so")
  file(MAKE_DIRECTORY "${PROJECT_BINARY_DIR}/python")
  file(CREATE_LINK "${library_from_python}" "${PROJECT_BINARY_DIR}/python/libKelvaro32.so" SYMBOLIC)
  install(FILES "${PROJECT_BINARY_DIR}/python/libKelvaro32.so" DESTINATION ${KELVARO_PYTHON_DIR}/kelvaro)
endif()

install(EXPORT Kelvaro32Targets NAMESPACE Kelvaro32:: DESTINATION ${KELVARO_CMAKE_DIR})
configure_package_config_file(cmake/Kelvaro32Config.cmake.in
  "${PROJECT_BINARY_DIR}/Kelvaro32Config.cmake" INSTALL_DESTINATION ${KELVARO_CMAKE_DIR})
# Same major version; the size check keeps a 64-bit consumer off the 32-bit DLL.
write_basic_package_version_file("${PROJECT_BINARY_DIR}/Kelvaro32ConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/Kelvaro32Config.cmake" "${PROJECT_BINARY_DIR}/Kelvaro32ConfigVersion.cmake"
  DESTINATION ${KELVARO_CMAKE_DIR})

# kelvaro32.pc names the prefix it is installed under (--prefix, or /usr in the .deb), known
# only at install time: everything else is filled in now, the prefix by the install step.
set(KELVARO_PC_PREFIX "@KELVARO_PC_PREFIX@")
configure_file(cmake/kelvaro32.pc.in "${PROJECT_BINARY_DIR}/pkgconfig/kelvaro32.pc.in" @ONLY)
install(CODE "
  set(KELVARO_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_BINARY_DIR}/pkgconfig/kelvaro32.pc.in\" \"${PROJECT_BINARY_DIR}/pkgconfig/kelvaro32.pc\" @ONLY)")
install(FILES "${PROJECT_BINARY_DIR}/pkgconfig/kelvaro32.pc" DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The reference goes along when the docs target has been built (scripts/package.sh does).
if(KELVARO_DOCS_OUTPUT)
  install(DIRECTORY "${KELVARO_DOCS_OUTPUT}/html" DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/kelvaro32 OPTIONAL)
endif()

set(CPACK_PACKAGE_NAME kelvaro32)
set(CPACK_PACKAGE_VENDOR Kelvaro32)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${KELVARO_PACKAGE_SUMMARY}")
set(CPACK_PACKAGE_CONTACT "${KELVARO_PACKAGE_CONTACT}")
set(CPACK_RESOURCE_FILE_README "${PROJECT_SOURCE_DIR}/README.md")
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/packages")
if(WIN32)
  # The release zip with both DLLs is put together by scripts/package.sh; this one holds a
  # single build.
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "The shared library libKelvaro32.so with its C headers (the flat
functions of Kelvaro32.h and the handle interface of kelvaro.h), a CMake package
and a pkg-config file, the tools kelvaroctl (drive a lens from a terminal) and
kelvaro-lens-sim (a simulated lens on a pseudo-terminal or a TCP port), the Python
package kelvaro for the system's Python 3, and the HTML reference.")
  # Depends from what the library and tools link against.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
