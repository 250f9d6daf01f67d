#include "gateway/worker/panel_worker.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <deque>

#include "gateway/checked_config.h"
#include "gateway/panel_link.h"
#include "gateway/worker/channel.h"
#include "gateway/worker/protocol.h"
#include "gateway/worker/worker_output.h"
#include "host/client/library_loader.h"
#include "host/client/port_lookup.h"

namespace zulgate::worker {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds SetupWait{10000};  // the gateway sends it as soon as the worker runs
constexpr milliseconds TakenWait{5000};   // the gateway answers at once
constexpr milliseconds LongestIdle{1000}; // between two looks at the connection, with nothing due

// Waits for the connection to have something to read, at most `wait`.
void AwaitInput(int fd, Clock::duration wait) {
    auto ms = std::chrono::ceil<milliseconds>(wait).count();
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, static_cast<int>(std::clamp<long long>(ms, 0, LongestIdle.count())));
}

void SayOver(Channel& channel, Level level, const std::string& who, const std::string& text) {
    channel.Send(MessageWriter(MessageKind::Say).U8(static_cast<std::uint8_t>(level)).Text(who).Text(text).Bytes());
}

// The writes, the stop and the take answers that the gateway sends.
class Inbox {
public:
    explicit Inbox(Channel& channel) : channel_(channel) {}

    struct Write {
        std::uint64_t id = 0;
        WriteRequest request;
    };

    // Reads what has come; false when the gateway is gone or a message is bad
    // (status says which).
    bool Collect(const PanelMap& map) {
        std::vector<std::uint8_t> message;
        for (;;) {
            Channel::Got got = channel_.Receive(message);
            if (got == Channel::Got::Nothing) return true;
            if (got != Channel::Got::Message) return Fail(ExitGatewayGone);
            MessageReader m(message);
            switch (m.Kind()) {
            case MessageKind::Write: {
                Write w;
                w.id = m.U64();
                w.request.writes = GetWrites(m);
                if (!m.Done() || !Fits(w.request, map)) return Fail(ExitBadMessage);
                writes.push_back(std::move(w));
                break;
            }
            case MessageKind::Taken: {
                std::uint64_t id = m.U64();
                bool yes = m.U8() != 0;
                if (!m.Done()) return Fail(ExitBadMessage);
                if (id == asked_) taken_ = yes ? 1 : 0;
                break;
            }
            case MessageKind::Stop:
                stop = true;
                break;
            default:
                return Fail(ExitBadMessage);
            }
        }
    }

    // Asks whether write `id` may run; no (and false) when the answer does
    // not come.
    bool Take(std::uint64_t id, const PanelMap& map) {
        asked_ = id;
        taken_ = -1;
        if (!channel_.Send(MessageWriter(MessageKind::Take).U64(id).Bytes())) return Fail(ExitGatewayGone);
        for (auto until = Clock::now() + TakenWait; taken_ < 0 && Clock::now() < until;) {
            if (!Collect(map)) return false;
            if (taken_ < 0) AwaitInput(channel_.Fd(), until - Clock::now());
        }
        return taken_ == 1;
    }

    std::deque<Write> writes;
    bool stop = false;
    int status = 0; // the exit status, once Collect has failed

private:
    bool Fail(int why) {
        status = why;
        return false;
    }
    // Every element the request names is its point's.
    static bool Fits(const WriteRequest& request, const PanelMap& map) {
        for (const PointWrite& w : request.writes) {
            if (w.point >= map.Points().size() || w.firstElement < 0 || w.values.empty()) return false;
            const MappedPoint& p = map.Points()[w.point];
            if (static_cast<std::size_t>(w.firstElement) + w.values.size() > static_cast<std::size_t>(p.count))
                return false;
        }
        return true;
    }

    Channel& channel_;
    std::uint64_t asked_ = 0;
    int taken_ = -1;
};

} // namespace

