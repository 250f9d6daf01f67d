#include "gateway/mbap.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace zulgate {
namespace {

using Clock = std::chrono::steady_clock;

enum class Got { All, Closed, Late };

// Reads exactly `count` bytes by `until`.
Got ReadAll(int fd, std::uint8_t* to, int count, Clock::time_point until) {
    int got = 0;
    while (got < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left < 0) return Got::Late;
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left) + 1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return Got::Closed;
        if (ready == 0) continue; // the loop's check decides
        ssize_t n = recv(fd, to + got, static_cast<std::size_t>(count - got), 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return Got::Closed;
        got += static_cast<int>(n);
    }
    return Got::All;
}

int Word(const std::uint8_t* p) { return (p[0] << 8) | p[1]; }

} // namespace

FrameRead ReadMbapFrame(int fd, std::chrono::milliseconds idle, std::chrono::milliseconds rest, MbapFrame& frame,
                        std::string& why) {
    frame.length = 0;
    Got first = ReadAll(fd, frame.bytes.data(), 1, Clock::now() + idle);
    if (first == Got::Late) return FrameRead::Idle;
    if (first == Got::Closed) return FrameRead::Closed;
    const Clock::time_point until = Clock::now() + rest;
    Got header = ReadAll(fd, frame.bytes.data() + 1, MbapHeaderBytes - 1, until);
    if (header != Got::All) {
        why = header == Got::Late ? "a frame's header not whole within " + std::to_string(rest.count()) + " ms"
                                  : "closed within a frame's header";
        return header == Got::Late ? FrameRead::Refused : FrameRead::Closed;
    }
    const int protocol = Word(frame.bytes.data() + 2);
    const int length = Word(frame.bytes.data() + 4); // the unit identifier and the PDU
    if (protocol != 0) {
        why = "protocol identifier " + std::to_string(protocol) + ", not 0 (Modbus)";
        return FrameRead::Refused;
    }
    if (length < 2 || length > 1 + MaxPduBytes) {
        why = "MBAP length " + std::to_string(length) + ": a PDU is 1 to " + std::to_string(MaxPduBytes) + " bytes";
        return FrameRead::Refused;
    }
    Got pdu = ReadAll(fd, frame.bytes.data() + MbapHeaderBytes, length - 1, until);
    if (pdu != Got::All) {
        why = pdu == Got::Late ? "a frame not whole within " + std::to_string(rest.count()) + " ms"
                               : "closed within a frame";
        return pdu == Got::Late ? FrameRead::Refused : FrameRead::Closed;
    }
    frame.length = MbapHeaderBytes - 1 + length;
    return FrameRead::Frame;
}

std::optional<std::string> PduLengthMismatch(const MbapFrame& frame) {
    const int function = frame.Function();
    const int length = frame.PduLength();
    int expected = -1;
    if (function >= 1 && function <= 6) {
        expected = 5; // the function, an address and a quantity (or a value)
    } else if (function == 15 || function == 16) {
        expected = length >= 6 ? 6 + frame.Pdu()[5] : 6; // and the byte count's bytes
    }
    if (expected < 0 || expected == length) return std::nullopt;
    return "function " + std::to_string(function) + " in a PDU of " + std::to_string(length) + " bytes, not " +
           std::to_string(expected);
}

std::array<std::uint8_t, MbapHeaderBytes + 2> ExceptionAnswer(const MbapFrame& request, std::uint8_t code) {
    std::array<std::uint8_t, MbapHeaderBytes + 2> answer{};
    answer[0] = request.bytes[0]; // the transaction identifier
    answer[1] = request.bytes[1];
    answer[5] = 3; // unit, function, code
    answer[6] = request.bytes[6];
    answer[7] = static_cast<std::uint8_t>(request.Function() | 0x80);
    answer[8] = code;
    return answer;
}

} // namespace zulgate
