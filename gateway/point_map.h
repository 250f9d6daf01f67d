// A panel's points as the gateway serves them: each row of its point list
// with the panel point the driver's CheckAddress made of its address, the
// Modbus registers or bits it takes, and where its values are kept. Built
// only from a list that passes every check: a letter in a table it can go
// in, rw only where it may be written, no register or bit taken twice,
// names unique.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "gateway/diagnostics.h"
#include "gateway/point_list.h"
#include "host/client/driver_client.h"

namespace zulgate {

struct MappedPoint {
    std::string name;
    int line = 0;
    zulclient::Point point; // letter, panel address of element 0, bit
    Table table = Table::Holding;
    int firstRegister = 0;
    int count = 1;
    bool writable = false;
    int elementBytes = 1;        // panel bytes per element
    int registersPerElement = 1; // 2 for L, F and D; bits take one each
    std::uint32_t largest = 0;   // the largest value a one-register element or bit takes
    std::size_t firstValue = 0;  // index of element 0's value in the panel's store
    Engineering engineering;     // what its values mean

    int Registers() const { return count * registersPerElement; }
    std::int32_t ElementAddress(int k) const { return point.address + k * elementBytes; }
    ValueMeaning Meaning() const { return ValueMeaning{&point.Type(), point.HasBit(), &engineering}; }
};

// A register or bit of a table, as a point's element and word.
struct RegisterRef {
    std::size_t point = 0;
    int element = 0;
    int word = 0; // of a two-register value: 0 the high word, 1 the low
};

class PanelMap {
public:
    const std::vector<MappedPoint>& Points() const { return points_; }
    std::size_t ValueCount() const { return values_; }
    std::optional<RegisterRef> Find(Table table, int reg) const;
    std::optional<std::size_t> FindName(const std::string& name) const;

private:
    friend bool BuildPanelMap(const std::vector<PointRow>&, const std::string&,
                              const std::function<std::optional<zulclient::Point>(const std::string&)>&, PanelMap&,
                              Diagnostics&);
    std::vector<MappedPoint> points_;
    std::map<int, std::size_t> byFirst_[TableCount]; // first register -> point
    std::size_t values_ = 0;
};

// What CheckAddress makes of an address text (host data type 7), or nothing
// when it refuses it.
using AddressChecker = std::function<std::optional<zulclient::Point>(const std::string& text)>;

// False with the refusals (file:line) when the rows do not make a map.
bool BuildPanelMap(const std::vector<PointRow>& rows, const std::string& file, const AddressChecker& check,
                   PanelMap& map, Diagnostics& diagnostics);

} // namespace zulgate
