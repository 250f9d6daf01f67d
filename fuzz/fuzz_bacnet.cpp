// zulgate's BACnet server: datagrams as any sender could make them, through
// the whole server (envelope, request decoder, services, priority arrays,
// subscriptions), with writes finished, left waiting or timed out as the
// input says. The input is a series of records: a datagram's length (two
// octets, little-endian), the datagram, and an action octet.
//
// Whatever comes in, what goes out must be well-formed BACnet/IP whose
// tagged parameters all decode, no longer than 1476 octets of APDU; a
// request that asks for no answer (an unconfirmed one, a broadcast) gets
// only I-Am or I-Have; an answer carries its request's invoke ID.
#include <map>

#include "fuzz/input_reader.h"
#include "gateway/bacnet/server.h"

using namespace zulgate::bacnet;

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}
void Check(bool ok, const char* what) {
    if (!ok) Fail(what);
}

struct Memory : ValueSource {
    std::map<ObjectId, Reading> values;
    std::vector<WriteDone> waiting;
    Reading Read(const ObjectId& id) override { return values[id]; }
    void Write(const ObjectId& id, const PointValue& value, WriteDone done) override {
        values[id] = {value, true};
        waiting.push_back(std::move(done));
    }
};

std::vector<ObjectSpec> Objects() {
    std::vector<ObjectSpec> o(6);
    o[0] = {ObjectType::AnalogInput, 1, "ai", "an input", 64, {}, 0.5f, false, {}, {}};
    o[1] = {ObjectType::AnalogValue, 2, "av", "", 98, {}, 1.0f, true, -10.0, 100.0};
    o[2] = {ObjectType::BinaryInput, 3, "bi", "", 95, {"off", "on"}, 0, false, {}, {}};
    o[3] = {ObjectType::BinaryValue, 4, "bv", "", 95, {}, 0, true, {}, {}};
    o[4] = {ObjectType::MultiStateValue, 5, "msv", "", 95, {"a", "b", "c"}, 0, true, {}, {}};
    o[5] = {ObjectType::AnalogValue, 6, "read-only", "", 95, {}, 0, false, {}, {}};
    return o;
}

// Every tagged element of a run of parameters decodes, and opening and
// closing tags pair up.
void CheckParameters(const std::uint8_t* p, std::size_t n) {
    Reader r(p, n);
    while (!r.AtEnd() && !r.Failed()) r.Skip();
    Check(!r.Failed(), "an answer whose parameters do not decode");
}

