// A test program whose one case passes and which then crashes at exit, as a
// provider that faults while it unloads would make it: the launcher must
// call that a failure (tests/run_test_program_selftest.sh).
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>

namespace
{

void CrashAtExit()
{
    ::RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

TEST(CrashAfterPass, Passes)
{
    ASSERT_EQ(0, std::atexit(CrashAtExit));
}

} // namespace
