# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix thread model).
# cmake -S . -B build-win64 --toolchain cmake/toolchain-mingw-x86_64.cmake
set(REFWARDEN_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
