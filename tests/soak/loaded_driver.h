// The driver as a host has it: libzultrk.so loaded with dlopen, its one
// export ZulMain, and the log lines it sends through the host library
// (libKORVAN.so, loaded as the driver's dependency) caught by a sink.
// Shared by the fault soak and the device-loss tests.
#pragma once

#include <dirent.h>
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "driver/zultrk.h"
#include "host/korvan/korvan.h"

#ifndef ZUL_DRIVER_LIB
#error "ZUL_DRIVER_LIB must name the built libzultrk.so"
#endif

namespace soak {

struct LogLine {
    int level;
    std::string text;
};

class LoadedDriver {
public:
    LoadedDriver() = default;
    LoadedDriver(const LoadedDriver&) = delete;
    LoadedDriver& operator=(const LoadedDriver&) = delete;
    ~LoadedDriver() {
        if (setSink_) setSink_(nullptr, nullptr);
        if (handle_) dlclose(handle_);
    }

    bool Load(std::string* error) {
        handle_ = dlopen(ZUL_DRIVER_LIB, RTLD_NOW | RTLD_LOCAL);
        if (!handle_) {
            const char* why = dlerror();
            *error = std::string("dlopen " ZUL_DRIVER_LIB ": ") + (why ? why : "?");
            return false;
        }
        void* entry = dlsym(handle_, "ZulMain");
        // The host library comes in as the driver's own dependency, as it
        // does in a host process; dlsym on the handle searches it too.
        void* sink = dlsym(handle_, "korvan_set_sink");
        if (!entry || !sink) {
            *error = "libzultrk.so lacks ZulMain or its host library lacks korvan_set_sink";
            return false;
        }
        std::memcpy(&main_, &entry, sizeof main_);
        std::memcpy(&setSink_, &sink, sizeof setSink_);
        setSink_(&LoadedDriver::Capture, this);
        return true;
    }

    // One request through ZulMain; the log lines it produced replace those
    // of the request before, and its duration is kept.
    std::int32_t Call(ChannelContext& channel, std::int32_t code, void* params, std::int32_t channelNumber) {
        DriverRequest request;
        std::memset(&request, 0, sizeof request);
        request.Channel = &channel;
        request.Code = code;
        request.ChannelNumber = channelNumber;
        request.Params = params;
        log.clear();
        auto begin = std::chrono::steady_clock::now();
        std::int32_t rc = main_(&request);
        lastMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
        return rc;
    }

    std::int32_t ColdStart(ChannelContext& channel, const std::string& port, std::int32_t timeout,
                           std::int32_t channelNumber = 1) {
        ColdStartParams p;
        std::memset(&p, 0, sizeof p);
        std::snprintf(p.PortName, sizeof p.PortName, "%s", port.c_str());
        p.ActiveFlag = 1;
        p.ResponseTimeout = timeout;
        p.BaudRate = 9600;
        p.ByteSize = 8;
        return Call(channel, ColdStartCode, &p, channelNumber);
    }

    bool Logged(const std::string& text) const {
        for (const LogLine& l : log) {
            if (l.text == text) return true;
        }
        return false;
    }

    std::string LogText() const {
        std::string out;
        for (const LogLine& l : log) out += "    [" + std::to_string(l.level) + "] " + l.text + "\n";
        return out;
    }

    std::vector<LogLine> log;
    double lastMs = 0;

private:
    static void Capture(int level, const char* line, void* self) {
        static_cast<LoadedDriver*>(self)->log.push_back({level, line});
    }

    using MainFn = std::int32_t (*)(DriverRequest*);
    using SinkFn = void (*)(KorvanSink, void*);
    void* handle_ = nullptr;
    MainFn main_ = nullptr;
    SinkFn setSink_ = nullptr;
};

// Open descriptors of this process, from /proc/self/fd (the directory's own
// descriptor not counted).
inline int OpenFdCount() {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return -1;
    int n = 0;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.') ++n;
    }
    closedir(dir);
    return n - 1;
}

inline std::string Format(const char* format, int a, int b) {
    char text[256];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

} // namespace soak
