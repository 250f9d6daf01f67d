#include "gateway/config.h"

#include <toml++/toml.h>

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstring>
#include <set>
#include <sstream>

#include <unistd.h>

#include "gateway/text_file.h"
#include "gateway/utf8.h"
#include "host/client/port_lookup.h"

namespace zulgate {
namespace {

// A configuration with every default, copied whole (GCC 12 at -O3 takes a
// temporary's strings for uninitialized when one is moved in).
const GatewayConfig& Fresh() {
    static const GatewayConfig defaults;
    return defaults;
}

constexpr std::size_t PortNameLimit = 11; // the host records' 12 bytes with their NUL
constexpr std::size_t PanelNameLimit = 32;

int LineOf(const toml::node& node) { return static_cast<int>(node.source().begin.line); }

std::string FolderOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Reads the keys of one table, refusing unknown ones and wrong types.
class Keys {
public:
    Keys(const toml::table& table, std::string where, const std::string& file, Diagnostics& d)
        : table_(table), where_(std::move(where)), file_(file), d_(d) {}

    // Every key not asked for by the end is refused.
    ~Keys() {
        for (auto&& [key, value] : table_) {
            if (asked_.count(std::string(key.str())) == 0) {
                d_.Add(file_, LineOf(value), "unknown key '" + std::string(key.str()) + "' in " + where_);
            }
        }
    }
    Keys(const Keys&) = delete;
    Keys& operator=(const Keys&) = delete;

    const toml::node* Get(const char* key) {
        asked_.insert(key);
        return table_.get(key);
    }

    bool String(const char* key, std::string& out, int* line = nullptr) {
        const toml::node* n = Get(key);
        if (n == nullptr) return false;
        if (line) *line = LineOf(*n);
        if (!n->is_string()) {
            Refuse(*n, std::string(key) + " must be a string (in double quotes)");
            return false;
        }
        out = *n->value<std::string>();
        return true;
    }

    // An integer within [low, high]; false when absent or refused.
    bool Integer(const char* key, std::int64_t low, std::int64_t high, std::int64_t& out, int* line = nullptr) {
        const toml::node* n = Get(key);
        if (n == nullptr) return false;
        if (line) *line = LineOf(*n);
        if (!n->is_integer()) {
            Refuse(*n, std::string(key) + " must be a whole number");
            return false;
        }
        std::int64_t v = *n->value<std::int64_t>();
        if (v < low || v > high) {
            Refuse(*n, std::string(key) + " must be from " + std::to_string(low) + " to " + std::to_string(high) +
                           ", not " + std::to_string(v));
            return false;
        }
        out = v;
        return true;
    }

    void Millis(const char* key, std::int64_t low, std::int64_t high, Milliseconds& out) {
        std::int64_t v = 0;
        if (Integer(key, low, high, v)) out = Milliseconds(v);
    }

