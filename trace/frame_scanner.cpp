#include "trace/frame_scanner.h"

#include <cstring>

#include "link/msg_buffer.h"

namespace zultrace {

void FrameScanner::Reset() {
    state_ = Hunt;
    raw_.clear();
    payload_.clear();
    stray_.clear();
}

void FrameScanner::Feed(const std::uint8_t* bytes, std::size_t count, std::vector<Inbound>& out) {
    for (std::size_t i = 0; i < count; ++i) Step(bytes[i], out);
    // Bytes between frames are reported per arrival, so a trace shows the
    // driver's ACK when it came and not with the next request.
    FlushStray(out);
}

void FrameScanner::Expire(std::vector<Inbound>& out) {
    switch (state_) {
    case Hunt:
        break;
    case HuntDle:
        stray_.push_back(DLE);
        state_ = Hunt;
        break;
    case CrcHighDle:
        // Everything but the second copy of a doubled CRC byte arrived: the
        // value is known, so judge the frame rather than drop it.
        Finish(DLE, out);
        break;
    default:
        Abandon(out);
        break;
    }
    FlushStray(out);
}

void FrameScanner::BeginFrame(std::vector<Inbound>& out) {
    FlushStray(out);
    raw_.assign({DLE, STX});
    payload_.clear();
    state_ = Body;
}

void FrameScanner::Step(std::uint8_t b, std::vector<Inbound>& out) {
    switch (state_) {
    case Hunt:
        if (b == DLE)
            state_ = HuntDle;
        else
            stray_.push_back(b);
        break;
    case HuntDle:
        if (b == STX) {
            BeginFrame(out);
        } else if (b == DLE) {
            stray_.push_back(DLE); // this second DLE may still start a frame
        } else {
            stray_.push_back(DLE);
            stray_.push_back(b);
            state_ = Hunt;
        }
        break;
    case Body:
        raw_.push_back(b);
        if (b == DLE)
            state_ = BodyDle;
        else
            payload_.push_back(b);
        break;
    case BodyDle:
        raw_.push_back(b);
        if (b == DLE) {
            payload_.push_back(DLE);
            state_ = Body;
        } else if (b == ETX) {
            bodyEnd_ = raw_.size();
            state_ = CrcLow;
        } else if (b == STX) {
            // A new frame inside the old one: the old one was cut short.
            raw_.resize(raw_.size() - 2);
            Abandon(out);
            BeginFrame(out);
        } else {
            Abandon(out);
        }
        break;
    case CrcLow:
        raw_.push_back(b);
        if (b == DLE) {
            state_ = CrcLowDle;
        } else {
            low_ = b;
            state_ = CrcHigh;
        }
        break;
    case CrcLowDle:
        low_ = DLE;
        state_ = CrcHigh;
        if (b == DLE)
            raw_.push_back(b);
        else
            Step(b, out); // an undoubled CRC byte: take it as it came
        break;
    case CrcHigh:
        raw_.push_back(b);
        if (b == DLE)
            state_ = CrcHighDle;
        else
            Finish(b, out);
        break;
    case CrcHighDle:
        if (b == DLE) {
            raw_.push_back(b);
            Finish(DLE, out);
        } else {
            Finish(DLE, out);
            Step(b, out);
        }
        break;
    }
    // Nothing longer than the codec's buffer is a frame of this line.
    if ((state_ == Body || state_ == BodyDle) && raw_.size() > static_cast<std::size_t>(MsgBufferSize)) {
        Abandon(out);
    }
}

void FrameScanner::Finish(std::uint8_t high, std::vector<Inbound>& out) {
    MsgBuffer body;
    ClearMsgBuffer(body);
    std::memcpy(body.data, raw_.data(), bodyEnd_);
    body.length = static_cast<std::int32_t>(bodyEnd_);
    CalcCRC(body);

    Inbound frame;
    frame.kind = Inbound::Frame;
    frame.raw = std::move(raw_);
    frame.payload = std::move(payload_);
    frame.crcOk = body.crcLow == low_ && body.crcHigh == high;
    frame.crcReceived = static_cast<std::uint16_t>(low_ | high << 8);
    frame.crcComputed = body.crc;
    out.push_back(std::move(frame));
    raw_.clear();
    payload_.clear();
    state_ = Hunt;
}

void FrameScanner::Abandon(std::vector<Inbound>& out) {
    FlushStray(out);
    if (!raw_.empty()) {
        Inbound broken;
        broken.kind = Inbound::Broken;
        broken.raw = std::move(raw_);
        out.push_back(std::move(broken));
    }
    raw_.clear();
    payload_.clear();
    state_ = Hunt;
}

void FrameScanner::FlushStray(std::vector<Inbound>& out) {
    if (stray_.empty()) return;
    Inbound run;
    run.kind = Inbound::Stray;
    run.raw = std::move(stray_);
    out.push_back(std::move(run));
    stray_.clear();
}

} // namespace zultrace
