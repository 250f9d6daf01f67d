// UTF-8 as RFC 3629 has it: no overlong forms, no surrogates, nothing above
// U+10FFFF. Every text the gateway takes in (its configuration, its point
// lists) is checked for it where it enters, so that whatever it writes from
// them (JSON, the page, MQTT topics) is valid.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zulgate {

// Where the first byte that does not belong to a UTF-8 sequence is.
std::optional<std::size_t> FirstNonUtf8(std::string_view text);

// Of a text that is not UTF-8: its line (from 1) and that byte, in words,
// such as "byte 0xB0 after 'Zuluft '".
struct NonUtf8 {
    int line = 0;
    std::string what;
};
std::optional<NonUtf8> FindNonUtf8(std::string_view text);

} // namespace zulgate
