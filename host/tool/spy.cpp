#include "host/tool/spy.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "platform/linux/line_speed.h"
#include "platform/linux/port_names.h"
#include "trace/line_decoder.h"

namespace zulhost {
namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t signalled = 0;
extern "C" void OnStopSignal(int) { signalled = 1; }

bool Fail(std::string* error, const std::string& what) {
    if (error) *error = what;
    return false;
}

// The real device, raw, exclusive, in the line format given.
int OpenReal(const SpySetup& s, std::string* error) {
    ResolvedPortName device = ResolvePortName(s.realPort.c_str());
    if (device.kind == PortNameKind::Invalid || device.kind == PortNameKind::Null) {
        Fail(error, "no device for the name '" + s.realPort + "'");
        return -1;
    }
    int fd = open(device.path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Fail(error, std::string("cannot open ") + device.path + ": " + std::strerror(errno));
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        Fail(error, std::string(device.path) + " is in use by another program");
        close(fd);
        return -1;
    }
    termios t{};
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
        t.c_cflag |= s.dataBits == 7 ? CS7 : s.dataBits == 6 ? CS6 : s.dataBits == 5 ? CS5 : CS8;
        if (s.parity == 1) t.c_cflag |= PARENB | PARODD;
        if (s.parity == 2) t.c_cflag |= PARENB;
        if (s.stopBits == 2) t.c_cflag |= CSTOPB;
        speed_t speed = SpeedCode(s.baud);
        if (speed == B0) {
            Fail(error, "the spy cannot set " + std::to_string(s.baud) + " baud");
            close(fd);
            return -1;
        }
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

// What of the host's line format a pseudo-terminal keeps (its master reads
// it back) though it does not use it: the speed and the stop bits. It forces
// 8 bits and no parity, so those come from the spy's own options.
struct LineFormat {
    tcflag_t cflag = 0; // the stop bits
    speed_t speed = B0;
    bool operator==(const LineFormat& o) const { return cflag == o.cflag && speed == o.speed; }
};
constexpr tcflag_t FormatBits = CSTOPB;

LineFormat FormatOf(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return {};
    return {t.c_cflag & FormatBits, cfgetospeed(&t)};
}

void SetFormat(int fd, const LineFormat& format) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return;
    t.c_cflag = (t.c_cflag & ~FormatBits) | format.cflag;
    cfsetispeed(&t, format.speed);
    cfsetospeed(&t, format.speed);
    tcsetattr(fd, TCSANOW, &t);
}

std::string Describe(const LineFormat& f) {
    unsigned long baud = BaudOf(f.speed);
    std::string text = baud ? std::to_string(baud) : "?";
    return text + " baud, " + ((f.cflag & CSTOPB) ? "2 stop bits" : "1 stop bit");
}

// One direction of the tap: what was read and still waits to be written.
struct Pipe {
    int from, to;
    zultrace::Direction direction;
    std::vector<std::uint8_t> pending;
    std::vector<Clock::time_point> readAt; // per byte still pending
};

} // namespace

