// Reading memory that an application handed to the provider and may have
// freed or protected since (a buffer remembered across calls, an overlapped
// structure, the tail of an address): the provider has no structured
// exception handling to survive a fault.
#pragma once

#include <windows.h>

#include <cstddef>

// Copies cb bytes from memory the caller handed us, which may be unmapped or
// protected. False, with nothing guaranteed about `to`, when it cannot be read.
bool ReadCallerMemory(void* to, const void* from, size_t cb) noexcept;
