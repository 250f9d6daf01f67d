#include "platform/linux/telnet_codec.h"

#include <cstring>

namespace telnet {
namespace {

constexpr std::uint8_t CR = 0x0D;

void QueueReply(Session& s, std::uint8_t verb, std::uint8_t option) {
    // A server that floods negotiation gets the first answers only.
    if (s.replyLength + 3u > sizeof s.replies) return;
    s.replies[s.replyLength++] = IAC;
    s.replies[s.replyLength++] = verb;
    s.replies[s.replyLength++] = option;
}

// The server offers (WILL) or withdraws (WONT) its side of an option we
// want: an offer we asked for needs no answer, one we did not is agreed to,
// a withdrawal of one in force is confirmed. Never answering a state that
// does not change keeps two well-behaved ends out of a loop.
void TheirSide(Session& s, OptionState& state, bool will, std::uint8_t option) {
    if (will) {
        if (state == OptionState::No) QueueReply(s, DO, option);
        state = OptionState::Yes;
    } else {
        if (state == OptionState::Yes) QueueReply(s, DONT, option);
        state = OptionState::No;
    }
}

// The server asks us to (DO) or not to (DONT) take our side of an option.
void OurSide(Session& s, OptionState& state, bool doIt, std::uint8_t option) {
    if (doIt) {
        if (state == OptionState::No) QueueReply(s, WILL, option);
        state = OptionState::Yes;
    } else {
        if (state == OptionState::Yes) QueueReply(s, WONT, option);
        state = OptionState::No;
    }
}

void Negotiated(Session& s, std::uint8_t verb, std::uint8_t option) {
    s.heardTelnet = true;
    switch (verb) {
    case WILL:
    case WONT: {
        bool will = verb == WILL;
        if (option == OptionBinary) {
            TheirSide(s, s.receiveBinary, will, option);
        } else if (option == OptionSuppressGoAhead) {
            TheirSide(s, s.serverSga, will, option);
        } else if (will) {
            QueueReply(s, DONT, option); // nothing else is taken from the server
        }
        break;
    }
    case DO:
    case DONT: {
        bool doIt = verb == DO;
        if (option == OptionBinary) {
            OurSide(s, s.sendBinary, doIt, option);
        } else if (option == OptionComPort) {
            OurSide(s, s.comPort, doIt, option);
            s.comPortRefused = !doIt;
        } else if (doIt) {
            QueueReply(s, WONT, option); // nor offered to it
        }
        break;
    }
    default:
        break;
    }
}

void FinishSub(Session& s) {
    s.heardTelnet = true;
    if (s.subOverflow || s.subLength < 2 || s.sub[0] != OptionComPort) return;
    std::uint8_t code = s.sub[1];
    if (code < ServerOffset || code - ServerOffset >= ComPortCommands) return;
    ServerReport& r = s.reports[code - ServerOffset];
    r.seen = true;
    if (code - ServerOffset == SetBaudRate) {
        r.value = s.subLength >= 6
                      ? (static_cast<std::uint32_t>(s.sub[2]) << 24) | (static_cast<std::uint32_t>(s.sub[3]) << 16) |
                            (static_cast<std::uint32_t>(s.sub[4]) << 8) | s.sub[5]
                      : 0;
    } else {
        r.value = s.subLength >= 3 ? s.sub[2] : 0;
    }
    ++s.reportCount;
}

void SubByte(Session& s, std::uint8_t b) {
    if (s.subLength < sizeof s.sub) {
        s.sub[s.subLength++] = b;
    } else {
        s.subOverflow = true;
    }
}

} // namespace

std::size_t Offer(Session& s, bool comPort, std::uint8_t* out, std::size_t room) {
    std::size_t n = 0;
    auto put = [&](std::uint8_t verb, std::uint8_t option) {
        if (n + 3 > room) return false;
        out[n++] = IAC;
        out[n++] = verb;
        out[n++] = option;
        return true;
    };
    if (comPort && put(WILL, OptionComPort)) s.comPort = OptionState::Asked;
    if (put(WILL, OptionBinary)) s.sendBinary = OptionState::Asked;
    if (put(DO, OptionBinary)) s.receiveBinary = OptionState::Asked;
    return n;
}

std::size_t Receive(Session& s, const std::uint8_t* in, std::size_t n, std::uint8_t* out, std::size_t room) {
    std::size_t produced = 0;
    auto emit = [&](std::uint8_t b) {
        if (produced < room) out[produced++] = b;
    };
    for (std::size_t i = 0; i < n; ++i) {
        std::uint8_t b = in[i];
        switch (s.parse) {
        case Session::Parse::AfterCr:
            // Outside binary a CR travels as CR NUL: the NUL is no data.
            s.parse = Session::Parse::Data;
            if (b == 0) break;
            [[fallthrough]];
        case Session::Parse::Data:
            if (b == IAC) {
                s.parse = Session::Parse::Iac;
            } else {
                emit(b);
                if (b == CR && s.receiveBinary != OptionState::Yes) s.parse = Session::Parse::AfterCr;
            }
            break;
        case Session::Parse::Iac:
            if (b == IAC) {
                emit(IAC);
                s.parse = Session::Parse::Data;
            } else if (b >= WILL && b <= DONT) {
                s.verb = b;
                s.parse = Session::Parse::Verb;
            } else if (b == SB) {
                s.subLength = 0;
                s.subOverflow = false;
                s.parse = Session::Parse::Sub;
            } else {
                // NOP, GA, DM and the other one-byte commands carry no data,
                // nor does a byte that is no command at all.
                if (b >= SE) s.heardTelnet = true;
                s.parse = Session::Parse::Data;
            }
            break;
        case Session::Parse::Verb:
            Negotiated(s, s.verb, b);
            s.parse = Session::Parse::Data;
            break;
        case Session::Parse::Sub:
            if (b == IAC) {
                s.parse = Session::Parse::SubIac;
            } else {
                SubByte(s, b);
            }
            break;
        case Session::Parse::SubIac:
            if (b == SE) {
                FinishSub(s);
                s.parse = Session::Parse::Data;
            } else if (b == IAC) {
                SubByte(s, IAC);
                s.parse = Session::Parse::Sub;
            } else {
                // A command inside a subnegotiation ends it unfinished; the
                // command itself is taken as one.
                s.parse = Session::Parse::Iac;
                --i;
            }
            break;
        }
    }
    return produced;
}

std::size_t EncodeData(const Session& s, const std::uint8_t* in, std::size_t n, std::uint8_t* out, std::size_t room,
                       std::size_t& consumed) {
    std::size_t written = 0;
    const bool binary = s.sendBinary == OptionState::Yes;
    for (consumed = 0; consumed < n; ++consumed) {
        std::uint8_t b = in[consumed];
        bool two = b == IAC || (b == CR && !binary);
        if (written + (two ? 2 : 1) > room) break;
        out[written++] = b;
        if (b == IAC) out[written++] = IAC;
        if (b == CR && !binary) out[written++] = 0;
    }
    return written;
}

std::size_t ComPort(std::uint8_t code, const std::uint8_t* value, std::size_t length, std::uint8_t* out) {
    if (length > 4) length = 4;
    std::size_t n = 0;
    out[n++] = IAC;
    out[n++] = SB;
    out[n++] = OptionComPort;
    out[n++] = code;
    for (std::size_t i = 0; i < length; ++i) {
        out[n++] = value[i];
        if (value[i] == IAC) out[n++] = IAC;
    }
    out[n++] = IAC;
    out[n++] = SE;
    return n;
}

std::size_t ComPortByte(std::uint8_t code, std::uint8_t value, std::uint8_t* out) {
    return ComPort(code, &value, 1, out);
}

std::size_t ComPortBaud(std::uint32_t baud, std::uint8_t* out) {
    const std::uint8_t value[4] = {static_cast<std::uint8_t>(baud >> 24), static_cast<std::uint8_t>(baud >> 16),
                                   static_cast<std::uint8_t>(baud >> 8), static_cast<std::uint8_t>(baud)};
    return ComPort(SetBaudRate, value, sizeof value, out);
}

std::size_t TakeReplies(Session& s, std::uint8_t* out, std::size_t room) {
    if (s.replyLength == 0 || s.replyLength > room) return 0;
    std::size_t n = s.replyLength;
    std::memcpy(out, s.replies, n);
    s.replyLength = 0;
    return n;
}

} // namespace telnet
