// Where the relay may connect: the shop's list of bank destinations ([TCP] AllowedHosts), so a
// faulty or tampered terminal cannot make the register's machine connect anywhere else.
//
// The list: comma-separated "host:port" entries, "host:*" for any port. A host written as a
// dotted address is compared after the relay's own normalisation (192.168.001.010 is
// 192.168.1.10); a host name is compared without regard to case, and never looked up. Blanks
// around entries are ignored. A malformed entry (no colon, an empty host, a port that is not a
// number from 0 to 65535 or "*") matches nothing. An empty or blank list allows everything.
#pragma once

#include <cstddef>

// Size of the buffer the relay reads the list into: longer lists are cut.
constexpr size_t kAllowedHostsSize = 1024;

// True when the destination `host` (the text the relay connects to) and `port` (the number it
// connects to) are allowed by `list`. A null or blank list allows every destination.
bool IsDestinationAllowed(const char* list, const char* host, unsigned port);

// The dotted-address normalisation of the relay: when `host` reads as four decimal numbers
// separated by dots (blanks and a sign allowed before each, as "%d" reads them), `out` gets them
// as "%d.%d.%d.%d" and anything after the fourth number is dropped; any other text is copied
// unchanged. `out` holds `size` bytes and is always terminated.
void NormalizeHostText(const char* host, char* out, size_t size);

// The port number the relay connects to for a port text: a decimal number as atoi reads it
// (leading blanks, a sign, digits up to the first other character); no number, or a value
// outside 0..65535, gives 0.
unsigned RelayPortNumber(const char* text);
