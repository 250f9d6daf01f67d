// Modbus TCP: a listening socket (libmodbus's), and a thread for each client
// with its own libmodbus context for the answers, so that a client waiting
// for a write never holds up another one's reads. Requests are read frame by
// frame as their MBAP header delimits them (mbap.h); a frame that
// contradicts its header, or is not Modbus, closes the connection with
// nothing of it run. At most max_clients at once
// (another is closed at once, and that is logged); a client that sends
// nothing for idle_timeout_s is disconnected.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "gateway/config.h"
#include "gateway/log.h"
#include "gateway/metrics.h"
#include "gateway/modbus_answer.h"

namespace zulgate {

class ModbusServer {
public:
    ModbusServer(const ModbusConfig& config, const ModbusAnswer& answer, Metrics& metrics, Log& log);
    ~ModbusServer();
    ModbusServer(const ModbusServer&) = delete;
    ModbusServer& operator=(const ModbusServer&) = delete;

    // Binds and listens; false with a message.
    bool Listen(std::string& error);
    void Start();
    // No new client; every client's connection closed, their threads done.
    void Stop();

private:
    struct Client {
        int fd = -1;
        std::string who;
        std::thread thread;
        std::atomic<bool> done{false};
        std::atomic<bool> busy{false}; // between a request and its answer
    };
    void Accept();
    void Serve(Client& client);
    void Reap(bool all);

    const ModbusConfig& config_;
    const ModbusAnswer& answer_;
    Metrics& metrics_;
    Log& log_;
    modbus_t* listener_ = nullptr;
    int listenFd_ = -1;
    int wake_[2] = {-1, -1};
    std::thread acceptThread_;
    std::atomic<bool> stopping_{false};
    std::mutex clientsMutex_;
    std::list<std::unique_ptr<Client>> clients_;
    Episodes full_;
};

} // namespace zulgate
