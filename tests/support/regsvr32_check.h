// regsvr32, of the test process's bitness, on a provider library. Its exit
// code tells a missing library (3), a missing export (4) and an export that
// ran and reported failure (5) apart. Wine's catalog functions install
// nothing, and its catalog may lack the IPv4 raw entry the layered entry is
// copied from; the expected code follows from the catalog the test sees.
#pragma once

#include "bind/core/protocol_catalog.h"
#include "bind/install/registration.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <string>

inline void ExpectRegsvr32CallsBothExports(const std::wstring& providerPath)
{
    SCOPED_TRACE(testing::Message() << "regsvr32 of " << std::string(providerPath.begin(), providerPath.end()));
    const std::wstring quoted = L"\"" + providerPath + L"\"";
    ProtocolCatalog catalog;
    const DWORD expectedRegister = FindTemplateEntry(catalog, AF_INET, 0) >= 0 ? 0 : 5;

    ChildResult registered = RunChild(L"regsvr32.exe /s " + quoted);
    ASSERT_TRUE(registered.didFinish);
    EXPECT_EQ(expectedRegister, registered.exitCode);

    ChildResult unregistered = RunChild(L"regsvr32.exe /s /u " + quoted);
    ASSERT_TRUE(unregistered.didFinish);
    EXPECT_EQ(0u, unregistered.exitCode);
}
