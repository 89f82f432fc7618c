#include "common/bind_entries.h"

const GUID BindProviderGuids[kBindProviderCount] = {
    // {4A76556B-1823-4FEE-9B43-22E44EA45A53}: the layered entry
    {0x4A76556B, 0x1823, 0x4FEE, {0x9B, 0x43, 0x22, 0xE4, 0x4E, 0xA4, 0x5A, 0x53}},
    // {50B931B2-F527-4045-99F7-E772D3EB68C9}: the TCP chain
    {0x50B931B2, 0xF527, 0x4045, {0x99, 0xF7, 0xE7, 0x72, 0xD3, 0xEB, 0x68, 0xC9}},
    // {4DE028BC-6CDD-462E-A8A5-6DDF42D4D404}: the UDP chain
    {0x4DE028BC, 0x6CDD, 0x462E, {0xA8, 0xA5, 0x6D, 0xDF, 0x42, 0xD4, 0xD4, 0x04}},
};

const wchar_t* const BindProviderNames[kBindProviderCount] = {
    L"Norvex Bind IP Filter",
    L"Norvex Bind TCP Filter",
    L"Norvex Bind UDP Filter",
};
