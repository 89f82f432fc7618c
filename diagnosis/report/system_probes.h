// Probes that describe the machine for the report: the operating system, the
// running processes and the Winsock catalog. Each returns its text; failures
// are lines of that text, never errors of the call.
#pragma once

#include <windows.h>

#include <string>

// One line, no line end: the system's name, build and service pack.
std::wstring GetOsVersionText();

// GetVersionExW, or what a test feeds in its place. The report run reads the
// version through it as well (it chooses the netstat command).
using GetVersionExFn = BOOL(WINAPI*)(LPOSVERSIONINFOW);
extern GetVersionExFn g_pfnGetVersionEx;

// One line per process: id, image name, creation time, parent; then its
// first module, or every module when fullModuleList is set.
std::wstring ProcessListText(bool fullModuleList);

// Every catalog entry in catalog order, with the file behind each position of
// its chain.
std::wstring GetLspListText();

// Lower-case 8-4-4-4-12 groups without braces; empty when conversion fails.
std::wstring GuidToText(const GUID& guid);
