# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix thread model).
# The same sources as the 32-bit build; used to run the Windows tests under
# 64-bit Wine where 32-bit Windows programs cannot run.
set(REFWARDEN_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
