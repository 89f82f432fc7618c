#include "tests/support/provider_probe.h"

#include "tests/support/ini_file.h"

namespace
{

constexpr wchar_t kProbeName[] = L"shipped_provider_probe.exe";

} // namespace

ProviderProbe::ProviderProbe()
    : m_program(m_scratch.Path() + kProbeName),
      m_overrideKey(std::wstring(L"Software\\Wine\\AppDefaults\\") + kProbeName + L"\\DllOverrides")
{
    if (!::CopyFileW((GetTestBinFolder() + kProbeName).c_str(), m_program.c_str(), FALSE)
        || !::CopyFileW((GetTestBinFolder() + L"recording_provider.dll").c_str(),
                        (m_scratch.Path() + L"mswsock.dll").c_str(), FALSE))
    {
        return;
    }
    IniFile list(m_list.Path());
    list.WriteString(L"Probe", L"AppFullname", m_program);
    list.WriteString(L"Probe", L"Active", L"1");
    list.WriteString(L"Probe", L"ForceWSPBind", L"1");
    list.WriteString(L"Probe", L"UseAsyncMode", L"1");

    // Wine reads per-program library overrides from this key when the
    // program starts: "native" loads the copy in the program's folder.
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, m_overrideKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                          nullptr)
        != ERROR_SUCCESS)
    {
        return;
    }
    const wchar_t value[] = L"native";
    m_isReady = ::RegSetValueExW(key, L"mswsock", 0, REG_SZ, reinterpret_cast<const BYTE*>(value), sizeof(value))
                == ERROR_SUCCESS;
    ::RegCloseKey(key);
}

ProviderProbe::~ProviderProbe()
{
    ::RegDeleteKeyW(HKEY_CURRENT_USER, m_overrideKey.c_str());
}

ChildResult ProviderProbe::Run(const std::wstring& providerPath, const std::wstring& arguments)
{
    return RunChild(L"\"" + m_program + L"\" \"" + providerPath + L"\"" + (arguments.empty() ? L"" : L" ")
                    + arguments);
}
