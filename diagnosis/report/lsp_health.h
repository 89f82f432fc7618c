// A verdict on the Winsock catalog as it concerns the provider, for support
// staff: one line per check, "OK: ..." or "Problem: ...", and a last line
// "LSP Health: OK" or "LSP Health: N problem(s)". The checks:
// - our three entries are installed;
// - our chains come first for IPv4 TCP and UDP (Winsock takes the first
//   matching entry for a new socket);
// - every chain in the catalog names catalog ids that exist;
// - every provider's file exists at its expanded path;
// - no other layered provider sits above or below ours in a chain;
// - on 64-bit Windows, the catalog of the other bitness holds our three
//   entries too (the other provider library's), where this program can
//   read it; where it cannot, a line "Cannot tell: ..." says why (not
//   counted as a problem).
// Reads this program's catalog through GetCatalogApi (tests put an in-memory
// one there) and the other through ReadOtherCatalog (other_catalog.h).
#pragma once

#include <string>

std::wstring LspHealthText();
