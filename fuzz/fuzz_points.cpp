// Point reads and writes with fuzzer-chosen PointRequest fields on the fake
// port, whose peer answers every frame with bytes the fuzzer chose. The value
// buffer has guard bytes beyond the most slots a legitimate request covers.
// A read that succeeds must have heard a reply of the reply code and exactly
// the announced bytes, and must have stored what those bytes say.
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "panel/points.h"

using namespace fuzz;

namespace {

constexpr std::size_t SlotCount = 256; // a transfer carries at most 255 bytes
constexpr std::size_t ValueBytes = 4 * SlotCount;

int Size(std::int32_t letter) {
    switch (letter) {
    case 'B':
    case 'E':
    case 'M':
        return 1;
    case 'T':
    case 'W':
        return 2;
    case 'D':
        return 3;
    case 'F':
    case 'L':
        return 4;
    default:
        return 0; // no conversion rule
    }
}

bool BitValid(std::int32_t bit) { return bit == NoBit || (bit >= 0 && bit <= 15); }

// The byte count of a request the driver can carry out, or -1.
int LegalCount(const PointRequest& p, bool write) {
    int size = Size(p.TypeLetter);
    if (size == 0 || (write && p.TypeLetter == 'D') || !BitValid(p.BitNumber) || p.ElementCount < 0) return -1;
    if (static_cast<std::int64_t>(size) * p.ElementCount > 255) return -1;
    return size * p.ElementCount;
}

std::int32_t Letter(InputReader& in) {
    static const char letters[] = "BDFWLTEMAS";
    std::uint8_t pick = in.ConsumeIntegral<std::uint8_t>();
    if (pick < 230) return letters[pick % 10];
    return in.ConsumeIntegral<std::int32_t>();
}

std::int32_t Bit(InputReader& in) {
    std::uint8_t pick = in.ConsumeIntegral<std::uint8_t>();
    if (pick < 128) return NoBit;
    if (pick < 230) return pick % 16;
    return in.ConsumeIntegral<std::int32_t>();
}

std::int32_t Count(InputReader& in) {
    std::uint8_t pick = in.ConsumeIntegral<std::uint8_t>();
    if (pick < 160) return pick % 4;
    if (pick < 230) return in.ConsumeIntegralInRange<std::int32_t>(0, 300);
    return in.ConsumeIntegral<std::int32_t>();
}

// The slot as the read must leave it, from the accepted value bytes.
void Decode(const PointRequest& p, const std::uint8_t* in, std::uint8_t* slot) {
    auto half = [&](unsigned v) {
        slot[2] = static_cast<std::uint8_t>(v & 0xFF);
        slot[3] = static_cast<std::uint8_t>(v >> 8);
    };
    switch (p.TypeLetter) {
    case 'B':
        half(p.BitNumber == NoBit ? in[0] : (in[0] >> p.BitNumber) & 1);
        break;
    case 'E':
        half(in[0] & 0x0F);
        break;
    case 'M':
        half(in[0] >> 4);
        break;
    case 'T':
    case 'W':
        half(in[0] | (in[1] << 8));
        break;
    case 'L':
        std::memcpy(slot, in, 4);
        break;
    case 'F': {
        float f = static_cast<float>(in[0] | (in[1] << 8));
        std::memcpy(slot, &f, 4);
        break;
    }
    case 'D': {
        std::int32_t t = TrkDateToTime(in[0], in[1]); // the calendar is the date tests' concern
        std::memcpy(slot, &t, 4);
        break;
    }
    default:
        break;
    }
}

std::int32_t Call(ChannelContext& channel, std::int32_t code, PointRequest* points) {
    DriverRequest request;
    std::memset(&request, 0, sizeof request);
    request.Channel = &channel;
    request.Code = code;
    request.ChannelNumber = 7;
    request.Params = points;
    DriverRequest before = request;
    std::int32_t rc = ZulMain(&request);
    Check(std::memcmp(&request, &before, sizeof request) == 0, "the request record changed");
    return rc;
}

void CheckRead(std::int32_t rc, const PointRequest& p, const std::uint8_t* values, const std::uint8_t* before,
               const ScriptedPeer& peer) {
    Check(rc == 0 || rc == 1 || rc == 2, "read result out of range");
    int n = LegalCount(p, false);
    if (rc != 0 || p.ValueBuffer == nullptr) {
        if (p.ValueBuffer) Check(std::memcmp(values, before, ValueBytes) == 0, "a failed read changed the values");
        if (rc == 0) Check(n == 0, "a read without a value buffer succeeded");
        return;
    }
    Check(n >= 0, "a read the driver cannot carry out succeeded");
    // The last frame written before the ACK is the read's, and what waited
    // after it is what the receive gathered.
    const ScriptedPeer::Exchange* last = nullptr;
    for (const auto& e : peer.exchanges) {
        Bytes payload = PayloadOf(e.request);
        if (payload.size() == 5 && payload[0] == 0x50) last = &e;
    }
    Check(last != nullptr, "a read succeeded without a read frame");
    Bytes payload = PayloadOf(last->request);
    Check(payload[4] == n, "the read announced another byte count");
    Bytes heard(last->heard.begin(), last->heard.begin() + std::min<std::size_t>(last->heard.size(), MsgBufferSize));
    ref::Parsed reply = ref::Parse(heard);
    Check(reply.framed && reply.crcOk, "a read succeeded on a reply without a good frame");
    Check(reply.payload.size() == static_cast<std::size_t>(1 + n), "a read succeeded on a reply of the wrong size");
    Check(reply.payload[0] != 0x11, "a read succeeded on a status reply");

    std::uint8_t expected[ValueBytes];
    std::memcpy(expected, before, ValueBytes);
    int size = Size(p.TypeLetter);
    for (int i = 0; i < p.ElementCount; ++i) Decode(p, reply.payload.data() + 1 + i * size, expected + 4 * i);
    Check(std::memcmp(values, expected, ValueBytes) == 0, "the read stored other values than the reply gave");
}

void CheckWrite(std::int32_t rc, const PointRequest& p, const ScriptedPeer& peer) {
    Check(rc == 0 || rc == 1 || rc == 2, "write result out of range");
    int n = LegalCount(p, true);
    if (rc != 0) return;
    Check(n >= 0, "a write the driver cannot carry out succeeded");
    Check(!(p.ElementCount > 1 && (p.BitNumber != NoBit || p.TypeLetter == 'E' || p.TypeLetter == 'M')),
          "a merged write of several elements succeeded");
    const ScriptedPeer::Exchange* last = nullptr;
    for (const auto& e : peer.exchanges) {
        Bytes payload = PayloadOf(e.request);
        if (!payload.empty() && payload[0] == 0x60) last = &e;
    }
    Check(last != nullptr, "a write succeeded without a write frame");
    Bytes payload = PayloadOf(last->request);
    Check(payload.size() == static_cast<std::size_t>(5 + n) && payload[4] == n, "write frame size");
    auto address = static_cast<std::uint32_t>(p.PointAddress);
    Check(payload[1] == ((address >> 16) & 0xFF) && payload[2] == ((address >> 8) & 0xFF) &&
              payload[3] == (address & 0xFF),
          "write frame address");
    if (p.BitNumber != NoBit || p.TypeLetter == 'E' || p.TypeLetter == 'M') return;
    // Whole values go straight from the slots.
    const auto* slots = static_cast<const std::uint8_t*>(p.ValueBuffer);
    int size = Size(p.TypeLetter);
    for (int i = 0; i < p.ElementCount; ++i) {
        const std::uint8_t* slot = slots + 4 * i;
        const std::uint8_t* sent = payload.data() + 5 + i * size;
        bool same = size == 1   ? sent[0] == slot[2]
                    : size == 2 ? sent[0] == slot[2] && sent[1] == slot[3]
                                : std::memcmp(sent, slot, 4) == 0;
        Check(same, "write frame values");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    QuietLog();
    InputReader in(data, size);
    fake::Reset();
    fake::Device& device = fake::AddDevice("COM1");
    ScriptedPeer peer(in);
    device.peer = &peer;
    ChannelContext channel;
    Check(OpenChannel(channel, "COM1"), "the channel does not open");

    bool write = in.ConsumeBool();
    std::int32_t code = write ? (in.ConsumeBool() ? WriteValuesCode : BlockWriteCode)
                              : (in.ConsumeBool() ? ReadValuesCode : BlockReadCode);
    peer.announce = in.ConsumeBool();

    PointRequest points;
    points.Unused0 = in.ConsumeIntegral<std::int32_t>();
    points.Unused4 = in.ConsumeIntegral<std::int32_t>();
    points.Unused8 = in.ConsumeIntegral<std::int32_t>();
    points.TypeLetter = Letter(in);
    points.PointAddress = in.ConsumeIntegral<std::int32_t>();
    points.BitNumber = Bit(in);
    points.ElementLength = in.ConsumeIntegral<std::int32_t>();
    points.Unused28 = in.ConsumeIntegral<std::int32_t>();
    points.ElementCount = Count(in);
    points.Unused36 = in.ConsumeIntegral<std::int32_t>();
    static Guarded<ValueBytes> values; // static: the same address every run
    points.ValueBuffer = in.ConsumeIntegral<std::uint8_t>() < 8 ? nullptr : values.Body();
    PointRequest pointsBefore = points;

    // The host's values: a short fuzzer-chosen pattern repeated over the slots.
    Bytes pattern = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(1, 64));
    if (pattern.empty()) pattern.push_back(0);
    for (std::size_t i = 0; i < ValueBytes; ++i) values.Body()[i] = pattern[i % pattern.size()];
    std::uint8_t before[ValueBytes];
    std::memcpy(before, values.Body(), ValueBytes);

    device.events.clear();
    std::int32_t rc = Call(channel, code, &points);
    if (Tracing()) {
        std::fprintf(stderr, "code %d letter %d address %06X bit %d count %d -> %d, %zu exchanges\n", code,
                     points.TypeLetter, static_cast<unsigned>(points.PointAddress), points.BitNumber,
                     points.ElementCount, rc, peer.exchanges.size());
    }

    Check(values.GuardsIntact(), "wrote outside the value buffer");
    Check(std::memcmp(&points, &pointsBefore, sizeof points) == 0, "the PointRequest changed");
    if (write) {
        Check(std::memcmp(values.Body(), before, ValueBytes) == 0, "a write changed the values");
        CheckWrite(rc, points, peer);
    } else {
        CheckRead(rc, points, values.Body(), before, peer);
    }
    if ((write ? LegalCount(points, true) : LegalCount(points, false)) < 0 ||
        (points.ValueBuffer == nullptr && points.ElementCount != 0)) {
        Check(rc != 0, "an impossible request succeeded");
        Check(device.Written().empty(), "an impossible request put bytes on the line");
    }
    Check(!device.unboundedReadSeen, "a read waited without a timeout");
    CheckLineWrites(device);
    return 0;
}
