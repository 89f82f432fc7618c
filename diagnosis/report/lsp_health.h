// A verdict on the Winsock catalog as it concerns the provider, for support
// staff: one line per check, "OK: ..." or "Problem: ...", and a last line
// "LSP Health: OK" or "LSP Health: N problem(s)". The checks:
// - our three entries are installed;
// - our chains come first for IPv4 TCP and UDP (Winsock takes the first
//   matching entry for a new socket);
// - every chain in the catalog names catalog ids that exist;
// - every provider's file exists at its expanded path;
// - no other layered provider sits above or below ours in a chain.
// Reads the catalog through GetCatalogApi (tests put an in-memory one there).
#pragma once

#include <string>

std::wstring LspHealthText();
