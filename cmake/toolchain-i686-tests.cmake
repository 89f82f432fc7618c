# Test flavour for 32-bit x86: the same sources as the deliverables, built with
# the posix thread model that GoogleTest needs, run under 32-bit Wine. It
# catches what x86_64 cannot show: calling conventions, 4-byte pointers and
# the structure layouts that follow from them.
set(NORVEX_MINGW_TARGET i686)
set(NORVEX_MINGW_THREADS posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
set(CMAKE_SYSTEM_PROCESSOR x86)
# Through the launcher that retries a start that never reached the program.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/run_test_program.sh /usr/lib/wine/wine)
set(NORVEX_FLAVOUR i686-tests)
set(NORVEX_ARCH x86)
set(NORVEX_DELIVERABLE_BUILD OFF)
