# Test harness: GoogleTest from the machine's sources, each test run as its own
# Wine process in the build tree's private prefix.
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

include(GoogleTest)

# CTest itself runs under scripts/lib.sh's in_private_network, which sets
# WINEPREFIX (each flavour's own prefix) and WINEDEBUG for every test and for
# the discovery of the test lists. Each program is started through
# scripts/run_test_program.sh, the toolchain's emulator.

# Linked into every test program (see the file): compiled once.
add_library(norvex_unbuffered_output OBJECT ${PROJECT_SOURCE_DIR}/tests/support/unbuffered_output.cpp)

# norvex_add_test(<name> SOURCES ... [LIBRARIES ...] [RESOURCE_LOCK <one name>] [RUN_SERIAL] [TIMEOUT <s>])
#
# The lock name in use: machine_state, for every test that touches what is
# shared machine-wide (the control block and its mutex, the product's
# applist.ini, the route request pipe, the desktop's foreground window and the
# clipboard). One name per test: a list would be
# split by the property list of the test discovery.
function(norvex_add_test name)
    cmake_parse_arguments(ARG "RUN_SERIAL" "TIMEOUT" "SOURCES;LIBRARIES;RESOURCE_LOCK" ${ARGN})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    add_executable(${name} ${ARG_SOURCES})
    target_compile_definitions(${name} PRIVATE ${NORVEX_PRODUCT_DEFINITIONS})
    target_compile_options(${name} PRIVATE ${NORVEX_WARNINGS})
    target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} norvex_unbuffered_output gtest_main)
    # The launcher gives the verdict (scripts/run_test_program.sh): a pass
    # needs gtest's pass line and exit status 0, so neither a process that
    # ends early with 0 (a stack overflow under Wine can) nor one that crashes
    # after its pass line passes. A pass expression would make CTest ignore
    # the exit status. A skip counts only when the program also exited 0,
    # which the launcher's line says (instead of gtest's own skip line, the
    # default). The expression avoids blanks and brackets, which the
    # discovery would split.
    set(properties TIMEOUT ${ARG_TIMEOUT} SKIP_REGULAR_EXPRESSION "skipped-cleanly")
    if(ARG_RESOURCE_LOCK)
        list(APPEND properties RESOURCE_LOCK "${ARG_RESOURCE_LOCK}")
    endif()
    if(ARG_RUN_SERIAL)
        list(APPEND properties RUN_SERIAL TRUE)
    endif()
    gtest_discover_tests(${name}
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 120
        PROPERTIES ${properties})
endfunction()

# Test libraries export their __stdcall functions by plain name, as Windows
# looks them up (the i686 linker would decorate them: _WSPStartup@76).
function(norvex_plain_exports target)
    if(NORVEX_ARCH STREQUAL "x86")
        target_link_options(${target} PRIVATE -Wl,--kill-at)
    endif()
endfunction()
