#include "tests/support/test_support.h"

#include "common/product_paths.h"


#include <cstdio>
#include <cwchar>
#include <vector>

std::wstring GetTestBinFolder()
{
    wchar_t path[MAX_PATH] = {};
    DWORD cch = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, cch);
    return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

DWORD CountOwnHandles()
{
    using QuerySystemInformationFn = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<QuerySystemInformationFn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr)
    {
        return 0;
    }
    // SYSTEM_HANDLE_INFORMATION: a count, then one entry per handle.
    struct HandleEntry
    {
        USHORT processId;
        USHORT creatorBackTraceIndex;
        UCHAR objectType;
        UCHAR attributes;
        USHORT value;
        PVOID object;
        ULONG grantedAccess;
    };
    constexpr ULONG kSystemHandleInformation = 16;
    constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    std::vector<BYTE> buffer(1 << 16);
    LONG status = kInfoLengthMismatch;
    for (int attempt = 0; attempt < 8 && status == kInfoLengthMismatch; ++attempt)
    {
        ULONG cbNeeded = 0;
        status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &cbNeeded);
        if (status == kInfoLengthMismatch)
        {
            buffer.resize(buffer.size() * 4);
        }
    }
    if (status != 0)
    {
        return 0;
    }
    const ULONG count = *reinterpret_cast<const ULONG*>(buffer.data());
    const auto* entries = reinterpret_cast<const HandleEntry*>(buffer.data() + sizeof(ULONG_PTR));
    const USHORT self = static_cast<USHORT>(::GetCurrentProcessId());
    DWORD own = 0;
    for (ULONG i = 0; i < count; ++i)
    {
        own += entries[i].processId == self ? 1 : 0;
    }
    return own;
}

std::string ReadFileBytes(const std::wstring& path)
{
    std::string bytes;
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        return bytes;
    }
    char buffer[4096];
    DWORD cb = 0;
    while (::ReadFile(file, buffer, sizeof(buffer), &cb, nullptr) && cb != 0)
    {
        bytes.append(buffer, cb);
    }
    ::CloseHandle(file);
    return bytes;
}

namespace
{

// What the reader of a child's output shares with RunChild. The reader owns
// one reference and RunChild the other, so that a reader that never sees the
// end of the output (a process the child started keeps the pipe open) can be
// left behind without its state going away under it.
struct OutputReader
{
    HANDLE readEnd = nullptr;
    HANDLE finished = nullptr; // set when the reader is done
    std::string output;
    LONG references = 2;
};

void ReleaseReader(OutputReader* reader)
{
    if (::InterlockedDecrement(&reader->references) == 0)
    {
        ::CloseHandle(reader->readEnd);
        ::CloseHandle(reader->finished);
        delete reader;
    }
}

DWORD WINAPI ReadChildOutput(void* parameter)
{
    auto* reader = static_cast<OutputReader*>(parameter);
    char buffer[4096];
    DWORD cb = 0;
    while (::ReadFile(reader->readEnd, buffer, sizeof(buffer), &cb, nullptr) && cb != 0)
    {
        reader->output.append(buffer, cb);
    }
    ::SetEvent(reader->finished);
    ReleaseReader(reader);
    return 0;
}

// How long the output may stay open once the child has ended.
constexpr DWORD kOutputEndMs = 10000;

ChildResult RunChildOnce(const std::wstring& commandLine, DWORD timeoutMs)
{
    ChildResult result;
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &sa, 0))
    {
        return result;
    }
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    auto* reader = new OutputReader;
    reader->readEnd = readEnd;
    reader->finished = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);

    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = writeEnd;
    si.hStdError = writeEnd;
    PROCESS_INFORMATION pi{};
    std::vector<wchar_t> mutableLine(commandLine.begin(), commandLine.end());
    mutableLine.push_back(L'\0');
    result.didStart = reader->finished != nullptr &&
                      ::CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                       nullptr, &si, &pi) != FALSE;
    ::CloseHandle(writeEnd);
    HANDLE thread = result.didStart ? ::CreateThread(nullptr, 0, ReadChildOutput, reader, 0, nullptr) : nullptr;
    if (thread == nullptr)
    {
        ReleaseReader(reader); // the reader's own reference
        ReleaseReader(reader);
        if (result.didStart)
        {
            ::TerminateProcess(pi.hProcess, 0xDEAD);
            ::CloseHandle(pi.hThread);
            ::CloseHandle(pi.hProcess);
            result.didStart = false;
        }
        return result;
    }

    // Every wait here is bounded: a test that runs a child never hangs on it.
    result.didFinish = ::WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0;
    if (!result.didFinish)
    {
        ::TerminateProcess(pi.hProcess, 0xDEAD);
        ::WaitForSingleObject(pi.hProcess, kOutputEndMs);
    }
    ::GetExitCodeProcess(pi.hProcess, &result.exitCode);
    if (::WaitForSingleObject(reader->finished, kOutputEndMs) != WAIT_OBJECT_0)
    {
        // Another process holds the output open: stop reading it.
        using CancelSynchronousIoFn = BOOL(WINAPI*)(HANDLE);
        auto cancel = reinterpret_cast<CancelSynchronousIoFn>(reinterpret_cast<void*>(
            ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "CancelSynchronousIo")));
        if (cancel != nullptr)
        {
            cancel(thread);
        }
    }
    if (::WaitForSingleObject(reader->finished, 2000) == WAIT_OBJECT_0)
    {
        result.output = reader->output;
    }
    ::CloseHandle(thread);
    ReleaseReader(reader);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return result;
}