    void Refuse(const toml::node& n, const std::string& message) { d_.Add(file_, LineOf(n), message); }
    int Line() const { return LineOf(table_); }

private:
    const toml::table& table_;
    std::string where_;
    const std::string& file_;
    Diagnostics& d_;
    std::set<std::string> asked_;
};

bool NameCharactersOk(const std::string& name) {
    for (unsigned char c : name) {
        if (!std::isalnum(c) && c != '_' && c != '-' && c != '.') return false;
    }
    return true;
}

void ReadModbus(const toml::table& table, const std::string& file, ModbusConfig& m, Diagnostics& d) {
    Keys keys(table, "[modbus]", file, d);
    std::string listen;
    int line = 0;
    m.listen.line = keys.Line();
    if (keys.String("listen", listen, &line)) {
        std::string error;
        if (!ParseListen(listen, m.listen, error)) d.Add(file, line, "listen: " + error);
        m.listen.line = line;
    }
    std::int64_t v = 0;
    if (keys.Integer("max_clients", 1, 1000, v)) m.maxClients = static_cast<int>(v);
    if (keys.Integer("idle_timeout_s", 1, 86400, v)) m.idleTimeout = Seconds(v);
}

std::string FromFolder(const std::string& file, const std::string& path) {
    return path.empty() || path[0] == '/' ? path : FolderOf(file) + path;
}

// A topic level's characters may be anything but the wildcards; the prefix
// may hold levels of its own but no empty one.
bool TopicPrefixOk(const std::string& prefix) {
    if (prefix.empty() || prefix.front() == '/' || prefix.back() == '/' || prefix.find("//") != std::string::npos)
        return false;
    for (unsigned char c : prefix) {
        if (c == '+' || c == '#' || c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

void ReadMqtt(const toml::table& table, const std::string& file, MqttConfig& m, Diagnostics& d) {
    Keys keys(table, "[mqtt]", file, d);
    m.enabled = true;
    m.clientId = DefaultClientId();
    m.line = keys.Line();
    std::string broker;
    int line = 0;
    bool portGiven = false;
    if (keys.String("broker", broker, &line)) {
        std::string error;
        int port = 0;
        if (!ParseBroker(broker, m.host, port, error)) {
            d.Add(file, line, "broker: " + error);
        } else if (port != 0) {
            m.port = port;
            portGiven = true;
        }
    }
    if (keys.String("client_id", m.clientId, &line) &&
        (m.clientId.empty() || m.clientId.size() > 64 || !NameCharactersOk(m.clientId))) {
        d.Add(file, line, "client_id '" + m.clientId + "' must be 1 to 64 letters, digits, '_', '-' or '.'");
    }
    if (keys.String("topic_prefix", m.topicPrefix, &line) && !TopicPrefixOk(m.topicPrefix)) {
        d.Add(file, line,
              "topic_prefix '" + m.topicPrefix + "' must be topic levels joined by '/', without '+', '#', an empty " +
                  "level or a '/' at either end");
    }
    if (keys.String("discovery_prefix", m.discoveryPrefix, &line) && !TopicPrefixOk(m.discoveryPrefix)) {
        d.Add(file, line,
              "discovery_prefix '" + m.discoveryPrefix +
                  "' must be topic levels joined by '/' (Home Assistant's is homeassistant), without '+', '#', an "
                  "empty level or a '/' at either end");
    }
    if (!m.discoveryPrefix.empty() && m.discoveryPrefix == m.topicPrefix) {
        d.Add(file, line, "discovery_prefix cannot be the topic_prefix");
    }
    keys.String("username", m.username);
    if (keys.String("password_file", m.passwordFile)) m.passwordFile = FromFolder(file, m.passwordFile);
    if (keys.String("tls_ca", m.tlsCa)) m.tlsCa = FromFolder(file, m.tlsCa);
    if (keys.String("tls_cert", m.tlsCert)) m.tlsCert = FromFolder(file, m.tlsCert);
    if (keys.String("tls_key", m.tlsKey)) m.tlsKey = FromFolder(file, m.tlsKey);
    if (m.tlsCert.empty() != m.tlsKey.empty()) d.Add(file, m.line, "tls_cert and tls_key go together");
    if (!m.tlsCert.empty() && m.tlsCa.empty()) d.Add(file, m.line, "tls_cert needs tls_ca (the broker's CA)");
    if (!m.passwordFile.empty() && m.username.empty()) d.Add(file, m.line, "password_file needs a username");
    if (!m.tlsCa.empty() && !portGiven) m.port = DefaultMqttTlsPort;
    std::int64_t v = 0;
    if (keys.Integer("heartbeat_s", 0, 86400, v)) m.heartbeat = Seconds(v);
    if (keys.Integer("keepalive_s", 5, 3600, v)) m.keepalive = Seconds(v);
}

void ReadHttp(const toml::table& table, const std::string& file, HttpConfig& h, Diagnostics& d) {
    Keys keys(table, "[http]", file, d);
    h.enabled = true;
    std::string listen;
    int line = 0;
    h.listen.line = keys.Line();
    if (keys.String("listen", listen, &line)) {
        std::string error;
        if (!ParseListen(listen, h.listen, error)) d.Add(file, line, "listen: " + error);
        h.listen.line = line;
    }
}

// BACnet/IP is served on IPv4 (its Annex J); the device's identity on the
// site's network is the integrator's to give.
void ReadBacnet(const toml::table& table, const std::string& file, BacnetConfig& b, Diagnostics& d) {
    Keys keys(table, "[bacnet]", file, d);
    b.enabled = true;
    b.line = keys.Line();
    b.listen.line = keys.Line();
    std::string text;
    int line = 0;
    if (keys.String("listen", text, &line)) {
        std::string error;
        b.listen.line = line;
        if (!ParseListen(text, b.listen, error)) {
            d.Add(file, line, "listen: " + error);
        } else if (b.listen.host.find(':') != std::string::npos) {
            d.Add(file, line,
                  "listen: BACnet/IP is served on IPv4: write an IPv4 address (0.0.0.0 for every interface)");
        }
    }
    std::int64_t v = 0;
    if (keys.Integer("device_instance", 0, MaxBacnetInstance, v, &line)) {
        b.deviceInstance = static_cast<std::uint32_t>(v);
    } else if (!keys.Get("device_instance")) {
        d.Add(file, b.line,
              "[bacnet] needs a device_instance (0 to " + std::to_string(MaxBacnetInstance) +
                  ", unique on the site's BACnet network)");
    }
    if (keys.String("device_name", b.deviceName, &line)) {
        bool control = std::any_of(b.deviceName.begin(), b.deviceName.end(),
                                   [](unsigned char c) { return c < 0x20 || c == 0x7F; });
        if (b.deviceName.empty() || b.deviceName.size() > BacnetNameLimit || control) {
            d.Add(file, line,
                  "device_name must be 1 to " + std::to_string(BacnetNameLimit) +
                      " bytes of text without control characters");
        }
    }
    if (keys.String("broadcast", b.broadcast, &line)) {
        in_addr a{};
        if (inet_pton(AF_INET, b.broadcast.c_str(), &a) != 1) {
            d.Add(file, line, "broadcast '" + b.broadcast + "' is not an IPv4 address (such as 192.168.1.255)");
        }
    }
}

void ReadLine(Keys& keys, const std::string& file, LineConfig& line, Diagnostics& d) {
    std::int64_t v = 0;
    int at = 0;
    if (keys.Integer("baud", 1, 65535, v, &at)) {
        if (!zulclient::LineSpeedSupported(static_cast<unsigned long>(v))) {
            d.Add(file, at, "baud " + std::to_string(v) + " is not a speed the serial line can run at");
        } else {
            line.baud = static_cast<std::uint16_t>(v);
        }
    }
    if (keys.Integer("data_bits", 5, 8, v)) line.dataBits = static_cast<std::uint16_t>(v);
    std::string parity;
    if (keys.String("parity", parity, &at)) {
        static const char* names[] = {"none", "odd", "even", "mark", "space"};
        bool found = false;
        for (std::uint16_t code = 0; code < 5; ++code) {
            if (parity == names[code]) {
                line.parityCode = code;
                found = true;
            }
        }
        if (!found) d.Add(file, at, "parity must be none, odd, even, mark or space, not '" + parity + "'");
    }
    if (const toml::node* n = keys.Get("stop_bits")) {
        std::optional<double> bits = n->is_integer()          ? std::optional<double>(*n->value<std::int64_t>())
                                     : n->is_floating_point() ? n->value<double>()
                                                              : std::nullopt;
        if (bits && *bits == 1) {
            line.stopBitsCode = 0;
        } else if (bits && *bits == 1.5) {
            line.stopBitsCode = 1;
        } else if (bits && *bits == 2) {
            line.stopBitsCode = 2;
        } else {
            keys.Refuse(*n, "stop_bits must be 1, 1.5 or 2");
        }
    }
}

void ReadPanel(const toml::table& table, const std::string& file, PanelConfig& p, Diagnostics& d) {
    p.line = LineOf(table);
    Keys keys(table, "[[panel]]", file, d);
    int at = 0;
    if (!keys.String("name", p.name, &at)) {
        if (!keys.Get("name")) d.Add(file, p.line, "a [[panel]] needs a name");
    } else if (p.name.empty() || p.name.size() > PanelNameLimit || !NameCharactersOk(p.name)) {
        d.Add(file, at, "name '" + p.name + "' must be 1 to 32 letters, digits, '_', '-' or '.'");
    }
    if (!keys.String("port", p.port, &p.portLine)) {
        if (!keys.Get("port")) d.Add(file, p.line, "panel " + p.name + " needs a port");
    } else if (std::string why; zulclient::LooksLikeDeviceServer(p.port)) {
        if (!zulclient::CheckDeviceServerUrl(p.port, why)) d.Add(file, p.portLine, "port '" + p.port + "': " + why);
    } else if (p.port.empty() || p.port.size() > PortNameLimit) {
        d.Add(file, p.portLine,
              "port '" + p.port + "' must be 1 to 11 characters (the driver's port name; a ports-folder entry or " +
                  "a link can name a longer path), or a device server's tcp:// or rfc2217:// URL");
    }
    std::int64_t v = 0;
    if (keys.Integer("unit", 1, 247, v, &p.unitLine)) {
        p.unit = static_cast<int>(v);
    } else if (!keys.Get("unit")) {
        d.Add(file, p.line, "panel " + p.name + " needs a unit (its Modbus unit identifier, 1 to 247)");
    }
    ReadLine(keys, file, p.lineSettings, d);
    if (keys.Integer("response_timeout_ms", 10, 60000, v, &at)) {
        if (v % 10 != 0) {
            d.Add(file, at, "response_timeout_ms must be a multiple of 10 (the driver counts it in 10 ms)");
        } else {
            p.responseTimeout = Milliseconds(v);
        }
    }
    keys.Millis("poll_ms", 50, 86'400'000, p.poll);
    int staleLine = 0;
    if (keys.Integer("stale_ms", 100, 86'400'000, v, &staleLine)) p.stale = Milliseconds(v);
    keys.Millis("write_timeout_ms", 100, 60000, p.writeTimeout);
    keys.Millis("probe_ms", 500, 5000, p.probe);
    if (p.stale <= p.poll) {
        d.Add(file, staleLine ? staleLine : p.line,
              "stale_ms (" + std::to_string(p.stale.count()) + ") must be longer than poll_ms (" +
                  std::to_string(p.poll.count()) + "), or every value would expire before it is read again");
    }
    if (!keys.String("points", p.points, &p.pointsLine)) {
        if (!keys.Get("points")) d.Add(file, p.line, "panel " + p.name + " needs points (its point list)");
    } else if (p.points.empty()) {
        d.Add(file, p.pointsLine, "points must name a file");
    } else if (p.points[0] != '/') {
        p.points = FolderOf(file) + p.points;
    }
}

} // namespace

std::string ListenAddress::Text() const {
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool ParseListen(const std::string& text, ListenAddress& out, std::string& error) {
    std::string host, port;
    if (!text.empty() && text[0] == '[') {
        std::size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            error = "write an IPv6 address as [address]:port";
            return false;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        std::size_t colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon) {
            error = "expected address:port (such as 127.0.0.1:1502, or [::1]:1502)";
            return false;
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        // A dotted address of four numbers, each 0..255: names are not
        // looked up, so what it listens on is what is written.
        int parts = 0;
        std::istringstream in(host);
        std::string part;
        bool ok = true;
        while (std::getline(in, part, '.')) {
            ++parts;
            ok = ok && !part.empty() && part.size() <= 3 && part.find_first_not_of("0123456789") == std::string::npos &&
                 std::stoi(part) <= 255;
        }
        if (!ok || parts != 4 || host.back() == '.') {
            error = "'" + host + "' is not an IPv4 address (write 0.0.0.0 for every interface)";
            return false;
        }
    }
    in6_addr v6{};
    if (host.empty() || (text[0] == '[' && inet_pton(AF_INET6, host.c_str(), &v6) != 1)) {
        error = "'" + host + "' is not an address";
        return false;
    }
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(port) < 1 || std::stoi(port) > 65535) {
        error = "the port must be a number from 1 to 65535";
        return false;
    }
    out.host = host;
    out.port = std::stoi(port);
    return true;
}

namespace {

// An address as IPv6 (IPv4 ones mapped, ::ffff:a.b.c.d), or nothing.
std::optional<std::array<unsigned char, 16>> AddressBytes(const std::string& host) {
    std::array<unsigned char, 16> bytes{};
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        bytes[10] = bytes[11] = 0xFF;
        std::memcpy(bytes.data() + 12, &v4, 4);
        return bytes;
    }
    if (inet_pton(AF_INET6, host.c_str(), bytes.data()) == 1) return bytes;
    return std::nullopt;
}

bool IsV4(const std::array<unsigned char, 16>& a) {
    static const unsigned char prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return std::memcmp(a.data(), prefix, 12) == 0;
}

bool IsAny(const std::array<unsigned char, 16>& a) {
    return std::all_of(a.begin(), a.end(), [](unsigned char b) { return b == 0; });
}
bool IsAnyV4(const std::array<unsigned char, 16>& a) {
    return IsV4(a) && std::all_of(a.begin() + 12, a.end(), [](unsigned char b) { return b == 0; });
}

} // namespace

bool SameListener(const ListenAddress& a, const ListenAddress& b) {
    if (a.port != b.port) return false;
    auto x = AddressBytes(a.host), y = AddressBytes(b.host);
    if (!x || !y) return a.host == b.host;
    if (*x == *y || IsAny(*x) || IsAny(*y)) return true;
    return (IsAnyV4(*x) && IsV4(*y)) || (IsAnyV4(*y) && IsV4(*x));
}

bool ParseBroker(const std::string& text, std::string& host, int& port, std::string& error) {
    std::string name = text, number;
    if (!text.empty() && text[0] == '[') {
        std::size_t close = text.find(']');
        if (close == std::string::npos || (close + 1 < text.size() && text[close + 1] != ':')) {
            error = "write an IPv6 address as [address]:port";
            return false;
        }
        name = text.substr(1, close - 1);
        if (close + 1 < text.size()) number = text.substr(close + 2);
    } else if (std::size_t colon = text.rfind(':'); colon != std::string::npos) {
        if (text.find(':') != colon) {
            error = "write an IPv6 address as [address]:port";
            return false;
        }
        name = text.substr(0, colon);
        number = text.substr(colon + 1);
        if (number.empty()) {
            error = "a ':' with no port after it";
            return false;
        }
    }
    if (name.empty() || name.find_first_of(" \t/") != std::string::npos) {
        error = "'" + name + "' is not a host name or address";
        return false;
    }
    port = 0;
    if (!number.empty()) {
        if (number.size() > 5 || number.find_first_not_of("0123456789") != std::string::npos || std::stoi(number) < 1 ||
            std::stoi(number) > 65535) {
            error = "the port must be a number from 1 to 65535";
            return false;
        }
        port = std::stoi(number);
    }
    host = name;
    return true;
}

bool ParseConfig(std::string_view text, const std::string& path, GatewayConfig& config, Diagnostics& d) {
    std::size_t before = d.Count();
    config = Fresh();
    config.path = path;
    // TOML is UTF-8; an editor that saved the file in another encoding
    // (a degree sign as one byte 0xB0) is named with its place.
    if (std::optional<NonUtf8> bad = FindNonUtf8(text)) {
        d.Add(path, bad->line, "not UTF-8 (" + bad->what + "): save the file as UTF-8");
        return false;
    }
    config.text = std::string(text);
    toml::table root;
    try {
        root = toml::parse(text, path);
    } catch (const toml::parse_error& e) {
        d.Add(path, static_cast<int>(e.source().begin.line), std::string(e.description()));
        return false;
    }
    {
        Keys keys(root, "the file", path, d);
        if (const toml::node* m = keys.Get("modbus")) {
            if (const toml::table* t = m->as_table()) {
                ReadModbus(*t, path, config.modbus, d);
            } else {
                keys.Refuse(*m, "modbus must be a table, [modbus]");
            }
        }
        if (const toml::node* m = keys.Get("mqtt")) {
            if (const toml::table* t = m->as_table()) {
                ReadMqtt(*t, path, config.mqtt, d);
            } else {
                keys.Refuse(*m, "mqtt must be a table, [mqtt]");
            }
        }
        if (const toml::node* h = keys.Get("http")) {
            if (const toml::table* t = h->as_table()) {
                ReadHttp(*t, path, config.http, d);
            } else {
                keys.Refuse(*h, "http must be a table, [http]");
            }
        }
        if (const toml::node* b = keys.Get("bacnet")) {
            if (const toml::table* t = b->as_table()) {
                ReadBacnet(*t, path, config.bacnet, d);
            } else {
                keys.Refuse(*b, "bacnet must be a table, [bacnet]");
            }
        }
        if (const toml::node* dr = keys.Get("driver")) {
            if (const toml::table* t = dr->as_table()) {
                Keys driverKeys(*t, "[driver]", path, d);
                driverKeys.String("library", config.driverLibrary);
            } else {
                keys.Refuse(*dr, "driver must be a table, [driver]");
            }
        }
        const toml::node* panels = keys.Get("panel");
        const toml::array* list = panels ? panels->as_array() : nullptr;
        if (panels && (!list || !list->is_array_of_tables())) {
            keys.Refuse(*panels, "panel must be tables, each [[panel]]");
        } else if (!list || list->empty()) {
            d.Add(path, 0, "no [[panel]]: the gateway has nothing to serve");
        } else {
            for (const toml::node& n : *list) {
                config.panels.emplace_back();
                ReadPanel(*n.as_table(), path, config.panels.back(), d);
            }
        }
    }
    // What one panel cannot know of the others.
    for (std::size_t i = 0; i < config.panels.size(); ++i) {
        const PanelConfig& p = config.panels[i];
        for (std::size_t j = 0; j < i; ++j) {
            const PanelConfig& q = config.panels[j];
            if (!p.name.empty() && p.name == q.name) {
                d.Add(path, p.line, "panel name '" + p.name + "' is used twice (line " + std::to_string(q.line) + ")");
            }
            if (p.unit != 0 && p.unit == q.unit) {
                d.Add(path, p.unitLine,
                      "unit " + std::to_string(p.unit) + " is used twice (panel " + q.name + ", line " +
                          std::to_string(q.unitLine) + ")");
            }
            if (!p.port.empty() && p.port == q.port) {
                d.Add(path, p.portLine,
                      "port " + p.port + " is used twice (panel " + q.name + "): a port has one panel");
            }
        }
    }
    if (config.http.enabled && SameListener(config.http.listen, config.modbus.listen)) {
        d.Add(path, config.http.listen.line,
              "[http] listen " + config.http.listen.Text() + " and [modbus] listen " + config.modbus.listen.Text() +
                  " take one address: give each its own port");
    }
    return d.Count() == before;
}

std::string DefaultClientId() {
    constexpr std::size_t MostCharacters = 64;
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "zulgate";
    std::string id = "zulgate-";
    for (const char* c = host; *c && id.size() < MostCharacters; ++c) {
        id += NameCharactersOk(std::string(1, *c)) ? *c : '-';
    }
    return id;
}

bool ReadConfig(const std::string& path, GatewayConfig& config, Diagnostics& d) {
    std::string text, error;
    if (!ReadTextFile(path, ConfigFileLimit, text, error)) {
        config = Fresh();
        config.path = path;
        d.Add(path, 0, "cannot read the file: " + error);
        return false;
    }
    return ParseConfig(text, path, config, d);
}

} // namespace zulgate
