#include "gateway/point_list.h"

#include <algorithm>
#include <array>
#include <optional>
#include <cctype>

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

enum Column { Name, Address, TableColumn, Register, Access, Count, ColumnCount };
const std::array<const char*, ColumnCount> ColumnNames = {"name", "address", "table", "register", "access", "count"};

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
    for (int c = 0; c < ColumnCount; ++c) {
        if (at[c] < 0 && c != Count) {
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
