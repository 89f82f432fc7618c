# Deliverable for 64-bit Windows: the provider alone (NorvexBind64.dll), for
# the 64-bit processes of 64-bit Windows. The win32 thread model keeps the
# static runtime's imports within what 64-bit Windows XP and Server 2003 have.
set(NORVEX_MINGW_TARGET x86_64)
set(NORVEX_MINGW_THREADS win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(NORVEX_FLAVOUR x64)
set(NORVEX_ARCH amd64)
set(NORVEX_DELIVERABLE_BUILD ON)
# Only the provider ships for 64-bit Windows; the diagnosis program is 32-bit.
set(NORVEX_PROVIDER_ONLY ON)
