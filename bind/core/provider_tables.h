// Process-wide state of an intercepting start-up: the next layer's procedure
// table and the upcall table as they were handed over, and the two switches
// of the matched application. Written by WSPStartup (the last intercepting
// start-up wins, for both chains), read by the replaced procedures.
#pragma once

#include <winsock2.h>
#include <ws2spi.h>

extern WSPPROC_TABLE NextProcTable;
extern WSPUPCALLTABLE SavedUpcallTable;
extern int ForceWSPBind; // non-zero: bind unbound sockets to the VPN address
extern int UseAsyncMode; // non-zero: track overlapped receive-from requests
