// Stand-in for the VPN client: what the real client must do towards
// the provider, usable from a shell for demos, integration and tests.
//
//   vpnclient start <ipv4> [--reserved N] [--hold-ms N] [--until-event NAME]
//       loads the provider, calls VpnBindStart and keeps the provider loaded
//       (so the block stays alive) for N ms or until the named event is set;
//       then calls VpnBindStop unless --keep-started is given.
//   vpnclient stop                 loads the provider and calls VpnBindStop.
//   vpnclient show [--hold-ms N] [--until-event NAME]
//       loads the provider and prints the block; with a hold it then keeps
//       the provider loaded (a program that has it, as Winsock would load it).
//   vpnclient signal NAME          sets the named event a holder waits on.
//   vpnclient serve-routes [--reply R] [--instances N] [--hold-ms N] [--until-event NAME]
//       serves the route request pipe (without loading the provider) for N ms,
//       until the named event is set, or for ever; R is yes (default), no,
//       two-bytes, close, never or a byte value (0x7F). Prints one line per
//       request with the host as a dotted quad.
//   start also takes --reply R [--instances N]: it then serves the route
//   request pipe while it holds the binding.
//
// --provider PATH picks the library; by default the one of this program's
// bitness (NorvexBind.dll or NorvexBind64.dll) beside it. Exit code 0 on
// success, 1 on a usage error, 2 when the provider or its block is missing.
#include "bind/control/route_pipe.h"
#include "bind/control/vpn_bind_api.h"
#include "common/provider_files.h"
#include "tools/vpnclient/route_server.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace
{

struct Options
{
    std::wstring command;
    std::wstring argument;
    std::wstring providerPath;
    std::wstring eventName;
    DWORD reserved = 0;
    DWORD holdMs = 0;
    bool keepStarted = false;
    bool shouldServeRoutes = false;
    std::wstring reply = L"yes";
    DWORD instances = 4;
};

struct Provider
{
    HMODULE module = nullptr;
    VpnBindStartFn start = nullptr;
    VpnBindStopFn stop = nullptr;
    VpnBindGetGlobalControlBlockFn getBlock = nullptr;
};

void PrintUsage()
{
    std::fputs("usage: vpnclient start <ipv4> [--reserved N] [--hold-ms N] [--until-event NAME] [--keep-started]\n"
               "       vpnclient serve-routes [--reply yes|no|two-bytes|close|never|BYTE] [--instances N]\n"
               "                              [--hold-ms N] [--until-event NAME]\n"
               "       vpnclient show [--hold-ms N] [--until-event NAME]\n"
               "       vpnclient stop | signal NAME\n"
               "       (any command: --provider PATH)\n",
               stderr);
}

bool ParseIpv4(const std::wstring& text, DWORD* networkOrder)
{
    unsigned parts[4] = {};
    wchar_t tail = 0;
    if (std::swscanf(text.c_str(), L"%u.%u.%u.%u%lc", &parts[0], &parts[1], &parts[2], &parts[3], &tail) != 4)
    {
        return false;
    }
    BYTE bytes[4];
    for (int i = 0; i < 4; ++i)
    {
        if (parts[i] > 255)
        {
            return false;
        }
        bytes[i] = static_cast<BYTE>(parts[i]);
    }
    std::memcpy(networkOrder, bytes, sizeof(bytes));
    return true;
}

std::string FormatIpv4(DWORD networkOrder)
{
    const BYTE* b = reinterpret_cast<const BYTE*>(&networkOrder);
    char text[16];
    std::snprintf(text, sizeof(text), "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

std::string FormatFileTime(const FILETIME& time)
{
    ULONGLONG value = (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    char text[96];
    SYSTEMTIME st{};
    if (value != 0 && ::FileTimeToSystemTime(&time, &st))
    {
        std::snprintf(text, sizeof(text), "%llu (%04u-%02u-%02u %02u:%02u:%02u.%03u UTC)", value, st.wYear, st.wMonth,
                      st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
    }
    else
    {
        std::snprintf(text, sizeof(text), "%llu", value);
    }
    return text;
}

std::wstring DefaultProviderPath()
{
    wchar_t path[MAX_PATH] = {};
    DWORD cch = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, cch);
    size_t slash = folder.find_last_of(L'\\');
    folder.resize(slash == std::wstring::npos ? 0 : slash + 1);
    return folder + kOwnProviderFile;
}

bool LoadProvider(const std::wstring& path, Provider* provider)
{
    provider->module = ::LoadLibraryW(path.c_str());
    if (provider->module == nullptr)
    {
        std::fprintf(stderr, "vpnclient: cannot load %ls (error %lu)\n", path.c_str(), ::GetLastError());
        return false;
    }
    provider->start = reinterpret_cast<VpnBindStartFn>(
        reinterpret_cast<void*>(::GetProcAddress(provider->module, "VpnBindStart")));
    provider->stop = reinterpret_cast<VpnBindStopFn>(
        reinterpret_cast<void*>(::GetProcAddress(provider->module, "VpnBindStop")));
    provider->getBlock = reinterpret_cast<VpnBindGetGlobalControlBlockFn>(
        reinterpret_cast<void*>(::GetProcAddress(provider->module, "VpnBindGetGlobalControlBlock")));
    if (provider->start == nullptr || provider->stop == nullptr || provider->getBlock == nullptr)
    {
        std::fprintf(stderr, "vpnclient: %ls lacks the control exports\n", path.c_str());
        return false;
    }
    return true;
}

void PrintBlock(const VpnBindGlobalControlBlock& block)
{
    bool isStarted = block.StartTime.dwLowDateTime != 0 || block.StartTime.dwHighDateTime != 0;
    std::printf("StartTime: %s\n", FormatFileTime(block.StartTime).c_str());
    std::printf("Reserved:  %lu\n", static_cast<unsigned long>(block.StartupParmas.Reserved));
    std::printf("VpnIP:     %s\n", FormatIpv4(block.StartupParmas.VpnIP).c_str());
    std::printf("binding:   %s\n", isStarted ? "started" : "stopped");
}

bool ParseOptions(const std::vector<std::wstring>& args, Options* options)
{
    if (args.empty())
    {
        return false;
    }
    options->command = args[0];
    for (size_t i = 1; i < args.size(); ++i)
    {
        const std::wstring& arg = args[i];
        bool hasValue = i + 1 < args.size();
        if (arg == L"--provider" && hasValue)
        {
            options->providerPath = args[++i];
        }
        else if (arg == L"--reserved" && hasValue)
        {
            options->reserved = std::wcstoul(args[++i].c_str(), nullptr, 0);
        }
        else if (arg == L"--hold-ms" && hasValue)
        {
            options->holdMs = std::wcstoul(args[++i].c_str(), nullptr, 10);
        }
        else if (arg == L"--until-event" && hasValue)
        {
            options->eventName = args[++i];
        }
        else if (arg == L"--reply" && hasValue)
        {
            options->reply = args[++i];
            options->shouldServeRoutes = true;
        }
        else if (arg == L"--instances" && hasValue)
        {
            options->instances = std::wcstoul(args[++i].c_str(), nullptr, 10);
        }
        else if (arg == L"--keep-started")
        {
            options->keepStarted = true;
        }
        else if (options->argument.empty() && arg.rfind(L"--", 0) != 0)
        {
            options->argument = arg;
        }
        else
        {
            return false;
        }
    }
    if (options->command == L"serve-routes")
    {
        options->shouldServeRoutes = true;
    }
    if (options->providerPath.empty())
    {
        options->providerPath = DefaultProviderPath();
    }
    return true;
}

bool ParseReply(const std::wstring& text, RouteReplyPlan* plan)
{
    static const struct
    {
        const wchar_t* name;
        RouteReplyKind kind;
        BYTE value;
    } kReplies[] = {
        {L"yes", RouteReplyKind::Byte, 1},          {L"no", RouteReplyKind::Byte, 0},
        {L"two-bytes", RouteReplyKind::TwoBytes, 1}, {L"close", RouteReplyKind::Close, 0},
        {L"never", RouteReplyKind::Never, 0},
    };
    for (const auto& reply : kReplies)
    {
        if (text == reply.name)
        {
            plan->kind = reply.kind;
            plan->value = reply.value;
            return true;
        }
    }
    wchar_t* end = nullptr;
    unsigned long value = std::wcstoul(text.c_str(), &end, 0);
    if (text.empty() || *end != L'\0' || value > 255)
    {
        return false;
    }
    plan->kind = RouteReplyKind::Byte;
    plan->value = static_cast<BYTE>(value);
    return true;
}

void PrintRouteRequest(void*, const BYTE* request, DWORD cbRequest)
{
    std::string host = FormatRouteRequestHost(request, cbRequest);
    if (host.empty())
    {
        std::printf("route request: malformed (%lu bytes)\n", static_cast<unsigned long>(cbRequest));
    }
    else
    {
        std::printf("route request: %s\n", host.c_str());
    }
    std::fflush(stdout);
}

// Starts the route server when the options ask for one. Exit code 0, or 1/2.
int StartRouteServer(const Options& options, RouteServer* server)
{
    if (!options.shouldServeRoutes)
    {
        return 0;
    }
    RouteReplyPlan plan;
    if (!ParseReply(options.reply, &plan) || options.instances == 0)
    {
        std::fprintf(stderr, "vpnclient: bad --reply or --instances\n");
        return 1;
    }
    server->SetRequestCallback(PrintRouteRequest, nullptr);
    if (!server->Start(NORVEX_ROUTE_PIPE_NAME, options.instances, plan))
    {
        std::fprintf(stderr, "vpnclient: cannot serve the route pipe (error %lu)\n", ::GetLastError());
        return 2;
    }
    std::printf("vpnclient: serving routes (%lu instances, reply %ls)\n", static_cast<unsigned long>(options.instances),
                options.reply.c_str());
    std::fflush(stdout);
    return 0;
}

// Waits for the named event (created before anything else is started, so a
// signal can never come too early), for holdMs, or for ever when
// forEverWithoutHold is set.
void Hold(const Options& options, HANDLE stopEvent, bool forEverWithoutHold)
{
    if (stopEvent != nullptr)
    {
        ::WaitForSingleObject(stopEvent, options.holdMs != 0 ? options.holdMs : INFINITE);
    }
    else if (options.holdMs != 0 || forEverWithoutHold)
    {
        ::Sleep(options.holdMs != 0 ? options.holdMs : INFINITE);
    }
}

HANDLE CreateStopEvent(const Options& options)
{
    return options.eventName.empty() ? nullptr : ::CreateEventW(nullptr, TRUE, FALSE, options.eventName.c_str());
}

int RunServeRoutes(const Options& options)
{
    UniqueObject stopEvent(CreateStopEvent(options));
    RouteServer server;
    int result = StartRouteServer(options, &server);
    if (result != 0)
    {
        return result;
    }
    Hold(options, stopEvent.Get(), true);
    server.Stop();
    std::printf("vpnclient: route server stopped\n");
    return 0;
}

int RunStart(const Options& options, const Provider& provider, VpnBindGlobalControlBlock* block)
{
    DWORD vpnIp = 0;
    if (!ParseIpv4(options.argument, &vpnIp))
    {
        std::fprintf(stderr, "vpnclient: not an IPv4 address: %ls\n", options.argument.c_str());
        return 1;
    }
    UniqueObject stopEvent(CreateStopEvent(options));
    RouteServer server;
    int result = StartRouteServer(options, &server);
    if (result != 0)
    {
        return result;
    }
    provider.start(options.reserved, vpnIp);
    std::printf("vpnclient: binding started on %s\n", FormatIpv4(vpnIp).c_str());
    PrintBlock(*block);
    std::fflush(stdout);

    Hold(options, stopEvent.Get(), false);
    server.Stop();
    if (!options.keepStarted)
    {
        provider.stop();
        std::printf("vpnclient: binding stopped\n");
    }
    return 0;
}

int Run(const Options& options)
{
    if (options.command == L"signal")
    {
        HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, options.argument.c_str());
        if (event == nullptr)
        {
            std::fprintf(stderr, "vpnclient: no event %ls\n", options.argument.c_str());
            return 2;
        }
        ::SetEvent(event);
        ::CloseHandle(event);
        return 0;
    }
    if (options.command == L"serve-routes")
    {
        return RunServeRoutes(options);
    }

    Provider provider;
    if (!LoadProvider(options.providerPath, &provider))
    {
        return 2;
    }
    VpnBindGlobalControlBlock* block = provider.getBlock();
    if (block == nullptr)
    {
        std::fputs("vpnclient: the provider has no control block in this process\n", stderr);
        return 2;
    }
    if (options.command == L"start")
    {
        return RunStart(options, provider, block);
    }
    if (options.command == L"stop")
    {
        provider.stop();
        std::printf("vpnclient: binding stopped\n");
        return 0;
    }
    if (options.command == L"show")
    {
        UniqueObject stopEvent(CreateStopEvent(options));
        PrintBlock(*block);
        std::fflush(stdout);
        Hold(options, stopEvent.Get(), false);
        return 0;
    }
    return 1;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    std::vector<std::wstring> args(argv + 1, argv + argc);
    Options options;
    if (!ParseOptions(args, &options))
    {
        PrintUsage();
        return 1;
    }
    int result = Run(options);
    if (result == 1)
    {
        PrintUsage();
    }
    return result;
}
