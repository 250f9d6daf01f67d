// The capture formats and the frame-by-frame decoder: what each item of a
// session is called, in every format a capture can come in.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "link/msg_buffer.h"
#include "tests/trace/cut_off_cases.h"
#include "trace/line_decoder.h"

namespace {

using zultrace::Bytes;
using zultrace::Chunk;
using zultrace::Direction;

using cutoff::Frame;

Bytes Join(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

constexpr Direction H = Direction::HostToPanel, P = Direction::PanelToHost;

// A session as the line carries it: the handshake, a read whose reply comes
// in two records and has a doubled DLE in its CRC, a write refused with a
// status, a request answered with a damaged CRC, a NAK, noise.
std::vector<Chunk> Session() {
    Bytes readReply = Frame({0x50, 0x00, 0x00, 0x00, 0x91}); // its CRC's low byte is 0x10
    Bytes damaged = Frame({0x50, 0x34, 0x12});
    damaged.back() ^= 0x5A;
    std::vector<std::pair<Direction, Bytes>> parts = {
        {P, {0x05}},
        {H, Frame({0x31})},
        {P, {0x06}},
        {H, Frame({0xF0})},
        {P, Frame({0xF5})},
        {H, Join({0x06}, Frame({0x50, 0x01, 0xA2, 0xF3, 0x04}))}, // an ACK and the next request in one record
        {P, Bytes(readReply.begin(), readReply.begin() + 9)},
        {P, Bytes(readReply.begin() + 9, readReply.end())},
        {H, Join({0x06}, Frame({0x60, 0x00, 0x20, 0x00, 0x01, 0xA7}))},
        {P, Frame({0x11, 0x05})},
        {H, Join({0x06}, Frame({0x50, 0x01, 0xA2, 0xF3, 0x02}))},
        {P, damaged},
        {H, Join({0x06}, Frame({0xF0}))},
        {P, {0x15}},
        {P, {0x41, 0x42}},
    };
    std::vector<Chunk> chunks;
    double t = 1700000000.0;
    for (auto& p : parts) {
        Chunk c;
        c.time = (t += 0.0125);
        c.direction = p.first;
        c.bytes = p.second;
        chunks.push_back(c);
    }
    return chunks;
}

std::vector<zultrace::Item> Decode(const std::vector<Chunk>& chunks) {
    zultrace::LineDecoder d;
    std::vector<zultrace::Item> items;
    for (const Chunk& c : chunks) {
        auto more = d.Feed(c);
        items.insert(items.end(), more.begin(), more.end());
    }
    auto rest = d.Finish();
    items.insert(items.end(), rest.begin(), rest.end());
    return items;
}

TEST(LineDecoder, NamesEveryItemAndLinksRepliesToRequests) {
    struct Expect {
        const char* meaning;
        const char* crc;
        int replyTo;
    };
    const Expect expected[] = {
        {"ENQ (the panel announces itself)", "", 0},
        {"wake frame", "good", 0},
        {"ACK (wake frame accepted)", "", 2},
        {"version request", "good", 0},
        {"version identifier 0xF5, accepted", "good", 4},
        {"ACK (end of exchange)", "", 0},
        {"block read at 01A2F3, 4 bytes", "good", 0},
        {"read reply (code 50), 4 value bytes: 0000 9100", "good", 7},
        {"ACK (end of exchange)", "", 0},
        {"block write at 002000, 1 bytes: A7", "good", 0},
        {"status 5 (refused)", "good", 10},
        {"ACK (end of exchange)", "", 0},
        {"block read at 01A2F3, 2 bytes", "good", 0},
        {"read reply (code 50), 2 value bytes: 1234", "bad", 13},
        {"ACK (end of exchange)", "", 0},
        {"version request", "good", 0},
        {"NAK (the panel refused the request)", "", 16},
        {"bytes outside any frame", "", 0},
    };
    auto items = Decode(Session());
    ASSERT_EQ(items.size(), std::size(expected));
    for (std::size_t i = 0; i < items.size(); ++i) {
        SCOPED_TRACE(i + 1);
        EXPECT_EQ(items[i].number, static_cast<int>(i + 1));
        EXPECT_EQ(items[i].meaning.substr(0, std::strlen(expected[i].meaning)), expected[i].meaning);
        EXPECT_EQ(items[i].crc, expected[i].crc);
        EXPECT_EQ(items[i].replyTo, expected[i].replyTo);
    }
    EXPECT_NE(items[13].meaning.find("CRC received"), std::string::npos);
    EXPECT_EQ(items[6].address, 0x01A2F3);
    EXPECT_NEAR(items[4].replyMs, 12.5, 0.01);
}

TEST(LineDecoder, AFrameCutOffAtTheEndIsBroken) {
    zultrace::LineDecoder d;
    Chunk c;
    c.direction = P;
    c.bytes = {0x10, 0x02, 0x50, 0x34};
    EXPECT_TRUE(d.Feed(c).empty());
    auto rest = d.Finish();
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].kind, zultrace::Item::Kind::Broken);
}

