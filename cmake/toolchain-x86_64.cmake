# Test flavour: the same sources for x86_64 Windows, run under 64-bit Wine.
# The posix thread model is needed by GoogleTest and by test-only code.
set(NORVEX_MINGW_TARGET x86_64)
set(NORVEX_MINGW_THREADS posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
# Through the launcher that retries a start that never reached the program.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/run_test_program.sh /usr/lib/wine/wine64)
set(NORVEX_FLAVOUR x86_64)
set(NORVEX_ARCH amd64)
set(NORVEX_DELIVERABLE_BUILD OFF)
