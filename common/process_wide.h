// Storage for a process-wide object of a library that the runtime builds when
// the library loads and never destroys. At process exit the other threads have
// been killed where they stood, perhaps inside such an object or holding its
// lock, yet the runtime would run the destructors of the library's objects all
// the same. The owner empties the object when the library is unloaded
// (FreeLibrary), where no other thread is inside it.
#pragma once

#include <new>

template <typename T>
class ProcessWide
{
public:
    ProcessWide() noexcept { new (m_storage) T(); }
    ProcessWide(const ProcessWide&) = delete;
    ProcessWide& operator=(const ProcessWide&) = delete;

    T& Get() noexcept { return *std::launder(reinterpret_cast<T*>(m_storage)); }

private:
    alignas(T) unsigned char m_storage[sizeof(T)];
};
