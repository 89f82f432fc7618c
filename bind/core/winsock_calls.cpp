#include "bind/core/winsock_calls.h"

namespace
{

const WinsockCalls kSystemCalls = {::getsockname, ::bind, ::getpeername};
const WinsockCalls* g_calls = &kSystemCalls;

} // namespace

const WinsockCalls& GetWinsockCalls() noexcept
{
    return *g_calls;
}

void SetWinsockCalls(const WinsockCalls* calls) noexcept
{
    g_calls = calls != nullptr ? calls : &kSystemCalls;
}
