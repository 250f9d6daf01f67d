#include "gateway/point_list.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <functional>
#include <optional>

#include "gateway/csv.h"
#include "gateway/text_file.h"
#include "gateway/utf8.h"

namespace zulgate {
namespace {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// A decimal number within [low, high], nothing else in the field.
bool Number(const std::string& text, long low, long high, int& out) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    long v = std::stol(text);
    if (v < low || v > high) return false;
    out = static_cast<int>(v);
    return true;
}

enum Column {
    Name,
    Address,
    TableColumn,
    Register,
    Access,
    Count,
    Scale,
    Offset,
    UnitsColumn,
    States,
    Min,
    Max,
    Cov,
    Description,
    ColumnCount
};
const std::array<const char*, ColumnCount> ColumnNames = {"name",  "address", "table",  "register",   "access",
                                                          "count", "scale",   "offset", "units",      "states",
                                                          "min",   "max",     "cov",    "description"};
constexpr int FirstOptionalColumn = Count;

// A decimal number, nothing else in the field: "21", "-0.5", "1e3".
std::optional<double> Decimal(const std::string& text) {
    double v = 0;
    const char* end = text.data() + text.size();
    auto [at, ec] = std::from_chars(text.data(), end, v);
    if (text.empty() || ec != std::errc() || at != end || !std::isfinite(v)) return std::nullopt;
    return v;
}

// Digits after the point as written, at most 9: the precision of a value
// the number scales or offsets.
int DecimalsOf(const std::string& text) {
    std::size_t point = text.find('.');
    if (point == std::string::npos) return 0;
    std::size_t digits = text.find_first_not_of("0123456789", point + 1);
    digits = (digits == std::string::npos ? text.size() : digits) - point - 1;
    return static_cast<int>(std::min<std::size_t>(digits, 9));
}

// The optional columns of what a point's values mean.
void ReadEngineering(const std::function<std::string(int)>& field, PointRow& row,
                     const std::function<void(const std::string&)>& refuse) {
    Engineering& e = row.engineering;
    const std::string who = "point " + row.name + ": ";
    auto number = [&](int column, const char* what) -> std::optional<double> {
        std::string text = field(column);
        if (text.empty()) return std::nullopt;
        std::optional<double> v = Decimal(text);
        if (!v) refuse(who + ColumnNames[column] + " must be a decimal number (" + what + "), not '" + text + "'");
        return v;
    };
    if (std::optional<double> scale = number(Scale, "raw x scale + offset")) {
        if (*scale == 0) {
            refuse(who + "scale cannot be 0");
        } else {
            e.scale = *scale;
            e.decimals = std::max(e.decimals, DecimalsOf(field(Scale)));
        }
    }
    if (std::optional<double> offset = number(Offset, "raw x scale + offset")) {
        e.offset = *offset;
        e.decimals = std::max(e.decimals, DecimalsOf(field(Offset)));
    }
    std::string units = field(UnitsColumn);
    if (!units.empty()) {
        e.unit = FindUnit(units);
        if (!e.unit) {
            refuse(who + "units '" + units +
                   "' is not a unit this gateway knows (BACnet's names, lower case with hyphens, such as "
                   "degrees-celsius, percent or no-units: see the gateway guide's table)");
        }
    }
    std::string states = field(States);
    if (!states.empty()) {
        for (std::size_t start = 0;;) {
            std::size_t bar = states.find('|', start);
            e.states.push_back(states.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
            if (bar == std::string::npos) break;
            start = bar + 1;
        }
        for (std::size_t i = 0; i < e.states.size(); ++i) {
            if (e.states[i].empty()) {
                refuse(who + "state " + std::to_string(i) + " has no text (states are texts separated by '|')");
                break;
            }
            if (std::find(e.states.begin(), e.states.begin() + static_cast<std::ptrdiff_t>(i), e.states[i]) !=
                e.states.begin() + static_cast<std::ptrdiff_t>(i)) {
                refuse(who + "state '" + e.states[i] + "' is named twice");
                break;
            }
        }
        if (e.Scaled()) refuse(who + "a point with states has no scale or offset: its value is the state's text");
    }
    e.min = number(Min, "the least value a write may ask");
    e.max = number(Max, "the greatest value a write may ask");
    if (e.min && e.max && *e.min > *e.max) refuse(who + "min is above max");
    e.cov = number(Cov, "the change a subscriber is told of");
    if (e.cov && *e.cov < 0) refuse(who + "cov cannot be negative");
    e.description = field(Description);
}

} // namespace

const char* TableName(Table table) {
    switch (table) {
    case Table::Holding:
        return "holding";
    case Table::Input:
        return "input";
    case Table::Coil:
        return "coil";
    case Table::Discrete:
        return "discrete";
    }
    return "?";
}

bool IsBitTable(Table table) { return table == Table::Coil || table == Table::Discrete; }

bool ParsePointList(std::string_view text, const std::string& path, std::vector<PointRow>& rows, Diagnostics& d) {
    std::size_t before = d.Count();
    rows.clear();
    // Names go into JSON, the page and MQTT topics, all UTF-8: a list saved
    // in a Windows code page ("Zuluft \xB0C") is refused here, with its place.
    if (std::optional<NonUtf8> bad = FindNonUtf8(text)) {
        d.Add(path, bad->line,
              "not UTF-8 (" + bad->what + "): save the point list as UTF-8 (CSV UTF-8 in Excel, " +
                  "UTF-8 in LibreOffice's Text CSV options)");
        return false;
    }
    CsvResult csv = ReadCsv(text);
    if (csv.records.empty() && csv.errorLine == 0) {
        d.Add(path, 1, "empty: a point list starts with the header row name,address,table,register,access");
        return false;
    }
    if (csv.errorLine > 0 && (csv.records.empty() || csv.errorLine == 1)) {
        d.Add(path, csv.errorLine, csv.error);
        return false;
    }

    // The header: where each column is.
    const CsvRecord& header = csv.records.front();
    std::array<int, ColumnCount> at;
    at.fill(-1);
    for (std::size_t i = 0; i < header.fields.size(); ++i) {
        std::string name = Lower(header.fields[i]);
        for (int c = 0; c < ColumnCount; ++c) {
            if (name != ColumnNames[c]) continue;
            if (at[c] >= 0) d.Add(path, header.line, std::string("column ") + ColumnNames[c] + " appears twice");
            at[c] = static_cast<int>(i);
        }
    }
    for (int c = 0; c < FirstOptionalColumn; ++c) {
        if (at[c] < 0) {
            d.Add(path, header.line,
                  std::string("no column ") + ColumnNames[c] + " (the header names name,address,table,register,access" +
                      " and optionally count)");
        }
    }
    if (d.Count() != before) return false;

    for (std::size_t r = 1; r < csv.records.size(); ++r) {
        const CsvRecord& record = csv.records[r];
        bool blank = std::all_of(record.fields.begin(), record.fields.end(),
                                 [](const std::string& f) { return f.empty(); });
        if (blank) continue; // spreadsheets export empty rows
        auto field = [&](int c) -> std::string {
            if (at[c] < 0 || static_cast<std::size_t>(at[c]) >= record.fields.size()) return {};
            return record.fields[static_cast<std::size_t>(at[c])];
        };
        auto refuse = [&](const std::string& message) { d.Add(path, record.line, message); };
        PointRow row;
        row.line = record.line;
        row.name = field(Name);
        row.address = field(Address);
        if (row.name.empty()) refuse("the point has no name");
        if (row.name.size() > PointNameLimit) {
            refuse("a point name of " + std::to_string(row.name.size()) + " bytes: at most " +
                   std::to_string(PointNameLimit));
        }
        for (unsigned char c : row.name) {
            if (std::iscntrl(c)) {
                refuse("the name of point '" + row.name + "' holds a control character");
                break;
            }
        }
        if (row.address.empty()) refuse("point " + row.name + " has no address");

        std::string table = Lower(field(TableColumn));
        if (table == "holding") {
            row.table = Table::Holding;
        } else if (table == "input") {
            row.table = Table::Input;
        } else if (table == "coil") {
            row.table = Table::Coil;
        } else if (table == "discrete") {
            row.table = Table::Discrete;
        } else {
            refuse("point " + row.name + ": table must be holding, input, coil or discrete, not '" +
                   field(TableColumn) + "'");
        }
        if (!Number(field(Register), 0, 65535, row.firstRegister)) {
            refuse("point " + row.name + ": register must be a 0-based Modbus address from 0 to 65535, not '" +
                   field(Register) + "'");
        }
        std::string access = Lower(field(Access));
        if (access == "r") {
            row.writable = false;
        } else if (access == "rw") {
            row.writable = true;
        } else {
            refuse("point " + row.name + ": access must be r or rw, not '" + field(Access) + "'");
        }
        std::string count = field(Count);
        if (!count.empty() && !Number(count, 1, 65536, row.count)) {
            refuse("point " + row.name + ": count must be a whole number from 1 (empty means 1), not '" + count + "'");
        }
        ReadEngineering(field, row, refuse);
        rows.push_back(std::move(row));
    }
    if (csv.errorLine > 0) d.Add(path, csv.errorLine, csv.error);
    if (rows.empty() && d.Count() == before) d.Add(path, 1, "no points after the header");
    return d.Count() == before;
}

bool ReadPointList(const std::string& path, std::vector<PointRow>& rows, Diagnostics& d) {
    std::string text, error;
    if (!ReadTextFile(path, PointListFileLimit, text, error)) {
        d.Add(path, 0, "cannot read the point list: " + error);
        return false;
    }
    return ParsePointList(text, path, rows, d);
}

} // namespace zulgate
