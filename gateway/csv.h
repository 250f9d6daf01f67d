// A small CSV reader for point lists as spreadsheets export them (RFC 4180):
// fields separated by commas (or by semicolons, when the header row has
// semicolons and no commas, as spreadsheets in some locales write), fields in
// double quotes may hold separators, line breaks and doubled quotes, records
// end in LF or CRLF, and a UTF-8 byte order mark before the header is skipped.
// Unquoted fields are trimmed of blanks.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zulgate {

struct CsvRecord {
    int line = 0; // where the record begins, the first line being 1
    std::vector<std::string> fields;
};

struct CsvResult {
    std::vector<CsvRecord> records;
    int errorLine = 0; // > 0: the text is not CSV; records holds those before the error
    std::string error;
};

CsvResult ReadCsv(std::string_view text);

} // namespace zulgate