// The dissector's name for an item, from the decoder's words.
std::string TypeOf(const zultrace::Item& item) {
    if (item.kind == zultrace::Item::Kind::Broken) return "broken";
    if (item.kind == zultrace::Item::Kind::Noise) return "noise";
    if (item.kind == zultrace::Item::Kind::Control)
        return item.raw[0] == 0x05 ? "enq" : item.raw[0] == 0x06 ? "ack" : "nak";
    if (item.meaning.rfind("block read", 0) == 0) return "read_request";
    if (item.meaning.rfind("read reply", 0) == 0) return "read_reply";
    return "frame";
}

TEST(LineDecoder, ACutOffFrameEndsWhereTheLineSaysItEnds) {
    for (const cutoff::Case& c : cutoff::Cases()) {
        SCOPED_TRACE(c.name);
        std::string types;
        for (const zultrace::Item& item : Decode(cutoff::Chunks(c))) types += (types.empty() ? "" : "|") + TypeOf(item);
        EXPECT_EQ(types, c.types);
    }
}

std::string Hex(const Bytes& b, std::size_t from, std::size_t to) {
    std::string s;
    char two[4];
    for (std::size_t i = from; i < to; ++i) {
        std::snprintf(two, sizeof two, " %02x", b[i]);
        s += two;
    }
    return s;
}

std::string Stamp(double t) {
    std::time_t whole = static_cast<std::time_t>(t);
    std::tm local{};
    localtime_r(&whole, &local);
    char text[64];
    std::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", &local);
    char frac[24];
    std::snprintf(frac, sizeof frac, ".%09ld", static_cast<long>((t - static_cast<double>(whole)) * 1e9));
    return std::string(text) + frac;
}

// As socat -x writes it (one line of bytes), or -x -v (16 a line with their
// text, records ending in "--").
std::string Socat(const std::vector<Chunk>& chunks, bool verbose) {
    std::string out;
    for (const Chunk& c : chunks) {
        out += std::string(c.direction == H ? ">" : "<") + " " + Stamp(c.time) +
               "  length=" + std::to_string(c.bytes.size()) + " from=0 to=" + std::to_string(c.bytes.size() - 1) + "\n";
        if (!verbose) {
            out += Hex(c.bytes, 0, c.bytes.size()) + "\n";
            continue;
        }
        for (std::size_t i = 0; i < c.bytes.size(); i += 16) {
            std::size_t end = std::min(c.bytes.size(), i + 16);
            std::string line = Hex(c.bytes, i, end);
            line.resize(49, ' ');
            for (std::size_t k = i; k < end; ++k)
                line += (c.bytes[k] >= 32 && c.bytes[k] < 127) ? char(c.bytes[k]) : '.';
            out += line + "\n";
        }
        out += "--\n";
    }
    return out;
}

