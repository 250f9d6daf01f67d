#include "gateway/worker/panel_workers.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

#include "gateway/worker/panel_worker.h"
#include "gateway/worker/protocol.h"

extern char** environ;

namespace zulgate::worker {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr Clock::duration FirstBackOff = seconds(1);
constexpr Clock::duration LongestBackOff = seconds(60);
constexpr Clock::duration SteadyRun = seconds(60); // a worker that ran this long starts the back-off again
constexpr milliseconds ReapTick{100};              // where there is no pidfd to say a worker ended

bool Abandoned(const char* kind) {
    // A handshake, or a probe of a silent panel: nothing to finish.
    return kind != nullptr && (std::string(kind) == "coldstart" || std::string(kind) == "probe");
}

std::string Cause(int status) {
    if (WIFSIGNALED(status)) {
        int sig = WTERMSIG(status);
        const char* name = strsignal(sig);
        return "was killed by signal " + std::to_string(sig) + (name ? std::string(" (") + name + ")" : "");
    }
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::string text = "exited with status " + std::to_string(code);
    switch (code) {
    case ExitSetupFailed:
        return text + " (it could not set its panel up)";
    case ExitGatewayGone:
        return text + " (it lost its connection to the gateway)";
    case ExitBadMessage:
        return text + " (a message from the gateway it could not read)";
    default:
        return text;
    }
}

std::string Seconds(Clock::duration d) { return std::to_string(std::chrono::duration_cast<seconds>(d).count()) + " s"; }

} // namespace

PanelWorkers::PanelWorkers(const CheckedConfig& checked, std::vector<std::string> ports, const WorkerProgram& program,
                           PointStore& store, Metrics& metrics, Log& log, WriteQueue& writes)
    : checked_(checked),
      ports_(std::move(ports)),
      program_(program),
      store_(store),
      metrics_(metrics),
      log_(log),
      writes_(writes) {
    char shown[PATH_MAX];
    ssize_t n = readlink(program_.path.c_str(), shown, sizeof shown - 1);
    shownName_ = n > 0 ? std::string(shown, static_cast<std::size_t>(n)) : program_.path;
    workers_.resize(checked.config.panels.size());
    for (std::size_t i = 0; i < workers_.size(); ++i) workers_[i].panel = i;
    pids_.assign(workers_.size(), -1);
}

PanelWorkers::~PanelWorkers() {
    Stop();
    if (wake_ >= 0) close(wake_);
}

bool PanelWorkers::Start(std::string& error) {
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) {
        error = std::string("eventfd: ") + strerror(errno);
        return false;
    }
    writes_.OnArrival([this] {
        std::uint64_t one = 1;
        ssize_t ignored = write(wake_, &one, sizeof one);
        (void)ignored;
    });
    // The thread that starts the workers lives until they have ended: the
    // kernel kills them when it ends (PR_SET_PDEATHSIG).
    thread_ = std::thread([this] { Run(); });
    return true;
}

void PanelWorkers::Stop() {
    if (!thread_.joinable()) return;
    stopRequested_ = true;
    std::uint64_t one = 1;
    ssize_t ignored = write(wake_, &one, sizeof one);
    (void)ignored;
    thread_.join();
    writes_.OnArrival(nullptr);
}

std::vector<pid_t> PanelWorkers::Pids() const {
    std::lock_guard<std::mutex> lock(pidsMutex_);
    return pids_;
}

void PanelWorkers::Spawn(Worker& w) {
    const PanelConfig& panel = checked_.config.panels[w.panel];
    auto failed = [&](const std::string& why) {
        log_.Say(Level::Error, panel.name,
                 "cannot start its worker: " + why + "; trying again in " + Seconds(w.backOff));
        ScheduleRestart(w, Clock::now());
    };
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) {
        failed(std::string("socketpair: ") + strerror(errno));
        return;
    }
    if (fds[1] == ConnectionFd) {
        // dup2 onto itself would leave it to be closed by the exec.
        int moved = fcntl(fds[1], F_DUPFD_CLOEXEC, ConnectionFd + 1);
        close(fds[1]);
        fds[1] = moved;
    }
    // The worker finds its end on descriptor 3, and no other of ours.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], ConnectionFd);
    posix_spawn_file_actions_addclosefrom_np(&actions, ConnectionFd + 1);
    std::string fd = std::to_string(ConnectionFd);
    std::vector<std::string> args{shownName_, "--panel-worker", fd, "--for", panel.name};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int error = fds[1] < 0 ? errno : posix_spawn(&pid, program_.path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (fds[1] >= 0) close(fds[1]);
    if (error != 0) {
        close(fds[0]);
        failed(program_.path + ": " + strerror(error));
        return;
    }
    w.pid = pid;
    w.pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    w.channel = std::make_unique<Channel>(fds[0], false);
    w.ready = false;
    w.asking = nullptr;
    w.stopSent = false;
    w.killedFor.clear();
    w.started = Clock::now();
    {
        std::lock_guard<std::mutex> lock(pidsMutex_);
        pids_[w.panel] = pid;
    }
    WorkerSetup setup;
    setup.library = program_.library;
    setup.librarySearch = program_.librarySearch;
    setup.configPath = checked_.config.path;
    setup.configText = checked_.config.text;
    setup.panel = w.panel;
    setup.pointsText = checked_.pointLists[w.panel];
    setup.port = ports_[w.panel];
    setup.threshold = log_.Threshold();
    log_.Say(Level::Debug, panel.name, "its worker is process " + std::to_string(pid));
    Send(w, EncodeSetup(setup));
}

