# Cross build for 32-bit Windows with Debian's MinGW-w64 (posix thread model).
# cmake -S . -B build-win32 --toolchain cmake/toolchain-mingw-i686.cmake
set(REFWARDEN_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
