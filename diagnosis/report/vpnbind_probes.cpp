#include "vpnbind_probes.h"

#include "bind/control/vpn_bind_api.h"
#include "common/ansi_text.h"
#include "common/product_paths.h"
#include "common/provider_files.h"
#include "report_text.h"

#include <cstdio>
#include <cstring>
#include <share.h>

std::wstring GetVpnBindControlBlockInfo()
{
    return ControlBlockInfoFrom(kOwnProviderFile);
}

std::wstring ControlBlockInfoFrom(const wchar_t* libraryName)
{
    // Never released: the block stays mapped for the rest of the process, and
    // a later run finds the library already loaded.
    HMODULE provider = ::LoadLibraryW(libraryName);
    if (provider == nullptr)
    {
        return L"GetVpnBindControlBlockInfo: load library failed, no vpnbind installed?\r\n";
    }
    auto getControlBlock = reinterpret_cast<VpnBindGetGlobalControlBlockFn>(
        reinterpret_cast<void*>(::GetProcAddress(provider, "VpnBindGetGlobalControlBlock")));
    if (getControlBlock == nullptr)
    {
        return L"GetVpnBindControlBlockInfo: get proc address failed, old vpnbind installed?\r\n";
    }
    const VpnBindGlobalControlBlock* block = getControlBlock();
    if (block == nullptr)
    {
        return L"GetVpnBindControlBlockInfo: get control block failed, no memory mapping file?\r\n";
    }
    // Read without the block's mutex, as a snapshot.
    ULARGE_INTEGER startTime;
    startTime.LowPart = block->StartTime.dwLowDateTime;
    startTime.HighPart = block->StartTime.dwHighDateTime;
    const DWORD vpnIp = block->StartupParmas.VpnIP;
    return FormatText(L"GetVpnBindControlBlockInfo:\r\n    StartTime = %I64d\r\n    StartupParmas.VpnIP = 0x%08x\r\n",
                      static_cast<LONGLONG>(startTime.QuadPart), static_cast<unsigned>(vpnIp));
}

bool ReadControlBlock(VpnBindGlobalControlBlock* copy)
{
    HMODULE provider = ::LoadLibraryW(kOwnProviderFile);
    auto getControlBlock = provider == nullptr ? nullptr
                                               : reinterpret_cast<VpnBindGetGlobalControlBlockFn>(reinterpret_cast<void*>(
                                                     ::GetProcAddress(provider, "VpnBindGetGlobalControlBlock")));
    const VpnBindGlobalControlBlock* block = getControlBlock != nullptr ? getControlBlock() : nullptr;
    if (block == nullptr)
    {
        return false;
    }
    // Read without the block's mutex, as a snapshot.
    *copy = *block;
    return true;
}

std::wstring GetAcceleratedAppsText()
{
    return ListFileText(GetAppListPath());
}

std::wstring ListFileText(const std::wstring& path)
{
    // Shared for reading and writing: the VPN client may be writing the list.
    FILE* file = _wfsopen(path.c_str(), L"rb", _SH_DENYNO);
    if (file == nullptr)
    {
        return std::wstring();
    }
    std::string bytes;
    char chunk[4096];
    size_t cbRead;
    while ((cbRead = std::fread(chunk, 1, sizeof(chunk), file)) > 0)
    {
        // Each chunk counts up to its first NUL.
        const void* nul = std::memchr(chunk, '\0', cbRead);
        bytes.append(chunk, nul ? static_cast<size_t>(static_cast<const char*>(nul) - chunk) : cbRead);
    }
    std::fclose(file);
    return AnsiToWide(bytes.data(), bytes.size());
}
