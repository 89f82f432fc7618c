#include "common/bind_entries.h"

#include <winsock2.h>
#include <ws2tcpip.h>

const GUID BindProviderGuids[kBindProviderCount] = {
    // {4A76556B-1823-4FEE-9B43-22E44EA45A53}: the layered entry
    {0x4A76556B, 0x1823, 0x4FEE, {0x9B, 0x43, 0x22, 0xE4, 0x4E, 0xA4, 0x5A, 0x53}},
    // {50B931B2-F527-4045-99F7-E772D3EB68C9}: the TCP chain
    {0x50B931B2, 0xF527, 0x4045, {0x99, 0xF7, 0xE7, 0x72, 0xD3, 0xEB, 0x68, 0xC9}},
    // {4DE028BC-6CDD-462E-A8A5-6DDF42D4D404}: the UDP chain
    {0x4DE028BC, 0x6CDD, 0x462E, {0xA8, 0xA5, 0x6D, 0xDF, 0x42, 0xD4, 0xD4, 0x04}},
    // {D922F394-D5C6-4C82-9E00-02075D90802C}: the TCPv6 chain
    {0xD922F394, 0xD5C6, 0x4C82, {0x9E, 0x00, 0x02, 0x07, 0x5D, 0x90, 0x80, 0x2C}},
    // {9F3B17E4-E86B-4956-A0E5-60B6A371F538}: the UDPv6 chain
    {0x9F3B17E4, 0xE86B, 0x4956, {0xA0, 0xE5, 0x60, 0xB6, 0xA3, 0x71, 0xF5, 0x38}},
};

const wchar_t* const BindProviderNames[kBindProviderCount] = {
    L"Norvex Bind IP Filter",
    L"Norvex Bind TCP Filter",
    L"Norvex Bind UDP Filter",
    L"Norvex Bind TCPv6 Filter",
    L"Norvex Bind UDPv6 Filter",
};

const BindEntryBase BindEntryBases[kBindProviderCount] = {
    {AF_INET, 0},
    {AF_INET, IPPROTO_TCP},
    {AF_INET, IPPROTO_UDP},
    {AF_INET6, IPPROTO_TCP},
    {AF_INET6, IPPROTO_UDP},
};