bool PanelWorkers::Send(Worker& w, const std::vector<std::uint8_t>& message) {
    if (!w.channel) return false;
    if (w.channel->Send(message)) return true;
    Kill(w, "its connection broke");
    return false;
}

void PanelWorkers::Kill(Worker& w, const std::string& why) {
    if (w.pid <= 0) return;
    if (w.killedFor.empty()) w.killedFor = why;
    kill(w.pid, SIGKILL);
}

void PanelWorkers::Answer(Worker& w, WriteOutcome notTaken) {
    for (auto& [id, ticket] : w.given) {
        // One it took may have reached the panel: that is not known now.
        WriteQueue::Finish(*ticket, w.running.count(id) ? WriteOutcome::NoAnswer : notTaken);
    }
    w.given.clear();
    w.running.clear();
}

void PanelWorkers::Dispatch() {
    while (std::shared_ptr<WriteTicket> ticket = writes_.Dispatch()) {
        std::size_t panel = WriteQueue::RequestOf(*ticket).panel;
        if (panel >= workers_.size()) {
            WriteQueue::Finish(*ticket, WriteOutcome::PanelAway);
            continue;
        }
        Worker& w = workers_[panel];
        if (stopping_ || w.pid <= 0 || !w.killedFor.empty()) {
            WriteQueue::Finish(*ticket, stopping_ ? WriteOutcome::Stopping : WriteOutcome::PanelAway);
            continue;
        }
        std::uint64_t id = ++w.nextWrite;
        w.given[id] = ticket;
        MessageWriter m(MessageKind::Write);
        m.U64(id);
        Put(m, WriteQueue::RequestOf(*ticket).writes);
        Send(w, m.Bytes());
    }
}

