#include "bind/core/caller_memory.h"

namespace
{

constexpr DWORD kReadableProtections = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ
                                       | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;

bool IsReadableRange(const void* from, size_t cb) noexcept
{
    const auto* cursor = static_cast<const BYTE*>(from);
    if (reinterpret_cast<ULONG_PTR>(cursor) + cb < reinterpret_cast<ULONG_PTR>(cursor))
    {
        return false; // wraps past the top of the address space
    }
    const BYTE* end = cursor + cb;
    while (cursor < end)
    {
        MEMORY_BASIC_INFORMATION region;
        if (::VirtualQuery(cursor, &region, sizeof(region)) == 0 || region.State != MEM_COMMIT
            || (region.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0 || (region.Protect & kReadableProtections) == 0)
        {
            return false;
        }
        cursor = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize;
    }
    return true;
}

} // namespace

bool ReadCallerMemory(void* to, const void* from, size_t cb) noexcept
{
    // The range is checked page by page first. The copy then goes through
    // the kernel, which probes the source again: memory another thread
    // frees in between makes the call fail instead of faulting in our code.
    // (Wine's copy reads pages the process cannot, hence both.)
    if (from == nullptr || !IsReadableRange(from, cb))
    {
        return false;
    }
    SIZE_T cbRead = 0;
    return ::ReadProcessMemory(::GetCurrentProcess(), from, to, cb, &cbRead) != FALSE && cbRead == cb;
}
