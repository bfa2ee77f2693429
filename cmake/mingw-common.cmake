# Shared by the mingw-w64 toolchain files: set _velmora_mingw_triple first.
set(CMAKE_SYSTEM_NAME Windows)

# The -posix compilers: their libstdc++ has std::thread and std::mutex.
set(CMAKE_C_COMPILER ${_velmora_mingw_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_velmora_mingw_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_velmora_mingw_triple}-windres)

# Headers and libraries come from the mingw tree only, never from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${_velmora_mingw_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program is one self-contained .exe: no libgcc, libstdc++ or
# winpthread DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# ctest and gtest_discover_tests run the .exe files through Wine, with a
# prefix inside the build folder so that nothing of the user's ~/.wine is used.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run;${CMAKE_BINARY_DIR}/wine-prefix")
