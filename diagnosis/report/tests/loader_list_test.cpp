// The loader-list walk: over memory images of both layouts made here (whole
// lists, lists that loop, break off or hold a bad name), and over a real
// process of this program's own bitness, where it must find what Tool Help
// finds.
#include "loader_list.h"

#include "common/provider_files.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <tlhelp32.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

// Test names and messages show the layout by name.
void PrintTo(LoaderLayout layout, std::ostream* out)
{
    *out << (layout == LoaderLayout::Bits64 ? "Bits64" : "Bits32");
}

namespace
{

// A sparse memory image: blocks at addresses; a read must fall inside one.
class FakeMemory
{
public:
    void Put(ULONGLONG address, const void* data, size_t cb)
    {
        std::vector<BYTE>& block = m_blocks[address];
        block.assign(static_cast<const BYTE*>(data), static_cast<const BYTE*>(data) + cb);
    }
    void PutPointer(ULONGLONG address, ULONGLONG value, bool is64)
    {
        const ULONG value32 = static_cast<ULONG>(value);
        Put(address, is64 ? static_cast<const void*>(&value) : static_cast<const void*>(&value32), is64 ? 8 : 4);
    }

    RemoteMemory Reader() { return {&FakeMemory::Read, this}; }

private:
    static bool Read(void* context, ULONGLONG address, void* buffer, ULONG cb)
    {
        auto* self = static_cast<FakeMemory*>(context);
        auto it = self->m_blocks.upper_bound(address);
        if (it == self->m_blocks.begin())
        {
            return false;
        }
        --it;
        const ULONGLONG offset = address - it->first;
        if (offset + cb > it->second.size())
        {
            return false;
        }
        std::memcpy(buffer, it->second.data() + offset, cb);
        return true;
    }

    std::map<ULONGLONG, std::vector<BYTE>> m_blocks;
};

// Builds a PEB, its loader data and a list of entries in a FakeMemory, at
// addresses above 4 GB for the 64-bit layout.
class LoaderImage
{
public:
    explicit LoaderImage(LoaderLayout layout)
        : m_is64(layout == LoaderLayout::Bits64), m_base(m_is64 ? 0x7FF700000000ull : 0x00300000ull)
    {
    }

    ULONGLONG Peb() const { return m_base; }
    ULONGLONG Head() const { return Ldr() + (m_is64 ? 0x10 : 0x0C); }
    ULONGLONG Entry(size_t i) const { return m_base + 0x10000 + i * 0x1000; }

    // The entries in order, each pointing to the next and the last to the
    // head. nameBytes overrides the base name's length of one entry.
    void Build(const std::vector<std::wstring>& names)
    {
        m_memory.PutPointer(Peb() + (m_is64 ? 0x18 : 0x0C), Ldr(), m_is64);
        m_memory.PutPointer(Head(), names.empty() ? Head() : Entry(0), m_is64);
        for (size_t i = 0; i < names.size(); ++i)
        {
            m_memory.PutPointer(Entry(i), i + 1 < names.size() ? Entry(i + 1) : Head(), m_is64);
            PutString(Entry(i) + (m_is64 ? 0x48 : 0x24), L"C:\\Folder\\" + names[i], Entry(i) + 0x400);
            PutString(Entry(i) + (m_is64 ? 0x58 : 0x2C), names[i], Entry(i) + 0x800);
        }
    }

    void PutString(ULONGLONG at, const std::wstring& text, ULONGLONG buffer, USHORT cbLength = 0xFFFF)
    {
        BYTE header[16] = {};
        const USHORT cb = cbLength != 0xFFFF ? cbLength : static_cast<USHORT>(text.size() * 2);
        std::memcpy(header, &cb, 2);
        std::memcpy(header + 2, &cb, 2);
        std::memcpy(header + (m_is64 ? 8 : 4), &buffer, m_is64 ? 8 : 4);
        m_memory.Put(at, header, m_is64 ? 16 : 8);
        if (!text.empty())
        {
            m_memory.Put(buffer, text.data(), text.size() * 2);
        }
    }

