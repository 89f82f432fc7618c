// The product version, shared by both deliverables' version resources and by
// the name of the machine-wide control block (providers of different versions
// never share a block).
#pragma once

#define NORVEX_VERSION_MAJOR 2
#define NORVEX_VERSION_MINOR 3
#define NORVEX_VERSION_PATCH 0
#define NORVEX_VERSION_BUILD 2
#define NORVEX_VERSION_STRING "2.3.0.2"
#define NORVEX_VERSION_WSTRING L"2.3.0.2"
