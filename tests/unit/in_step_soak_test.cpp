// Fault soak on the fake clock: a panel that answers in order, 30% of its
// replies 0.25 s to 5 R late (holding back every later one), some split,
// some requests lost on the way; mixed reads and writes, on a direct line
// and behind a long link. No value read may be another request's, no write
// reported good may be missing from the panel, no request may outlast its
// bound. ZUL_INSTEP_SOAK_REQUESTS sets the requests per line (10000),
// ZUL_INSTEP_SOAK_SEED the seed (5).
#include <cstdio>
#include <cstdlib>
#include <random>

#include "serial/line_settings.h"
#include "tests/unit/driver_fixture.h"

namespace test {
namespace {

constexpr std::uint32_t ReadOnly = 0x010000; // never written: each byte tells its address
constexpr std::uint32_t Writable = 0x020000;
constexpr int RegionSize = 0x800;

std::uint8_t ReadOnlyByte(std::uint32_t address) { return static_cast<std::uint8_t>((address * 2654435761u) >> 13); }

int EnvInt(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::atoi(text) : fallback;
}
int Requests() { return EnvInt("ZUL_INSTEP_SOAK_REQUESTS", 10000); }

// The longest any request may take, in ms, at 9600 baud with R the read
// timeout: one exchange is three attempts of a purge (at most two 50 ms
// reads) and a receive at its cap (the first byte's wait, at most R beyond
// the request's line time; a full buffer's line time; twice R of silence),
// the ACK's purge and the drain's cap. A request may fence first and, for
// a bit or nibble write, read first; a refused read runs the handshake:
// five wake attempts of 200 ms, five reads of R for ENQ, a purge, 50 ms and
// the wake frame's answer (up to 2 R), then the version exchange.
double Bound(double r, int requestBytes) {
    auto exchange = [r](int bytes) {
        double receive = std::max(10.0 * (5 + (bytes * 1042 + 9999) / 10000), bytes * 1.042 + 1 + r) + 615 + 2 * r;
        return 3 * (100 + receive) + 100 + 1000;
    };
    double handshake = 5 * (200 + 5 * r + 100 + 50 + 2 * r) + exchange(7);
    return exchange(7) + 2 * exchange(16) + exchange(requestBytes) + handshake;
}

class InStepSoak : public DriverTest {
protected:
    struct Outcome {
        int ok = 0, failed = 0, wrong = 0, lost = 0;
        double worstMs = 0, worstBoundMs = 0;
    };

