#include "platform/linux/network_url.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cstring>

namespace {

constexpr const char* RawScheme = "tcp://";
constexpr const char* Rfc2217Scheme = "rfc2217://";

bool StartsWith(const char* text, const char* prefix) { return strncasecmp(text, prefix, std::strlen(prefix)) == 0; }

// 1..65535, digits only, no sign and no leading zero beyond "0" itself.
bool ParsePort(const char* text, unsigned short& port) {
    std::size_t n = std::strlen(text);
    if (n == 0 || n > 5 || text[0] == '0') return false;
    unsigned long value = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + static_cast<unsigned long>(text[i] - '0');
    }
    if (value < 1 || value > 65535) return false;
    port = static_cast<unsigned short>(value);
    return true;
}

} // namespace

bool LooksLikeNetworkUrl(const char* text) {
    return text != nullptr && (StartsWith(text, RawScheme) || StartsWith(text, Rfc2217Scheme));
}

bool ParseNetworkUrl(const char* text, NetworkUrl& url) {
    url = NetworkUrl{};
    if (text == nullptr) return false;
    const char* rest;
    if (StartsWith(text, RawScheme)) {
        url.transport = NetworkTransport::RawTcp;
        rest = text + std::strlen(RawScheme);
    } else if (StartsWith(text, Rfc2217Scheme)) {
        url.transport = NetworkTransport::Rfc2217;
        rest = text + std::strlen(Rfc2217Scheme);
    } else {
        return false;
    }

    // The address, in a buffer of its own so that inet_pton sees it alone.
    char host[INET6_ADDRSTRLEN + 1];
    const char* portText;
    bool v6 = rest[0] == '[';
    if (v6) {
        const char* close = std::strchr(rest, ']');
        if (close == nullptr || close[1] != ':') return false;
        std::size_t length = static_cast<std::size_t>(close - rest - 1);
        if (length == 0 || length >= sizeof host) return false;
        std::memcpy(host, rest + 1, length);
        host[length] = '\0';
        portText = close + 2;
    } else {
        const char* colon = std::strrchr(rest, ':');
        if (colon == nullptr) return false;
        std::size_t length = static_cast<std::size_t>(colon - rest);
        if (length == 0 || length >= sizeof host) return false;
        std::memcpy(host, rest, length);
        host[length] = '\0';
        portText = colon + 1;
    }
    if (!ParsePort(portText, url.port)) return false;

    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&url.address);
        if (inet_pton(AF_INET6, host, &a->sin6_addr) != 1) return false;
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(url.port);
        url.addressLength = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&url.address);
        if (inet_pton(AF_INET, host, &a->sin_addr) != 1) return false;
        a->sin_family = AF_INET;
        a->sin_port = htons(url.port);
        url.addressLength = sizeof *a;
    }
    return true;
}
