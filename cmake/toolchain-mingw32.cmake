# 32-bit Windows programs (what shops run), cross-built with Debian's
# mingw-w64:  cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(_velmora_mingw_triple i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
