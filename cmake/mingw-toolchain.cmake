# What the toolchain files share. Each sets, before including this file:
#   NORVEX_MINGW_TARGET   i686 or x86_64
#   NORVEX_MINGW_THREADS  win32 (the deliverables: nothing newer than Windows
#                         2000 from the runtime) or posix (GoogleTest needs it)
set(CMAKE_SYSTEM_NAME Windows)
set(TOOLCHAIN_PREFIX ${NORVEX_MINGW_TARGET}-w64-mingw32)
set(CMAKE_C_COMPILER   ${TOOLCHAIN_PREFIX}-gcc-${NORVEX_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-${NORVEX_MINGW_THREADS})
set(CMAKE_RC_COMPILER  ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
