// A panel's point list: CSV with a header row naming the columns name,
// address, table, register, access and, optionally, count, and what the
// values mean: scale, offset, units, states, min, max, cov and description
// (any order, any case; other columns are passed over). Each row is checked
// for what it says on its own; what rows say together, and what the driver
// makes of the address, is the point map's to check.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "gateway/diagnostics.h"
#include "gateway/engineering.h"

namespace zulgate {

enum class Table { Holding, Input, Coil, Discrete };
constexpr int TableCount = 4;
const char* TableName(Table table);
bool IsBitTable(Table table);

struct PointRow {
    int line = 0;
    std::string name;
    std::string address; // in the driver's syntax, checked by the driver
    Table table = Table::Holding;
    int firstRegister = 0; // 0-based Modbus address of the first register or bit
    bool writable = false;
    int count = 1;
    Engineering engineering;
};

// A point's name is a topic level, a JSON string and a cell of the page; a
// bound keeps every topic made of it within what MQTT allows.
constexpr std::size_t PointNameLimit = 200;

// The file (a regular file of at most PointListFileLimit), then its text.
bool ReadPointList(const std::string& path, std::vector<PointRow>& rows, Diagnostics& diagnostics);
bool ParsePointList(std::string_view text, const std::string& path, std::vector<PointRow>& rows,
                    Diagnostics& diagnostics);

} // namespace zulgate
