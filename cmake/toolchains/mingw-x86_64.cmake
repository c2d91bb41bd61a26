# Cross build of the 64-bit Windows DLL with Debian's mingw-w64 (package g++-mingw-w64-x86-64),
# the same way as the 32-bit one (mingw-i686.cmake):
#
# The -win32 thread-model variant is used on purpose: its libstdc++ sits on the native Win32
# API, whereas the -posix variant pulls in libwinpthread-1.dll. With libgcc and libstdc++
# linked statically the DLL imports only system DLLs (KERNEL32, USER32, WS2_32, msvcrt).
# x64 has one calling convention and no @N decoration: the export names come out plain by
# themselves, and an import library needs a .def without @N (tests/windows makes one).

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${MINGW_TRIPLE}-gcc-win32)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-win32)
set(CMAKE_RC_COMPILER  ${MINGW_TRIPLE}-windres)
set(CMAKE_AR           ${MINGW_TRIPLE}-gcc-ar-win32 CACHE FILEPATH "")
set(CMAKE_RANLIB       ${MINGW_TRIPLE}-gcc-ranlib-win32 CACHE FILEPATH "")

# Headers and libraries come from the mingw sysroot only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No libgcc_s_seh-1.dll / libstdc++-6.dll next to the DLL or the test programs.
set(_kelvaro_static_runtime "-static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_kelvaro_static_runtime}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_kelvaro_static_runtime}")
set(CMAKE_EXE_LINKER_FLAGS_INIT    "${_kelvaro_static_runtime}")

# Windows programs built here (tests) run under Wine, which starts 64-bit ones in a win64
# prefix (tests/windows/wine.sh).
find_program(KELVARO_WINE_EXECUTABLE NAMES wine)
if(KELVARO_WINE_EXECUTABLE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${KELVARO_WINE_EXECUTABLE}")
endif()
