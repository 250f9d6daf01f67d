#include "gateway/modbus_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zulgate {
namespace {

// Once a frame's first byte has come, the rest of it must follow within this.
constexpr std::chrono::milliseconds FrameDeadline{2000};

std::string PeerOf(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return "a client";
    char host[INET6_ADDRSTRLEN] = "?";
    int port = 0;
    if (address.ss_family == AF_INET) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
        port = ntohs(v4->sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
    port = ntohs(v6->sin6_port);
    return "[" + std::string(host) + "]:" + std::to_string(port);
}

} // namespace

ModbusServer::ModbusServer(const ModbusConfig& config, const ModbusAnswer& answer, Metrics& metrics, Log& log)
    : config_(config), answer_(answer), metrics_(metrics), log_(log) {}

ModbusServer::~ModbusServer() {
    Stop();
    if (listener_) modbus_free(listener_);
    for (int fd : wake_) {
        if (fd >= 0) close(fd);
    }
}

bool ModbusServer::Listen(std::string& error) {
    std::string port = std::to_string(config_.listen.port);
    listener_ = modbus_new_tcp_pi(config_.listen.host.c_str(), port.c_str());
    if (listener_ == nullptr) {
        error = std::string("cannot make a Modbus TCP context: ") + modbus_strerror(errno);
        return false;
    }
    listenFd_ = modbus_tcp_pi_listen(listener_, config_.maxClients);
    if (listenFd_ < 0) {
        error = "cannot listen on " + config_.listen.Text() + ": " + modbus_strerror(errno);
        return false;
    }
    fcntl(listenFd_, F_SETFD, FD_CLOEXEC);
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    return true;
}

void ModbusServer::Start() {
    log_.Say(Level::Info, "modbus",
             "listening on " + config_.listen.Text() + " (at most " + std::to_string(config_.maxClients) +
                 " clients at once)");
    acceptThread_ = std::thread([this] { Accept(); });
}

void ModbusServer::Accept() {
    while (!stopping_) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        int r = poll(fds, 2, 1000);
        Reap(false);
        if (r <= 0 || !(fds[0].revents & POLLIN) || stopping_) continue;
        int server = listenFd_;
        int fd = modbus_tcp_pi_accept(listener_, &server);
        if (fd < 0) continue;
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        std::string who = PeerOf(fd);
        std::lock_guard<std::mutex> lock(clientsMutex_);
        if (clients_.size() >= static_cast<std::size_t>(config_.maxClients)) {
            close(fd);
            if (full_.Failed("clients", "full", std::chrono::steady_clock::now())) {
                log_.Say(Level::Warning, "modbus",
                         std::to_string(config_.maxClients) + " clients are connected, the most max_clients allows: " +
                             who + " and later ones are closed at once until one leaves");
            }
            continue;
        }
        if (full_.Succeeded("clients", std::chrono::steady_clock::now())) {
            log_.Say(Level::Info, "modbus", "below max_clients again");
        }
        log_.Say(Level::Debug, "modbus", who + ": connected");
        auto client = std::make_unique<Client>();
        client->fd = fd;
        client->who = who;
        Client& c = *client;
        clients_.push_back(std::move(client));
        metrics_.ModbusClient(true);
        c.thread = std::thread([this, &c] { Serve(c); });
    }
}

void ModbusServer::Serve(Client& client) {
    // libmodbus makes the answers; the frames are read by their MBAP header
    // (mbap.h), never by libmodbus's receive, which sizes them by function.
    std::string port = std::to_string(config_.listen.port);
    modbus_t* ctx = modbus_new_tcp_pi(config_.listen.host.c_str(), port.c_str());
    if (ctx != nullptr) {
        modbus_set_socket(ctx, client.fd);
        MbapFrame frame;
        while (!stopping_) {
            std::string why;
            FrameRead got = ReadMbapFrame(client.fd, config_.idleTimeout, FrameDeadline, frame, why);
            if (got == FrameRead::Idle && !stopping_) {
                log_.Say(Level::Debug, "modbus",
                         client.who + ": nothing for " + std::to_string(config_.idleTimeout.count()) +
                             " s: disconnected");
            }
            if (got == FrameRead::Frame) {
                if (std::optional<std::string> mismatch = PduLengthMismatch(frame)) {
                    got = FrameRead::Refused;
                    why = *mismatch;
                }
            }
            if (got == FrameRead::Refused) {
                // Nothing of it is run: a frame that contradicts its header
                // may hide another request.
                log_.Say(Level::Debug, "modbus", client.who + ": " + why + ": not Modbus TCP, disconnected");
            }
            if (got != FrameRead::Frame) break;
            client.busy = true;
            answer_.Answer(ctx, frame, client.who);
            metrics_.ModbusRequest();
            client.busy = false;
        }
        modbus_set_socket(ctx, -1);
        modbus_free(ctx);
    }
    // The client sees the end now; the descriptor is closed when the thread
    // is reaped, so that it is never reused while this record names it.
    shutdown(client.fd, SHUT_RDWR);
    log_.Say(Level::Debug, "modbus", client.who + ": gone");
    metrics_.ModbusClient(false);
    client.done = true;
}

void ModbusServer::Reap(bool all) {
    std::list<std::unique_ptr<Client>> finished;
    {
        std::lock_guard<std::mutex> lock(clientsMutex_);
        for (auto it = clients_.begin(); it != clients_.end();) {
            if (all || (*it)->done) {
                finished.push_back(std::move(*it));
                it = clients_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : finished) {
        if (c->thread.joinable()) c->thread.join();
        close(c->fd);
    }
}

void ModbusServer::Stop() {
    if (stopping_.exchange(true)) return;
    if (wake_[1] >= 0) {
        char one = 1;
        ssize_t ignored = write(wake_[1], &one, 1);
        (void)ignored;
    }
    if (acceptThread_.joinable()) acceptThread_.join();
    if (listenFd_ >= 0) {
        close(listenFd_);
        listenFd_ = -1;
    }
    // A client whose write a panel's worker has just finished gets its
    // answer before its connection closes.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        bool busy = false;
        {
            std::lock_guard<std::mutex> lock(clientsMutex_);
            for (auto& c : clients_) busy = busy || c->busy;
        }
        if (!busy || std::chrono::steady_clock::now() >= until) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    {
        // Wakes every client thread out of its receive.
        std::lock_guard<std::mutex> lock(clientsMutex_);
        for (auto& c : clients_) shutdown(c->fd, SHUT_RDWR);
    }
    Reap(true);
}

} // namespace zulgate
