// Shared pieces of the fuzz targets: a quiet log, guarded host memory, an
// independent reading of the panel's frames to judge the driver against,
// and a peer on the fake port that answers with bytes the fuzzer chose.
#pragma once

#include "fuzz/input_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/zultrk.h"
#include "host/korvan/korvan.h"
#include "link/msg_buffer.h"
#include "platform/fake/fake_port.h"

namespace fuzz {

using Bytes = std::vector<std::uint8_t>;

[[noreturn]] inline void Fail(const char* what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}
inline void Check(bool ok, const char* what) {
    if (!ok) Fail(what);
}

// Every log line has one of the two levels and begins with the channel
// prefix or, for the reply check, its own "ERROR ChekReply".
inline void CheckLogLine(int level, const char* line) {
    Check(level == 0x20 || level == 0x40, "log level is neither 32 nor 64");
    Check(line != nullptr && (std::strncmp(line, "ZUL", 3) == 0 || std::strncmp(line, "ERROR ChekReply", 15) == 0),
          "log line without its prefix");
}
// Log lines are checked and dropped, or shown when tracing.
inline void QuietSink(int level, const char* line, void*) { CheckLogLine(level, line); }

// With ZUL_FUZZ_TRACE=1 in the environment, a target tells what it ran: for
// replaying one input by hand.
inline bool Tracing() {
    static const bool on = [] {
        const char* v = std::getenv("ZUL_FUZZ_TRACE");
        return v != nullptr && v[0] == '1';
    }();
    return on;
}
inline void TraceSink(int level, const char* line, void*) {
    std::fprintf(stderr, "  log [%d] %s\n", level, line);
    CheckLogLine(level, line);
}
inline void QuietLog() { korvan_set_sink(Tracing() ? &TraceSink : &QuietSink, nullptr); }

// A block of host memory with guard bytes on both sides. The driver may use
// only [0, size) of `Body()`; the guards must keep their pattern.
template <std::size_t Size, std::size_t Guard = 64>
struct Guarded {
    static constexpr std::uint8_t Pattern = 0xA5;
    alignas(16) std::uint8_t bytes[Guard + Size + Guard];
    Guarded() { std::memset(bytes, Pattern, sizeof bytes); }
    std::uint8_t* Body() { return bytes + Guard; }
    bool GuardsIntact() const {
        for (std::size_t i = 0; i < Guard; ++i) {
            if (bytes[i] != Pattern || bytes[Guard + Size + i] != Pattern) return false;
        }
        return true;
    }
};

// The frame format, read independently of the driver's codec: what a
// receiver can take from raw bytes (the first MsgBufferSize of them).
namespace ref {

inline std::uint16_t Crc(const std::uint8_t* bytes, std::size_t n) {
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            bool mix = ((crc ^ (bytes[i] >> bit)) & 1) != 0;
            crc = static_cast<std::uint16_t>(crc >> 1);
            if (mix) crc ^= 0x8408;
        }
    }
    return static_cast<std::uint16_t>(~crc);
}

inline Bytes Stuff(const Bytes& payload) {
    Bytes out;
    for (std::uint8_t b : payload) {
        out.push_back(b);
        if (b == DLE) out.push_back(DLE);
    }
    return out;
}

// The complete frame for a payload: DLE STX, doubled payload, DLE ETX, CRC.
inline Bytes Frame(const Bytes& payload) {
    Bytes body = Stuff(payload);
    body.push_back(DLE);
    body.push_back(ETX);
    std::uint16_t crc = Crc(body.data(), body.size());
    // Built by appending (not insert into a two-byte vector) because GCC 12
    // at -O2 reports a false array-bounds error on the insert.
    Bytes out;
    out.reserve(body.size() + 6);
    out.push_back(DLE);
    out.push_back(STX);
    for (std::uint8_t b : body) out.push_back(b);
    for (std::uint8_t b : {static_cast<std::uint8_t>(crc & 0xFF), static_cast<std::uint8_t>(crc >> 8)}) {
        out.push_back(b);
        if (b == DLE) out.push_back(DLE);
    }
    return out;
}

struct Parsed {
    bool nak = false;
    bool framed = false; // a complete frame with its CRC bytes inside the buffer
    bool crcOk = false;
    Bytes payload; // unstuffed, between DLE STX and DLE ETX
};

inline Parsed Parse(const Bytes& raw) {
    Parsed p;
    std::uint8_t d[MsgBufferSize] = {};
    std::copy(raw.begin(), raw.begin() + static_cast<long>(std::min(raw.size(), sizeof d)), d);
    if (d[0] == NAK) {
        p.nak = true;
        return p;
    }
    int s = 0;
    while (s + 1 < MsgBufferSize && !(d[s] == DLE && d[s + 1] == STX)) ++s;
    if (s + 1 >= MsgBufferSize) return p;
    int etx = -1;
    bool odd = false;
    for (int i = s + 2; i < MsgBufferSize && i - s + 1 <= MsgBufferSize - 1; ++i) {
        if (d[i] == DLE) odd = !odd;
        if (d[i] == ETX && odd) {
            etx = i;
            break;
        }
    }
    if (etx < 0) return p;
    int c = etx + 1;
    if (c < MsgBufferSize && d[c] == DLE) ++c;
    if (c + 1 >= MsgBufferSize) return p; // both CRC bytes must be inside
    std::uint16_t received = static_cast<std::uint16_t>(d[c] | (d[c + 1] << 8));
    p.framed = true;
    p.crcOk = received == Crc(d + s + 2, static_cast<std::size_t>(etx - s - 1));
    // Undo the doubling over the whole frame, then drop DLE STX and DLE ETX.
    Bytes frame;
    for (int j = s; j <= etx; ++j) {
        if (d[j] == DLE && j + 1 <= etx && d[j + 1] == DLE) ++j;
        frame.push_back(d[j]);
    }
    p.payload.assign(frame.begin() + 2, frame.end() - 2);
    return p;
}

} // namespace ref

