#include "common/app_list.h"

#include "common/app_list_match.h"
#include "common/ini_snapshot.h"
#include "common/product_paths.h"

BindType DetermineBindTypeFromList(const std::wstring& listPath, const std::wstring& imagePath) noexcept
{
    BindType type;
    try
    {
        // One read of the file for the whole decision, switches included.
        const IniSnapshot list(listPath);
        type.section = MatchApplication(list, imagePath);
        if (!type.section.empty())
        {
            type.forceWspBind = list.GetInt(type.section, L"ForceWSPBind", 0);
            type.useAsyncMode = list.GetInt(type.section, L"UseAsyncMode", 0);
        }
    }
    catch (...)
    {
        // Out of memory: the process is not selected.
        type = BindType();
    }
    return type;
}

BindType DetermineBindType(const std::wstring& imagePath) noexcept
{
    return DetermineBindTypeFromList(GetAppListPath(), imagePath);
}
