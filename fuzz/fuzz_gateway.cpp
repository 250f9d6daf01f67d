// zulgate's readers: a configuration (TOML) and a point list (CSV), the
// input's two parts split at its first NUL byte, through the config reader,
// the CSV reader, the point map (each address through the driver's
// CheckAddress) and the merging into block reads. Refusals must name a line
// the text has; a map must find every register it took and no other; a plan
// must read every element exactly once, from the slot of its own address,
// in blocks of at most 255 bytes.
#include <algorithm>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "gateway/config.h"
#include "gateway/point_list.h"
#include "gateway/point_map.h"
#include "gateway/request_plan.h"
#include "host/client/driver_client.h"
#include "host/client/slots.h"

using namespace fuzz;
using namespace zulgate;

namespace {

int Lines(const std::string& text) { return 1 + static_cast<int>(std::count(text.begin(), text.end(), '\n')); }

void CheckLines(const Diagnostics& d, const std::string& file, int lines) {
    for (const Diagnostic& x : d.All()) {
        Check(!x.message.empty(), "a refusal without a message");
        if (x.file == file) Check(x.line >= 0 && x.line <= lines, "a refusal names a line the text does not have");
    }
}

std::optional<zulclient::Point> CheckAddress(const std::string& text) {
    zulclient::DriverClient client(&ZulMain, 1);
    return client.PointOf(text);
}

void CheckMap(const PanelMap& map, int maxGap) {
    std::size_t values = 0;
    for (std::size_t i = 0; i < map.Points().size(); ++i) {
        const MappedPoint& p = map.Points()[i];
        Check(p.firstValue == values, "values not in point order");
        values += static_cast<std::size_t>(p.count);
        Check(p.firstRegister + p.Registers() - 1 <= 65535, "a point runs past register 65535");
        Check(p.ElementAddress(p.count - 1) + p.elementBytes - 1 <= 0xFFFFFF, "a point runs past FFFFFF");
        Check(!p.writable || (p.table == Table::Holding || p.table == Table::Coil), "rw in a read-only table");
        Check(!p.writable || (p.point.letter != 'D' && p.point.letter != 'F'), "rw on D or F");
        Check(IsBitTable(p.table) == p.point.HasBit(), "a bit outside the bit tables, or a register with a bit");
        // Its first and last register, and the one after it.
        for (int reg : {p.firstRegister, p.firstRegister + p.Registers() - 1}) {
            std::optional<RegisterRef> ref = map.Find(p.table, reg);
            Check(ref && ref->point == i, "a register of a point is not found as its own");
            Check(ref->element * p.registersPerElement + ref->word == reg - p.firstRegister, "wrong element or word");
        }
    }
    Check(values == map.ValueCount(), "value count");
    // No register taken twice: the points of a table, in register order, do not overlap.
    std::vector<const MappedPoint*> order;
    for (const MappedPoint& p : map.Points()) order.push_back(&p);
    std::sort(order.begin(), order.end(), [](const MappedPoint* a, const MappedPoint* b) {
        return a->table != b->table ? a->table < b->table : a->firstRegister < b->firstRegister;
    });
    for (std::size_t i = 1; i < order.size(); ++i) {
        const MappedPoint &a = *order[i - 1], &b = *order[i];
        Check(a.table != b.table || a.firstRegister + a.Registers() <= b.firstRegister, "two points on one register");
    }
    std::vector<int> reads(map.ValueCount(), 0);
    for (const BlockRead& b : PlanReads(map, maxGap)) {
        Check(b.count >= 1 && b.ValueBytes() <= 255, "a block beyond 255 bytes");
        for (const ReadTarget& t : b.targets) {
            Check(t.slot >= 0 && t.slot < b.count && t.value < reads.size(), "a target outside its block");
            ++reads[t.value];
        }
    }
    for (int r : reads) Check(r == 1, "an element not read exactly once");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    QuietLog();
    const char* begin = reinterpret_cast<const char*>(data);
    const char* nul = size ? static_cast<const char*>(std::memchr(begin, 0, size)) : nullptr;
    std::string toml(begin, nul ? nul : begin + size);
    std::string csv = nul ? std::string(nul + 1, begin + size) : std::string();

    Diagnostics d;
    GatewayConfig config;
    bool ok = ParseConfig(toml, "/f/gw.toml", config, d);
    Check(ok == d.Empty(), "the config reader's answer and its refusals disagree");
    CheckLines(d, "/f/gw.toml", Lines(toml));
    if (ok) {
        for (std::size_t i = 0; i < config.panels.size(); ++i) {
            const PanelConfig& p = config.panels[i];
            Check(!p.name.empty() && !p.port.empty() && p.port.size() <= 11, "a panel without name or port");
            Check(p.unit >= 1 && p.unit <= 247 && p.stale > p.poll, "unit or times out of range");
            for (std::size_t j = 0; j < i; ++j) Check(config.panels[j].unit != p.unit, "a unit twice");
        }
    }

    Diagnostics e;
    std::vector<PointRow> rows;
    bool rowsOk = ParsePointList(csv, "/f/p.csv", rows, e);
    Check(rowsOk == e.Empty(), "the point list reader's answer and its refusals disagree");
    CheckLines(e, "/f/p.csv", Lines(csv));
    if (!rowsOk) return 0;
    PanelMap map;
    bool mapOk = BuildPanelMap(rows, "/f/p.csv", CheckAddress, map, e);
    Check(mapOk == e.Empty(), "the point map's answer and its refusals disagree");
    CheckLines(e, "/f/p.csv", Lines(csv));
    if (mapOk) CheckMap(map, 20);
    return 0;
}