// Bytes between DLE STX and DLE ETX of a frame the driver wrote, or empty.
inline Bytes PayloadOf(const Bytes& written) {
    ref::Parsed p = ref::Parse(written);
    return p.framed && p.crcOk ? p.payload : Bytes{};
}

// Answers every frame the driver writes with the next reply of a script
// that the fuzzer writes as it goes; single bytes (the driver's ACK) get no
// answer. Replies arrive at once, so the bytes waiting after a write are
// exactly what the receive that follows will see.
class ScriptedPeer : public fake::Peer {
public:
    explicit ScriptedPeer(InputReader& input) : input_(input) {}

    bool announce = true; // ENQ after each RTS rise

    struct Exchange {
        Bytes request; // as written
        Bytes heard;   // every byte waiting right after the answer was queued
    };
    std::vector<Exchange> exchanges;

    void OnRts(fake::Device& device, bool raised) override {
        if (raised && announce) device.Deliver({ENQ}, 1 * fake::Ms);
    }

    void OnWrite(fake::Device& device, const Bytes& bytes) override {
        if (bytes.size() < 2) return;
        Bytes reply = NextReply(PayloadOf(bytes));
        if (!reply.empty()) device.Deliver(reply);
        Exchange e{bytes, {}};
        for (const auto& entry : device.incoming) e.heard.push_back(entry.second);
        exchanges.push_back(e);
    }

private:
    Bytes Values(std::size_t n) {
        Bytes v = input_.ConsumeBytes<std::uint8_t>(n);
        v.resize(n, 0);
        return v;
    }

    // A code byte and `n` value bytes, as a frame's payload.
    Bytes Payload(std::size_t n) {
        Bytes payload{input_.ConsumeIntegral<std::uint8_t>()};
        Bytes v = Values(n);
        payload.insert(payload.end(), v.begin(), v.end());
        return payload;
    }

    // One script entry: a kind byte, then what that kind needs.
    Bytes NextReply(const Bytes& request) {
        // A read announces its byte count; every other request announces 0.
        std::size_t announced = request.size() == 5 && request[0] == 0x50 ? request[4] : 0;
        switch (input_.ConsumeIntegralInRange<int>(0, 9)) {
        case 0:
            return {};
        case 1:
            return {NAK};
        case 2:
            return {ACK};
        case 3: { // raw bytes, possibly more than a buffer holds
            std::size_t n = input_.ConsumeIntegralInRange<std::size_t>(0, 700);
            return input_.ConsumeBytes<std::uint8_t>(n);
        }
        case 4: // a frame of the announced size
            return ref::Frame(Payload(announced));
        case 5: { // the same behind an ACK
            Bytes out{ACK};
            Bytes f = ref::Frame(Payload(announced));
            out.insert(out.end(), f.begin(), f.end());
            return out;
        }
        case 6: { // a frame of any size
            std::size_t n = input_.ConsumeIntegralInRange<std::size_t>(0, 600);
            return ref::Frame(Payload(n));
        }
        case 7: // a status reply
            return ref::Frame({0x11, input_.ConsumeIntegral<std::uint8_t>()});
        case 8: { // a frame with one byte changed
            Bytes f = ref::Frame(Payload(announced));
            std::size_t at = input_.ConsumeIntegralInRange<std::size_t>(0, f.size() - 1);
            f[at] = static_cast<std::uint8_t>(f[at] ^ input_.ConsumeIntegralInRange<int>(1, 255));
            return f;
        }
        default: { // a good frame with more bytes behind it
            Bytes f = ref::Frame(Payload(announced));
            std::size_t n = input_.ConsumeIntegralInRange<std::size_t>(0, 40);
            Bytes tail = input_.ConsumeBytes<std::uint8_t>(n);
            f.insert(f.end(), tail.begin(), tail.end());
            return f;
        }
        }
    }

    InputReader& input_;
};

// The driver sends only whole frames, each exactly as the format builds it
// from its payload, and single ACK bytes.
inline void CheckLineWrites(const fake::Device& device) {
    for (const Bytes& written : device.Writes()) {
        if (written.size() == 1 && written[0] == ACK) continue;
        Bytes payload = PayloadOf(written);
        Check(!payload.empty() && ref::Frame(payload) == written, "the driver wrote something that is not a frame");
    }
}

// A channel whose port is open on a fresh fake device of the given name.
inline bool OpenChannel(ChannelContext& channel, const char* port) {
    std::memset(&channel, 0, sizeof channel);
    std::strcpy(channel.Settings.PortName, port);
    channel.Settings.BaudRate = 9600;
    channel.Settings.ByteSize = 8;
    DriverRequest request;
    std::memset(&request, 0, sizeof request);
    request.Channel = &channel;
    request.Code = OpenPortCode;
    return ZulMain(&request) == 0 && channel.PortHandle != nullptr;
}

} // namespace fuzz
