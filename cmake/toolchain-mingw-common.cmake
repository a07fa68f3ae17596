# Shared part of the MinGW-w64 toolchain files; REFWARDEN_MINGW_TRIPLET names
# the target (i686-w64-mingw32 or x86_64-w64-mingw32).
set(CMAKE_SYSTEM_NAME Windows)
if(REFWARDEN_MINGW_TRIPLET MATCHES "^i686")
  set(CMAKE_SYSTEM_PROCESSOR x86)
  set(_refwarden_wine /usr/lib/wine/wine)  # 32-bit Wine (wine32:i386)
else()
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
  set(_refwarden_wine /usr/lib/wine/wine64)
endif()
# The tests run under the Wine of the target's bitness, as CTest runs any
# cross-built test: through the emulator. -DREFWARDEN_WINE=... names another.
set(REFWARDEN_WINE ${_refwarden_wine} CACHE FILEPATH "The Wine that runs this build's tests")
set(CMAKE_CROSSCOMPILING_EMULATOR ${REFWARDEN_WINE})

set(CMAKE_C_COMPILER ${REFWARDEN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${REFWARDEN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${REFWARDEN_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${REFWARDEN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CLI11 and nlohmann-json are header-only: Debian's headers serve any target
# (see the files).
set(CLI11_DIR ${CMAKE_CURRENT_LIST_DIR}/mingw-packages CACHE PATH "CLI11 for MinGW builds")
set(nlohmann_json_DIR ${CMAKE_CURRENT_LIST_DIR}/mingw-packages
    CACHE PATH "nlohmann-json for MinGW builds")
# zlib from Debian's libz-mingw-w64-dev, linked in: no zlib1.dll beside the tool.
set(ZLIB_USE_STATIC_LIBS ON)

# Self-contained binaries: the C++ run-time, libgcc and winpthread are linked
# in, so a DLL or program needs nothing but the system's own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
