#include "gateway/point_map.h"

#include <algorithm>

#include "host/client/slots.h"

namespace zulgate {
namespace {

constexpr std::int32_t LastPanelAddress = 0xFFFFFF;
constexpr int LastRegister = 65535;

// The letters whose bits may be points of their own: "B, T and W".
std::string LettersWithNamedBits() {
    std::vector<char> letters;
    for (const TypeLetterInfo& t : TypeLetters) {
        if (t.namedBits > 0) letters.push_back(t.letter);
    }
    std::string text;
    for (std::size_t i = 0; i < letters.size(); ++i) {
        text += i == 0 ? "" : i + 1 == letters.size() ? " and " : ", ";
        text += letters[i];
    }
    return text;
}

// Why the point cannot go in its table, or "" when it can.
std::string TableRefusal(const zulclient::Point& p, Table table, bool writable) {
    std::string letter(1, p.letter);
    const TypeLetterInfo& type = p.Type();
    if (IsBitTable(table)) {
        if (!p.HasBit()) {
            return std::string("a point in ") + TableName(table) +
                   " needs a bit number (the eighth character of its address, as in B0040027)";
        }
        if (type.namedBits == 0) {
            return "letter " + letter + " cannot go in " + TableName(table) + ": bits are those of " +
                   LettersWithNamedBits() + " points";
        }
        if (p.bitNumber >= type.namedBits) {
            return "a " + letter + " point has bits 0 to " + std::to_string(type.namedBits - 1);
        }
    } else {
        if (p.HasBit()) {
            return std::string("a point with a bit number is a bit: it goes in coil or discrete, not ") +
                   TableName(table);
        }
    }
    if (writable && (table == Table::Input || table == Table::Discrete)) {
        return std::string("rw cannot be in ") + TableName(table) + ", which Modbus clients only read (use " +
               (table == Table::Input ? "holding" : "coil") + ")";
    }
    if (writable && !type.RoundTrips()) {
        return "letter " + letter + " is read-only: the driver does not write back what it reads from " + letter +
               " points";
    }
    return {};
}

// Why what the point list says its values mean does not fit the point, or "".
std::string EngineeringRefusal(const zulclient::Point& p, const Engineering& e) {
    const TypeLetterInfo& type = p.Type();
    std::string letter(1, p.letter);
    if (!e.states.empty()) {
        if (!p.HasBit() && type.kind != ValueKind::Unsigned) {
            return "states are for bits, nibbles, bytes and words, not letter " + letter;
        }
        std::uint64_t values = p.HasBit() ? 2 : static_cast<std::uint64_t>(type.Largest()) + 1;
        if (e.states.size() > values) {
            return std::to_string(e.states.size()) + " states, but the point holds only " + std::to_string(values) +
                   " values";
        }
    }
    if (e.Scaled() && p.HasBit()) return "a bit has no scale or offset";
    if (e.Scaled() && type.kind == ValueKind::Date) return "a date has no scale or offset";
    return {};
}

} // namespace

std::optional<RegisterRef> PanelMap::Find(Table table, int reg) const {
    const std::map<int, std::size_t>& spans = byFirst_[static_cast<int>(table)];
    auto it = spans.upper_bound(reg);
    if (it == spans.begin()) return std::nullopt;
    --it;
    const MappedPoint& p = points_[it->second];
    int offset = reg - p.firstRegister;
    if (offset >= p.Registers()) return std::nullopt;
    return RegisterRef{it->second, offset / p.registersPerElement, offset % p.registersPerElement};
}

std::optional<std::size_t> PanelMap::FindName(const std::string& name) const {
    for (std::size_t i = 0; i < points_.size(); ++i) {
        if (points_[i].name == name) return i;
    }
    return std::nullopt;
}

bool BuildPanelMap(const std::vector<PointRow>& rows, const std::string& file, const AddressChecker& check,
                   PanelMap& map, Diagnostics& d) {
    std::size_t before = d.Count();
    map = PanelMap{};
    std::map<std::string, int> names; // name -> line
    for (const PointRow& row : rows) {
        auto refuse = [&](const std::string& message) { d.Add(file, row.line, "point " + row.name + ": " + message); };
        auto named = names.emplace(row.name, row.line);
        if (!named.second) refuse("the name is used twice (line " + std::to_string(named.first->second) + ")");

        std::optional<zulclient::Point> point = check(row.address);
        if (!point) {
            refuse("the driver's CheckAddress refuses '" + row.address +
                   "' (a type letter of BDEFLMTW, six hex digits, an optional hex bit digit)");
            continue;
        }
        std::string why = TableRefusal(*point, row.table, row.writable);
        if (why.empty()) why = EngineeringRefusal(*point, row.engineering);
        if (!why.empty()) {
            refuse(why);
            continue;
        }
        MappedPoint p;
        p.name = row.name;
        p.line = row.line;
        p.point = *point;
        p.table = row.table;
        p.firstRegister = row.firstRegister;
        p.count = row.count;
        p.writable = row.writable;
        p.elementBytes = point->Type().bytes;
        p.registersPerElement = point->HasBit() ? 1 : point->Type().registers;
        p.largest = point->HasBit() ? 1 : point->Type().Largest();
        p.engineering = row.engineering;
        if (static_cast<std::int64_t>(p.point.address) + static_cast<std::int64_t>(p.count) * p.elementBytes - 1 >
            LastPanelAddress) {
            refuse("its " + std::to_string(p.count) + " elements run past panel address FFFFFF");
            continue;
        }
        if (static_cast<std::int64_t>(p.firstRegister) + p.Registers() - 1 > LastRegister) {
            refuse("its " + std::to_string(p.Registers()) + std::string(IsBitTable(p.table) ? " bits" : " registers") +
                   " from " + std::to_string(p.firstRegister) + " run past 65535");
            continue;
        }
        map.points_.push_back(std::move(p));
    }

    // Overlaps, table by table, each refused at the later row.
    std::vector<std::size_t> order(map.points_.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const MappedPoint &pa = map.points_[a], &pb = map.points_[b];
        if (pa.table != pb.table) return pa.table < pb.table;
        return pa.firstRegister < pb.firstRegister || (pa.firstRegister == pb.firstRegister && pa.line < pb.line);
    });
    const MappedPoint* previous = nullptr;
    for (std::size_t i : order) {
        const MappedPoint& p = map.points_[i];
        if (previous && previous->table == p.table &&
            p.firstRegister < previous->firstRegister + previous->Registers()) {
            const MappedPoint& later = p.line > previous->line ? p : *previous;
            const MappedPoint& earlier = p.line > previous->line ? *previous : p;
            auto range = [](const MappedPoint& m) {
                return std::to_string(m.firstRegister) + " to " + std::to_string(m.firstRegister + m.Registers() - 1);
            };
            d.Add(file, later.line,
                  "point " + later.name + ": " + TableName(p.table) + " " + range(later) + " overlap point " +
                      earlier.name + " (line " + std::to_string(earlier.line) + "), which takes " + range(earlier));
        }
        if (!previous || previous->table != p.table ||
            p.firstRegister + p.Registers() > previous->firstRegister + previous->Registers()) {
            previous = &p;
        }
    }
    if (d.Count() != before) {
        map = PanelMap{};
        return false;
    }
    for (std::size_t i = 0; i < map.points_.size(); ++i) {
        MappedPoint& p = map.points_[i];
        p.firstValue = map.values_;
        map.values_ += static_cast<std::size_t>(p.count);
        map.byFirst_[static_cast<int>(p.table)].emplace(p.firstRegister, i);
    }
    return true;
}

} // namespace zulgate
