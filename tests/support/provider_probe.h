// Runs tests/shipped_provider_probe.exe as a listed program that starts a
// provider library (the shipped one, or the flavour's own build) over the
// recording provider, as Winsock would. Wine's catalog never holds our entry,
// so the provider falls back to mswsock.dll: the probe's scratch folder holds
// the recording provider under that name, and a per-program override makes
// Wine load it instead of its own. The caller starts the binding (before
// Run, so that the probe is created after the start).
#pragma once

#include "tests/support/test_support.h"

#include <string>

class ProviderProbe
{
public:
    // Copies the probe and its next layer and lists the probe in the
    // product's applist.ini (set aside and restored by the object).
    ProviderProbe();
    ~ProviderProbe();
    ProviderProbe(const ProviderProbe&) = delete;
    ProviderProbe& operator=(const ProviderProbe&) = delete;

    bool IsReady() const { return m_isReady; }
    // providerPath is quoted here; arguments follow it as given.
    ChildResult Run(const std::wstring& providerPath, const std::wstring& arguments = L"");

private:
    ScratchFolder m_scratch;
    ScopedProductList m_list;
    std::wstring m_program;
    std::wstring m_overrideKey;
    bool m_isReady = false;
};