int RunPanelWorker(int fd) {
    // Killed when the gateway's thread that started it ends, however it ends.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    signal(SIGTERM, SIG_IGN);
    signal(SIGINT, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    Channel channel(fd, true);
    std::vector<std::uint8_t> message;
    for (auto until = Clock::now() + SetupWait;;) {
        Channel::Got got = channel.Receive(message);
        if (got == Channel::Got::Message) break;
        if (got != Channel::Got::Nothing || Clock::now() >= until) return ExitSetupFailed;
        AwaitInput(fd, until - Clock::now());
    }
    WorkerSetup setup;
    if (!DecodeSetup(message, setup)) return ExitBadMessage;

    // The panel as the gateway checked it, with this process's own driver.
    zulclient::DriverLibrary library;
    std::string error;
    if (!library.Load(setup.library, setup.librarySearch, &error)) {
        SayOver(channel, Level::Error, "gateway", "a panel's worker: " + error);
        return ExitSetupFailed;
    }
    GatewayConfig config;
    Diagnostics d;
    ParseConfig(setup.configText, setup.configPath, config, d);
    if (setup.panel >= config.panels.size()) {
        SayOver(channel, Level::Error, "gateway",
                "a panel's worker: the configuration has no panel " + std::to_string(setup.panel + 1));
        return ExitSetupFailed;
    }
    const PanelConfig& panel = config.panels[setup.panel];
    zulclient::DriverClient checker(library.Entry(), 0);
    DriverInfo info{};
    checker.GetInfo(info);
    AddressChecker check = [&checker](const std::string& text) { return checker.PointOf(text); };
    PanelMap map;
    zulclient::LineSettings line;
    CheckPanel(config, panel, &setup.pointsText, check, info, map, line, d);
    if (!d.Empty()) {
        SayOver(channel, Level::Error, panel.name, "its worker refuses the setup: " + d.All().front().Text());
        return ExitSetupFailed;
    }

    // This process drives one panel, on one thread: its driver's connects
    // to a device server wait no longer than its replies may.
    zulclient::BoundDeviceServerConnects(zulclient::DeviceServerConnectWait(panel.responseTimeout));

    WorkerOutput out(channel, map.ValueCount(), panel.stale, setup.threshold);
    PanelSetup linkSetup;
    linkSetup.index = setup.panel;
    linkSetup.config = &panel;
    linkSetup.map = &map;
    linkSetup.line = line;
    linkSetup.port = setup.port;
    PanelLink link(linkSetup, library.Entry(), out);
    if (!channel.Send(MessageWriter(MessageKind::Ready).U64(map.ValueCount()).Bytes())) return ExitGatewayGone;

    // Writes first, one at a time in the order they came; then the poll
    // steps. The connection is looked at between two requests, never during one.
    Inbox inbox(channel);
    while (out.Connected()) {
        if (!inbox.Collect(map)) return inbox.status;
        if (inbox.stop) {
            for (const Inbox::Write& w : inbox.writes) {
                channel.Send(MessageWriter(MessageKind::Outcome)
                                 .U64(w.id)
                                 .U8(static_cast<std::uint8_t>(WriteOutcome::Stopping))
                                 .Bytes());
            }
            link.Close();
            return 0;
        }
        if (!inbox.writes.empty()) {
            Inbox::Write w = std::move(inbox.writes.front());
            inbox.writes.pop_front();
            if (inbox.Take(w.id, map)) {
                WriteOutcome outcome = link.Write(w.request);
                channel.Send(
                    MessageWriter(MessageKind::Outcome).U64(w.id).U8(static_cast<std::uint8_t>(outcome)).Bytes());
            } else if (inbox.status != 0) {
                return inbox.status;
            }
            continue;
        }
        Clock::time_point now = Clock::now();
        if (link.NextDue() <= now) {
            link.Step(now);
            continue;
        }
        AwaitInput(fd, link.NextDue() - now);
    }
    return ExitGatewayGone;
}

} // namespace zulgate::worker
