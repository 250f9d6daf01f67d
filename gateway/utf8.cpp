#include "gateway/utf8.h"

#include <algorithm>
#include <cstdio>

namespace zulgate {
namespace {

// The length of the sequence that starts at text[i], or 0 when none does.
std::size_t SequenceAt(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;  // overlong below U+0800
        if (lead == 0xED) high = 0x9F; // the surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;  // overlong below U+10000
        if (lead == 0xF4) high = 0x8F; // above U+10FFFF
    } else {
        return 0; // a continuation byte, C0, C1 or F5 and up
    }
    if (i + length > text.size()) return 0;
    if (byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    }
    return length;
}

} // namespace

std::optional<std::size_t> FirstNonUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        std::size_t n = SequenceAt(text, i);
        if (n == 0) return i;
        i += n;
    }
    return std::nullopt;
}

std::optional<NonUtf8> FindNonUtf8(std::string_view text) {
    std::optional<std::size_t> at = FirstNonUtf8(text);
    if (!at) return std::nullopt;
    NonUtf8 found;
    found.line = 1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(*at), '\n'));
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned char>(text[*at]));
    found.what = std::string("byte ") + hex;
    // What comes before it on its line, as far as it is text, so that a
    // person finds the place (a Windows-1252 degree sign after "Zuluft ").
    std::size_t lineStart = text.rfind('\n', *at);
    lineStart = lineStart == std::string_view::npos ? 0 : lineStart + 1;
    std::size_t from = std::max(lineStart, *at > 24 ? *at - 24 : 0);
    std::string before;
    for (std::size_t i = from; i < *at; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == ',' || c == ';' || c == '\t' || c == '"' || c == '=') {
            before.clear(); // the field's or the value's own text only
        } else if (c >= 0x20 && c < 0x7F) {
            before += static_cast<char>(c);
        }
    }
    if (!before.empty()) found.what += " after '" + before + "'";
    return found;
}

} // namespace zulgate
