# Cross build of the 32-bit Windows DLL with Debian's mingw-w64 compilers. The posix-thread
# variant is required: the win32-thread one has no std::mutex or std::condition_variable.
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(ORN_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${ORN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ORN_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ORN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
