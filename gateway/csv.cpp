#include "gateway/csv.h"

namespace zulgate {
namespace {

char SeparatorOf(std::string_view text) {
    std::string_view header = text.substr(0, text.find('\n'));
    bool commas = header.find(',') != std::string_view::npos;
    bool semicolons = header.find(';') != std::string_view::npos;
    return semicolons && !commas ? ';' : ',';
}

std::string Trimmed(const std::string& s) {
    std::size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

} // namespace

CsvResult ReadCsv(std::string_view text) {
    CsvResult result;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    const char separator = SeparatorOf(text);

    int line = 1;
    std::size_t i = 0;
    while (i < text.size()) {
        CsvRecord record;
        record.line = line;
        bool endOfRecord = false;
        while (!endOfRecord) {
            std::string field;
            bool quoted = false;
            // Blanks before an opening quote belong to no field.
            std::size_t start = i;
            while (start < text.size() && (text[start] == ' ' || text[start] == '\t')) ++start;
            if (start < text.size() && text[start] == '"') {
                quoted = true;
                i = start + 1;
                const int opened = line;
                for (;;) {
                    if (i >= text.size()) {
                        result.errorLine = opened;
                        result.error = "a quoted field is not closed";
                        return result;
                    }
                    char c = text[i++];
                    if (c == '"') {
                        if (i < text.size() && text[i] == '"') {
                            field += '"';
                            ++i;
                            continue;
                        }
                        break;
                    }
                    if (c == '\n') ++line;
                    field += c;
                }
                while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r')) ++i;
                if (i < text.size() && text[i] != separator && text[i] != '\n') {
                    result.errorLine = line;
                    result.error = "text after a closing quote";
                    return result;
                }
            } else {
                while (i < text.size() && text[i] != separator && text[i] != '\n') {
                    if (text[i] == '"') {
                        result.errorLine = line;
                        result.error = "a quote inside an unquoted field (quote the whole field and double the quote)";
                        return result;
                    }
                    if (text[i] != '\r') field += text[i];
                    ++i;
                }
            }
            record.fields.push_back(quoted ? field : Trimmed(field));
            if (i >= text.size()) {
                endOfRecord = true;
            } else if (text[i] == separator) {
                ++i;
            } else { // '\n'
                ++i;
                ++line;
                endOfRecord = true;
            }
        }
        result.records.push_back(std::move(record));
    }
    return result;
}

} // namespace zulgate
