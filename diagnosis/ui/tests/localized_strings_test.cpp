#include "localized_strings.h"

#include <gtest/gtest.h>

namespace
{

class LocalizedStrings : public ::testing::Test
{
protected:
    void SetUp() override
    {
        LocalizedStringTable.clear();
        InitLocalizedStrings();
    }
};

TEST_F(LocalizedStrings, EachKeyReturnsItsBuiltInText)
{
    static const struct
    {
        const char* key;
        const wchar_t* text;
    } cases[] = {
        { "NetworkStatus", L"Current network status:" },
        { "NetworkStatusOK", L"OK" },
        { "NetworkStatusBroken", L"Broken" },
        { "UserComments", L"Comments:" },
        { "DiagnosisReport", L"Report:" },
        { "StartDiagnosis", L"Start diagnosis" },
        { "CopyReportToClipboard", L"Copy report to clipboard" },
        { "SaveReportToFile", L"Save report to file" },
        { "Close", L"Close" },
        { "DiagnosisOptions", L"Diagnosis options:" },
        { "DiagnosisCompleted",
          L"Diagnosis Completed. You can send the report to our customer support now." },
        { "SaveFileNamePrefix", L"NetworkDiagnosis" },
        { "SaveReportOK", L"Save OK" },
        { "CopyReportOK", L"Copy OK" },
        { "QueryFullModuleList", L"Query full module list" },
        { "QueryNetConnections", L"Query network connections" },
    };
    EXPECT_EQ(LocalizedStringTable.size(), sizeof(cases) / sizeof(cases[0]));
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(GetLocalizedString(c.key), c.text);
    }
}

TEST_F(LocalizedStrings, UnknownKeysShowTheMarkerAndTheKeyUnchanged)
{
    static const struct
    {
        const char* key;
        const wchar_t* text;
    } cases[] = {
        { "networkstatus", L"[!] networkstatus" },
        { "CLOSE", L"[!] CLOSE" },
        { "NetworkStatusOk", L"[!] NetworkStatusOk" },
        { "", L"[!] " },
        { "NoSuchKey", L"[!] NoSuchKey" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(GetLocalizedString(c.key), c.text);
    }
}

TEST_F(LocalizedStrings, LookupsReturnIndependentCopies)
{
    std::wstring first = GetLocalizedString("Close");
    const std::wstring second = GetLocalizedString("Close");
    EXPECT_EQ(first, second);
    first[0] = L'X';
    EXPECT_EQ(GetLocalizedString("Close"), L"Close");
    EXPECT_EQ(second, L"Close");
}

TEST_F(LocalizedStrings, InsertingAgainReplacesRatherThanDuplicates)
{
    LocalizedStringTable["Close"] = L"Shut";
    InitLocalizedStrings();
    EXPECT_EQ(LocalizedStringTable.size(), 16u);
    EXPECT_EQ(GetLocalizedString("Close"), L"Close");
}

} // namespace
