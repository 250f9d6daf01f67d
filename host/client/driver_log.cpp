#include "host/client/driver_log.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "host/korvan/korvan.h"

namespace zulclient {
namespace {

// Lines go to the list of the call running on the thread that logs them.
thread_local std::vector<DriverLine>* catching = nullptr;

std::mutex watcherMutex;
LineWatcher watcher = nullptr;
void* watcherContext = nullptr;

// A bound, should a call log without end.
constexpr std::size_t MostLinesPerCall = 1000;

void Sink(int level, const char* text, void*) {
    DriverLine line{level, text ? text : ""};
    if (catching && catching->size() < MostLinesPerCall) catching->push_back(line);
    std::lock_guard<std::mutex> lock(watcherMutex);
    if (watcher) watcher(line, watcherContext);
}

void InstallSink() {
    static std::once_flag installed;
    std::call_once(installed, [] { korvan_set_sink(&Sink, nullptr); });
}

} // namespace

CallLines::CallLines() : outer_(catching) {
    InstallSink();
    catching = &lines_;
}

CallLines::~CallLines() { catching = outer_; }

std::vector<DriverLine> CallLines::Take() {
    std::vector<DriverLine> taken;
    taken.swap(lines_);
    return taken;
}

void WatchDriverLines(LineWatcher w, void* context) {
    InstallSink();
    std::lock_guard<std::mutex> lock(watcherMutex);
    watcher = w;
    watcherContext = context;
}

std::optional<unsigned> PanelIdIn(const std::vector<DriverLine>& lines) {
    static const char Marker[] = "TRACKER Ver.ID = 0x";
    for (const DriverLine& line : lines) {
        const char* at = std::strstr(line.text.c_str(), Marker);
        unsigned id = 0;
        if (at != nullptr && std::sscanf(at + sizeof Marker - 1, "%x", &id) == 1) return id;
    }
    return std::nullopt;
}

std::optional<std::int32_t> HandshakeFailureIn(const std::vector<DriverLine>& lines) {
    static const char Marker[] = "ColdStart(): Fail rc = ";
    for (const DriverLine& line : lines) {
        const char* at = std::strstr(line.text.c_str(), Marker);
        int rc = 0;
        if (at != nullptr && std::sscanf(at + sizeof Marker - 1, "%d", &rc) == 1) return rc;
    }
    return std::nullopt;
}

bool PortFailureIn(const std::vector<DriverLine>& lines) {
    for (const DriverLine& line : lines) {
        if (line.text.find("SendStr(): rc = 7") != std::string::npos ||
            line.text.find("RecvStr(): rc = 7") != std::string::npos)
            return true;
    }
    return false;
}

} // namespace zulclient
