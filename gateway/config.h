// The gateway's configuration file (TOML): where Modbus TCP listens (and
// MQTT, the status server and BACnet/IP, when their sections are there),
// which driver library to load, and the panels, each on its own port with its
// unit identifier, line settings, timings and point list. Every key is
// checked here with the line it is on; what needs the driver (addresses)
// or the point lists is checked elsewhere.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/diagnostics.h"

namespace zulgate {

using Milliseconds = std::chrono::milliseconds;
using Seconds = std::chrono::seconds;

constexpr int DefaultModbusPort = 1502;
constexpr int DefaultHttpPort = 9702;
constexpr int DefaultMqttPort = 1883;
constexpr int DefaultMqttTlsPort = 8883;
constexpr int DefaultBacnetPort = 47808;             // BACnet/IP's own, 0xBAC0
constexpr std::uint32_t MaxBacnetInstance = 4194302; // 4194303 means "any device"
constexpr std::size_t BacnetNameLimit = 150;         // bytes of device_name

struct ListenAddress {
    std::string host = "127.0.0.1"; // an IPv4 or IPv6 address as written (without brackets)
    int port = DefaultModbusPort;
    int line = 0; // of its listen key, else of its section; 0 when neither is written
    std::string Text() const;
};

// Whether two listeners would take one address: the same port on the same
// address, or on a wildcard that covers the other (0.0.0.0 every IPv4
// address, :: every address, IPv4 ones too).
bool SameListener(const ListenAddress& a, const ListenAddress& b);

struct ModbusConfig {
    ListenAddress listen;
    int maxClients = 32;
    Seconds idleTimeout{60}; // a client that sends nothing this long is disconnected
};

// Line settings as written; absent ones take the driver's GetInfo defaults.
struct LineConfig {
    std::optional<std::uint16_t> baud;
    std::optional<std::uint16_t> dataBits;
    std::optional<std::uint16_t> parityCode;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::optional<std::uint16_t> stopBitsCode; // 0 one, 1 one and a half, 2 two
};

struct PanelConfig {
    int line = 0; // of its [[panel]] header
    std::string name;
    std::string port;
    int portLine = 0;
    int unit = 0;
    int unitLine = 0;
    LineConfig lineSettings;
    Milliseconds responseTimeout{1000}; // the host's ResponseTimeout, whole 10 ms
    Milliseconds poll{1000};
    Milliseconds stale{5000};
    Milliseconds writeTimeout{5000};
    Milliseconds probe{5000}; // while the panel is away, one cheap read this often (at most 5 s)
    std::string points;       // the point list's path, relative paths taken from the config's folder
    int pointsLine = 0;
};

// Off when its section is absent.
struct MqttConfig {
    bool enabled = false;
    int line = 0;                   // of [mqtt]
    std::string host = "127.0.0.1"; // a name or an address
    int port = DefaultMqttPort;     // 8883 by default when tls_ca is given
    std::string clientId;           // DefaultClientId() when the file gives none
    std::string topicPrefix = "zultrk";
    std::string discoveryPrefix; // Home Assistant's discovery ("homeassistant"); empty: none
    std::string username;
    std::string passwordFile; // its first line is the password; relative paths from the config's folder
    std::string tlsCa, tlsCert, tlsKey;
    Seconds heartbeat{0}; // every point again this often; 0: only on change
    Seconds keepalive{30};
};

struct HttpConfig {
    bool enabled = false;
    ListenAddress listen{"127.0.0.1", DefaultHttpPort};
};

// Off when its section is absent.
struct BacnetConfig {
    bool enabled = false;
    int line = 0;                                         // of [bacnet]
    ListenAddress listen{"127.0.0.1", DefaultBacnetPort}; // UDP, IPv4
    std::uint32_t deviceInstance = 0;                     // required with the section
    std::string deviceName = "zulgate";
    std::string broadcast; // where broadcast answers go; empty: the listen interface's broadcast address
};

struct GatewayConfig {
    std::string path;
    std::string text; // as read: what each panel's worker reads again, rather than a file that may have changed
    ModbusConfig modbus;
    MqttConfig mqtt;
    HttpConfig http;
    BacnetConfig bacnet;
    std::string driverLibrary; // empty: found as zulhost finds it
    std::vector<PanelConfig> panels;
};

// "zulgate-" and this host's name (a character a client id does not take
// as '-'), at most 64 characters: two gateways on one broker do not share
// an id unless one is given them.
std::string DefaultClientId();

// Reads the file; false with every refusal in diagnostics.
bool ReadConfig(const std::string& path, GatewayConfig& config, Diagnostics& diagnostics);
// The same for a text (path names it in the diagnostics and places relative
// point lists).
bool ParseConfig(std::string_view text, const std::string& path, GatewayConfig& config, Diagnostics& diagnostics);

// "host:port", "[v6]:port"; false with a message.
bool ParseListen(const std::string& text, ListenAddress& out, std::string& error);
// A broker: "name", "name:port", "[v6]:port"; a missing port stays as given.
bool ParseBroker(const std::string& text, std::string& host, int& port, std::string& error);

} // namespace zulgate
