// Linked into every test program: standard output is unbuffered, so that a
// program that dies part-way still shows all it printed, and one that printed
// nothing never reached its main (see scripts/run_test_program.sh).
#include <cstdio>

namespace
{

struct UnbufferedOutput
{
    UnbufferedOutput() { std::setvbuf(stdout, nullptr, _IONBF, 0); }
};

const UnbufferedOutput g_unbufferedOutput;

} // namespace
