#include "trace/capture.h"

#include <cctype>
#include <chrono>
#include <cstring>
#include <ctime>
#include <sstream>

namespace zultrace {
namespace {

constexpr std::uint32_t MagicMicro = 0xA1B2C3D4;
constexpr std::uint32_t MagicNano = 0xA1B23C4D;
constexpr std::uint32_t Snaplen = 65535;

void Put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void Put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

std::uint32_t Get32(const std::uint8_t* p, bool swapped) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(p[swapped ? 3 - i : i]) << (8 * i);
    return v;
}

bool Fail(std::string* error, const std::string& what) {
    if (error) *error = what;
    return false;
}

std::vector<std::string> Lines(const Bytes& file) {
    std::vector<std::string> lines;
    std::string line;
    for (std::uint8_t b : file) {
        if (b == '\n') {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
            line.clear();
        } else {
            line.push_back(static_cast<char>(b));
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

std::vector<std::string> Tokens(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    std::string t;
    while (in >> t) out.push_back(t);
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// A token of whole hex byte pairs ("10", "0x10", "1002F3"); false for anything else.
bool HexBytes(std::string token, Bytes& out) {
    if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) token = token.substr(2);
    if (token.empty() || token.size() % 2 != 0) return false;
    Bytes bytes;
    for (std::size_t i = 0; i < token.size(); i += 2) {
        int hi = HexDigit(token[i]), lo = HexDigit(token[i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    out.insert(out.end(), bytes.begin(), bytes.end());
    return true;
}

bool IsByteToken(const std::string& t) { return t.size() == 2 && HexDigit(t[0]) >= 0 && HexDigit(t[1]) >= 0; }

// "> 2026/12/09 11:00:47.000558923  length=11 from=0 to=10"
bool SocatHeader(const std::string& line, Chunk& chunk, std::size_t& length) {
    if (line.size() < 22 || (line[0] != '>' && line[0] != '<') || line[1] != ' ') return false;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    double second = 0;
    unsigned long count = 0;
    if (std::sscanf(line.c_str() + 2, "%d/%d/%d %d:%d:%lf length=%lu", &year, &month, &day, &hour, &minute, &second,
                    &count) != 7)
        return false;
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_isdst = -1;
    std::time_t whole = std::mktime(&t);
    chunk = Chunk{};
    chunk.time = whole == static_cast<std::time_t>(-1) ? -1 : static_cast<double>(whole) + second;
    chunk.direction = line[0] == '>' ? Direction::HostToPanel : Direction::PanelToHost;
    length = count;
    return true;
}

bool ReadSocat(const std::vector<std::string>& lines, std::vector<Chunk>& chunks, std::string* error) {
    // With -v the bytes come 16 a line beside their text and records end in
    // "--"; with -x alone they are all on one line.
    bool verbose = false;
    for (const std::string& l : lines) verbose = verbose || l == "--";
    for (std::size_t i = 0; i < lines.size(); ++i) {
        Chunk chunk;
        std::size_t length = 0;
        if (!SocatHeader(lines[i], chunk, length)) continue;
        while (chunk.bytes.size() < length && i + 1 < lines.size() && !SocatHeader(lines[i + 1], chunk, length)) {
            ++i;
            std::size_t taken = 0;
            for (const std::string& t : Tokens(lines[i])) {
                if (chunk.bytes.size() >= length || (verbose && taken == 16) || !IsByteToken(t)) break;
                HexBytes(t, chunk.bytes);
                ++taken;
            }
        }
        if (chunk.bytes.size() != length) {
            return Fail(error, "socat record at line " + std::to_string(i + 1) + " has " +
                                   std::to_string(chunk.bytes.size()) + " of its " + std::to_string(length) + " bytes");
        }
        chunks.push_back(std::move(chunk));
    }
    return true;
}

// "   301.503 drv> 10 02 31 10 03 B4 BD  wake frame"
bool SimTraceLine(const std::string& line, Chunk& chunk) {
    double ms = 0;
    char who[8] = {};
    int used = 0;
    if (std::sscanf(line.c_str(), " %lf %4s%n", &ms, who, &used) != 2) return false;
    std::string w = who;
    if (w != "drv>" && w != "sim>") return false;
    chunk = Chunk{};
    chunk.time = ms / 1000.0;
    chunk.direction = w == "drv>" ? Direction::HostToPanel : Direction::PanelToHost;
    std::string rest = line.substr(static_cast<std::size_t>(used));
    if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
    rest = rest.substr(0, rest.find("  ")); // a note follows two blanks
    for (const std::string& t : Tokens(rest)) {
        if (!IsByteToken(t)) break;
        HexBytes(t, chunk.bytes);
    }
    return true;
}

bool ReadSimTrace(const std::vector<std::string>& lines, std::vector<Chunk>& chunks) {
    for (const std::string& l : lines) {
        Chunk c;
        if (SimTraceLine(l, c) && !c.bytes.empty()) chunks.push_back(std::move(c));
    }
    return true;
}

// Hex bytes, one line a chunk; an offset ending in ':' and '#' comments are
// passed over.
bool ReadHexDump(const std::vector<std::string>& lines, std::vector<Chunk>& chunks, std::string* error) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string line = lines[i].substr(0, lines[i].find('#'));
        Chunk c;
        for (const std::string& t : Tokens(line)) {
            if (!t.empty() && t.back() == ':') continue;
            if (!HexBytes(t, c.bytes))
                return Fail(error, "line " + std::to_string(i + 1) + ": '" + t + "' is not hex bytes");
        }
        if (!c.bytes.empty()) chunks.push_back(std::move(c));
    }
    if (chunks.empty()) return Fail(error, "no bytes in the capture");
    return true;
}

} // namespace

const char* DirectionName(Direction d) {
    switch (d) {
    case Direction::HostToPanel:
        return "host>";
    case Direction::PanelToHost:
        return "panel>";
    case Direction::Unknown:
        return "?";
    }
    return "?";
}

double UnixNow() { return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(); }

PcapWriter::~PcapWriter() { Close(); }

bool PcapWriter::Open(const std::string& path, std::string* error) {
    Close();
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) return Fail(error, "cannot write " + path + ": " + std::strerror(errno));
    std::uint8_t header[24] = {};
    Put32(header, MagicMicro);
    Put16(header + 4, 2);
    Put16(header + 6, 4);
    Put32(header + 16, Snaplen);
    Put32(header + 20, LinkTypeUser0);
    std::fwrite(header, 1, sizeof header, file_);
    std::fflush(file_);
    return true;
}

void PcapWriter::Record(Direction direction, const std::uint8_t* bytes, std::size_t count) {
    Record(direction, bytes, count, UnixNow());
}

void PcapWriter::Record(Direction direction, const std::uint8_t* bytes, std::size_t count, double unixSeconds) {
    if (!file_ || count == 0) return;
    if (count > Snaplen - 1) count = Snaplen - 1;
    auto whole = static_cast<std::uint32_t>(unixSeconds);
    auto micros = static_cast<std::uint32_t>((unixSeconds - whole) * 1e6);
    if (micros >= 1000000) micros = 999999;
    std::uint8_t header[17];
    Put32(header, whole);
    Put32(header + 4, micros);
    Put32(header + 8, static_cast<std::uint32_t>(count + 1));
    Put32(header + 12, static_cast<std::uint32_t>(count + 1));
    header[16] = static_cast<std::uint8_t>(direction == Direction::PanelToHost ? 1 : 0);
    std::fwrite(header, 1, sizeof header, file_);
    std::fwrite(bytes, 1, count, file_);
    std::fflush(file_);
}

void PcapWriter::Close() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
}

bool ReadPcap(const Bytes& file, std::vector<Chunk>& chunks, std::string* error) {
    if (file.size() < 24) return Fail(error, "too short for a pcap file");
    std::uint32_t magic = Get32(file.data(), false);
    bool swapped = false, nano = false;
    if (magic == MagicMicro || magic == MagicNano) {
        nano = magic == MagicNano;
    } else {
        swapped = true;
        magic = Get32(file.data(), true);
        if (magic != MagicMicro && magic != MagicNano) return Fail(error, "not a pcap file (pcapng is not read)");
        nano = magic == MagicNano;
    }
    std::uint32_t link = Get32(file.data() + 20, swapped);
    if (link != LinkTypeUser0) return Fail(error, "pcap link type " + std::to_string(link) + ", not 147 (DLT_USER0)");
    std::size_t at = 24;
    while (at + 16 <= file.size()) {
        std::uint32_t seconds = Get32(file.data() + at, swapped);
        std::uint32_t fraction = Get32(file.data() + at + 4, swapped);
        std::uint32_t captured = Get32(file.data() + at + 8, swapped);
        at += 16;
        if (captured > file.size() - at) return Fail(error, "a pcap record runs past the end of the file");
        if (captured >= 1) {
            Chunk c;
            c.time = seconds + fraction / (nano ? 1e9 : 1e6);
            c.direction = file[at] == 0   ? Direction::HostToPanel
                          : file[at] == 1 ? Direction::PanelToHost
                                          : Direction::Unknown;
            c.bytes.assign(file.begin() + static_cast<std::ptrdiff_t>(at) + 1,
                           file.begin() + static_cast<std::ptrdiff_t>(at + captured));
            chunks.push_back(std::move(c));
        }
        at += captured;
    }
    return true;
}

bool ReadCapture(const Bytes& file, std::vector<Chunk>& chunks, std::string* format, std::string* error) {
    chunks.clear();
    if (file.size() >= 4) {
        std::uint32_t m = Get32(file.data(), false), s = Get32(file.data(), true);
        if (m == MagicMicro || m == MagicNano || s == MagicMicro || s == MagicNano) {
            if (format) *format = "pcap";
            return ReadPcap(file, chunks, error);
        }
    }
    std::vector<std::string> lines = Lines(file);
    for (const std::string& l : lines) {
        Chunk c;
        std::size_t n = 0;
        if (SocatHeader(l, c, n)) {
            if (format) *format = "socat";
            return ReadSocat(lines, chunks, error);
        }
        if (SimTraceLine(l, c)) {
            if (format) *format = "simulator trace";
            return ReadSimTrace(lines, chunks);
        }
    }
    if (format) *format = "hex dump";
    return ReadHexDump(lines, chunks, error);
}

} // namespace zultrace
