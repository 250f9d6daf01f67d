// The messages between zulgate and a panel's worker: a kind byte, then its
// fields, fixed-size numbers in the machine's own byte order (both ends are
// the same program) and texts and lists with their lengths first. A reader
// never reads past the message's end: a message that is short, or longer
// than its fields, reads as not Ok.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace zulgate::worker {

enum class MessageKind : std::uint8_t {
    // To the worker.
    Setup = 1, // its panel's setup
    Write,     // id, a write request: run it before the next poll step
    Taken,     // id, whether the write may run (its front end still waits)
    Stop,      // finish the request on the line, close the port, exit
    // From the worker.
    Ready = 16, // set up: the panel's value count
    Store,      // the point store's calls, field for field
    Revise,
    MarkFailed,
    MarkAll,
    SetState,
    SetCycle,
    DriverRequest, // a request done: kind, result, time it took
    PollCycle,     // a cycle done: its time
    Asking,        // a request goes on the line: its kind
    Say,           // a log line: level, who, text
    Take,          // id: may the write run now?
    Outcome,       // id, what the write came to
};

using SteadyClock = std::chrono::steady_clock;

class MessageWriter {
public:
    explicit MessageWriter(MessageKind kind) { bytes_.push_back(static_cast<std::uint8_t>(kind)); }

    MessageWriter& U8(std::uint8_t v) { return Raw(&v, 1); }
    MessageWriter& U32(std::uint32_t v) { return Raw(&v, sizeof v); }
    MessageWriter& U64(std::uint64_t v) { return Raw(&v, sizeof v); }
    MessageWriter& I64(std::int64_t v) { return Raw(&v, sizeof v); }
    MessageWriter& Text(const std::string& text) {
        U64(text.size());
        return Raw(text.data(), text.size());
    }
    // steady_clock is CLOCK_MONOTONIC: one clock for every process of the machine.
    MessageWriter& Time(SteadyClock::time_point t) { return I64(t.time_since_epoch().count()); }
    MessageWriter& Duration(SteadyClock::duration d) { return I64(d.count()); }

    const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

private:
    MessageWriter& Raw(const void* data, std::size_t n) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        bytes_.insert(bytes_.end(), p, p + n);
        return *this;
    }
    std::vector<std::uint8_t> bytes_;
};

class MessageReader {
public:
    explicit MessageReader(const std::vector<std::uint8_t>& bytes) : bytes_(bytes), at_(bytes.empty() ? 0 : 1) {}

    MessageKind Kind() const { return bytes_.empty() ? MessageKind{} : static_cast<MessageKind>(bytes_[0]); }

    std::uint8_t U8() { return Get<std::uint8_t>(); }
    std::uint32_t U32() { return Get<std::uint32_t>(); }
    std::uint64_t U64() { return Get<std::uint64_t>(); }
    std::int64_t I64() { return Get<std::int64_t>(); }
    std::string Text() {
        std::uint64_t n = U64();
        if (!ok_ || n > Left()) return Fail<std::string>();
        std::string text(reinterpret_cast<const char*>(bytes_.data() + at_), static_cast<std::size_t>(n));
        at_ += static_cast<std::size_t>(n);
        return text;
    }
    SteadyClock::time_point Time() { return SteadyClock::time_point(SteadyClock::duration(I64())); }
    SteadyClock::duration Duration() { return SteadyClock::duration(I64()); }

    // A count of elements of at least `each` bytes that the rest can hold;
    // 0 (and not Ok) when it cannot, so no list is made larger than its message.
    std::size_t Count(std::size_t each) {
        std::uint64_t n = U64();
        if (!ok_ || n > Left() / each) return Fail<std::size_t>();
        return static_cast<std::size_t>(n);
    }

    bool Ok() const { return ok_; }
    // Every field read, and nothing left over.
    bool Done() const { return ok_ && at_ == bytes_.size(); }

private:
    std::size_t Left() const { return bytes_.size() - at_; }
    template <typename T>
    T Fail() {
        ok_ = false;
        return T{};
    }
    template <typename T>
    T Get() {
        if (!ok_ || Left() < sizeof(T)) return Fail<T>();
        T v;
        std::memcpy(&v, bytes_.data() + at_, sizeof v);
        at_ += sizeof v;
        return v;
    }
    const std::vector<std::uint8_t>& bytes_;
    std::size_t at_;
    bool ok_ = !bytes_.empty();
};

} // namespace zulgate::worker
