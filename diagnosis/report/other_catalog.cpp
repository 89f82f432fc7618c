#include "other_catalog.h"

#include "console_redirector.h"

#include <winsock2.h>
#include <ws2spi.h>

#include <algorithm>

namespace
{

OtherCatalogReader g_reader = nullptr;

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
    {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f')
    {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F')
    {
        return c - 'A' + 10;
    }
    return -1;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" at text, 38 characters.
bool ParseBracedGuid(const char* text, GUID* guid)
{
    static const int kGroups[] = {8, 4, 4, 4, 12};
    BYTE bytes[16] = {};
    int at = 1;
    int byte = 0;
    if (text[0] != '{')
    {
        return false;
    }
    for (int group = 0; group < 5; ++group)
    {
        for (int i = 0; i < kGroups[group]; i += 2)
        {
            const int high = HexDigit(text[at]);
            const int low = high < 0 ? -1 : HexDigit(text[at + 1]);
            if (low < 0)
            {
                return false;
            }
            bytes[byte++] = static_cast<BYTE>(high * 16 + low);
            at += 2;
        }
        if (text[at++] != (group < 4 ? '-' : '}'))
        {
            return false;
        }
    }
    // The first three groups are numbers, stored little-endian.
    guid->Data1 = (static_cast<ULONG>(bytes[0]) << 24) | (bytes[1] << 16) | (bytes[2] << 8) | bytes[3];
    guid->Data2 = static_cast<USHORT>((bytes[4] << 8) | bytes[5]);
    guid->Data3 = static_cast<USHORT>((bytes[6] << 8) | bytes[7]);
    std::copy(bytes + 8, bytes + 16, guid->Data4);
    return true;
}

using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);

// The bitness of the catalog this program does not see; 0 on 32-bit Windows.
int OtherCatalogBits()
{
    if (sizeof(void*) == 8)
    {
        return 32;
    }
    const auto isWow64Process = reinterpret_cast<IsWow64ProcessFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "IsWow64Process")));
    BOOL isWow64 = FALSE;
    return isWow64Process != nullptr && isWow64Process(::GetCurrentProcess(), &isWow64) && isWow64 ? 64 : 0;
}

#if defined(_WIN64)

using EnumProtocols32Fn = int(WSPAPI*)(LPINT, LPWSAPROTOCOL_INFOW, LPDWORD, LPINT);

OtherCatalog ReadWithEnumProtocols32()
{
    OtherCatalog catalog;
    catalog.bits = 32;
    const auto enumerate = reinterpret_cast<EnumProtocols32Fn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ws2_32.dll"), "WSCEnumProtocols32")));
    if (enumerate == nullptr)
    {
        catalog.whyNot = L"ws2_32.dll has no WSCEnumProtocols32";
        return catalog;
    }
    std::vector<WSAPROTOCOL_INFOW> entries;
    DWORD cbEntries = 0;
    int error = 0;
    int count = SOCKET_ERROR;
    // The catalog may grow between the two calls: a few tries.
    for (int attempt = 0; attempt < 3 && count == SOCKET_ERROR; ++attempt)
    {
        entries.resize(cbEntries / sizeof(WSAPROTOCOL_INFOW) + 1);
        cbEntries = static_cast<DWORD>(entries.size() * sizeof(WSAPROTOCOL_INFOW));
        count = enumerate(nullptr, entries.data(), &cbEntries, &error);
        if (count == SOCKET_ERROR && error != WSAENOBUFS)
        {
            break;
        }
    }
    if (count == SOCKET_ERROR)
    {
        catalog.whyNot = L"WSCEnumProtocols32 failed. " + std::to_wstring(error);
        return catalog;
    }
    count = std::min(count, static_cast<int>(entries.size()));
    for (int i = 0; i < count; ++i)
    {
        catalog.providerIds.push_back(entries[static_cast<size_t>(i)].ProviderId);
    }
    catalog.isRead = true;
    return catalog;
}

#else

// Sysnative is the 64-bit system folder as WOW64 shows it to 32-bit
// programs (Vista and later; on the 64-bit Windows XP only with an update).
OtherCatalog ReadWithNetsh()
{
    OtherCatalog catalog;
    catalog.bits = 64;
    wchar_t windows[MAX_PATH] = L"";
    const UINT cchWindows = ::GetWindowsDirectoryW(windows, MAX_PATH);
    if (cchWindows == 0 || cchWindows >= MAX_PATH)
    {
        catalog.whyNot = L"the Windows folder is not known";
        return catalog;
    }
    const std::wstring netsh = std::wstring(windows) + L"\\Sysnative\\netsh.exe";
    if (::GetFileAttributesW(netsh.c_str()) == INVALID_FILE_ATTRIBUTES)
    {
        catalog.whyNot = L"this 32-bit program cannot read it, and cannot reach the 64-bit netsh (" + netsh + L")";
        return catalog;
    }
    const std::wstring commandLine = L"\"" + netsh + L"\" winsock show catalog";
    bool didFinish = false;
    const std::string output = RunCommandForOutput(commandLine.c_str(), kCatalogListingTimeoutMs, &didFinish);
    if (!didFinish)
    {
        catalog.whyNot = netsh + L" winsock show catalog did not finish within " +
                         std::to_wstring(kCatalogListingTimeoutMs / 1000) + L" s";
        return catalog;
    }
    if (!ParseCatalogListing(output, &catalog.providerIds))
    {
        catalog.whyNot = netsh + L" winsock show catalog gave no catalog listing";
        return catalog;
    }
    catalog.isRead = true;
    return catalog;
}

#endif

OtherCatalog ReadOtherCatalogOfTheSystem(int bits)
{
    if (bits == 0)
    {
        return OtherCatalog();
    }
#if defined(_WIN64)
    return ReadWithEnumProtocols32();
#else
    return ReadWithNetsh();
#endif
}

} // namespace

bool ParseCatalogListing(const std::string& output, std::vector<GUID>* providerIds)
{
    providerIds->clear();
    constexpr size_t kGuidChars = 38;
    for (size_t at = output.find('{'); at != std::string::npos && at + kGuidChars <= output.size();
         at = output.find('{', at + 1))
    {
        GUID guid;
        if (ParseBracedGuid(output.c_str() + at, &guid))
        {
            providerIds->push_back(guid);
        }
    }
    return !providerIds->empty();
}

OtherCatalog ReadOtherCatalog()
{
    const int bits = OtherCatalogBits();
    try
    {
        return g_reader != nullptr ? g_reader() : ReadOtherCatalogOfTheSystem(bits);
    }
    catch (...)
    {
        OtherCatalog catalog;
        catalog.bits = bits;
        catalog.whyNot = L"out of memory";
        return catalog;
    }
}

void SetOtherCatalogReader(OtherCatalogReader reader)
{
    g_reader = reader;
}
