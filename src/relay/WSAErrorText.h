// Chinese explanations of Winsock error numbers, for the relay's log lines.
#pragma once

// The fixed GBK text for Winsock error `code`, or null for a code outside the table
// (0 included). The texts live as long as the library.
const char* GetWSAErrorTextOf(int code);

// Number of codes the table explains.
int GetWSAErrorTextCount();
