# Cross build of the 32-bit Windows DLL with Debian's mingw-w64 (package g++-mingw-w64-i686).
#
# The -win32 thread-model variant is used on purpose: its libstdc++ sits on the native Win32
# API, whereas the -posix variant pulls in libwinpthread-1.dll. With libgcc and libstdc++
# linked statically the DLL imports only KERNEL32.dll, USER32.dll and msvcrt.dll.
# Consequence: std::thread/std::mutex are not available in this build; the platform layer
# uses Win32 primitives directly.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(MINGW_TRIPLE i686-w64-mingw32)
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

# No libgcc_s_dw2-1.dll / libstdc++-6.dll next to the DLL or the test programs.
set(_kelvaro_static_runtime "-static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_kelvaro_static_runtime}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_kelvaro_static_runtime}")
set(CMAKE_EXE_LINKER_FLAGS_INIT    "${_kelvaro_static_runtime}")

# Windows programs built here (tests) run under Wine.
find_program(KELVARO_WINE_EXECUTABLE NAMES wine)
if(KELVARO_WINE_EXECUTABLE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${KELVARO_WINE_EXECUTABLE}")
endif()
