#include "host/tool/panel_session.h"

#include <cstdio>

#include "host/tool/ports.h"

namespace zulhost {
namespace {

constexpr std::size_t PortNameLimit = 11;

const char* ParityName(std::uint16_t code) {
    static const char* names[] = {"none", "odd", "even", "mark", "space"};
    return code < 5 ? names[code] : "?";
}

const char* StopBitsName(std::uint16_t code) {
    static const char* names[] = {"1", "1.5", "2"};
    return code < 3 ? names[code] : "?";
}

} // namespace

std::string PanelIdText(unsigned id) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X", id);
    return text;
}

PanelSession::PanelSession(DriverClient& client, Report& report, const Options& options)
    : client_(client), report_(report), options_(options) {}

PanelSession::~PanelSession() {
    if (client_.PortOpen()) client_.ClosePort();
}

int PanelSession::Open(const std::string& subject) {
    DriverInfo info{};
    zulclient::Result got = client_.GetInfo(info);
    if (!got.Ok()) return report_.Fail(subject, Request::GetInfo, got.code);
    line_.baudRate = options_.baudRate.value_or(info.DefaultBaudRate);
    line_.dataBits = options_.dataBits.value_or(info.DefaultByteSize);
    line_.stopBitsCode = options_.stopBitsCode.value_or(info.DefaultStopBits);
    line_.parityCode = options_.parityCode.value_or(info.DefaultParity);
    line_.timeout = options_.timeout;

    if (options_.portName.empty()) {
        PanelSetup setup;
        setup.trace = options_.trace;
        setup.pcapPath = options_.pcapPath;
        setup.traceSink = [this](const std::string& line) { report_.Trace(line); };
        std::string error;
        panel_ = StartBuiltInPanel(setup, &error);
        if (!panel_) return report_.FailTool(subject + ": " + error, ExitUnavailable);
        portName_ = panel_->DevicePath();
        if (portName_.size() > PortNameLimit) {
            return report_.FailTool(subject + ": the built-in panel's device " + portName_ +
                                        " is longer than the 11 characters of a port name",
                                    ExitUnavailable);
        }
    } else {
        portName_ = options_.portName;
        // What may keep this port from working, before it is tried.
        nlohmann::json warnings = nlohmann::json::array();
        for (const std::string& w : AdviceFor(portName_, Roots::FromEnvironment(), Identity::FromEnvironment())) {
            if (!report_.Json()) std::fprintf(stderr, "zulhost: warning: %s: %s\n", portName_.c_str(), w.c_str());
            warnings.push_back(w);
        }
        if (!warnings.empty()) report_.Data()["warnings"] = warnings;
    }

    nlohmann::json& data = report_.Data();
    data["port"] = portName_;
    data["builtInPanel"] = panel_ != nullptr;
    data["line"] = {{"baud", line_.baudRate},
                    {"dataBits", line_.dataBits},
                    {"parity", ParityName(line_.parityCode)},
                    {"stopBits", StopBitsName(line_.stopBitsCode)},
                    {"timeout", line_.timeout}};

    zulclient::StartResult start = client_.ColdStart(portName_, line_);
    if (!start.PortOpened()) {
        std::string why = panel_ ? std::string()
                                 : WhyOpenFailed(portName_, Roots::FromEnvironment(), Identity::FromEnvironment());
        return report_.Fail(subject, Request::ColdStart, start.code,
                            start.Meaning() + " (" + (why.empty() ? portName_ : why) + ")");
    }
    panelId_ = start.panelId;
    if (panelId_) data["panelId"] = PanelIdText(*panelId_);
    // ColdStart succeeds with the port open even when the handshake failed.
    if (start.handshakeFailure) return report_.Fail(subject, Request::Handshake, *start.handshakeFailure);
    return 0;
}

int PanelSession::Close(const std::string& subject) {
    if (!client_.PortOpen()) return 0;
    zulclient::Result closed = client_.ClosePort();
    if (!closed.Ok()) return report_.Fail(subject, Request::ClosePort, closed.code);
    return 0;
}

} // namespace zulhost
