#include "gateway/status_server.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>

#include "gateway/checked_config.h"

namespace zulgate {

struct StatusCallbacks {
    static MHD_Result Handle(void* cls, MHD_Connection* connection, const char* url, const char* method,
                             const char* version, const char* upload, std::size_t* uploadSize, void** request);
    static void Notify(void* cls, MHD_Connection* connection, void** socketContext,
                       MHD_ConnectionNotificationCode code);
    static void Completed(void* cls, MHD_Connection* connection, void** request, MHD_RequestTerminationCode code);
    static void LibraryLog(void* cls, const char* format, va_list arguments);
};

namespace {

// The connection's own record, kept by the library as its socket context.
template <typename Record>
Record* RecordOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? static_cast<Record*>(info->socket_context) : nullptr;
}

std::string PeerOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info == nullptr || info->client_addr == nullptr) return "a client";
    char host[INET6_ADDRSTRLEN] = "?";
    if (info->client_addr->sa_family == AF_INET) {
        auto* v4 = reinterpret_cast<const sockaddr_in*>(info->client_addr);
        inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
        return std::string(host) + ":" + std::to_string(ntohs(v4->sin_port));
    }
    auto* v6 = reinterpret_cast<const sockaddr_in6*>(info->client_addr);
    inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
    return "[" + std::string(host) + "]:" + std::to_string(ntohs(v6->sin6_port));
}

int PollWait(Clock::duration d) {
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
    return static_cast<int>(std::clamp<long long>(ms, 0, 1000));
}

} // namespace

MHD_Result StatusCallbacks::Handle(void* cls, MHD_Connection* connection, const char* url, const char* method,
                                   const char*, const char*, std::size_t* uploadSize, void** request) {
    auto* self = static_cast<StatusServer*>(cls);
    // The first call brings the headers. A request without a body is
    // answered on the second call, once it is whole: answered on the first,
    // the library would close the connection (it cannot know there is no
    // body), and a keep-alive or pipelined next request would be lost. A
    // body is refused on the first call, so that it is never read: the
    // library closes that connection after the answer.
    const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    const char* coding = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING);
    bool body = coding != nullptr || (length != nullptr && std::strspn(length, "0") != std::strlen(length));
    static int headersSeen;
    if (*request == nullptr && !body) {
        *request = &headersSeen;
        return MHD_YES;
    }
    StatusServer::Answer answer;
    // A handler's failure is said and answered, never a silent 500.
    try {
        if (body || *uploadSize > 0) {
            answer = {413, "text/plain; charset=utf-8", "the status server takes no request body\n"};
        } else {
            answer = self->Route(method, url);
        }
    } catch (const std::exception& e) {
        self->log_.Say(Level::Error, "http", std::string(method) + " " + url + ": " + e.what() + ": answered 500");
        answer = {500, "text/plain; charset=utf-8", "the gateway could not make this answer; its log says why\n"};
    } catch (...) {
        self->log_.Say(Level::Error, "http", std::string(method) + " " + url + ": failed: answered 500");
        answer = {500, "text/plain; charset=utf-8", "the gateway could not make this answer; its log says why\n"};
    }
    MHD_Response* response = answer.page ? MHD_create_response_from_buffer(std::strlen(answer.page),
                                                                           const_cast<char*>(answer.page),
                                                                           MHD_RESPMEM_PERSISTENT)
                                         : MHD_create_response_from_buffer(answer.body.size(), answer.body.data(),
                                                                           MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.type.c_str());
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    if (!answer.allow.empty()) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, answer.allow.c_str());
    MHD_Result queued = MHD_queue_response(connection, answer.status, response);
    MHD_destroy_response(response);
    return queued;
}

