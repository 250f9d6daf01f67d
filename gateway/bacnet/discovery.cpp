#include "gateway/bacnet/discovery.h"

#include "gateway/bacnet/apdu.h"

namespace zulgate::bacnet {
namespace {

// The optional instance range both requests begin with: whether it takes
// in this device (also when there is none).
bool InRange(const ObjectTable& table, Reader& r) {
    if (!r.NextIsContext(0)) return true;
    std::uint64_t low = r.ContextUnsigned(0);
    std::uint64_t high = r.ContextUnsigned(1);
    if (low > AnyInstance || high > AnyInstance) r.Fail(Fault::OutOfRange);
    std::uint32_t instance = table.Device().instance;
    return low <= instance && instance <= high;
}

} // namespace

std::optional<Bytes> AnswerWhoIs(const ObjectTable& table, Reader r) {
    bool asked = InRange(table, r);
    r.ExpectEnd();
    if (r.Failed() || !asked) return std::nullopt;
    Bytes parameters;
    Writer w(parameters);
    w.Object(table.DeviceId());
    w.Unsigned(MaxApduAccepted);
    w.Enumerated(NoSegmentation);
    w.Unsigned(table.Device().vendorIdentifier);
    return EncodeUnconfirmed(UnconfirmedService::IAm, parameters);
}

std::optional<Bytes> AnswerWhoHas(const ObjectTable& table, Reader r) {
    bool asked = InRange(table, r);
    std::optional<ObjectId> found;
    if (r.NextIsContext(2)) {
        ObjectId id = r.ContextObject(2);
        if (table.Find(id) || table.IsDevice(id)) found = id;
    } else {
        found = table.FindName(r.ContextText(3));
    }
    r.ExpectEnd();
    if (r.Failed() || !asked || !found) return std::nullopt;
    Bytes parameters;
    Writer w(parameters);
    w.Object(table.DeviceId());
    w.Object(*found);
    w.Text(table.NameOf(*found));
    return EncodeUnconfirmed(UnconfirmedService::IHave, parameters);
}

} // namespace zulgate::bacnet