bool Spy(const SpySetup& setup, const std::function<void(const std::string&)>& ready,
         const std::function<void(const std::string&)>& decoded, const volatile bool* stop, SpyStats& stats,
         std::string* error) {
    int real = OpenReal(setup, error);
    if (real < 0) return false;
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    char name[128] = {};
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
        if (master >= 0) close(master);
        close(real);
        return Fail(error, std::string("no pseudo-terminal: ") + std::strerror(errno));
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    // The host's side starts in the device's format, so any change is the host's.
    LineFormat hostSet = FormatOf(real);
    SetFormat(master, hostSet);
    if (!setup.link.empty()) {
        std::string temp = setup.link + ".new";
        unlink(temp.c_str());
        if (symlink(name, temp.c_str()) != 0 || rename(temp.c_str(), setup.link.c_str()) != 0) {
            std::string why = std::strerror(errno);
            unlink(temp.c_str());
            close(master);
            close(real);
            return Fail(error, "cannot link " + setup.link + ": " + why);
        }
    }
    zultrace::PcapWriter pcap;
    if (!setup.pcap.empty() && !pcap.Open(setup.pcap, error)) {
        if (!setup.link.empty()) unlink(setup.link.c_str());
        close(master);
        close(real);
        return false;
    }
    ready(name);

    zultrace::LineDecoder decoder;
    double origin = -1;
    auto show = [&](const std::vector<zultrace::Item>& items) {
        for (const zultrace::Item& item : items) {
            if (origin < 0 && item.time >= 0) origin = item.time;
            if (decoded) decoded(zultrace::FormatItem(item, origin));
        }
    };
    Pipe toPanel{master, real, zultrace::Direction::HostToPanel, {}, {}};
    Pipe toHost{real, master, zultrace::Direction::PanelToHost, {}, {}};
    auto deadline = setup.seconds > 0
                        ? Clock::now() +
                              std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(setup.seconds))
                        : Clock::time_point::max();
    std::uint8_t buffer[4096];
    // Reads what waits on one side, records it and forwards what the other takes.
    auto take = [&](Pipe& p) -> bool {
        ssize_t n = read(p.from, buffer, sizeof buffer);
        if (n <= 0) return n < 0 && (errno == EAGAIN || errno == EINTR);
        Clock::time_point at = Clock::now();
        pcap.Record(p.direction, buffer, static_cast<std::size_t>(n));
        zultrace::Chunk chunk;
        chunk.time = zultrace::UnixNow();
        chunk.direction = p.direction;
        chunk.bytes.assign(buffer, buffer + n);
        show(decoder.Feed(chunk));
        (p.direction == zultrace::Direction::HostToPanel ? stats.toPanel
                                                         : stats.toHost) += static_cast<std::uint64_t>(n);
        ++stats.chunks;
        p.pending.insert(p.pending.end(), buffer, buffer + n);
        p.readAt.insert(p.readAt.end(), static_cast<std::size_t>(n), at);
        return true;
    };
    auto give = [&](Pipe& p) -> bool {
        while (!p.pending.empty()) {
            ssize_t w = write(p.to, p.pending.data(), p.pending.size());
            if (w < 0) return errno == EAGAIN || errno == EINTR;
            auto done = static_cast<std::size_t>(w);
            Clock::time_point now = Clock::now();
            // A chunk is forwarded when its last byte is; each such byte ends one.
            for (std::size_t i = 0; i < done; ++i) {
                if (i + 1 == done || p.readAt[i + 1] != p.readAt[i]) {
                    stats.forwardUs.push_back(std::chrono::duration<double, std::micro>(now - p.readAt[i]).count());
                }
            }
            p.pending.erase(p.pending.begin(), p.pending.begin() + static_cast<std::ptrdiff_t>(done));
            p.readAt.erase(p.readAt.begin(), p.readAt.begin() + static_cast<std::ptrdiff_t>(done));
            if (done == 0) return true;
        }
        return true;
    };

    for (;;) {
        if (signalled || (stop && *stop)) {
            stats.ended = "stopped";
            break;
        }
        if (Clock::now() >= deadline) {
            stats.ended = "time is up";
            break;
        }
        pollfd fds[2] = {{master, static_cast<short>(POLLIN | (toHost.pending.empty() ? 0 : POLLOUT)), 0},
                         {real, static_cast<short>(POLLIN | (toPanel.pending.empty() ? 0 : POLLOUT)), 0}};
        int r = poll(fds, 2, 50);
        if (r < 0) {
            if (errno == EINTR) continue;
            stats.ended = std::string("poll: ") + std::strerror(errno);
            break;
        }
        if (fds[1].revents & POLLIN) {
            if (!take(toHost)) {
                stats.ended = "the device went away";
                break;
            }
        } else if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            stats.ended = "the device went away";
            break;
        }
        if (fds[0].revents & POLLIN) take(toPanel);
        // The device follows the host's speed and format before the host's
        // bytes reach it (the driver sets the line up before it sends).
        LineFormat host = FormatOf(master);
        if (host.speed != B0 && !(host == hostSet)) {
            hostSet = host;
            SetFormat(real, host);
            bool followed = FormatOf(real) == host;
            if (decoded)
                decoded("spy: the host set " + Describe(host) +
                        (followed ? "; the device follows" : "; the device refused it"));
        }
        give(toPanel);
        give(toHost);
        // The master sees a hang-up once the host has closed its end: the
        // host's session is over (before its first open there is none).
        if ((fds[0].revents & POLLHUP) && !(fds[0].revents & POLLIN)) {
            stats.ended = "the host closed the port";
            break;
        }
    }
    show(decoder.Finish());
    if (!setup.link.empty()) unlink(setup.link.c_str());
    close(master);
    close(real);
    return true;
}