void StatusCallbacks::Notify(void* cls, MHD_Connection* connection, void** socketContext,
                             MHD_ConnectionNotificationCode code) {
    auto* self = static_cast<StatusServer*>(cls);
    auto now = Clock::now();
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        self->connections_.push_back(
            StatusServer::Connection{info ? info->connect_fd : -1, PeerOf(connection), now, false});
        *socketContext = &self->connections_.back();
        if (self->connections_.size() >= MaxConnections && self->full_.Failed("connections", "full", now)) {
            self->log_.Say(Level::Warning, "http",
                           std::to_string(MaxConnections) +
                               " connections are open, the most the status server takes: later ones are refused "
                               "until one closes");
        }
        return;
    }
    auto* record = static_cast<StatusServer::Connection*>(*socketContext);
    self->connections_.remove_if([record](const StatusServer::Connection& c) { return &c == record; });
    *socketContext = nullptr;
    if (self->connections_.size() < MaxConnections && self->full_.Succeeded("connections", now))
        self->log_.Say(Level::Info, "http", "below the connection limit again");
}

void StatusCallbacks::Completed(void*, MHD_Connection* connection, void**, MHD_RequestTerminationCode) {
    // The next request on this connection has its own deadline.
    if (auto* record = RecordOf<StatusServer::Connection>(connection)) record->began = Clock::now();
}

void StatusCallbacks::LibraryLog(void* cls, const char* format, va_list arguments) {
    auto* self = static_cast<StatusServer*>(cls);
    if (!self->log_.Shows(Level::Debug)) return;
    char text[512];
    std::vsnprintf(text, sizeof text, format, arguments);
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    self->log_.Say(Level::Debug, "http", "libmicrohttpd: " + line);
}

StatusServer::StatusServer(const CheckedConfig& checked, const PointStore& store, Metrics& metrics, Log& log)
    : checked_(checked), store_(store), metrics_(metrics), log_(log) {}

StatusServer::~StatusServer() {
    Stop();
    if (listenFd_ >= 0) close(listenFd_);
}

StatusServer::Answer StatusServer::Route(const std::string& method, const std::string& path) const {
    const char* json = "application/json";
    bool known = path == "/" || path == "/api/state" || path == "/health" || path == "/metrics";
    if (!known)
        return {404, "text/plain; charset=utf-8",
                "not found: the status server has /, /api/state, /metrics and /health\n"};
    if (method != "GET" && method != "HEAD") {
        Answer refused(405, "text/plain; charset=utf-8", "the status server is read only: GET or HEAD\n");
        refused.allow = "GET, HEAD";
        return refused;
    }
    if (path == "/") {
        Answer page(200, "text/html; charset=utf-8", "");
        page.page = StatusPage;
        return page;
    }
    if (path == "/api/state") return {200, json, JsonText(StateJson(checked_, store_, metrics_, Clock::now()))};
    if (path == "/health") {
        bool ok = false;
        std::string body = JsonText(HealthJson(checked_, store_, Clock::now(), ok));
        return {ok ? 200u : 503u, json, body};
    }
    // /metrics. Values go stale between two reads, so their count is taken now.
    Clock::time_point now = Clock::now();
    for (std::size_t i = 0; i < store_.Panels(); ++i) {
        PanelSnapshot s = store_.Snapshot(i);
        std::size_t stale = 0;
        for (const StoredValue& v : s.values) stale += store_.Current(i, v, now) ? 0 : 1;
        metrics_.PointsStale(i, stale);
    }
    return {200, "text/plain; version=0.0.4; charset=utf-8", metrics_.Text()};
}

bool StatusServer::Listen(std::string& error) {
    const ListenAddress& at = checked_.config.http.listen;
    sockaddr_storage address{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET, at.host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<std::uint16_t>(at.port));
        length = sizeof *v4;
    } else if (inet_pton(AF_INET6, at.host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<std::uint16_t>(at.port));
        length = sizeof *v6;
    } else {
        error = "cannot listen on " + at.Text() + " for [http]: not an address";
        return false;
    }
    listenFd_ = socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    // SO_REUSEADDR only (a restart finds the port free at once); never
    // SO_REUSEPORT, which would let a second gateway share the address.
    int yes = 1;
    if (listenFd_ < 0 || setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
        bind(listenFd_, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(listenFd_, 64) != 0) {
        error = "cannot listen on " + at.Text() + " for [http]: " + std::strerror(errno);
        return false;
    }
    if (!wake_.Usable()) {
        error = "cannot listen for [http]: the system gave no eventfd";
        return false;
    }
    return true;
}