std::string SimTrace(const std::vector<Chunk>& chunks) {
    std::string out;
    for (const Chunk& c : chunks) {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%10.3f ", (c.time - chunks[0].time) * 1000);
        std::string hex = Hex(c.bytes, 0, c.bytes.size()).substr(1);
        for (char& ch : hex) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        out += stamp + std::string(c.direction == H ? "drv>" : "sim>") + " " + hex + "  a note\n";
    }
    return out;
}

std::string HexDump(const std::vector<Chunk>& chunks) {
    std::string out = "# bytes as a serial monitor showed them\n";
    int offset = 0;
    for (const Chunk& c : chunks) {
        char at[16];
        std::snprintf(at, sizeof at, "%04x:", offset);
        out += at + Hex(c.bytes, 0, c.bytes.size()) + "\n";
        offset += static_cast<int>(c.bytes.size());
    }
    return out;
}

Bytes AsBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::vector<std::string> Meanings(const std::vector<zultrace::Item>& items) {
    std::vector<std::string> out;
    for (const auto& i : items) out.push_back(i.meaning + " / " + i.crc + " / " + std::to_string(i.replyTo));
    return out;
}

TEST(CaptureFormats, TheSameSessionInEveryFormatDecodesTheSame) {
    std::vector<Chunk> session = Session();
    const std::vector<std::string> reference = Meanings(Decode(session));

    char path[] = "/tmp/zultrace.XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        zultrace::PcapWriter pcap;
        std::string error;
        ASSERT_TRUE(pcap.Open(path, &error)) << error;
        for (const Chunk& c : session) pcap.Record(c.direction, c.bytes.data(), c.bytes.size(), c.time);
    }
    std::ifstream in(path, std::ios::binary);
    Bytes pcapFile((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unlink(path);

    struct Input {
        const char* format;
        Bytes file;
        bool directions;
    };
    const Input inputs[] = {
        {"pcap", pcapFile, true},
        {"socat", AsBytes(Socat(session, false)), true},
        {"socat", AsBytes(Socat(session, true)), true},
        {"simulator trace", AsBytes(SimTrace(session)), true},
        {"hex dump", AsBytes(HexDump(session)), false},
    };
    for (const Input& input : inputs) {
        SCOPED_TRACE(input.format);
        std::vector<Chunk> chunks;
        std::string format, error;
        ASSERT_TRUE(zultrace::ReadCapture(input.file, chunks, &format, &error)) << error;
        EXPECT_EQ(format, input.format);
        ASSERT_EQ(chunks.size(), session.size());
        for (std::size_t i = 0; i < chunks.size(); ++i) {
            EXPECT_EQ(chunks[i].bytes, session[i].bytes) << i;
            if (input.directions) {
                EXPECT_EQ(chunks[i].direction, session[i].direction) << i;
            }
        }
        EXPECT_EQ(Meanings(Decode(chunks)), reference);
    }
    std::vector<Chunk> chunks;
    std::string format, error;
    EXPECT_FALSE(zultrace::ReadCapture(AsBytes("10 02 zz\n"), chunks, &format, &error));
    EXPECT_NE(error.find("zz"), std::string::npos);
}

// Real socat output, as socat 1.7 printed it between two pseudo-terminals.
TEST(CaptureFormats, ReadsRealSocatOutput) {
    const std::string text =
        "> 2026/12/09 11:00:47.000558923  length=11 from=0 to=10\n"
        " 10 02 50 01 a2 f3 04 10 03 55 90                 ..P......U.\n"
        "--\n"
        "< 2026/12/09 11:00:47.000659153  length=10 from=0 to=9\n"
        " 06 10 02 50 34 12 78 56 10 03                    ...P4.xV..\n"
        "--\n";
    std::vector<Chunk> chunks;
    std::string format, error;
    ASSERT_TRUE(zultrace::ReadCapture(AsBytes(text), chunks, &format, &error)) << error;
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0].direction, H);
    EXPECT_EQ(chunks[1].bytes.size(), 10u);
    EXPECT_NEAR(chunks[1].time - chunks[0].time, 0.000100230, 1e-6);
}

} // namespace
