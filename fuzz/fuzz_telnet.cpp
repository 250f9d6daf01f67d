// The Telnet / RFC 2217 receive path on arbitrary bytes from a device
// server, in arbitrary pieces: the session stays within its buffers, its
// answers are well-formed and agree to nothing but the options it wants,
// and (second mode) the line's data among any negotiation and
// subnegotiation comes out exactly, with no command byte among it.
//
// Input: one mode byte; then, mode 0: pieces, each a length byte (1..64)
// and that many bytes; mode 1: steps, each an op byte and its operands.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fuzz/input_reader.h"
#include "platform/linux/telnet_codec.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace telnet;

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

bool Wanted(std::uint8_t option) {
    return option == OptionBinary || option == OptionSuppressGoAhead || option == OptionComPort;
}

void CheckSession(const Session& s) {
    Check(s.subLength <= sizeof s.sub, "subnegotiation beyond its buffer");
    Check(s.replyLength <= sizeof s.replies && s.replyLength % 3 == 0, "answers beyond their buffer or cut");
    for (std::size_t i = 0; i < s.replyLength; i += 3) {
        Check(s.replies[i] == IAC, "an answer that is no command");
        std::uint8_t verb = s.replies[i + 1], option = s.replies[i + 2];
        Check(verb >= WILL && verb <= DONT, "an answer that is no negotiation");
        if (!Wanted(option)) Check(verb == DONT || verb == WONT, "agreed to an option it does not want");
    }
}

// Any bytes, any pieces.
void AnyBytes(fuzz::InputReader& in) {
    Session s;
    std::uint8_t offer[16];
    Offer(s, true, offer, sizeof offer);
    while (in.remaining_bytes() > 0) {
        std::size_t n = 1 + in.Byte() % 64;
        Bytes piece = in.ConsumeBytes<std::uint8_t>(n);
        Bytes out(piece.size() + 1, 0xAA);
        std::size_t produced = Receive(s, piece.data(), piece.size(), out.data(), piece.size());
        Check(produced <= piece.size(), "more data out than bytes in");
        Check(out[piece.size()] == 0xAA, "data written beyond the room given");
        std::size_t iacIn = 0, iacOut = 0;
        for (std::uint8_t b : piece) iacIn += b == IAC;
        for (std::size_t i = 0; i < produced; ++i) iacOut += out[i] == IAC;
        Check(iacOut * 2 <= iacIn + 1, "a 0xFF data byte that was not doubled"); // +1: a pair split across pieces
        CheckSession(s);
        std::uint8_t replies[64];
        TakeReplies(s, replies, sizeof replies);
    }
}

// Data bytes among commands: the data comes out exactly.
void DataAmongCommands(fuzz::InputReader& in) {
    Session s;
    std::uint8_t offer[16];
    Offer(s, true, offer, sizeof offer);
    const Bytes agree{IAC, DO, OptionComPort, IAC, DO, OptionBinary, IAC, WILL, OptionBinary};
    std::uint8_t scratch[16];
    Receive(s, agree.data(), agree.size(), scratch, sizeof scratch);
    Check(s.comPort == OptionState::Yes && s.sendBinary == OptionState::Yes && s.receiveBinary == OptionState::Yes,
          "the answers to the offers were not taken");

    Bytes stream, data;
    while (in.remaining_bytes() > 0 && stream.size() < 4096) {
        std::uint8_t op = in.Byte();
        switch (op % 4) {
        case 0:
        case 1: { // data, IAC doubled as the server sends it, and as EncodeData does
            std::uint8_t b = in.Byte();
            data.push_back(b);
            std::uint8_t encoded[2];
            std::size_t consumed = 0;
            std::size_t n = EncodeData(s, &b, 1, encoded, sizeof encoded, consumed);
            Check(consumed == 1 && n == (b == IAC ? 2u : 1u) && encoded[0] == b && (n == 1 || encoded[1] == IAC),
                  "EncodeData does not double IAC alone");
            stream.insert(stream.end(), encoded, encoded + n);
            break;
        }
        case 2: { // a negotiation about anything but binary, which would change CR
            std::uint8_t verb = static_cast<std::uint8_t>(WILL + in.Byte() % 4);
            std::uint8_t option = in.Byte();
            if (option == OptionBinary) option = OptionSuppressGoAhead;
            stream.insert(stream.end(), {IAC, verb, option});
            break;
        }
        default: { // a subnegotiation, or a one-byte command
            std::uint8_t kind = in.Byte();
            if (kind & 1) {
                stream.insert(stream.end(), {IAC, SB});
                std::size_t n = in.Byte() % 24;
                for (std::size_t i = 0; i < n; ++i) {
                    std::uint8_t b = in.Byte();
                    stream.push_back(b);
                    if (b == IAC) stream.push_back(IAC);
                }
                stream.insert(stream.end(), {IAC, SE});
            } else {
                stream.insert(stream.end(), {IAC, static_cast<std::uint8_t>(SE + 1 + kind % 9)}); // NOP .. GA
            }
            break;
        }
        }
    }

    // In pieces of 1 to 16 bytes, sizes from the data itself.
    Bytes out;
    std::size_t at = 0;
    while (at < stream.size()) {
        std::size_t n = 1 + (stream[at] + at) % 16;
        if (n > stream.size() - at) n = stream.size() - at;
        std::uint8_t piece[16];
        std::size_t produced = Receive(s, stream.data() + at, n, piece, n);
        out.insert(out.end(), piece, piece + produced);
        CheckSession(s);
        std::uint8_t replies[64];
        TakeReplies(s, replies, sizeof replies);
        at += n;
    }
    Check(s.parse == Session::Parse::Data, "the stream ended inside a command");
    Check(out == data, "the data did not come out exactly");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::InputReader in(data, size);
    if (in.Byte() % 2 == 0) {
        AnyBytes(in);
    } else {
        DataAmongCommands(in);
    }
    return 0;
}
