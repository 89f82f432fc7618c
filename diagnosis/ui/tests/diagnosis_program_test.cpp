// The diagnosis program itself, started as a user starts it and driven
// through its windows from this process: the flavour's own build, and the
// program as it ships where it ships for this bitness.
#include "localized_strings.h"
#include "program_driver.h"

#include "common/ansi_text.h"
#include "tests/shipped_dir.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

void ExpectWholeReport(const std::wstring& program)
{
    SCOPED_TRACE(WideToAnsi(program));
    ScratchFolder scratch;
    const std::wstring reportPath = scratch.Path() + L"report.txt";
    DiagnosisProgramRun run;
    run.comments = L"driven from outside";
    run.queryNetConnections = true;
    run.pressEnterAfterTheRun = true;
    const DiagnosisProgramResult result = DriveDiagnosisProgram(program, reportPath, run);
    ASSERT_EQ("", WideToAnsi(result.failure));
    EXPECT_TRUE(result.didExit);
    EXPECT_EQ(0u, result.exitCode);
    // "Diagnosis Completed..." after the run, "Save OK" after saving: the
    // program's own texts.
    ASSERT_EQ(2u, result.boxTexts.size());
    EXPECT_EQ(0u, result.boxTexts[0].find(L"Diagnosis Completed."));
    EXPECT_EQ(L"Save OK", result.boxTexts[1]);

    const std::string report = ReadFileBytes(reportPath);
    EXPECT_EQ(0u, report.find("Current network status:OK\r\nComments:driven from outside\r\n"
                              "================= Operating System =================\r\n"));
#ifdef _WIN64
    EXPECT_NE(std::string::npos, report.find("\r\nIsOnWindows64: No\r\n"));
#else
    EXPECT_NE(std::string::npos, report.find("\r\nIsOnWindows64: Yes\r\n"));
#endif
    size_t at = 0;
    for (const char* header : {"HTTP Connection", "VpnBind ControlBlock", "Process List", "LSP List",
                               "Vpn Accelerated Apps", "ipconfig", "route", "netstat", "Vpn Accelerated Processes",
                               "LSP Health", "[over]"})
    {
        const std::string line = std::string("================= ") + header + " =================\r\n";
        const size_t found = report.find(line, at);
        EXPECT_NE(std::string::npos, found) << "missing or out of order: " << header;
        at = found == std::string::npos ? at : found + line.size();
    }
    EXPECT_EQ(report.size(), at) << "the report ends with its closing header";
    // The program lists itself among the processes.
    const std::wstring name = program.substr(program.find_last_of(L'\\') + 1);
    EXPECT_NE(std::string::npos, report.find(WideToAnsi(name))) << "process list";
}

TEST(DiagnosisProgram, OwnBuildWritesAWholeReportDrivenFromOutside)
{
    ExpectWholeReport(GetTestBinFolder() + L"NorvexDiagnosis.exe");
}

TEST(DiagnosisProgram, ShippedProgramWritesAWholeReportDrivenFromOutside)
{
    if (sizeof(void*) != 4 || kShippedFolder[0] == L'\0')
    {
        GTEST_SKIP() << "the diagnosis program ships for 32-bit x86 only: the i686 flavour tests it";
    }
    ExpectWholeReport(std::wstring(kShippedFolder) + L"NorvexDiagnosis.exe");
}

} // namespace
