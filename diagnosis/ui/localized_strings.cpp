#include "localized_strings.h"

#include "common/ansi_text.h"

// The application object's constructor fills this table, and the application
// object lives in another file: the priority makes the table exist before any
// default-priority global is constructed, and outlive it at exit.
__attribute__((init_priority(200))) LocalizedStringMap LocalizedStringTable;

namespace
{

struct BuiltInText
{
    const char* key;
    const wchar_t* text;
};

// Order of insertion; no text ends in a blank because callers append directly.
const BuiltInText kBuiltInTexts[] = {
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

} // namespace

void InitLocalizedStrings()
{
    for (const BuiltInText& entry : kBuiltInTexts)
    {
        LocalizedStringTable[entry.key] = entry.text;
    }
}

std::wstring GetLocalizedString(const char* key)
{
    const char* lookupKey = key ? key : "";
    const auto found = LocalizedStringTable.find(lookupKey);
    if (found != LocalizedStringTable.end())
    {
        return found->second;
    }
    return L"[!] " + AnsiToWide(lookupKey);
}
