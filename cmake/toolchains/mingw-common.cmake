# What the 32-bit and 64-bit mingw-w64 cross builds share; each toolchain file sets
# CMAKE_SYSTEM_PROCESSOR and MINGW_TRIPLE, then includes this.
#
# The -win32 thread-model variant is used on purpose: its libstdc++ sits on the native Win32
# API, whereas the -posix variant pulls in libwinpthread-1.dll. With libgcc and libstdc++
# linked statically the DLL imports only system DLLs (KERNEL32, USER32, WS2_32, msvcrt).
# Consequence: std::thread/std::mutex are not available in these builds; the platform layer
# uses Win32 primitives directly.
#
# The Windows builds of the tools (tools/windows/) use the simulator's std::thread and
# std::mutex: they set KELVARO_MINGW_THREADS=posix and link everything statically, libwinpthread
# included, so they too import only system DLLs (and Kelvaro32.dll).

set(CMAKE_SYSTEM_NAME Windows)
if(NOT KELVARO_MINGW_THREADS)
  set(KELVARO_MINGW_THREADS win32)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KELVARO_MINGW_THREADS)
set(CMAKE_C_COMPILER   ${MINGW_TRIPLE}-gcc-${KELVARO_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-${KELVARO_MINGW_THREADS})
set(CMAKE_RC_COMPILER  ${MINGW_TRIPLE}-windres)
set(CMAKE_AR           ${MINGW_TRIPLE}-gcc-ar-${KELVARO_MINGW_THREADS} CACHE FILEPATH "")
set(CMAKE_RANLIB       ${MINGW_TRIPLE}-gcc-ranlib-${KELVARO_MINGW_THREADS} CACHE FILEPATH "")

# Headers and libraries come from the mingw sysroot only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No libgcc or libstdc++ DLL next to the DLL or the test programs.
set(_kelvaro_static_runtime "-static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_kelvaro_static_runtime}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_kelvaro_static_runtime}")
set(CMAKE_EXE_LINKER_FLAGS_INIT    "${_kelvaro_static_runtime}")

# Windows programs built here (tests) run under Wine.
find_program(KELVARO_WINE_EXECUTABLE NAMES wine)
if(KELVARO_WINE_EXECUTABLE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${KELVARO_WINE_EXECUTABLE}")
endif()
