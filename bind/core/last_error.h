// The thread's last error belongs to the application and to the next layer:
// GetLastError and WSAGetLastError read the same value. The provider's own
// steps (pipe exchanges, getsockname, memory checks) change it, so each runs
// inside a KeepLastError scope, which puts the value back when it ends.
#pragma once

#include <windows.h>

class KeepLastError
{
public:
    KeepLastError() noexcept : m_error(::GetLastError()) {}
    ~KeepLastError() { ::SetLastError(m_error); }
    KeepLastError(const KeepLastError&) = delete;
    KeepLastError& operator=(const KeepLastError&) = delete;

private:
    DWORD m_error;
};