bool PanelWorkers::Apply(Worker& w, const std::vector<std::uint8_t>& message) {
    const std::size_t panel = w.panel;
    const std::size_t count = checked_.maps[panel].ValueCount();
    MessageReader m(message);
    // Never a value the panel does not have.
    auto inRange = [count](const std::vector<std::size_t>& values) {
        return std::all_of(values.begin(), values.end(), [count](std::size_t v) { return v < count; });
    };
    auto updatesInRange = [count](const std::vector<PointStore::Update>& updates) {
        return std::all_of(updates.begin(), updates.end(),
                           [count](const PointStore::Update& u) { return u.value < count; });
    };
    switch (m.Kind()) {
    case MessageKind::Ready: {
        std::uint64_t values = m.U64();
        if (!m.Done()) return false;
        if (values != count) {
            Kill(w, "its map of the points differs from the gateway's (" + std::to_string(values) + " values, not " +
                        std::to_string(count) + ")");
            return true;
        }
        w.ready = true;
        return true;
    }
    case MessageKind::Store: {
        std::vector<PointStore::Update> updates = GetUpdates(m);
        Clock::time_point at = m.Time();
        if (!m.Done() || !updatesInRange(updates)) return false;
        store_.Store(panel, updates, at);
        return true;
    }
    case MessageKind::Revise: {
        std::vector<PointStore::Update> updates = GetUpdates(m);
        if (!m.Done() || !updatesInRange(updates)) return false;
        store_.Revise(panel, updates);
        return true;
    }
    case MessageKind::MarkFailed: {
        std::vector<std::size_t> values = GetValues(m);
        std::optional<Quality> why = QualityOf(m.U8());
        if (!m.Done() || !why || !inRange(values)) return false;
        store_.MarkFailed(panel, values, *why);
        return true;
    }
    case MessageKind::MarkAll: {
        std::optional<Quality> why = QualityOf(m.U8());
        if (!m.Done() || !why) return false;
        store_.MarkAll(panel, *why);
        return true;
    }
    case MessageKind::SetState: {
        std::optional<PanelState> state = PanelStateOf(m.U8());
        std::string detail = m.Text();
        Clock::time_point at = m.Time();
        if (!m.Done() || !state) return false;
        store_.SetState(panel, *state, detail, at);
        return true;
    }
    case MessageKind::SetCycle: {
        CycleStats cycle = GetCycle(m);
        if (!m.Done()) return false;
        store_.SetCycle(panel, cycle);
        return true;
    }
    case MessageKind::DriverRequest: {
        const char* kind = KindOf(m.U8());
        std::optional<RequestResult> result = RequestResultOf(m.U8());
        Clock::duration took = m.Duration();
        if (!m.Done() || !kind || !result) return false;
        metrics_.DriverRequest(panel, kind, *result, took);
        w.asking = nullptr;
        return true;
    }
    case MessageKind::PollCycle: {
        Clock::duration took = m.Duration();
        if (!m.Done()) return false;
        metrics_.PollCycle(panel, took);
        return true;
    }
    case MessageKind::Asking: {
        const char* kind = KindOf(m.U8());
        if (!m.Done() || !kind) return false;
        w.asking = kind;
        if (stopping_ && Abandoned(kind)) Kill(w, "stopped in the middle of a " + std::string(kind));
        return true;
    }
    case MessageKind::Say: {
        std::optional<Level> level = LevelOf(m.U8());
        std::string who = m.Text();
        std::string text = m.Text();
        if (!m.Done() || !level) return false;
        log_.Say(*level, who, text);
        return true;
    }
    case MessageKind::Take: {
        std::uint64_t id = m.U64();
        if (!m.Done()) return false;
        auto it = w.given.find(id);
        bool yes = it != w.given.end() && !stopping_ && WriteQueue::Begin(*it->second);
        if (yes) {
            w.running.insert(id);
        } else if (it != w.given.end()) {
            w.given.erase(it); // its front end stopped waiting: never run
        }
        Send(w, MessageWriter(MessageKind::Taken).U64(id).U8(yes ? 1 : 0).Bytes());
        return true;
    }
    case MessageKind::Outcome: {
        std::uint64_t id = m.U64();
        std::optional<WriteOutcome> outcome = WriteOutcomeOf(m.U8());
        if (!m.Done() || !outcome) return false;
        auto it = w.given.find(id);
        if (it != w.given.end()) {
            WriteQueue::Finish(*it->second, *outcome);
            w.given.erase(it);
            w.running.erase(id);
        }
        return true;
    }
    default:
        return false;
    }
}

void PanelWorkers::Read(Worker& w) {
    std::vector<std::uint8_t> message;
    while (w.channel) {
        Channel::Got got = w.channel->Receive(message);
        if (got == Channel::Got::Nothing) return;
        if (got != Channel::Got::Message) {
            // Its end closed: it is ending (its pidfd, or the reap tick, says when).
            w.channel.reset();
            return;
        }
        if (!Apply(w, message)) {
            Kill(w, "it sent a message the gateway cannot read");
            w.channel.reset();
            return;
        }
    }
}

