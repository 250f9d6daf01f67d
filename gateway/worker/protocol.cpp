#include "gateway/worker/protocol.h"

#include <cstring>

#include "gateway/panel_output.h"

namespace zulgate::worker {
namespace {

// An enumeration whose values run from 0 to its last.
template <typename E>
std::optional<E> Within(std::uint8_t n, E last) {
    if (n > static_cast<std::uint8_t>(last)) return std::nullopt;
    return static_cast<E>(n);
}

} // namespace

std::vector<std::uint8_t> EncodeSetup(const WorkerSetup& s) {
    MessageWriter m(MessageKind::Setup);
    m.Text(s.library).U8(s.librarySearch ? 1 : 0).Text(s.configPath).Text(s.configText).U64(s.panel);
    m.Text(s.pointsText).Text(s.port).U8(static_cast<std::uint8_t>(s.threshold));
    return m.Bytes();
}

bool DecodeSetup(const std::vector<std::uint8_t>& message, WorkerSetup& s) {
    MessageReader m(message);
    if (m.Kind() != MessageKind::Setup) return false;
    s.library = m.Text();
    s.librarySearch = m.U8() != 0;
    s.configPath = m.Text();
    s.configText = m.Text();
    s.panel = static_cast<std::size_t>(m.U64());
    s.pointsText = m.Text();
    s.port = m.Text();
    std::optional<Level> level = LevelOf(m.U8());
    if (level) s.threshold = *level;
    return m.Done() && level;
}

void Put(MessageWriter& m, const std::vector<PointStore::Update>& updates) {
    m.U64(updates.size());
    for (const PointStore::Update& u : updates) m.U64(u.value).U32(u.raw);
}

void Put(MessageWriter& m, const std::vector<std::size_t>& values) {
    m.U64(values.size());
    for (std::size_t v : values) m.U64(v);
}

void Put(MessageWriter& m, const CycleStats& c) {
    m.U64(c.cycles).Duration(c.lastDuration).U32(static_cast<std::uint32_t>(c.lastRequests));
    m.U32(static_cast<std::uint32_t>(c.lastFailed)).U64(c.requests).Time(c.lastEnd);
}

void Put(MessageWriter& m, const std::vector<PointWrite>& writes) {
    m.U64(writes.size());
    for (const PointWrite& w : writes) {
        m.U64(w.point).U32(static_cast<std::uint32_t>(w.firstElement)).U64(w.values.size());
        for (std::uint32_t v : w.values) m.U32(v);
    }
}

std::vector<PointStore::Update> GetUpdates(MessageReader& m) {
    std::vector<PointStore::Update> updates(m.Count(12));
    for (PointStore::Update& u : updates) {
        u.value = static_cast<std::size_t>(m.U64());
        u.raw = m.U32();
    }
    return updates;
}

std::vector<std::size_t> GetValues(MessageReader& m) {
    std::vector<std::size_t> values(m.Count(8));
    for (std::size_t& v : values) v = static_cast<std::size_t>(m.U64());
    return values;
}

CycleStats GetCycle(MessageReader& m) {
    CycleStats c;
    c.cycles = m.U64();
    c.lastDuration = m.Duration();
    c.lastRequests = static_cast<int>(m.U32());
    c.lastFailed = static_cast<int>(m.U32());
    c.requests = m.U64();
    c.lastEnd = m.Time();
    return c;
}

std::vector<PointWrite> GetWrites(MessageReader& m) {
    std::vector<PointWrite> writes(m.Count(20));
    for (PointWrite& w : writes) {
        w.point = static_cast<std::size_t>(m.U64());
        w.firstElement = static_cast<int>(m.U32());
        w.values.resize(m.Count(4));
        for (std::uint32_t& v : w.values) v = m.U32();
    }
    return writes;
}

std::optional<Quality> QualityOf(std::uint8_t n) { return Within(n, Quality::WrittenNear); }
std::optional<PanelState> PanelStateOf(std::uint8_t n) { return Within(n, PanelState::Stopped); }
std::optional<Level> LevelOf(std::uint8_t n) { return Within(n, Level::Debug); }
std::optional<RequestResult> RequestResultOf(std::uint8_t n) { return Within(n, RequestResult::NoAnswer); }
std::optional<WriteOutcome> WriteOutcomeOf(std::uint8_t n) { return Within(n, WriteOutcome::Stopping); }

std::uint8_t KindNumber(const char* kind) {
    for (std::size_t i = 0; i < RequestKinds.size(); ++i) {
        if (std::strcmp(RequestKinds[i], kind) == 0) return static_cast<std::uint8_t>(i);
    }
    return 0xFF;
}

const char* KindOf(std::uint8_t n) { return n < RequestKinds.size() ? RequestKinds[n] : nullptr; }

} // namespace zulgate::worker
