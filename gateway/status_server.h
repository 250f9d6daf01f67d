// The status server, one HTTP listener ([http] listen) for people and for
// monitoring: "/" the status page, which polls "/api/state", "/metrics"
// (Prometheus text format) and "/health" (see status_json.h). Read only:
// nothing here writes to a panel.
//
// It holds against what a network throws at it (libmicrohttpd, one thread
// that polls every connection through epoll, so a slow client holds up no
// other): at most MaxConnections at once and MaxConnectionsPerAddress from
// one address; a request's line and headers within ConnectionMemory; a
// request that is not whole and answered within RequestDeadline of its
// connection (or of its previous answer) closed, however its bytes trickle
// in; an idle connection closed after IdleTimeout; a body never read. A
// stop closes every connection at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <list>
#include <string>
#include <thread>

#include "gateway/change_notice.h"
#include "gateway/config.h"
#include "gateway/log.h"
#include "gateway/metrics.h"
#include "gateway/point_store.h"
#include "gateway/status_json.h"

struct MHD_Daemon;

namespace zulgate {

extern const char* const StatusPage; // the page's HTML, embedded at build time

constexpr unsigned MaxConnections = 64;
constexpr unsigned MaxConnectionsPerAddress = 16;
constexpr std::size_t ConnectionMemory = 32 * 1024; // request line and headers, with the reading buffer
constexpr std::chrono::seconds RequestDeadline{10};
constexpr std::chrono::seconds IdleTimeout{5};

class StatusServer {
public:
    StatusServer(const CheckedConfig& checked, const PointStore& store, Metrics& metrics, Log& log);
    ~StatusServer();
    StatusServer(const StatusServer&) = delete;
    StatusServer& operator=(const StatusServer&) = delete;

    // Binds and listens; false with a message.
    bool Listen(std::string& error);
    // Serves, from a thread of its own; false with a message.
    bool Start(std::string& error);
    // No new request; every connection closed at once.
    void Stop();

private:
    friend struct StatusCallbacks; // the library's callbacks

    struct Answer {
        Answer() = default;
        Answer(unsigned s, std::string t, std::string b) : status(s), type(std::move(t)), body(std::move(b)) {}
        unsigned status = 200;
        std::string type;
        std::string body;
        const char* page = nullptr; // instead of body: text that outlives the server
        std::string allow;          // with 405
    };
    struct Connection {
        int fd = -1;
        std::string who;
        Clock::time_point began; // of the request now awaited or answered
        bool closing = false;
    };
    Answer Route(const std::string& method, const std::string& path) const;
    void Loop();
    // Shuts the connections whose request has run past the deadline; the
    // library then closes them. The time until the next deadline.
    Clock::duration CloseOverdue(Clock::time_point now);

    const CheckedConfig& checked_;
    const PointStore& store_;
    Metrics& metrics_;
    Log& log_;
    int listenFd_ = -1;
    ChangeNotice wake_; // the stop
    MHD_Daemon* daemon_ = nullptr;
    std::thread thread_;
    std::list<Connection> connections_; // the server's thread only (and Stop, after it)
    Episodes full_;
};

} // namespace zulgate