    void PutLink(size_t from, ULONGLONG to) { m_memory.PutPointer(Entry(from), to, m_is64); }
    void PutLdr(ULONGLONG ldr) { m_memory.PutPointer(Peb() + (m_is64 ? 0x18 : 0x0C), ldr, m_is64); }

    LoaderModules Walk()
    {
        return ReadLoaderModules(m_memory.Reader(), m_is64 ? LoaderLayout::Bits64 : LoaderLayout::Bits32, Peb());
    }

private:
    ULONGLONG Ldr() const { return m_base + 0x2000; }

    bool m_is64;
    ULONGLONG m_base;
    FakeMemory m_memory;
};

class LoaderListLayouts : public testing::TestWithParam<LoaderLayout>
{
};

TEST_P(LoaderListLayouts, WalksTheWholeListInLoadOrder)
{
    LoaderImage image(GetParam());
    image.Build({L"app.exe", L"ntdll.dll", L"kernel32.dll", L"NorvexBind64.dll"});
    const LoaderModules modules = image.Walk();
    EXPECT_TRUE(modules.isComplete);
    EXPECT_EQ(L"C:\\Folder\\app.exe", modules.imagePath);
    EXPECT_EQ((std::vector<std::wstring>{L"app.exe", L"ntdll.dll", L"kernel32.dll", L"NorvexBind64.dll"}),
              modules.names);

    LoaderImage empty(GetParam());
    empty.Build({});
    EXPECT_TRUE(empty.Walk().isComplete);
    EXPECT_TRUE(empty.Walk().names.empty());
}

TEST_P(LoaderListLayouts, ABrokenListIsNeverTakenForAWholeOne)
{
    {
        SCOPED_TRACE("a loop that misses the head ends at the bound");
        LoaderImage image(GetParam());
        image.Build({L"app.exe", L"a.dll", L"b.dll"});
        image.PutLink(2, image.Entry(1));
        const LoaderModules modules = image.Walk();
        EXPECT_FALSE(modules.isComplete);
        EXPECT_EQ(static_cast<size_t>(kMaxLoaderEntries), modules.names.size());
    }
    {
        SCOPED_TRACE("a null link");
        LoaderImage image(GetParam());
        image.Build({L"app.exe", L"a.dll", L"b.dll"});
        image.PutLink(1, 0);
        const LoaderModules modules = image.Walk();
        EXPECT_FALSE(modules.isComplete);
        EXPECT_EQ((std::vector<std::wstring>{L"app.exe", L"a.dll"}), modules.names);
    }
    {
        SCOPED_TRACE("a link into unreadable memory");
        LoaderImage image(GetParam());
        image.Build({L"app.exe", L"a.dll"});
        image.PutLink(0, 0x5000);
        const LoaderModules modules = image.Walk();
        EXPECT_FALSE(modules.isComplete);
        EXPECT_EQ((std::vector<std::wstring>{L"app.exe"}), modules.names);
    }
    {
        SCOPED_TRACE("no loader data yet");
        LoaderImage image(GetParam());
        image.Build({L"app.exe"});
        image.PutLdr(0);
        const LoaderModules modules = image.Walk();
        EXPECT_FALSE(modules.isComplete);
        EXPECT_TRUE(modules.names.empty());
    }
    for (USHORT cbLength : {USHORT(3), USHORT(0x8000)})
    {
        SCOPED_TRACE(testing::Message() << "a name of " << cbLength << " bytes");
        LoaderImage image(GetParam());
        image.Build({L"app.exe", L"a.dll", L"b.dll"});
        image.PutString(image.Entry(1) + (GetParam() == LoaderLayout::Bits64 ? 0x58 : 0x2C), L"a.dll",
                        image.Entry(1) + 0x800, cbLength);
        const LoaderModules modules = image.Walk();
        EXPECT_FALSE(modules.isComplete);
        EXPECT_EQ((std::vector<std::wstring>{L"app.exe"}), modules.names);
    }
}

INSTANTIATE_TEST_SUITE_P(BothLayouts, LoaderListLayouts, testing::Values(LoaderLayout::Bits32, LoaderLayout::Bits64),
                         [](const testing::TestParamInfo<LoaderLayout>& info) {
                             return info.param == LoaderLayout::Bits64 ? "Bits64" : "Bits32";
                         });

bool ReadProcess(void* context, ULONGLONG address, void* buffer, ULONG cb)
{
    SIZE_T cbRead = 0;
    return ::ReadProcessMemory(static_cast<HANDLE>(context), reinterpret_cast<const void*>(address), buffer, cb,
                               &cbRead)
           && cbRead == cb;
}

std::set<std::wstring> LowerCase(const std::vector<std::wstring>& names)
{
    std::set<std::wstring> lower;
    for (std::wstring name : names)
    {
        std::transform(name.begin(), name.end(), name.begin(), [](wchar_t c) { return ::towlower(c); });
        lower.insert(name);
    }
    return lower;
}

// The modules' base names as Tool Help lists them, and the image's path.
std::vector<std::wstring> ToolHelpModules(DWORD processId, std::wstring* imagePath)
{
    std::vector<std::wstring> names;
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId);
    if (snapshot == INVALID_HANDLE_VALUE)
    {
        return names;
    }
    MODULEENTRY32W module = {};
    module.dwSize = sizeof(module);
    for (BOOL more = ::Module32FirstW(snapshot, &module); more; more = ::Module32NextW(snapshot, &module))
    {
        if (names.empty() && imagePath != nullptr)
        {
            *imagePath = module.szExePath;
        }
        names.push_back(module.szModule);
    }
    ::CloseHandle(snapshot);
    return names;
}