void PanelWorkers::Reap(Worker& w, bool wait) {
    if (w.pid <= 0) return;
    int status = 0;
    pid_t r;
    do {
        r = waitpid(w.pid, &status, wait ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return;     // still running
    if (w.channel) Read(w); // what it said last
    const PanelConfig& panel = checked_.config.panels[w.panel];
    Clock::time_point now = Clock::now();
    bool asked = w.stopSent && r == w.pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!stopping_ || !asked) {
        std::string cause = r == w.pid ? Cause(status) : "is gone";
        if (!w.killedFor.empty()) cause += ", killed by the gateway: " + w.killedFor;
        if (stopping_) {
            log_.Say(Level::Debug, panel.name, "its worker (process " + std::to_string(w.pid) + ") " + cause);
        } else {
            if (now - w.started >= SteadyRun) w.backOff = FirstBackOff;
            log_.Say(Level::Error, panel.name,
                     "its worker (process " + std::to_string(w.pid) + ") " + cause +
                         ": its points are not served; a new one starts in " + Seconds(w.backOff));
            store_.MarkAll(w.panel, Quality::PanelAway);
            store_.SetState(w.panel, PanelState::Starting, "its worker " + cause + "; a new one starts soon", now);
        }
    }
    Answer(w, stopping_ ? WriteOutcome::Stopping : WriteOutcome::PanelAway);
    if (w.pidfd >= 0) close(w.pidfd);
    w.pidfd = -1;
    w.channel.reset();
    w.pid = -1;
    w.ready = false;
    w.asking = nullptr;
    {
        std::lock_guard<std::mutex> lock(pidsMutex_);
        pids_[w.panel] = -1;
    }
    ScheduleRestart(w, now);
}

void PanelWorkers::ScheduleRestart(Worker& w, Clock::time_point now) {
    w.restartAt = now + w.backOff;
    w.backOff = std::min(w.backOff * 2, LongestBackOff);
}

void PanelWorkers::BeginStop() {
    stopping_ = true;
    stopDeadline_ = Clock::now() + StopGrace;
    writes_.Stop();
    Dispatch(); // any that came before the stop: refused
    for (Worker& w : workers_) {
        // Writes not taken yet are never run; the one on the line finishes.
        for (auto it = w.given.begin(); it != w.given.end();) {
            if (w.running.count(it->first)) {
                ++it;
            } else {
                WriteQueue::Finish(*it->second, WriteOutcome::Stopping);
                it = w.given.erase(it);
            }
        }
        if (w.pid <= 0) continue;
        w.stopSent = Send(w, MessageWriter(MessageKind::Stop).Bytes());
        if (!w.ready) {
            Kill(w, "stopped while it set its panel up");
        } else if (Abandoned(w.asking)) {
            Kill(w, "stopped in the middle of a " + std::string(w.asking));
        }
    }
}

void PanelWorkers::Run() {
    for (Worker& w : workers_) {
        w.backOff = FirstBackOff;
        Spawn(w);
    }
    for (;;) {
        bool any = false;
        for (const Worker& w : workers_) any = any || w.pid > 0;
        if (stopping_ && !any) break;

        Clock::time_point now = Clock::now();
        if (stopRequested_ && !stopping_) BeginStop();
        if (stopping_ && now >= stopDeadline_) {
            for (Worker& w : workers_) Kill(w, "its request took longer than the stop allows");
        }
        if (!stopping_) {
            for (Worker& w : workers_) {
                if (w.pid <= 0 && now >= w.restartAt) Spawn(w);
            }
        }

        // What to wait for: the wake-up, each worker's messages and end.
        std::vector<pollfd> fds{{wake_, POLLIN, 0}};
        std::vector<std::pair<Worker*, bool>> whose{{nullptr, false}}; // worker, and whether its pidfd
        Clock::time_point next = now + seconds(1);
        for (Worker& w : workers_) {
            if (w.pid <= 0) {
                if (!stopping_) next = std::min(next, w.restartAt);
                continue;
            }
            if (w.channel) {
                fds.push_back({w.channel->Fd(), static_cast<short>(POLLIN | (w.channel->Pending() ? POLLOUT : 0)), 0});
                whose.emplace_back(&w, false);
            }
            if (w.pidfd >= 0) {
                fds.push_back({w.pidfd, POLLIN, 0});
                whose.emplace_back(&w, true);
            } else {
                next = std::min(next, now + ReapTick);
            }
        }
        if (stopping_) next = std::min(next, stopDeadline_);
        auto wait = std::chrono::ceil<milliseconds>(next - now).count();
        if (poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(wait, 0))) < 0) {
            // EINTR, or the kernel short of memory for a moment: look again.
            for (pollfd& f : fds) f.revents = 0;
            if (errno != EINTR) std::this_thread::sleep_for(milliseconds(10));
        }

        if (fds[0].revents & POLLIN) {
            std::uint64_t count;
            ssize_t ignored = read(wake_, &count, sizeof count);
            (void)ignored;
        }
        Dispatch();
        for (std::size_t i = 1; i < fds.size(); ++i) {
            Worker& w = *whose[i].first;
            if (whose[i].second) {
                if (fds[i].revents & POLLIN) Reap(w, true);
                continue;
            }
            if (!w.channel) continue;
            if ((fds[i].revents & POLLOUT) && !w.channel->Flush()) Kill(w, "its connection broke");
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) Read(w);
        }
        for (Worker& w : workers_) {
            if (w.pid > 0 && w.pidfd < 0) Reap(w, false);
        }
    }
    // Each panel as a stop leaves it, also where a killed worker could not say so.
    for (Worker& w : workers_) {
        if (store_.Status(w.panel).state != PanelState::Stopped) {
            store_.SetState(w.panel, PanelState::Stopped, "", Clock::now());
            store_.MarkAll(w.panel, Quality::PanelAway);
        }
    }
}

} // namespace zulgate::worker