void SayStartedOnceMore(const std::wstring& commandLine, DWORD exitCode)
{
    std::printf("test_support: %ls ended with status 0x%lx before printing anything; started once more\n",
                commandLine.c_str(), exitCode);
}

} // namespace

bool IsSilentStartRetried()
{
    wchar_t value[4] = {};
    return ::GetEnvironmentVariableW(L"NORVEX_RETRY_SILENT_STARTS", value, 4) == 1 && value[0] == L'1';
}

ChildResult RunChild(const std::wstring& commandLine, DWORD timeoutMs)
{
    ChildResult result = RunChildOnce(commandLine, timeoutMs);
    if (result.didFinish && result.exitCode != 0 && result.output.empty() && IsSilentStartRetried())
    {
        SayStartedOnceMore(commandLine, result.exitCode);
        result = RunChildOnce(commandLine, timeoutMs);
    }
    return result;
}

HeldChild::HeldChild(const std::wstring& program, const std::wstring& arguments, const std::wstring& eventName)
    : m_event(::CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()))
{
    if (m_event == nullptr)
    {
        return;
    }
    const std::wstring commandLine = L"\"" + program + L"\" " + arguments + L" --until-event " + eventName;
    if (!Start(commandLine) && IsSilentStartRetried())
    {
        DWORD exitCode = 0;
        ::GetExitCodeProcess(m_process.hProcess, &exitCode);
        SayStartedOnceMore(commandLine, exitCode);
        Start(commandLine);
    }
}

bool HeldChild::Start(const std::wstring& commandLine)
{
    if (m_process.hProcess != nullptr)
    {
        ::CloseHandle(m_process.hProcess);
        m_process = {};
    }
    if (m_output != INVALID_HANDLE_VALUE)
    {
        ::CloseHandle(m_output);
    }
    // A file, not a pipe: a process the child starts may keep it open, and
    // nothing ever waits for its end. It goes when the last handle does.
    wchar_t folder[MAX_PATH] = {};
    wchar_t path[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, folder);
    ::GetTempFileNameW(folder, L"nvx", 0, path);
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    m_output = ::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                             nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    if (m_output != INVALID_HANDLE_VALUE)
    {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = m_output;
        startup.hStdError = m_output;
    }
    std::wstring mutableLine = commandLine;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, m_output != INVALID_HANDLE_VALUE,
                          CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process))
    {
        return true; // nothing started: nothing to start again
    }
    ::CloseHandle(process.hThread);
    process.hThread = nullptr;
    m_process = process;
    // Ready once it printed; a start that died prints nothing.
    for (DWORD waited = 0; waited < 30000; waited += 20)
    {
        LARGE_INTEGER size{};
        if (m_output == INVALID_HANDLE_VALUE || (::GetFileSizeEx(m_output, &size) && size.QuadPart > 0))
        {
            return true;
        }
        if (::WaitForSingleObject(m_process.hProcess, 20) == WAIT_OBJECT_0)
        {
            DWORD exitCode = 0;
            ::GetExitCodeProcess(m_process.hProcess, &exitCode);
            return exitCode == 0 || (::GetFileSizeEx(m_output, &size) && size.QuadPart > 0);
        }
    }
    return true;
}

HeldChild::~HeldChild()
{
    DWORD exitCode = 0;
    if (IsStarted() && !Release(20000, &exitCode))
    {
        ::TerminateProcess(m_process.hProcess, 0xDEAD);
        ::WaitForSingleObject(m_process.hProcess, 5000);
    }
    if (IsStarted())
    {
        ::CloseHandle(m_process.hProcess);
    }
    if (m_event != nullptr)
    {
        ::CloseHandle(m_event);
    }
    if (m_output != INVALID_HANDLE_VALUE)
    {
        ::CloseHandle(m_output);
    }
}

bool HeldChild::Release(DWORD timeoutMs, DWORD* exitCode)
{
    if (!IsStarted())
    {
        return false;
    }
    ::SetEvent(m_event);
    if (::WaitForSingleObject(m_process.hProcess, timeoutMs) != WAIT_OBJECT_0)
    {
        return false;
    }
    return ::GetExitCodeProcess(m_process.hProcess, exitCode) != FALSE;
}

namespace
{

void RemoveTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((folder + L"*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE)
    {
        do
        {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..")
            {
                continue;
            }
            std::wstring path = folder + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            {
                RemoveTree(path + L"\\");
            }
            else
            {
                ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(path.c_str());
            }
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    ::RemoveDirectoryW(folder.c_str());
}

} // namespace

ScratchFolder::ScratchFolder()
{
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    static LONG counter = 0;
    wchar_t name[64];
    swprintf(name, 64, L"norvex-test-%lu-%ld\\", ::GetCurrentProcessId(), ::InterlockedIncrement(&counter));
    m_path = std::wstring(temp) + name;
    ::CreateDirectoryW(m_path.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder()
{
    RemoveTree(m_path);
}

ScopedProductList::ScopedProductList() : m_path(GetAppListPath()), m_savedPath(m_path + L".set-aside")
{
    m_hadList = ::MoveFileExW(m_path.c_str(), m_savedPath.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

ScopedProductList::~ScopedProductList()
{
    ::DeleteFileW(m_path.c_str());
    if (m_hadList)
    {
        ::MoveFileExW(m_savedPath.c_str(), m_path.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
}