int RunSpy(Report& report, const Options& options) {
    SpySetup setup;
    setup.realPort = options.portName;
    setup.link = options.linkPath;
    setup.baud = options.baudRate.value_or(9600);
    setup.dataBits = options.dataBits.value_or(8);
    setup.parity = options.parityCode.value_or(0);
    setup.stopBits = options.stopBitsCode.value_or(0);
    setup.pcap = options.pcapPath;
    setup.seconds = options.spySeconds;
    if (setup.parity > 2 || setup.stopBits == 1)
        return report.FailTool("spy: mark, space and 1.5 stop bits are not supported", ExitUsage);

    signalled = 0;
    auto previousInt = std::signal(SIGINT, OnStopSignal);
    auto previousTerm = std::signal(SIGTERM, OnStopSignal);
    SpyStats stats;
    std::string error;
    bool quiet = options.logMode == LogMode::Quiet;
    bool ok = Spy(
        setup,
        [&](const std::string& pty) {
            report.Data()["pty"] = pty;
            report.Data()["link"] = setup.link;
            report.Data()["device"] = setup.realPort;
            std::printf("spy: %s%s%s <-> %s, %u baud%s\n", pty.c_str(), setup.link.empty() ? "" : " (",
                        setup.link.empty() ? "" : (setup.link + ")").c_str(), setup.realPort.c_str(), setup.baud,
                        setup.pcap.empty() ? "" : (", capture " + setup.pcap).c_str());
            std::fflush(stdout);
        },
        [&](const std::string& line) {
            if (quiet || report.Json()) return;
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        },
        nullptr, stats, &error);
    std::signal(SIGINT, previousInt);
    std::signal(SIGTERM, previousTerm);
    if (!ok) return report.FailTool("spy: " + error, ExitUnavailable);

    std::vector<double> us = stats.forwardUs;
    std::sort(us.begin(), us.end());
    auto at = [&](double q) {
        return us.empty() ? 0.0 : us[std::min(us.size() - 1, static_cast<std::size_t>(q * us.size()))];
    };
    nlohmann::json& d = report.Data();
    d["ended"] = stats.ended;
    d["bytesToPanel"] = stats.toPanel;
    d["bytesToHost"] = stats.toHost;
    d["chunks"] = stats.chunks;
    d["forwardingUs"] = {{"median", at(0.5)}, {"p95", at(0.95)}, {"max", us.empty() ? 0.0 : us.back()}};
    char line[200];
    std::snprintf(line, sizeof line,
                  "spy: %s; %llu bytes to the panel, %llu to the host in %llu chunks; forwarding median %.0f us, "
                  "p95 %.0f us, max %.0f us",
                  stats.ended.c_str(), static_cast<unsigned long long>(stats.toPanel),
                  static_cast<unsigned long long>(stats.toHost), static_cast<unsigned long long>(stats.chunks), at(0.5),
                  at(0.95), us.empty() ? 0.0 : us.back());
    report.Say(line);
    return 0;
}

} // namespace zulhost
