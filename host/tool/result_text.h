// What a non-zero result of each request means, in a few words for the
// one-line failure message.
#pragma once

#include <cstdint>
#include <string>

namespace zulhost {

enum class Request {
    GetInfo,
    ColdStart,
    Handshake,
    CheckAddress,
    CheckAddressSyntax,
    BlockRead,
    BlockWrite,
    ClosePort
};

const char* RequestName(Request request); // "BlockRead", ...
std::string ResultMeaning(Request request, std::int32_t result);

// The process exit status for a driver result: the result itself when it is
// 1..255, otherwise 1 (the message carries the real value).
int ExitStatusFor(std::int32_t result);

} // namespace zulhost
