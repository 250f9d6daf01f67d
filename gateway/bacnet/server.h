// The BACnet/IP server without its socket: datagrams in, datagrams out, at
// times the caller gives, so that it runs the same in the UDP thread, in
// tests on a fake clock and under the fuzzer. Only that one thread calls
// Receive and Service; ValuesChanged and the completion of writes come from
// any thread and ask, through the wake function, for a Service soon.
//
// A WriteProperty waits for its write without holding anything up: the
// acknowledgement (or the error) is sent from Service when the panel's
// answer is known, or when `writeWait` has passed without one. Writes to
// one object are made one after another, in the order they came.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "gateway/bacnet/commands.h"
#include "gateway/bacnet/cov.h"
#include "gateway/bacnet/envelope.h"
#include "gateway/bacnet/object_table.h"

namespace zulgate::bacnet {

struct ServerOptions {
    std::size_t maxSubscriptions = 100;
    std::size_t maxPendingWrites = 32; // beyond them a write is refused (device, device-busy)
    std::chrono::milliseconds writeWait{10000};
};

struct Outgoing {
    Reach reach = Reach::Unicast;
    Endpoint to; // Unicast only; a broadcast goes where the transport broadcasts
    Bytes datagram;
};

class Server {
public:
    Server(ObjectTable table, ValueSource& source, ServerOptions options = {});
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // The server's thread.
    void Receive(const std::uint8_t* data, std::size_t size, Endpoint sender, Clock::time_point now,
                 std::vector<Outgoing>& out);
    void Service(Clock::time_point now, std::vector<Outgoing>& out);
    // When Service must run next at the latest, if at all.
    std::optional<Clock::time_point> NextDeadline() const;
    std::size_t Subscriptions() const { return cov_.Size(); }

    // Any thread.
    void ValuesChanged();
    // `wake` must return at once and must not call the server.
    void SetWake(std::function<void()> wake);

private:
    struct Completion {
        std::uint64_t token;
        WriteOutcome outcome;
    };
    // Shared with the writes in flight, which may finish after the server.
    struct Inbox {
        std::mutex mutex;
        std::vector<Completion> completions;
        std::function<void()> wake;
        void Wake();
    };
    struct PendingWrite {
        std::uint64_t token = 0;
        Peer asker;
        std::uint8_t invokeId = 0;
        Command command;
        Plan plan;
        bool started = false;
        Clock::time_point deadline{};
    };

    void Confirmed(const Request& request, const Peer& from, Clock::time_point now, std::vector<Outgoing>& out);
    void Unconfirmed(const Request& request, const Incoming& incoming, std::vector<Outgoing>& out);
    Answer WriteProperty(const Request& request, const Peer& from, Clock::time_point now, std::vector<Outgoing>& out);
    // Runs the writes at the head of an object's queue until one waits for the panel.
    void Advance(std::deque<PendingWrite>& queue, Clock::time_point now, std::vector<Outgoing>& out);
    void Finish(std::deque<PendingWrite>& queue, WriteOutcome outcome, std::vector<Outgoing>& out);
    void Send(const Peer& to, const Bytes& apdu, std::vector<Outgoing>& out);
    std::size_t Pending() const;

    ObjectTable table_;
    ValueSource& source_;
    ServerOptions options_;
    CovTable cov_;
    std::map<std::uint32_t, std::deque<PendingWrite>> writes_; // by object
    std::uint64_t nextToken_ = 1;
    std::shared_ptr<Inbox> inbox_;
    std::atomic<bool> changed_{false};
};

} // namespace zulgate::bacnet
