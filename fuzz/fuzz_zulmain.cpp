// Sequences of requests through ZulMain on one valid channel context: any
// request code, any channel number, a parameter block of fixed size filled
// from the input, in which the pointers a request reads are replaced by
// fuzzer-owned buffers or null. The line holds a panel that keeps memory and
// misbehaves as the input says (COM1), a peer that answers with fuzzer bytes
// (COM2), a device without serial state (COM3), and the null device.
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/fuzz_support.h"
#include "panel/handshake.h"
#include "tests/unit/fake_panel.h"

using namespace fuzz;

namespace {

constexpr std::size_t BlockSize = 64; // larger than every parameter block
constexpr std::size_t ValueBytes = 4 * 256;
constexpr int MaxSteps = 12;

static_assert(sizeof(PointRequest) <= BlockSize && sizeof(AddressDefinition) <= BlockSize &&
                  sizeof(ColdStartParams) <= BlockSize && sizeof(ReopenParams) <= BlockSize &&
                  sizeof(DriverInfo) <= BlockSize,
              "every parameter block fits the fuzzed block");

bool InTable(std::int32_t code) { return code >= 1 && code <= 15 && code != 8 && code != 9; }
bool IsRead(std::int32_t code) { return code == ReadValuesCode || code == BlockReadCode; }
bool IsWrite(std::int32_t code) { return code == WriteValuesCode || code == BlockWriteCode; }
bool IsAddressCheck(std::int32_t code) { return code == CheckAddressCode || code == CheckAddressSyntaxCode; }

void SetUpPanel(test::FakePanel& panel, InputReader& in) {
    std::uint16_t flags = in.ConsumeIntegral<std::uint16_t>();
    panel.announce = (flags & 0x0001) == 0;
    panel.ackWake = (flags & 0x0002) == 0;
    panel.silent = (flags & 0x0004) != 0;
    panel.nak = (flags & 0x0008) != 0;
    panel.damageCrc = (flags & 0x0010) != 0;
    if (flags & 0x0020) panel.status = in.ConsumeIntegral<std::uint8_t>();
    if (flags & 0x0040) panel.versionId = in.ConsumeIntegral<std::uint8_t>();
    if (flags & 0x0080) panel.wakeReply = in.ConsumeIntegral<std::uint8_t>();
    if (flags & 0x0100) panel.readReplyCode = in.ConsumeIntegral<std::uint8_t>();
    if (flags & 0x0200) panel.silentRequests = in.ConsumeIntegralInRange<int>(0, 4);
    if (flags & 0x0400) panel.shortValue = in.ConsumeIntegralInRange<int>(0, 8);
    if (flags & 0x0800) panel.extraValue = in.ConsumeIntegralInRange<int>(0, 8);
    if (flags & 0x1000) panel.replyDelay = in.ConsumeIntegralInRange<int>(0, 120) * fake::Ms;
    if (flags & 0x2000) panel.perByte = in.ConsumeIntegralInRange<int>(0, 20) * fake::Ms;
    if (flags & 0x4000) panel.splitGap = in.ConsumeIntegralInRange<int>(1, 120) * fake::Ms;
    if (flags & 0x8000) {
        panel.lateBy = in.ConsumeIntegralInRange<int>(1, 400) * fake::Ms;
        panel.lateReplies = in.ConsumeIntegralInRange<int>(0, 3);
    }
}

void SetUpFaults(fake::Device& device, InputReader& in) {
    std::uint16_t flags = in.ConsumeIntegral<std::uint16_t>();
    device.failGetCommTimeouts = (flags & 0x01) != 0;
    device.failSetCommTimeouts = (flags & 0x02) != 0;
    device.failClearCommError = (flags & 0x04) != 0;
    device.rtsSupported = (flags & 0x08) == 0;
    if (flags & 0x10) device.failReads = in.ConsumeIntegralInRange<int>(0, 6);
    if (flags & 0x20) device.failWrites = in.ConsumeIntegralInRange<int>(0, 6);
    if (flags & 0x40) device.shortWriteBy = in.ConsumeIntegralInRange<int>(0, 3);
    device.exclusive = (flags & 0x80) == 0;
    device.failGetCommState = (flags & 0x100) != 0;
    device.failSetCommState = (flags & 0x200) != 0;
    device.failSetupComm = (flags & 0x400) != 0;
    device.failOpen = (flags & 0x800) != 0;
}

void NameThePort(char (&name)[12], InputReader& in) {
    static const char* const names[] = {"COM1", "COM2", "COM3", "NUL", "nul", "COM9", ""};
    std::uint8_t pick = in.ConsumeIntegral<std::uint8_t>();
    if (pick >= 200) return; // keep the fuzzer's twelve bytes, NUL or not
    std::memset(name, 0, sizeof name);
    std::strcpy(name, names[pick % 7]);
}

std::int32_t PickCode(InputReader& in) {
    std::uint8_t pick = in.ConsumeIntegral<std::uint8_t>();
    if (pick < 240) return pick % 17;
    return in.ConsumeIntegral<std::int32_t>();
}

// Slots a read may fill: ElementCount of them when it is a count the
// transfer can carry, none otherwise.
std::size_t SlotsCovered(const PointRequest& p) {
    if (p.ElementCount < 0 || p.ElementCount > 255) return 0;
    return static_cast<std::size_t>(p.ElementCount);
}

struct World {
    test::FakePanel panel;
    std::unique_ptr<ScriptedPeer> scripted;
    Guarded<sizeof(ChannelContext)> context;
    ChannelContext* channel = nullptr;
};

void Step(World& w, InputReader& in) {
    std::int32_t code = PickCode(in);
    static Guarded<BlockSize> block;
    static Guarded<ValueBytes> values;
    std::memset(block.Body(), 0, BlockSize);
    Bytes fill = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, BlockSize));
    std::copy(fill.begin(), fill.end(), block.Body());
    Bytes pattern = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(1, 16));
    if (pattern.empty()) pattern.push_back(0x5A);
    for (std::size_t i = 0; i < ValueBytes; ++i) values.Body()[i] = pattern[i % pattern.size()];

    std::unique_ptr<char[]> text;
    if (code == ColdStartCode) NameThePort(reinterpret_cast<ColdStartParams*>(block.Body())->PortName, in);
    if (code == ReopenPortCode) NameThePort(reinterpret_cast<ReopenParams*>(block.Body())->PortName, in);
    if (IsAddressCheck(code)) {
        auto* d = reinterpret_cast<AddressDefinition*>(block.Body());
        if (in.ConsumeBool()) {
            std::string s = in.ConsumeRandomLengthString(40);
            text.reset(new char[s.size() + 1]);
            std::memcpy(text.get(), s.c_str(), s.size() + 1);
        }
        d->AddressText = text.get();
    }
    if (IsRead(code) || IsWrite(code)) {
        auto* p = reinterpret_cast<PointRequest*>(block.Body());
        if (in.ConsumeBool()) { // a request a host could mean
            static const char letters[] = "BDFWLTEM";
            p->TypeLetter = letters[in.ConsumeIntegralInRange<int>(0, 7)];
            p->ElementCount = in.ConsumeIntegralInRange<std::int32_t>(0, 5);
            p->BitNumber = in.ConsumeBool() ? NoBit : in.ConsumeIntegralInRange<std::int32_t>(0, 15);
            p->PointAddress = in.ConsumeIntegralInRange<std::int32_t>(0, 0x20);
        }
        p->ValueBuffer = in.ConsumeIntegral<std::uint8_t>() < 16 ? nullptr : values.Body();
    }
    bool nullParams = in.ConsumeIntegral<std::uint8_t>() < 12;

    DriverRequest request;
    std::memset(&request, 0, sizeof request);
    request.Channel = w.channel;
    request.Code = code;
    request.ChannelNumber = in.ConsumeIntegral<std::int32_t>();
    request.HostWord[0] = in.ConsumeIntegral<std::uint8_t>();
    request.Params = nullParams ? nullptr : block.Body();
    DriverRequest requestBefore = request;
    std::uint8_t blockBefore[BlockSize];
    std::memcpy(blockBefore, block.Body(), BlockSize);
    std::uint8_t valuesBefore[ValueBytes];
    std::memcpy(valuesBefore, values.Body(), ValueBytes);
    ChannelContext contextBefore = *w.channel;
    std::size_t writtenBefore = 0;
    for (const char* name : {"COM1", "COM2", "COM3"}) writtenBefore += fake::Find(name)->Written().size();

    std::int32_t rc = ZulMain(&request);
    if (Tracing()) std::fprintf(stderr, "code %d%s -> %d\n", code, nullParams ? " (no block)" : "", rc);

    Check(std::memcmp(&request, &requestBefore, sizeof request) == 0, "the request record changed");
    Check(block.GuardsIntact(), "wrote outside the parameter block");
    Check(values.GuardsIntact(), "wrote outside the value buffer");
    Check(w.context.GuardsIntact(), "wrote outside the channel context");
    Check(PanelVersionId == 0 || IsAcceptedVersionId(PanelVersionId), "a refused version identifier was kept");

    std::size_t writtenAfter = 0;
    for (const char* name : {"COM1", "COM2", "COM3"}) writtenAfter += fake::Find(name)->Written().size();
    if (!InTable(code)) {
        Check(rc != 0, "a code outside the table succeeded");
        Check(writtenAfter == writtenBefore, "a code outside the table used the line");
        Check(std::memcmp(&contextBefore, w.channel, sizeof contextBefore) == 0,
              "a code outside the table changed the channel");
    }

    // What each request may change in its parameter block.
    std::size_t from = BlockSize, to = BlockSize;
    if (IsAddressCheck(code)) {
        from = offsetof(AddressDefinition, Cleared16);
        to = offsetof(AddressDefinition, ElementLength) + 4;
    } else if (code == GetInfoCode) {
        from = 0;
        to = sizeof(DriverInfo);
    }
    for (std::size_t i = 0; i < BlockSize; ++i) {
        if (i < from || i >= to) Check(block.Body()[i] == blockBefore[i], "a request changed its parameter block");
    }

    if (nullParams && (IsRead(code) || IsWrite(code) || IsAddressCheck(code) || code == ColdStartCode ||
                       code == ReopenPortCode || code == GetInfoCode)) {
        Check(rc != 0, "a request without its parameter block succeeded");
        Check(writtenAfter == writtenBefore, "a request without its parameter block used the line");
    }
    if (IsAddressCheck(code)) Check(rc == 0 || rc == 1, "address check result");
    if (IsRead(code) || IsWrite(code)) Check(rc >= 0 && rc <= 2, "point request result");
    bool opensOrCloses = code == ColdStartCode || code == StopChannelCode || code == ClosePortCode ||
                         code == OpenPortCode || code == ReopenPortCode;
    if (opensOrCloses) Check(rc == 0 || rc == 2, "lifecycle result");

    std::size_t covered = 0;
    if (IsRead(code) && !nullParams) covered = 4 * SlotsCovered(*reinterpret_cast<PointRequest*>(block.Body()));
    for (std::size_t i = covered; i < ValueBytes; ++i) {
        Check(values.Body()[i] == valuesBefore[i], "a request changed values it does not cover");
    }
    if (rc != 0) Check(std::memcmp(values.Body(), valuesBefore, ValueBytes) == 0, "a failed request changed values");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    QuietLog();
    InputReader in(data, size);
    fake::Reset();
    World w;
    w.scripted = std::make_unique<ScriptedPeer>(in);
    SetUpPanel(w.panel, in);
    fake::Device& com1 = fake::AddDevice("COM1");
    com1.peer = &w.panel;
    SetUpFaults(com1, in);
    bool closeFails = in.ConsumeIntegral<std::uint8_t>() < 8;
    com1.failClose = closeFails;
    fake::Device& com2 = fake::AddDevice("COM2");
    com2.peer = w.scripted.get();
    w.scripted->announce = in.ConsumeBool();
    fake::Device& com3 = fake::AddDevice("COM3");
    com3.serial = false;

    w.channel = reinterpret_cast<ChannelContext*>(w.context.Body());
    std::memset(w.channel, 0, sizeof(ChannelContext));

    int steps = in.ConsumeIntegralInRange<int>(1, MaxSteps);
    for (int i = 0; i < steps && in.remaining_bytes() > 0; ++i) {
        Step(w, in);
        for (const char* name : {"COM1", "COM2", "COM3", "NUL"}) {
            fake::Device* d = fake::Find(name);
            Check(d == nullptr || !d->unboundedReadSeen, "a read waited without a timeout");
            if (d != nullptr && d->shortWriteBy == 0) CheckLineWrites(*d);
        }
        if (!closeFails) {
            Check(fake::OpenHandleCount() == (w.channel->PortHandle != nullptr ? 1 : 0),
                  "an open port handle was lost");
        }
    }
    return 0;
}
