#include "gateway/request_plan.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "host/client/slots.h"

namespace zulgate {
namespace {

constexpr int RequestFrameBytes = 11; // DLE STX 50 A2 A1 A0 N DLE ETX CRC CRC
constexpr int ReplyFrameBytes = 7;    // DLE STX 50 ... DLE ETX CRC CRC
constexpr int AckBytes = 1;
constexpr double HostTurnMs = 2.0;

struct Wanted {
    std::int32_t address;
    int bit;
    std::size_t value;
};

} // namespace

int BlockRead::ValueBytes() const { return count * zulclient::BytesPerElement(letter); }

std::string BlockRead::Text() const {
    char text[32];
    std::snprintf(text, sizeof text, "%c%06X x%d", letter, static_cast<unsigned>(address), count);
    return text;
}

int MaxGapBytes(std::chrono::nanoseconds characterTime) {
    if (characterTime.count() <= 0) return 0;
    double byteMs = std::chrono::duration<double, std::milli>(characterTime).count();
    double requestBytes = RequestFrameBytes + ReplyFrameBytes + AckBytes + HostTurnMs / byteMs;
    return static_cast<int>(std::ceil(requestBytes)) - 1; // strictly cheaper than a request
}

std::vector<BlockRead> PlanReads(const PanelMap& map, int maxGapBytes) {
    // (letter, address on the letter's grid) -> the elements wanted there.
    std::map<std::pair<char, int>, std::vector<Wanted>> groups;
    for (const MappedPoint& p : map.Points()) {
        for (int k = 0; k < p.count; ++k) {
            std::int32_t a = p.ElementAddress(k);
            int bit = p.point.HasBit() ? p.point.bitNumber : -1;
            groups[{p.point.letter, a % p.elementBytes}].push_back(
                {a, bit, p.firstValue + static_cast<std::size_t>(k)});
        }
    }
    std::vector<BlockRead> blocks;
    for (auto& [key, wanted] : groups) {
        const char letter = key.first;
        const int size = zulclient::BytesPerElement(letter);
        const int most = zulclient::MaxTransferBytes / size;
        std::stable_sort(wanted.begin(), wanted.end(),
                         [](const Wanted& a, const Wanted& b) { return a.address < b.address; });
        BlockRead block;
        auto close = [&] {
            if (block.count > 0) blocks.push_back(std::move(block));
            block = BlockRead{};
        };
        for (const Wanted& w : wanted) {
            if (block.count > 0) {
                std::int32_t end = block.address + block.count * size; // first byte after the block
                int elements = (w.address - block.address) / size + 1;
                bool fits = elements <= most && w.address - end <= maxGapBytes;
                if (w.address < end) {
                    // Another point's element at an address already read.
                } else if (fits) {
                    block.count = elements;
                } else {
                    close();
                }
            }
            if (block.count == 0) {
                block.letter = letter;
                block.address = w.address;
                block.count = 1;
            }
            block.targets.push_back({(w.address - block.address) / size, w.bit, w.value});
        }
        close();
    }
    return blocks;
}

std::chrono::microseconds CycleLineTime(const std::vector<BlockRead>& plan, const zulclient::LineSettings& line) {
    std::uint64_t bytes = 0;
    for (const BlockRead& b : plan)
        bytes += static_cast<std::uint64_t>(RequestFrameBytes + ReplyFrameBytes + b.ValueBytes() + AckBytes);
    return std::chrono::duration_cast<std::chrono::microseconds>(zulclient::LineTime(line, bytes));
}

std::vector<BlockRead> SplitAtGaps(const BlockRead& block) {
    std::vector<ReadTarget> targets = block.targets;
    std::stable_sort(targets.begin(), targets.end(),
                     [](const ReadTarget& a, const ReadTarget& b) { return a.slot < b.slot; });
    const int size = zulclient::BytesPerElement(block.letter);
    std::vector<BlockRead> runs;
    for (const ReadTarget& t : targets) {
        if (runs.empty() || t.slot > runs.back().count + (runs.back().address - block.address) / size) {
            BlockRead run;
            run.letter = block.letter;
            run.address = block.address + t.slot * size;
            run.count = 0;
            runs.push_back(run);
        }
        BlockRead& run = runs.back();
        int first = (run.address - block.address) / size;
        run.count = std::max(run.count, t.slot - first + 1);
        run.targets.push_back({t.slot - first, t.bit, t.value});
    }
    return runs;
}

} // namespace zulgate