    Outcome Run(fake::Micros linkDelay, std::uint64_t seed) {
        const double r = 1000;
        std::mt19937_64 rng(seed);
        auto between = [&rng](std::int64_t low, std::int64_t high) {
            return std::uniform_int_distribution<std::int64_t>(low, high)(rng);
        };
        auto chance = [&rng](double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; };

        LineSettings line;
        panel.perByte = CharacterTime(line).count();
        panel.replyDelay = 5 * fake::Ms;
        panel.linkDelay = linkDelay;
        panel.inOrder = true;
        for (std::uint32_t a = ReadOnly; a < ReadOnly + RegionSize; ++a) panel.memory[a] = ReadOnlyByte(a);
        Started();
        panel.beforeEach = [&](FakePanel& p) {
            p.lateness.clear();
            if (chance(0.3)) p.lateness.push_back(between(250, 5 * static_cast<std::int64_t>(r)) * fake::Ms);
            p.splitGap = chance(0.1) ? between(5, 600) * fake::Ms : 0;
            if (chance(0.03)) p.silentRequests = 1; // this one is lost on the way
        };

        Outcome out;
        std::vector<std::string> history;
        const int n = Requests();
        for (int i = 0; i < n; ++i) {
            int pick = static_cast<int>(between(0, 99));
            std::uint8_t slots[127][4];
            std::memset(slots, 0xEE, sizeof slots);
            fake::Micros start = fake::Now();
            std::int32_t rc = 0;
            int frameBytes = 16;
            bool good = true;
            if (pick < 70) {
                // A read of W, B (bit or not) or L from the read-only block.
                char letter = pick < 50 ? 'W' : pick < 60 ? 'B' : 'L';
                int size = letter == 'W' ? 2 : letter == 'B' ? 1 : 4;
                auto count = static_cast<std::int32_t>(between(1, 254 / size / 2));
                auto address = ReadOnly + static_cast<std::uint32_t>(between(0, RegionSize - count * size));
                std::int32_t bit = letter == 'B' && chance(0.5) ? static_cast<std::int32_t>(between(0, 7)) : NoBit;
                PointRequest p = Points(letter, address, count, slots, bit);
                rc = Call(BlockReadCode, &p);
                for (int k = 0; rc == 0 && k < count; ++k) {
                    std::uint32_t a = address + static_cast<std::uint32_t>(k * size);
                    std::uint32_t want = 0, got = 0;
                    if (letter == 'L') {
                        for (int j = 0; j < 4; ++j) want |= static_cast<std::uint32_t>(ReadOnlyByte(a + j)) << (8 * j);
                        std::memcpy(&got, slots[k], 4);
                    } else {
                        want = letter == 'W' ? ReadOnlyByte(a) | ReadOnlyByte(a + 1) << 8 : ReadOnlyByte(a);
                        if (bit != NoBit) want = (want >> bit) & 1;
                        got = slots[k][2] | slots[k][3] << 8;
                    }
                    if (want != got && good && std::getenv("ZUL_INSTEP_SOAK_DEBUG")) {
                        std::printf("read %c%06X x%d bit %d: element %d want %X got %X\n", letter, address, count, bit,
                                    k, want, got);
                    }
                    good = good && want == got;
                }
            } else {
                // A write of W, a bit of a B or a nibble, to the writable block.
                char letter = pick < 90 ? 'W' : pick < 95 ? 'B' : 'E';
                std::int32_t bit = letter == 'B' ? static_cast<std::int32_t>(between(0, 7)) : NoBit;
                auto count = static_cast<std::int32_t>(letter == 'W' ? between(1, 32) : 1);
                auto address = Writable + static_cast<std::uint32_t>(between(0, RegionSize - 2 * count));
                for (int k = 0; k < count; ++k) {
                    slots[k][2] = static_cast<std::uint8_t>(between(0, 255));
                    slots[k][3] = letter == 'W' ? static_cast<std::uint8_t>(between(0, 255)) : 0;
                    if (letter == 'B') slots[k][2] &= 1;
                    if (letter == 'E') slots[k][2] &= 0x0F;
                }
                frameBytes = 2 * (5 + 2 * count) + 6;
                PointRequest p = Points(letter, address, count, slots, bit);
                rc = Call(BlockWriteCode, &p);
                Bytes now = panel.Get(address, static_cast<std::size_t>(letter == 'W' ? 2 * count : 1));
                for (int k = 0; rc == 0 && k < count; ++k) {
                    if (letter == 'W') {
                        good = good && now[2 * k] == slots[k][2] && now[2 * k + 1] == slots[k][3];
                    } else if (letter == 'B') {
                        good = good && ((now[0] >> bit) & 1) == slots[k][2];
                    } else {
                        good = good && (now[0] & 0x0F) == slots[k][2];
                    }
                }
                if (!good) ++out.lost;
            }
            if (std::getenv("ZUL_INSTEP_SOAK_DEBUG")) {
                std::string d = "request " + std::to_string(i) + " pick " + std::to_string(pick) + " rc " +
                                std::to_string(rc) + " state " +
                                std::to_string(channel.StartByte | channel.Reserved << 8) + "\n";
                for (auto& l : log) d += "  log " + l.text + "\n";
                for (auto& e : device->events) {
                    char t[64];
                    std::snprintf(t, sizeof t, "  %8lld %s", static_cast<long long>(e.at / 1000),
                                  e.kind == fake::Event::Write ? "W" : "?");
                    d += t;
                    for (auto b : e.bytes) {
                        std::snprintf(t, sizeof t, " %02X", b);
                        d += t;
                    }
                    d += "\n";
                }
                history.push_back(d);
                if (history.size() > 4) history.erase(history.begin());
            }
            if (!good && pick < 70) {
                ++out.wrong;
                if (std::getenv("ZUL_INSTEP_SOAK_DEBUG")) {
                    for (auto& h : history) std::printf("%s", h.c_str());
                    std::printf("---- wrong\n");
                }
            }
            EXPECT_TRUE(rc == 0 || rc == 1 || rc == 2) << rc;
            (rc == 0 ? out.ok : out.failed) += 1;
            double ms = static_cast<double>(fake::Now() - start) / fake::Ms;
            if (ms > out.worstMs) {
                out.worstMs = ms;
                out.worstBoundMs = Bound(r, frameBytes);
            }
            EXPECT_LE(ms, Bound(r, frameBytes)) << "request " << i;
            log.clear();
            device->events.clear();
            if (panel.requests.size() > 64) panel.requests.clear();
        }
        panel.beforeEach = nullptr;
        return out;
    }
};

TEST_F(InStepSoak, InOrderLateRepliesOnADirectLineAndALongLink) {
    struct Line {
        const char* name;
        fake::Micros linkDelay;
    };
    for (Line line : {Line{"direct", 0}, Line{"long link 300 ms", 300 * fake::Ms}}) {
        SCOPED_TRACE(line.name);
        SetUp();
        panel = FakePanel{};
        Outcome o = Run(line.linkDelay, static_cast<std::uint64_t>(EnvInt("ZUL_INSTEP_SOAK_SEED", 5)));
        std::printf(
            "in-step soak (fake clock): %s, R = 1 s: %d requests, %d ok, %d failed, wrong values %d, lost "
            "writes %d, slowest %.0f ms (bound %.0f ms)\n",
            line.name, o.ok + o.failed, o.ok, o.failed, o.wrong, o.lost, o.worstMs, o.worstBoundMs);
        EXPECT_EQ(o.wrong, 0) << "values read that are another request's";
        EXPECT_EQ(o.lost, 0) << "writes reported good that are not in the panel";
        EXPECT_GE(o.ok, (o.ok + o.failed) / 3) << "too few requests succeeded to count";
    }
}

} // namespace
} // namespace test
