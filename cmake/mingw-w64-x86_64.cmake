# Cross build for 64-bit Windows with Debian's MinGW-w64 (POSIX threads), the programs run
# through Wine where a build runs them (tests, the local store's creation).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
# The MinGW runtime goes into the programs, so that they run without its DLLs beside them;
# beside Qt's DLLs (LORF_STATIC_RUNTIME=OFF) the programs share their runtime DLLs instead, so
# that one C++ runtime serves the program and Qt.
if(NOT DEFINED LORF_STATIC_RUNTIME OR LORF_STATIC_RUNTIME)
    set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
endif()
