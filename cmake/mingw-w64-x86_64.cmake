# Cross build of the Windows plug-in with Debian's MinGW-w64 toolchain (POSIX threads,
# so std::thread and std::mutex work). The toolchain's own Windows headers and import
# libraries are the Windows SDK here.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(RAYDRIFT_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${RAYDRIFT_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RAYDRIFT_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${RAYDRIFT_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${RAYDRIFT_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