// The same layout as this program's is walked in a child of its own
// bitness: the offsets must meet the real loader's structures.
TEST(LoaderList, FindsInARealProcessWhatToolHelpFinds)
{
    const std::wstring event = L"NorvexLoaderList-" + std::to_wstring(::GetCurrentProcessId());
    HeldChild child(GetTestBinFolder() + L"vpnclient.exe", L"show", event);
    ASSERT_TRUE(child.IsStarted());
    // Until the provider is loaded in it: up to 20 s (an emulated child is
    // slow to start).
    const std::wstring provider = *LowerCase({kOwnProviderFile}).begin();
    for (int i = 0; i < 100 && LowerCase(ToolHelpModules(child.Id(), nullptr)).count(provider) == 0; ++i)
    {
        ::Sleep(200);
    }

    HANDLE process = ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, child.Id());
    ASSERT_NE(nullptr, process);
    using QueryFn = LONG(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    ASSERT_NE(nullptr, query);
    struct
    {
        LONG_PTR exitStatus;
        PVOID pebBaseAddress;
        ULONG_PTR rest[4];
    } basic = {};
    ASSERT_LE(0, query(process, 0, &basic, sizeof(basic), nullptr));
    const RemoteMemory memory = {ReadProcess, process};
    const LoaderModules modules =
        ReadLoaderModules(memory, sizeof(void*) == 8 ? LoaderLayout::Bits64 : LoaderLayout::Bits32,
                          reinterpret_cast<ULONG_PTR>(basic.pebBaseAddress));
    ::CloseHandle(process);

    std::wstring toolHelpImage;
    const std::vector<std::wstring> toolHelp = ToolHelpModules(child.Id(), &toolHelpImage);
    ASSERT_FALSE(toolHelp.empty());

    EXPECT_TRUE(modules.isComplete);
    EXPECT_EQ(LowerCase(toolHelp), LowerCase(modules.names));
    EXPECT_EQ(toolHelpImage, modules.imagePath);
    EXPECT_EQ(1u, LowerCase(modules.names).count(provider));
}

} // namespace