bool StatusServer::Start(std::string& error) {
    // Every connection in one thread of ours, through epoll: the deadlines
    // are kept between two runs of the library, on that same thread.
    daemon_ = MHD_start_daemon(MHD_USE_EPOLL | MHD_USE_ERROR_LOG, 0, nullptr, nullptr, &StatusCallbacks::Handle, this,
                               MHD_OPTION_EXTERNAL_LOGGER, &StatusCallbacks::LibraryLog, this, MHD_OPTION_LISTEN_SOCKET,
                               listenFd_, MHD_OPTION_CONNECTION_LIMIT, MaxConnections,
                               MHD_OPTION_PER_IP_CONNECTION_LIMIT, MaxConnectionsPerAddress,
                               MHD_OPTION_CONNECTION_MEMORY_LIMIT, ConnectionMemory, MHD_OPTION_CONNECTION_TIMEOUT,
                               static_cast<unsigned>(IdleTimeout.count()), MHD_OPTION_NOTIFY_CONNECTION,
                               &StatusCallbacks::Notify, this, MHD_OPTION_NOTIFY_COMPLETED, &StatusCallbacks::Completed,
                               this, MHD_OPTION_END);
    if (daemon_ == nullptr) {
        error = "cannot start the status server on " + checked_.config.http.listen.Text();
        return false;
    }
    listenFd_ = -1; // the library's now: it closes it when it stops
    log_.Say(Level::Info, "http", "status page, /metrics and /health on http://" + checked_.config.http.listen.Text());
    thread_ = std::thread([this] { Loop(); });
    return true;
}

void StatusServer::Loop() {
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_EPOLL_FD);
    const int epoll = info ? info->epoll_fd : -1;
    Clock::duration untilDeadline = std::chrono::seconds(1);
    for (;;) {
        int wait = PollWait(untilDeadline);
        MHD_UNSIGNED_LONG_LONG libraryWait = 0;
        if (MHD_get_timeout(daemon_, &libraryWait) == MHD_YES)
            wait = std::min<int>(wait, static_cast<int>(std::min<MHD_UNSIGNED_LONG_LONG>(libraryWait, 1000)));
        pollfd fds[2] = {{epoll, POLLIN, 0}, {wake_.Fd(), POLLIN, 0}};
        int ready = poll(fds, 2, wait);
        if (ready < 0 && errno != EINTR) {
            log_.Say(Level::Error, "http", std::string("the status server stopped: ") + std::strerror(errno));
            return;
        }
        if (fds[1].revents & POLLIN) return;
        MHD_run(daemon_);
        untilDeadline = CloseOverdue(Clock::now());
    }
}

Clock::duration StatusServer::CloseOverdue(Clock::time_point now) {
    Clock::duration next = std::chrono::seconds(1);
    for (Connection& c : connections_) {
        if (c.closing || c.fd < 0) continue;
        Clock::time_point due = c.began + RequestDeadline;
        if (now >= due) {
            // The library sees the connection end and closes it, on this thread.
            shutdown(c.fd, SHUT_RDWR);
            c.closing = true;
            log_.Say(Level::Debug, "http",
                     c.who + ": a request not whole and answered within " + std::to_string(RequestDeadline.count()) +
                         " s: its connection closed");
        } else {
            next = std::min(next, due - now);
        }
    }
    return next;
}

void StatusServer::Stop() {
    if (!thread_.joinable()) return;
    wake_.Raise();
    thread_.join();
    MHD_stop_daemon(daemon_); // closes every connection, and the listening socket
    daemon_ = nullptr;
}

} // namespace zulgate
