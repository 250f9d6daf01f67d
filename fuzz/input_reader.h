// Takes typed values from a fuzz input, front to back, little-endian, with
// zeros once the input is used up. Unlike libFuzzer's own provider it reads
// in one direction only, so seed inputs can be written by hand (and by
// fuzz/make_seeds.py) with frames and texts in them as they are on the line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

namespace fuzz {

class InputReader {
public:
    InputReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::size_t remaining_bytes() const { return size_ - pos_; }

    std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    template <typename T>
    T ConsumeIntegral() {
        static_assert(std::is_integral<T>::value, "integral");
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) v |= static_cast<std::uint64_t>(Byte()) << (8 * i);
        return static_cast<T>(v);
    }

    // lo + (a value of 1, 2 or 4 bytes, as the span needs) modulo the span.
    template <typename T>
    T ConsumeIntegralInRange(T lo, T hi) {
        std::uint64_t span = static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo) + 1;
        std::uint64_t raw = span <= 0x100     ? ConsumeIntegral<std::uint8_t>()
                            : span <= 0x10000 ? ConsumeIntegral<std::uint16_t>()
                                              : ConsumeIntegral<std::uint32_t>();
        return static_cast<T>(static_cast<std::uint64_t>(lo) + raw % span);
    }

    bool ConsumeBool() { return (Byte() & 1) != 0; }

    template <typename T>
    std::vector<T> ConsumeBytes(std::size_t n) {
        std::vector<T> out;
        while (n-- > 0 && pos_ < size_) out.push_back(static_cast<T>(data_[pos_++]));
        return out;
    }

    // A length byte (at most `max`), then that many bytes.
    std::string ConsumeRandomLengthString(std::size_t max) {
        std::size_t n = Byte();
        if (n > max) n = max;
        std::vector<char> bytes = ConsumeBytes<char>(n);
        return std::string(bytes.begin(), bytes.end());
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

} // namespace fuzz
