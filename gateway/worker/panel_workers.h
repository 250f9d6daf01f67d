// The panels' workers, seen from the gateway: one process a panel (zulgate
// run again with --panel-worker), each with its own copy of the driver, so
// that each panel's line is driven on its own and a silent panel, a long
// handshake or a crash costs no other panel anything. One thread here
// starts them, hands each its panel's writes, applies what they report to
// the one point store, metrics and log that every front end reads, and
// starts a worker again (after 1 s, doubling to a minute) when it ends
// without being asked to; meanwhile its panel is away and its writes are
// answered.
//
// A stop: writes not yet running are refused; every worker is told to stop
// and finishes the request on its line, closes its port and exits; a worker
// in a handshake or probing a silent panel is killed at once, any other
// after StopGrace, and the kernel closes its port. Stop returns when every
// worker has been reaped, so every port is closed.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gateway/checked_config.h"
#include "gateway/log.h"
#include "gateway/metrics.h"
#include "gateway/point_store.h"
#include "gateway/worker/channel.h"
#include "gateway/write_queue.h"

namespace zulgate::worker {

// What runs as a worker: zulgate itself, and the driver file it loaded.
struct WorkerProgram {
    std::string path = "/proc/self/exe";
    std::string library;
    bool librarySearch = false;
};

constexpr std::chrono::milliseconds StopGrace{2500};

class PanelWorkers {
public:
    // ports: by panel, the name each worker's driver opens.
    PanelWorkers(const CheckedConfig& checked, std::vector<std::string> ports, const WorkerProgram& program,
                 PointStore& store, Metrics& metrics, Log& log, WriteQueue& writes);
    ~PanelWorkers();
    PanelWorkers(const PanelWorkers&) = delete;
    PanelWorkers& operator=(const PanelWorkers&) = delete;

    // Starts the thread, which starts the workers; false with a message.
    bool Start(std::string& error);
    void Stop();

    // The workers' process ids now, by panel (-1 while one is not running).
    std::vector<pid_t> Pids() const;

private:
    struct Worker {
        std::size_t panel = 0;
        pid_t pid = -1;
        int pidfd = -1; // readable once the process has ended
        std::unique_ptr<Channel> channel;
        bool ready = false;
        const char* asking = nullptr; // the kind of request on its line
        bool stopSent = false;
        std::string killedFor; // why the gateway killed it, if it did
        Clock::time_point started, restartAt;
        Clock::duration backOff{};
        std::uint64_t nextWrite = 0;
        std::map<std::uint64_t, std::shared_ptr<WriteTicket>> given; // writes handed to it, by id
        std::set<std::uint64_t> running;                             // of those, the ones it took
    };

    void Run();
    void Spawn(Worker& w);
    void Read(Worker& w);
    bool Apply(Worker& w, const std::vector<std::uint8_t>& message);
    void Reap(Worker& w, bool wait);
    static void ScheduleRestart(Worker& w, Clock::time_point now); // after its back-off, which then doubles
    void Kill(Worker& w, const std::string& why);
    void Dispatch();
    void BeginStop();
    void Answer(Worker& w, WriteOutcome notTaken);
    bool Send(Worker& w, const std::vector<std::uint8_t>& message);

    const CheckedConfig& checked_;
    std::vector<std::string> ports_;
    WorkerProgram program_;
    std::string shownName_; // the program as ps shows it
    PointStore& store_;
    Metrics& metrics_;
    Log& log_;
    WriteQueue& writes_;
    std::vector<Worker> workers_;
    mutable std::mutex pidsMutex_;
    std::vector<pid_t> pids_;
    int wake_ = -1; // an eventfd: writes came, or Stop
    std::atomic<bool> stopRequested_{false};
    bool stopping_ = false;
    Clock::time_point stopDeadline_;
    std::thread thread_;
};

} // namespace zulgate::worker
