// Requests that a host got wrong, through ZulMain on the in-memory port: each
// is refused with a non-zero result, puts nothing on the line (no write, no
// RTS change, no open or close) and writes nothing outside the host's blocks,
// which sit between guard bytes.
#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/unit/driver_fixture.h"

namespace test {
namespace {

constexpr std::uint8_t GuardFill = 0xA5;
constexpr std::size_t GuardSize = 32;

// Host memory with guard bytes on both sides of its body.
struct GuardedBytes {
    explicit GuardedBytes(std::size_t n) : bytes(GuardSize + n + GuardSize, GuardFill), size(n) {}
    std::uint8_t* Body() { return bytes.data() + GuardSize; }
    template <typename T>
    T* As() {
        return reinterpret_cast<T*>(Body());
    }
    bool GuardsIntact() const {
        for (std::size_t i = 0; i < GuardSize; ++i) {
            if (bytes[i] != GuardFill || bytes[GuardSize + size + i] != GuardFill) return false;
        }
        return true;
    }
    std::vector<std::uint8_t> bytes;
    std::size_t size;
};

ColdStartParams StartBlock(const char* port) {
    ColdStartParams p;
    std::memset(&p, 0, sizeof p);
    std::strncpy(p.PortName, port, sizeof p.PortName - 1);
    p.ActiveFlag = 1;
    p.ResponseTimeout = 100;
    p.BaudRate = 9600;
    p.ByteSize = 8;
    return p;
}

class BadInputTest : public DriverTest {
protected:
    bool SameChannel(const ChannelContext& before) const { return std::memcmp(&before, &channel, sizeof channel) == 0; }
};

TEST_F(BadInputTest, CodesOutsideTheTableDoNothing) {
    Started();
    for (std::int32_t code : {0, 8, 9, 16, 17, 255, -1, -15, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(code);
        // A block that would start the channel, should anything take it as one.
        GuardedBytes block(64);
        ColdStartParams start = StartBlock("COM5");
        std::memcpy(block.Body(), &start, sizeof start);
        std::vector<std::uint8_t> blockBefore = block.bytes;
        ChannelContext before = channel;

        EXPECT_NE(Call(code, block.Body()), 0);
        EXPECT_EQ(block.bytes, blockBefore);
        EXPECT_TRUE(SameChannel(before));
        EXPECT_TRUE(device->events.empty());
        EXPECT_TRUE(log.empty());
    }
}

TEST_F(BadInputTest, PortNameWithoutNulIsNeitherReadBeyondNorOpened) {
    // Devices whose names a read past the 12 bytes would find: the name runs
    // on into ActiveFlag (1) or ResponseTimeout ('A').
    fake::AddDevice(std::string("COM5COM5COM5") + '\x01');
    fake::AddDevice("COM5COM5COM5A");

    GuardedBytes start(sizeof(ColdStartParams));
    *start.As<ColdStartParams>() = StartBlock("");
    std::memcpy(start.As<ColdStartParams>()->PortName, "COM5COM5COM5", 12);
    std::vector<std::uint8_t> startBefore = start.bytes;
    EXPECT_EQ(Call(ColdStartCode, start.Body()), 2);
    EXPECT_EQ(start.bytes, startBefore);
    EXPECT_EQ(channel.PortHandle, nullptr);
    EXPECT_EQ(fake::OpenHandleCount(), 0);

    Started();
    ChannelContext before = channel;
    GuardedBytes reopen(sizeof(ReopenParams));
    auto* params = reopen.As<ReopenParams>();
    std::memcpy(params->PortName, "COM5COM5COM5", 12);
    params->ResponseTimeout = 'A';
    params->BaudRate = 9600;
    params->ByteSize = 8;
    std::vector<std::uint8_t> reopenBefore = reopen.bytes;
    EXPECT_EQ(Call(ReopenPortCode, reopen.Body()), 2);
    EXPECT_EQ(reopen.bytes, reopenBefore);
    EXPECT_TRUE(SameChannel(before)) << "the open port and its settings stay as they were";
    EXPECT_TRUE(device->events.empty());
}

enum Codes { ReadAndWrite, WriteOnly };

struct PointCase {
    const char* what;
    std::int32_t letter;
    std::int32_t bit;
    std::int32_t length; // ElementLength
    std::int32_t count;
    Codes codes;
};

const PointCase BadPointRequests[] = {
    {"negative count", 'W', NoBit, 0, -1, ReadAndWrite},
    {"most negative count", 'B', NoBit, 0, INT_MIN, ReadAndWrite},
    {"largest count", 'B', NoBit, 0, INT_MAX, ReadAndWrite},
    {"256 bytes", 'B', NoBit, 0, 256, ReadAndWrite},
    {"128 words", 'W', NoBit, 0, 128, ReadAndWrite},
    {"64 longs", 'L', NoBit, 0, 64, ReadAndWrite},
    {"86 dates", 'D', NoBit, 0, 86, ReadAndWrite},
    {"count whose byte count wraps to 0", 'L', NoBit, 0, 0x40000000, ReadAndWrite},
    {"bit 16", 'W', 16, 0, 1, ReadAndWrite},
    {"bit -1", 'B', -1, 0, 1, ReadAndWrite},
    {"bit 254", 'B', 254, 0, 1, ReadAndWrite},
    {"bit 256", 'W', 256, 0, 1, ReadAndWrite},
    {"most negative bit", 'B', INT_MIN, 0, 1, ReadAndWrite},
    {"unknown letter Q", 'Q', NoBit, 0, 1, ReadAndWrite},
    {"lower-case letter", 'w', NoBit, 0, 1, ReadAndWrite},
    {"letter 0", 0, NoBit, 0, 1, ReadAndWrite},
    {"letter -1", -1, NoBit, 0, 1, ReadAndWrite},
    {"letter whose low byte is B", 'B' + 256, NoBit, 0, 1, ReadAndWrite},
    {"A with huge length", 'A', NoBit, INT_MAX, 1, ReadAndWrite},
    {"A with negative length", 'A', NoBit, -1, 1, ReadAndWrite},
    {"S with huge length", 'S', NoBit, 0x01000000, 2, ReadAndWrite},
    {"S with most negative length", 'S', NoBit, INT_MIN, 1, ReadAndWrite},
    {"S with a small length", 'S', NoBit, 2, 1, ReadAndWrite},
    {"date write", 'D', NoBit, 0, 1, WriteOnly},
};

TEST_F(BadInputTest, PointRequestsTheDriverCannotCarryOutAreRefusedOffTheLine) {
    Started();
    for (const PointCase& c : BadPointRequests) {
        for (std::int32_t code : {ReadValuesCode, BlockReadCode, WriteValuesCode, BlockWriteCode}) {
            bool write = code == WriteValuesCode || code == BlockWriteCode;
            if (c.codes == WriteOnly && !write) continue;
            SCOPED_TRACE(std::string(c.what) + ", code " + std::to_string(code));
            GuardedBytes values(4 * 300);
            for (std::size_t i = 0; i < values.size; ++i) values.Body()[i] = static_cast<std::uint8_t>(i * 7);
            std::vector<std::uint8_t> valuesBefore = values.bytes;
            GuardedBytes block(sizeof(PointRequest));
            *block.As<PointRequest>() = Points('B', 0x004002, c.count, values.Body(), c.bit);
            block.As<PointRequest>()->TypeLetter = c.letter;
            block.As<PointRequest>()->ElementLength = c.length;
            std::vector<std::uint8_t> blockBefore = block.bytes;

            EXPECT_NE(Call(code, block.Body()), 0);
            EXPECT_EQ(values.bytes, valuesBefore);
            EXPECT_EQ(block.bytes, blockBefore);
            EXPECT_TRUE(device->events.empty());
            device->events.clear();
        }
    }
}

TEST_F(BadInputTest, MissingValueBufferIsRefusedOffTheLine) {
    Started();
    for (std::int32_t code : {ReadValuesCode, BlockReadCode, WriteValuesCode, BlockWriteCode}) {
        SCOPED_TRACE(code);
        PointRequest p = Points('W', 0x01A2F3, 1, nullptr);
        EXPECT_NE(Call(code, &p), 0);
        EXPECT_TRUE(device->events.empty());
    }
}

TEST_F(BadInputTest, MissingParameterBlockIsRefusedOffTheLine) {
    Started();
    for (std::int32_t code : {ColdStartCode, CheckAddressCode, CheckAddressSyntaxCode, ReadValuesCode, BlockReadCode,
                              WriteValuesCode, BlockWriteCode, GetInfoCode, ReopenPortCode}) {
        SCOPED_TRACE(code);
        ChannelContext before = channel;
        EXPECT_NE(Call(code, nullptr), 0);
        EXPECT_TRUE(SameChannel(before));
        EXPECT_TRUE(device->events.empty());
    }
}

TEST_F(BadInputTest, MissingChannelContextIsRefusedOffTheLine) {
    std::uint8_t values[8] = {};
    for (std::int32_t code : {ColdStartCode, WarmStartCode, ReadValuesCode, BlockReadCode, WriteValuesCode,
                              BlockWriteCode, StopChannelCode, ClosePortCode, OpenPortCode, ReopenPortCode}) {
        SCOPED_TRACE(code);
        ColdStartParams start = StartBlock("COM5");
        ReopenParams reopen;
        std::memset(&reopen, 0, sizeof reopen);
        std::strcpy(reopen.PortName, "COM5");
        PointRequest points = Points('W', 0, 1, values);
        void* params = code == ColdStartCode    ? static_cast<void*>(&start)
                       : code == ReopenPortCode ? static_cast<void*>(&reopen)
                                                : static_cast<void*>(&points);
        DriverRequest request;
        std::memset(&request, 0, sizeof request);
        request.Code = code;
        request.Params = params;
        EXPECT_NE(ZulMain(&request), 0);
        EXPECT_TRUE(device->events.empty());
        EXPECT_EQ(fake::OpenHandleCount(), 0);
    }
}

TEST_F(BadInputTest, OverlongAddressTextIsRefusedWithTheDefaultsOnly) {
    std::vector<char> unterminated(33, 'W'); // no NUL within the 33 bytes the check may look at
    std::string long33(33, '0');
    long33[0] = 'W';
    std::string long40 = "W01A2F3" + std::string(33, '1');
    for (const char* text : {static_cast<const char*>(unterminated.data()), long33.c_str(), long40.c_str()}) {
        for (std::int32_t code : {CheckAddressCode, CheckAddressSyntaxCode}) {
            GuardedBytes block(sizeof(AddressDefinition));
            auto* d = block.As<AddressDefinition>();
            d->AddressText = text;
            d->HostDataType = 0;
            EXPECT_EQ(Call(code, block.Body()), 1);
            EXPECT_TRUE(block.GuardsIntact());
            EXPECT_EQ(d->TypeLetter, 0);
            EXPECT_EQ(d->BitNumber, NoBit);
            EXPECT_EQ(static_cast<std::uint32_t>(d->PointAddress), 0xA5A5A5A5u) << "not parsed, not written";
        }
    }
}

// Random bytes in every field of the PointRequest, on a panel that answers
// (sometimes badly): reads fill at most ElementCount slots, writes leave the
// values alone, and no request writes beyond its value buffer.
TEST_F(BadInputTest, RandomPointRequestsStayInsideTheValueBuffer) {
    Started();
    std::mt19937 random(20261209);
    auto any = [&] { return static_cast<std::int32_t>(random()); };
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
    auto coin = [&] { return pick(0, 1) == 0; };
    auto wild = [&] { return pick(0, 3) == 0; }; // a field of random bytes
    for (std::uint32_t a = 0; a < 0x400; ++a) panel.memory[a] = static_cast<std::uint8_t>(random());

    constexpr std::size_t Slots = 300;
    int succeeded = 0;
    for (int i = 0; i < 4000 && !HasFailure(); ++i) {
        SCOPED_TRACE(i);
        GuardedBytes values(4 * Slots);
        for (std::size_t b = 0; b < values.size; ++b) values.Body()[b] = static_cast<std::uint8_t>(random());
        std::vector<std::uint8_t> valuesBefore = values.bytes;

        PointRequest p;
        p.Unused0 = any();
        p.Unused4 = any();
        p.Unused8 = any();
        p.TypeLetter = wild() ? any() : "BDEFLMTWAS"[pick(0, 9)];
        p.PointAddress = wild() ? any() : pick(0, 0x3FF);
        p.BitNumber = wild() ? any() : (coin() ? NoBit : pick(0, 15));
        p.ElementLength = wild() ? any() : pick(0, 64);
        p.Unused28 = any();
        p.ElementCount = wild() ? any() : pick(0, 5);
        p.Unused36 = any();
        p.ValueBuffer = pick(0, 15) == 0 ? nullptr : values.Body();
        PointRequest before = p;

        panel.nak = pick(0, 15) == 0;
        panel.status = pick(0, 15) == 0 ? pick(0, 3) : -1;
        panel.shortValue = pick(0, 15) == 0 ? 1 : 0;
        panel.extraValue = pick(0, 15) == 0 ? 1 : 0;
        const std::int32_t codes[] = {ReadValuesCode, BlockReadCode, WriteValuesCode, BlockWriteCode};
        std::int32_t code = codes[pick(0, 3)];
        bool read = code == ReadValuesCode || code == BlockReadCode;

        std::int32_t rc = Call(code, &p);
        succeeded += rc == 0;
        EXPECT_TRUE(values.GuardsIntact());
        EXPECT_EQ(std::memcmp(&p, &before, sizeof p), 0) << "the PointRequest changed";
        std::size_t covered = 0;
        if (read && rc == 0 && p.ElementCount > 0 && p.ElementCount <= static_cast<std::int32_t>(Slots)) {
            covered = 4 * static_cast<std::size_t>(p.ElementCount);
        }
        EXPECT_TRUE(std::equal(values.bytes.begin() + GuardSize + static_cast<long>(covered), values.bytes.end(),
                               valuesBefore.begin() + GuardSize + static_cast<long>(covered)))
            << "changed values beyond the slots the request covers";
    }
    EXPECT_GT(succeeded, 600) << "too few requests got through to say much";
}

} // namespace
} // namespace test
