#include "gateway/bacnet/read_services.h"

#include <limits>
#include <optional>
#include <vector>

#include "gateway/bacnet/properties.h"

namespace zulgate::bacnet {
namespace {

std::optional<std::uint32_t> OptionalIndex(Reader& r, std::uint8_t tag) {
    if (!r.NextIsContext(tag)) return std::nullopt;
    std::uint64_t index = r.ContextUnsigned(tag);
    // Beyond 32 bits no array has it: the index stays invalid.
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(index, std::numeric_limits<std::uint32_t>::max()));
}

bool IsGroup(Property p) { return p == Property::All || p == Property::Required || p == Property::Optional; }

struct Reference {
    Property property;
    std::optional<std::uint32_t> index;
};

// One object of a ReadPropertyMultiple and the properties asked of it.
struct ObjectAsked {
    ObjectId object;
    std::vector<Reference> references;
};

void PutReference(Writer& w, const Reference& ref) {
    w.ContextEnumerated(2, static_cast<std::uint32_t>(ref.property));
    if (ref.index) w.ContextUnsigned(3, *ref.index);
}

void PutError(Writer& w, const Reference& ref, const Error& error) {
    PutReference(w, ref);
    w.Open(5);
    w.Enumerated(static_cast<std::uint32_t>(error.errorClass));
    w.Enumerated(static_cast<std::uint32_t>(error.code));
    w.Close(5);
}

// One result of a ReadPropertyMultiple: the property's value, or its error.
void PutResult(Writer& w, Bytes& out, const ObjectTable& table, ValueSource& source, const ObjectId& id,
               const Reference& ref) {
    Bytes value;
    std::optional<Error> error = ReadValue(table, source, id, ref.property, ref.index, value);
    if (error) return PutError(w, ref, *error);
    PutReference(w, ref);
    w.Open(4);
    out.insert(out.end(), value.begin(), value.end());
    w.Close(4);
}

} // namespace

Answer ServeReadProperty(const ObjectTable& table, ValueSource& source, Reader r) {
    ObjectId id = r.ContextObject(0);
    Property property = static_cast<Property>(r.ContextEnumerated(1));
    std::optional<std::uint32_t> index = OptionalIndex(r, 2);
    r.ExpectEnd();
    if (r.Failed()) return Answer::Refuse(RejectReasonOf(r.GetFault()));
    if (!table.Find(id) && !table.IsDevice(id)) return Answer::Fail({ErrorClass::Object, ErrorCode::UnknownObject});
    // ALL, REQUIRED and OPTIONAL belong to ReadPropertyMultiple only.
    if (IsGroup(property)) return Answer::Fail({ErrorClass::Property, ErrorCode::UnknownProperty});

    Bytes value;
    if (std::optional<Error> error = ReadValue(table, source, id, property, index, value)) return Answer::Fail(*error);
    Bytes out;
    Writer w(out);
    w.ContextObject(0, id);
    w.ContextEnumerated(1, static_cast<std::uint32_t>(property));
    if (index) w.ContextUnsigned(2, *index);
    w.Open(3);
    out.insert(out.end(), value.begin(), value.end());
    w.Close(3);
    return Answer::Complex(std::move(out));
}

Answer ServeReadPropertyMultiple(const ObjectTable& table, ValueSource& source, Reader r, std::size_t limit) {
    std::vector<ObjectAsked> asked;
    do {
        ObjectAsked one;
        one.object = r.ContextObject(0);
        r.Open(1);
        do {
            Reference ref;
            ref.property = static_cast<Property>(r.ContextEnumerated(0));
            ref.index = OptionalIndex(r, 1);
            one.references.push_back(ref);
        } while (!r.Failed() && !r.NextIsClosing(1));
        r.Close(1);
        asked.push_back(std::move(one));
    } while (!r.Failed() && !r.AtEnd());
    if (r.Failed()) return Answer::Refuse(RejectReasonOf(r.GetFault()));

    Bytes out;
    Writer w(out);
    for (const ObjectAsked& one : asked) {
        w.ContextObject(0, one.object);
        w.Open(1);
        bool known = table.Find(one.object) || table.IsDevice(one.object);
        for (const Reference& ref : one.references) {
            if (!IsGroup(ref.property) || !known) {
                PutResult(w, out, table, source, one.object, ref);
            } else if (ref.index) { // a group of properties has no elements
                PutError(w, ref, {ErrorClass::Property, ErrorCode::PropertyIsNotAnArray});
            } else {
                for (const Listed& l : PropertiesOf(table, one.object)) {
                    if (ref.property == Property::All || l.required == (ref.property == Property::Required))
                        PutResult(w, out, table, source, one.object, {l.id, std::nullopt});
                }
            }
            if (out.size() > limit) return Answer::Stop(AbortReason::SegmentationNotSupported);
        }
        w.Close(1);
    }
    return Answer::Complex(std::move(out));
}

} // namespace zulgate::bacnet
