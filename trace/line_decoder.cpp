#include "trace/line_decoder.h"

#include <cstdio>

namespace zultrace {
namespace {

constexpr std::uint8_t Enq = 0x05, Ack = 0x06, Nak = 0x15;
constexpr int CmdWake = 0x31, CmdVersion = 0xF0, CmdRead = 0x50, CmdWrite = 0x60, StatusCode = 0x11;

std::string Format(const char* format, long a, long b = 0) {
    char text[96];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

bool AcceptedVersion(int id) { return id == 0xF2 || id == 0xF5 || id == 0xF6 || id == 0xFA; }

// The direction a frame of an unknown side comes from, by what it carries.
Direction FromContent(const Bytes& p) {
    if (p.size() == 1 && (p[0] == CmdWake || p[0] == CmdVersion)) return Direction::HostToPanel;
    if (p.size() == 5 && p[0] == CmdRead) return Direction::HostToPanel;
    if (p.size() >= 5 && p[0] == CmdWrite && p.size() == 5u + p[4]) return Direction::HostToPanel;
    return Direction::PanelToHost;
}

std::string Words(const Bytes& v) {
    std::string s;
    for (std::size_t i = 0; i + 1 < v.size(); i += 2) {
        if (i == 16) {
            s += " ...";
            break;
        }
        s += Format(i ? " %04lX" : "%04lX", v[i] | v[i + 1] << 8);
    }
    return s;
}

} // namespace

std::string HexText(const Bytes& bytes, std::size_t most) {
    std::string s;
    char two[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (most && i == most) {
            s += " ...";
            break;
        }
        std::snprintf(two, sizeof two, i ? " %02X" : "%02X", bytes[i]);
        s += two;
    }
    return s;
}

const char* KindName(Item::Kind kind) {
    switch (kind) {
    case Item::Kind::Frame:
        return "frame";
    case Item::Kind::Control:
        return "control";
    case Item::Kind::Noise:
        return "noise";
    case Item::Kind::Broken:
        return "broken";
    }
    return "?";
}

FrameScanner& LineDecoder::ScannerFor(Direction d) { return scanners_[static_cast<std::size_t>(d)]; }

std::vector<Item> LineDecoder::Feed(const Chunk& chunk) {
    std::vector<Item> out;
    ExpireStale(chunk, out);
    std::vector<Inbound> events;
    ScannerFor(chunk.direction).Feed(chunk.bytes.data(), chunk.bytes.size(), events);
    for (const Inbound& in : events) Emit(in, chunk.direction, chunk.time, out);
    if (chunk.time >= 0) lastTime_[static_cast<std::size_t>(chunk.direction)] = chunk.time;
    return out;
}

void LineDecoder::ExpireStale(const Chunk& chunk, std::vector<Item>& out) {
    if (chunk.time < 0) return; // without times only a new frame or the end cuts one off
    for (std::size_t d = 0; d < scanners_.size(); ++d) {
        Direction side = static_cast<Direction>(d);
        if (!scanners_[d].Partial() || lastTime_[d] < 0) continue;
        double gap = chunk.time - lastTime_[d];
        bool otherSide = side != chunk.direction && side != Direction::Unknown && chunk.direction != Direction::Unknown;
        if (gap <= FrameGap && !(otherSide && gap >= TurnGap)) continue;
        std::vector<Inbound> events;
        scanners_[d].Expire(events);
        for (const Inbound& in : events) Emit(in, side, lastTime_[d], out);
    }
}

std::vector<Item> LineDecoder::Finish() {
    std::vector<Item> out;
    for (std::size_t d = 0; d < scanners_.size(); ++d) {
        std::vector<Inbound> events;
        scanners_[d].Expire(events);
        for (const Inbound& in : events) Emit(in, static_cast<Direction>(d), lastTime_[d], out);
    }
    return out;
}

void LineDecoder::Emit(const Inbound& in, Direction d, double time, std::vector<Item>& out) {
    if (in.kind == Inbound::Stray) {
        // Control bytes one by one; other bytes together as noise.
        Bytes noise;
        auto flush = [&] {
            if (noise.empty()) return;
            Item item;
            item.number = next_++;
            item.time = time;
            item.direction = d;
            item.kind = Item::Kind::Noise;
            item.raw = noise;
            item.meaning = "bytes outside any frame";
            out.push_back(item);
            noise.clear();
        };
        for (std::uint8_t b : in.raw) {
            if (b != Enq && b != Ack && b != Nak) {
                noise.push_back(b);
                continue;
            }
            flush();
            Item item;
            item.number = next_++;
            item.time = time;
            item.direction = d;
            item.kind = Item::Kind::Control;
            item.raw = {b};
            NameControl(item);
            out.push_back(item);
        }
        flush();
        return;
    }
    Item item;
    item.number = next_++;
    item.time = time;
    item.direction = d;
    item.raw = in.raw;
    if (in.kind == Inbound::Broken) {
        item.kind = Item::Kind::Broken;
        item.meaning = "frame cut off (no closing DLE ETX and CRC)";
        out.push_back(item);
        return;
    }
    item.kind = Item::Kind::Frame;
    item.payload = in.payload;
    item.crc = in.crcOk ? "good" : "bad";
    if (item.direction == Direction::Unknown) {
        // Without directions, a frame of the length the waiting read asked
        // for is its reply, whatever it looks like; else the content decides.
        bool readReply = pending_.command == CmdRead &&
                         in.payload.size() == 1u + static_cast<std::size_t>(pending_.count);
        item.direction = readReply ? Direction::PanelToHost : FromContent(in.payload);
    }
    if (item.direction == Direction::HostToPanel) {
        NameHostFrame(item);
    } else {
        NamePanelFrame(item);
    }
    if (!in.crcOk) {
        item.meaning += Format(" [CRC received %04lX, computed %04lX]", in.crcReceived, in.crcComputed);
    }
    out.push_back(item);
}

void LineDecoder::NameHostFrame(Item& item) {
    const Bytes& p = item.payload;
    if (p.empty()) {
        item.meaning = "empty frame";
        return;
    }
    item.command = p[0];
    if (p.size() == 1 && p[0] == CmdWake) {
        item.meaning = "wake frame";
    } else if (p.size() == 1 && p[0] == CmdVersion) {
        item.meaning = "version request";
    } else if (p.size() == 5 && p[0] == CmdRead) {
        item.address = p[1] << 16 | p[2] << 8 | p[3];
        item.count = p[4];
        item.meaning = Format("block read at %06lX, %ld bytes", item.address, item.count);
    } else if (p.size() >= 5 && p[0] == CmdWrite) {
        item.address = p[1] << 16 | p[2] << 8 | p[3];
        item.count = p[4];
        item.values.assign(p.begin() + 5, p.end());
        item.meaning = Format("block write at %06lX, %ld bytes", item.address, item.count) + ": " +
                       HexText(item.values, 16);
        if (item.values.size() != static_cast<std::size_t>(item.count)) {
            item.meaning += Format(" (%ld value bytes follow, not %ld)", static_cast<long>(item.values.size()),
                                   item.count);
        }
    } else {
        item.meaning = Format("command %02lX, %ld payload bytes", p[0], static_cast<long>(p.size()));
    }
    // A request waits for its answer; a repeated one (the next attempt) takes its place.
    if (item.crc == "good")
        pending_ = Pending{item.number, item.time, p.size() == 1 ? p[0] : item.command,
                           item.count < 0 ? 0 : item.count};
}

void LineDecoder::NamePanelFrame(Item& item) {
    const Bytes& p = item.payload;
    Pending asked = pending_;
    if (p.size() == 2 && p[0] == StatusCode) {
        item.status = p[1];
        item.meaning = p[1] == 0 ? "status 0 (done)" : Format("status %ld (refused)", p[1]);
    } else if (asked.command == CmdVersion && p.size() == 1) {
        item.versionId = p[0];
        item.meaning = Format("version identifier 0x%02lX, ", p[0]) +
                       (AcceptedVersion(p[0]) ? "accepted" : "not accepted");
    } else if (asked.command == CmdRead && !p.empty() && p.size() == 1u + static_cast<std::size_t>(asked.count)) {
        item.command = p[0];
        item.values.assign(p.begin() + 1, p.end());
        item.meaning = Format("read reply (code %02lX), %ld value bytes", p[0], static_cast<long>(item.values.size()));
        if (!item.values.empty()) item.meaning += ": " + Words(item.values);
    } else if (p.empty()) {
        item.meaning = "empty reply frame";
    } else {
        item.meaning = Format("reply frame, code %02lX, %ld payload bytes", p[0], static_cast<long>(p.size()));
        if (asked.number == 0) item.meaning += " (no request waits for it)";
    }
    Answer(item);
}

void LineDecoder::NameControl(Item& item) {
    std::uint8_t b = item.raw[0];
    bool fromPanel = item.direction == Direction::PanelToHost ||
                     (item.direction == Direction::Unknown && (b != Ack || pending_.command == CmdWake));
    if (b == Enq) {
        item.meaning = "ENQ (the panel announces itself)";
        return;
    }
    if (b == Nak) {
        item.meaning = "NAK (the panel refused the request)";
        if (fromPanel) Answer(item);
        return;
    }
    if (fromPanel && pending_.command == CmdWake) {
        item.meaning = "ACK (wake frame accepted)";
        Answer(item);
        return;
    }
    item.meaning = fromPanel ? "ACK" : "ACK (end of exchange)";
}

void LineDecoder::Answer(Item& item) {
    if (pending_.number == 0) return;
    item.replyTo = pending_.number;
    if (pending_.time >= 0 && item.time >= 0) item.replyMs = (item.time - pending_.time) * 1000;
    pending_ = Pending{};
}

std::string FormatItem(const Item& item, double origin) {
    char time[24] = "-";
    if (item.time >= 0) std::snprintf(time, sizeof time, "%.6f", item.time - origin);
    std::string reply = "-";
    if (item.replyTo) {
        reply = "#" + std::to_string(item.replyTo);
        if (item.replyMs >= 0) {
            char ms[32];
            std::snprintf(ms, sizeof ms, " +%.3f ms", item.replyMs);
            reply += ms;
        }
    }
    char line[512];
    std::snprintf(line, sizeof line, "%5d  %12s  %-6s  %-36s  %-5s  %-16s  %s", item.number, time,
                  DirectionName(item.direction), HexText(item.raw, 12).c_str(),
                  item.crc.empty() ? "-" : item.crc.c_str(), reply.c_str(), item.meaning.c_str());
    return line;
}

std::string FormatTable(const std::vector<Item>& items) {
    double origin = -1;
    for (const Item& i : items) {
        if (i.time >= 0 && (origin < 0 || i.time < origin)) origin = i.time;
    }
    char head[256];
    std::snprintf(head, sizeof head, "%5s  %12s  %-6s  %-36s  %-5s  %-16s  %s\n", "#", "time (s)", "dir", "bytes",
                  "crc", "reply to", "meaning");
    std::string out = head;
    for (const Item& i : items) out += FormatItem(i, origin) + "\n";
    return out;
}

} // namespace zultrace
