// Per-process state of the provider. AttachProviderToProcess fills it at
// process attach, before any other entry point of the library can run; it is
// read-only afterwards. DetachProviderFromProcess releases it on FreeLibrary.
#pragma once

#include "common/win32_handle.h"

#include <windows.h>

constexpr DWORD kProviderPathChars = 520;

extern HMODULE ProviderModule;
extern wchar_t ProviderPath[kProviderPathChars];
extern wchar_t ProcessImagePath[kProviderPathChars];
extern ULONGLONG ProcessCreateTime; // FILETIME units, 0 when unknown
extern CriticalSection RouteCacheLock;
extern CriticalSection PendingRecvFromLock; // taken before RouteCacheLock
extern CriticalSection ExtensionFunctionLock; // held for table work only, never with another

// Everything here is plain data, file mapping and mutex work: safe under the
// loader lock. Never fails; what cannot be set up leaves the provider passive.
void AttachProviderToProcess(HMODULE module) noexcept;
void DetachProviderFromProcess() noexcept;
