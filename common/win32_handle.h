// Ownership wrappers for Win32 handles and critical sections.
//
// UniqueFile    owns a handle whose "none" value is INVALID_HANDLE_VALUE
//               (CreateFileW, CreateNamedPipeW).
// UniqueObject  owns a handle whose "none" value is NULL
//               (CreateFileMappingW, CreateMutexW, OpenProcess, CreateThread).
// UniqueView    owns a mapped view (MapViewOfFile).
// UniqueLocal   owns a LocalAlloc'd block (ConvertStringSecurityDescriptorTo...).
// CriticalSection is neither copyable nor movable; its lifetime is explicit
// (Initialize / Delete) because the provider creates and deletes its locks at
// fixed points of DllMain.
#pragma once

#include <windows.h>

#include <memory>

struct InvalidIsNull
{
    static HANDLE Invalid() noexcept { return nullptr; }
};

struct InvalidIsMinusOne
{
    static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
};

template <typename Traits>
class UniqueHandle
{
public:
    UniqueHandle() noexcept = default;
    explicit UniqueHandle(HANDLE handle) noexcept : m_handle(handle) {}
    ~UniqueHandle() { Reset(); }

    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : m_handle(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other)
        {
            Reset(other.Release());
        }
        return *this;
    }

    HANDLE Get() const noexcept { return m_handle; }
    bool IsValid() const noexcept { return m_handle != Traits::Invalid(); }
    explicit operator bool() const noexcept { return IsValid(); }

    HANDLE Release() noexcept
    {
        HANDLE handle = m_handle;
        m_handle = Traits::Invalid();
        return handle;
    }

    void Reset(HANDLE handle = Traits::Invalid()) noexcept
    {
        if (IsValid())
        {
            ::CloseHandle(m_handle);
        }
        m_handle = handle;
    }

    // Frees the current handle, then hands out the slot for an API to fill.
    HANDLE* Put() noexcept
    {
        Reset();
        return &m_handle;
    }

private:
    HANDLE m_handle = Traits::Invalid();
};

using UniqueFile = UniqueHandle<InvalidIsMinusOne>;
using UniqueObject = UniqueHandle<InvalidIsNull>;

struct UnmapView
{
    void operator()(void* view) const noexcept { ::UnmapViewOfFile(view); }
};
using UniqueView = std::unique_ptr<void, UnmapView>;

struct LocalFreer
{
    void operator()(void* block) const noexcept { ::LocalFree(block); }
};
template <typename T>
using UniqueLocal = std::unique_ptr<T, LocalFreer>;

class CriticalSection
{
public:
    class [[nodiscard]] Guard
    {
    public:
        explicit Guard(CRITICAL_SECTION* section) noexcept : m_section(section)
        {
            ::EnterCriticalSection(m_section);
        }
        ~Guard() { ::LeaveCriticalSection(m_section); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        CRITICAL_SECTION* m_section;
    };

    CriticalSection() noexcept = default;
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    // InitializeCriticalSectionAndSpinCount reports low memory instead of
    // raising, unlike InitializeCriticalSection on Windows 2000 and XP.
    [[nodiscard]] bool Initialize() noexcept
    {
        if (!m_isInitialized)
        {
            m_isInitialized = ::InitializeCriticalSectionAndSpinCount(&m_section, 4000) != FALSE;
        }
        return m_isInitialized;
    }

    void Delete() noexcept
    {
        if (m_isInitialized)
        {
            ::DeleteCriticalSection(&m_section);
            m_isInitialized = false;
        }
    }

    bool IsInitialized() const noexcept { return m_isInitialized; }

    // Only on an initialized section.
    [[nodiscard]] Guard Lock() noexcept { return Guard(&m_section); }

private:
    CRITICAL_SECTION m_section{};
    bool m_isInitialized = false;
};
