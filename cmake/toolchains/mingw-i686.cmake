# Cross build of the 32-bit Windows DLL with Debian's mingw-w64 (package g++-mingw-w64-i686).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
