// The least window layer the diagnosis program needs, over plain Win32:
// critical-section objects, a growable in-memory byte file and the window
// base that owns an HWND. Kept in its own folder so it can be swapped for a
// full application framework without touching the program's classes.
#pragma once

#include <windows.h>

// A critical section held between Lock and Unlock; neither copyable nor
// movable because threads refer to its address.
class CCriticalSection
{
public:
    CCriticalSection() noexcept { ::InitializeCriticalSectionAndSpinCount(&m_sect, 0); }
    ~CCriticalSection() { ::DeleteCriticalSection(&m_sect); }
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    void Lock() noexcept { ::EnterCriticalSection(&m_sect); }
    void Unlock() noexcept { ::LeaveCriticalSection(&m_sect); }

private:
    CRITICAL_SECTION m_sect;
};

// Growable byte buffer with a file position. The buffer grows in multiples of
// the grow step; a failed allocation makes Write return false and leaves the
// contents as they were (the caller runs on threads where nothing may throw).
class CMemFile
{
public:
    explicit CMemFile(UINT nGrowBytes = 1024) noexcept;
    ~CMemFile();
    CMemFile(const CMemFile&) = delete;
    CMemFile& operator=(const CMemFile&) = delete;

    void SeekToBegin() noexcept { m_nPosition = 0; }
    ULONGLONG SeekToEnd() noexcept { m_nPosition = m_nFileSize; return m_nPosition; }
    ULONGLONG GetLength() const noexcept { return m_nFileSize; }

    // Copies up to nCount bytes from the position; returns how many were read.
    UINT Read(void* lpBuf, UINT nCount) noexcept;
    [[nodiscard]] bool Write(const void* lpBuf, UINT nCount) noexcept;
    // Shrinking keeps the allocation; the position is clamped to the new end.
    [[nodiscard]] bool SetLength(ULONGLONG dwNewLen) noexcept;

private:
    [[nodiscard]] bool GrowTo(SIZE_T cbNeeded) noexcept;

    UINT m_nGrowBytes;
    BYTE* m_lpBuffer = nullptr;
    SIZE_T m_nBufferSize = 0;
    SIZE_T m_nFileSize = 0;
    SIZE_T m_nPosition = 0;
};

// Base of every window object: the window it stands for, or null.
class CWnd
{
public:
    virtual ~CWnd() = default;
    HWND GetSafeHwnd() const noexcept { return m_hWnd; }

    HWND m_hWnd = nullptr;
};
