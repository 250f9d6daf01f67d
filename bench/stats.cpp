#include <algorithm>
#include <cmath>
#include <cstring>

#include "bench/bench.h"
#include "link/msg_buffer.h"

namespace zulbench {

Summary Summarize(std::vector<double> values) {
    Summary s;
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    std::size_t n = values.size();
    s.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    std::size_t rank = static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(n)));
    s.p95 = values[std::min(n, std::max<std::size_t>(rank, 1)) - 1];
    s.max = values.back();
    return s;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    std::size_t n = values.size();
    std::size_t rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(n)));
    return values[std::min(n, std::max<std::size_t>(rank, 1)) - 1];
}

int FrameLength(const std::vector<std::uint8_t>& payload) {
    MsgBuffer frame;
    ClearMsgBuffer(frame);
    std::size_t n = std::min(payload.size(), static_cast<std::size_t>(MsgBufferSize));
    std::memcpy(frame.data, payload.data(), n);
    frame.length = static_cast<std::int32_t>(n);
    BuildFrame(frame);
    return frame.length;
}

double LineSeconds(int bytes, int baud) { return static_cast<double>(bytes) * BitsPerByte / baud; }

} // namespace zulbench
