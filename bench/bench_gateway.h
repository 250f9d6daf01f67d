// zulgate in this process as main() puts it together, for the sections that
// run it: its files written to a folder of their own, its configuration
// read back and checked through the driver (every address through
// CheckAddress), and the gateway started with its panels' workers (the
// zulgate program run again, as zulgate runs it).
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "gateway/config.h"
#include "gateway/gateway.h"
#include "gateway/log.h"
#include "host/client/library_loader.h"

namespace zulbench {

inline double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

class BenchGateway {
public:
    explicit BenchGateway(std::string driverPath);
    ~BenchGateway(); // the gateway stopped, the folder removed
    BenchGateway(const BenchGateway&) = delete;
    BenchGateway& operator=(const BenchGateway&) = delete;

    const std::string& Folder() const { return folder_; }
    void Write(const std::string& name, const std::string& text) const;
    // The folder's gw.toml read and checked with the driver loaded; false
    // with the first reason.
    bool Check(std::string& error);
    // Check()ed first.
    bool Start(std::string& error);
    void Stop() { gateway_.reset(); }

    bool Running() const { return gateway_ != nullptr; }
    const zulgate::Gateway& Gateway() const { return *gateway_; }
    const zulgate::CheckedConfig& Checked() const { return checked_; }
    zulgate::Log& Log() { return log_; }
    ZulMainFunction Entry() const { return library_.Entry(); }

private:
    std::string driverPath_;
    std::string folder_;
    zulclient::DriverLibrary library_;
    zulgate::CheckedConfig checked_;
    zulgate::Log log_{zulgate::Level::Error};
    std::unique_ptr<zulgate::Gateway> gateway_;
};

} // namespace zulbench
