#include "bench/bench_gateway.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace zulbench {
namespace {

std::string NewFolder() {
    char path[] = "/tmp/zulbench-XXXXXX";
    return mkdtemp(path) ? std::string(path) : std::string();
}

} // namespace

BenchGateway::BenchGateway(std::string driverPath) : driverPath_(std::move(driverPath)), folder_(NewFolder()) {}

BenchGateway::~BenchGateway() {
    gateway_.reset();
    if (!folder_.empty()) std::filesystem::remove_all(folder_);
}

void BenchGateway::Write(const std::string& name, const std::string& text) const {
    std::ofstream(folder_ + "/" + name) << text;
}

bool BenchGateway::Check(std::string& error) {
    if (folder_.empty()) {
        error = "cannot make a folder under /tmp";
        return false;
    }
    if (!library_.Load(driverPath_, false, &error)) return false;
    zulgate::Diagnostics d;
    zulgate::GatewayConfig config;
    if (!zulgate::ReadConfig(folder_ + "/gw.toml", config, d) ||
        !zulgate::CheckConfiguration(config, library_.Entry(), checked_, d)) {
        error = d.All().empty() ? "configuration refused" : d.All().front().Text();
        return false;
    }
    return true;
}

bool BenchGateway::Start(std::string& error) {
    zulgate::worker::WorkerProgram program;
    program.path = ZULGATE_PROGRAM;
    program.library = driverPath_;
    gateway_ = std::make_unique<zulgate::Gateway>(checked_, program, log_);
    if (gateway_->Start(error)) return true;
    gateway_.reset();
    return false;
}

} // namespace zulbench
