// Captures of the line on arbitrary bytes: whatever the format reader and
// the decoder are given, they end, and what they make holds together.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "trace/line_decoder.h"

namespace {

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zultrace::Bytes file(data, data + size);
    std::vector<zultrace::Chunk> chunks;
    std::string format, error;
    if (!zultrace::ReadCapture(file, chunks, &format, &error)) return 0;
    Check(!format.empty(), "a capture read without a format");
    std::size_t bytesIn = 0;
    for (const auto& c : chunks) bytesIn += c.bytes.size();

    zultrace::LineDecoder decoder;
    std::vector<zultrace::Item> items;
    for (const auto& c : chunks) {
        auto more = decoder.Feed(c);
        items.insert(items.end(), more.begin(), more.end());
    }
    auto rest = decoder.Finish();
    items.insert(items.end(), rest.begin(), rest.end());

    std::size_t bytesOut = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const zultrace::Item& item = items[i];
        Check(item.number == static_cast<int>(i + 1), "items are not numbered in order");
        Check(item.replyTo >= 0 && item.replyTo < item.number, "a reply to a later item");
        Check(!item.raw.empty(), "an item without bytes");
        Check(!item.meaning.empty(), "an item without a meaning");
        if (item.kind == zultrace::Item::Kind::Frame) {
            Check(item.raw.size() >= 6 && item.raw[0] == 0x10 && item.raw[1] == 0x02, "a frame not begun by DLE STX");
            Check(item.crc == "good" || item.crc == "bad", "a frame without a CRC verdict");
        }
        bytesOut += item.raw.size();
    }
    // The scanner may take a lone DLE to be the start of a frame and drop it
    // when the next byte is not STX; nothing else is lost or made up.
    Check(bytesOut <= bytesIn, "the decoder made up bytes");
    (void)zultrace::FormatTable(items);
    return 0;
}
