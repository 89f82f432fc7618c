# Deliverables: 32-bit x86 Windows, built with the win32 thread model so that the
# static runtime imports nothing newer than Windows 2000 (the posix model pulls in
# GetTickCount64 and AddVectoredExceptionHandler).
set(NORVEX_MINGW_TARGET i686)
set(NORVEX_MINGW_THREADS win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(NORVEX_FLAVOUR i686)
set(NORVEX_ARCH x86)
set(NORVEX_DELIVERABLE_BUILD ON)
