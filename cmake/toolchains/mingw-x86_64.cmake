# Cross build of the 64-bit Windows DLL with Debian's mingw-w64 (package g++-mingw-w64-x86-64).
# x64 has one calling convention and no @N decoration: the export names come out plain by
# themselves, and its import libraries are made from the .def less the @N (CMakeLists.txt).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
