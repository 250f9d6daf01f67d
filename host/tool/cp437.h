// Text from the driver in code page 437 (its banner), for a UTF-8 terminal.
#pragma once

#include <string>

namespace zulhost {

// Bytes below 0x80 (tabs and line feeds included) pass unchanged.
std::string Cp437ToUtf8(const char* text);

} // namespace zulhost