// `asked`: the request it answers, or none for what Service sends (answers
// to writes, and notifications).
void CheckOutput(const Outgoing& o, const Request* asked) {
    const Bytes& d = o.datagram;
    Check(d.size() >= 4 && d[0] == 0x81 && (d[2] << 8 | d[3]) == static_cast<int>(d.size()), "a malformed BVLC");
    if (d[1] == 0x00) { // a NAK to a management function
        Check(d.size() == 6 && o.reach == Reach::Unicast && asked == nullptr, "a BVLC-Result out of place");
        return;
    }
    // The network layer, walked here (answers to a remote station name its network).
    Check(d.size() >= 7 && (d[1] == 0x0A || d[1] == 0x0B) && d[4] == 0x01, "an answer that is not BACnet/IP");
    std::size_t at = 6;
    if (d[5] & 0x20) { // DNET, DLEN, DADR, hop count
        Check(d.size() > 8, "a destination cut short");
        at += 3 + d[8] + 1;
    }
    Check(!(d[5] & 0x88) && at < d.size(), "a malformed NPDU");
    struct {
        const std::uint8_t* apdu;
        std::size_t apduSize;
    } in{d.data() + at, d.size() - at};
    Check(in.apduSize <= MaxApduAccepted, "an APDU beyond 1476 octets");
    PduType type = static_cast<PduType>(in.apdu[0] >> 4);
    if (type == PduType::UnconfirmedRequest) {
        Check(in.apduSize >= 2, "an unconfirmed request without its service");
        auto service = static_cast<UnconfirmedService>(in.apdu[1]);
        CheckParameters(in.apdu + 2, in.apduSize - 2);
        if (service == UnconfirmedService::CovNotification) {
            Check(o.reach == Reach::Unicast, "a notification by broadcast");
            Check(!asked || (asked->type == PduType::ConfirmedRequest &&
                             asked->service == static_cast<std::uint8_t>(ConfirmedService::SubscribeCov)),
                  "a notification in answer to other than SubscribeCOV");
            return;
        }
        Check(service == UnconfirmedService::IAm || service == UnconfirmedService::IHave,
              "an unconfirmed request it never sends");
        Check(asked && asked->type == PduType::UnconfirmedRequest, "an I-Am or I-Have unasked");
        return;
    }
    Check(o.reach == Reach::Unicast, "an answer to a confirmed request by broadcast");
    Check(type == PduType::SimpleAck || type == PduType::ComplexAck || type == PduType::Error ||
              type == PduType::Reject || type == PduType::Abort,
          "an APDU of a type it never sends");
    Check(in.apduSize >= 3, "an answer cut short");
    if (asked) {
        Check(asked->type == PduType::ConfirmedRequest, "an answer to a request that asked for none");
        Check(in.apdu[1] == asked->invokeId, "an answer with another invoke ID");
    } else {
        Check(type == PduType::SimpleAck || type == PduType::Error, "a late answer other than to a write");
    }
    if (type == PduType::ComplexAck || type == PduType::Error) CheckParameters(in.apdu + 3, in.apduSize - 3);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::InputReader input(data, size);
    Memory memory;
    DeviceSpec device;
    device.instance = 260001;
    ObjectTable table;
    std::string problem;
    Check(ObjectTable::Build(device, Objects(), table, problem), "the fixed objects are refused");
    ServerOptions options;
    options.maxSubscriptions = 4;
    options.maxPendingWrites = 4;
    options.writeWait = std::chrono::seconds(10);
    Server server(std::move(table), memory, options);
    Clock::time_point now{};
    const Endpoint sender{0xC0A80105, 47808};

    for (int records = 0; input.remaining_bytes() > 0 && records < 64; ++records) {
        std::size_t length = input.ConsumeIntegral<std::uint16_t>() % 1600;
        Bytes datagram = input.ConsumeBytes<std::uint8_t>(length);
        std::uint8_t action = input.Byte();

        std::vector<Outgoing> out;
        server.Receive(datagram.data(), datagram.size(), sender, now, out);
        // What it was, read the server's way: answers are judged against it.
        Incoming in;
        std::uint16_t nak = 0;
        Request request;
        bool asked = Unwrap(datagram.data(), datagram.size(), sender, in, nak) == Unwrapped::Apdu &&
                     ParseRequest(in.apdu, in.apduSize, request);
        for (const Outgoing& o : out) {
            Check(asked || nak != 0, "an answer to what was no request");
            CheckOutput(o, asked ? &request : nullptr);
        }

        // The action: how waiting writes end (0..5: an outcome; 6, 7: still waiting),
        // whether a value moves, whether time passes.
        int outcome = action & 0x07;
        if (outcome < 6) {
            for (auto& done : memory.waiting) done(static_cast<WriteOutcome>(outcome));
            memory.waiting.clear();
        }
        if (action & 0x08) {
            Reading& ai = memory.values[{ObjectType::AnalogInput, 1}];
            ai.value = std::get_if<double>(&ai.value) ? std::get<double>(ai.value) + (action >> 4) : 0.0;
            ai.current = (action & 0x10) != 0;
            server.ValuesChanged();
        }
        if (action & 0x80) now += std::chrono::seconds(action & 0x7F);
        out.clear();
        server.Service(now, out);
        for (const Outgoing& o : out) CheckOutput(o, nullptr);
    }
    return 0;
}
