#include "gateway/bacnet/commands.h"

#include <cmath>

#include "gateway/bacnet/properties.h"

namespace zulgate::bacnet {
namespace {

constexpr Error WriteAccessDenied{ErrorClass::Property, ErrorCode::WriteAccessDenied};
constexpr Error InvalidDataType{ErrorClass::Property, ErrorCode::InvalidDataType};
constexpr Error ValueOutOfRange{ErrorClass::Property, ErrorCode::ValueOutOfRange};

// The outcome of a write handed to the panel, and what the asker is told.
struct OutcomeRow {
    WriteOutcome outcome;
    const char* name;
    bool acknowledged;
    Error error;
};
constexpr OutcomeRow Outcomes[] = {
    {WriteOutcome::Written, "written", true, {}},
    {WriteOutcome::Refused, "refused by the panel", false, WriteAccessDenied},
    {WriteOutcome::OutOfRange, "out of range", false, ValueOutOfRange},
    {WriteOutcome::TimedOut, "not taken in time", false, {ErrorClass::Communication, ErrorCode::Timeout}},
    {WriteOutcome::PanelAway, "panel away", false, {ErrorClass::Device, ErrorCode::OperationalProblem}},
    {WriteOutcome::Stopping, "gateway stopping", false, {ErrorClass::Device, ErrorCode::DeviceBusy}},
};

const OutcomeRow& RowOf(WriteOutcome outcome) {
    for (const OutcomeRow& row : Outcomes) {
        if (row.outcome == outcome) return row;
    }
    return Outcomes[0];
}

// The value a Present_Value of this object may take, or the error.
std::variant<PointValue, Error> ValueFor(const ObjectSpec& spec, const AppValue& given) {
    if (IsAnalog(spec.type)) {
        const float* real = std::get_if<float>(&given);
        if (!real) return InvalidDataType;
        double v = *real;
        if (!std::isfinite(v) || (spec.min && v < *spec.min) || (spec.max && v > *spec.max)) return ValueOutOfRange;
        return v;
    }
    if (IsBinary(spec.type)) {
        const Enumerated* e = std::get_if<Enumerated>(&given);
        if (!e) return InvalidDataType;
        if (e->value > BinaryActive) return ValueOutOfRange;
        return e->value == BinaryActive;
    }
    const std::uint64_t* state = std::get_if<std::uint64_t>(&given);
    if (!state) return InvalidDataType;
    if (*state < 1 || *state > spec.states.size()) return ValueOutOfRange;
    return static_cast<std::uint32_t>(*state - 1);
}

std::optional<int> InForce(const PriorityArray& slots) {
    for (int i = 0; i < Priorities; ++i) {
        if (slots[static_cast<std::size_t>(i)]) return i;
    }
    return std::nullopt;
}

} // namespace

const char* WriteOutcomeName(WriteOutcome outcome) { return RowOf(outcome).name; }

Answer AnswerFor(WriteOutcome outcome) {
    const OutcomeRow& row = RowOf(outcome);
    return row.acknowledged ? Answer::Ack() : Answer::Fail(row.error);
}

std::variant<Command, Answer> TakeWriteProperty(const ObjectTable& table, Reader r) {
    Command command;
    command.object = r.ContextObject(0);
    Property property = static_cast<Property>(r.ContextEnumerated(1));
    bool indexed = r.NextIsContext(2);
    if (indexed) r.ContextUnsigned(2);
    r.Open(3);
    // Exactly one application-tagged value; anything else is of the wrong type.
    std::optional<AppValue> given;
    int elements = 0;
    while (!r.Failed() && !r.AtEnd() && !r.NextIsClosing(3)) {
        Tag tag;
        if (elements++ == 0 && r.Peek(tag) && !tag.context) {
            given = r.Application();
        } else {
            r.Skip();
        }
    }
    r.Close(3);
    std::uint64_t priority = DefaultPriority;
    if (r.NextIsContext(4)) priority = r.ContextUnsigned(4);
    r.ExpectEnd();
    if (elements == 0) r.Fail(Fault::Missing);
    if (priority < 1 || priority > Priorities) r.Fail(Fault::OutOfRange);
    bool alone = elements == 1 && given.has_value();
    if (r.Failed()) return Answer::Refuse(RejectReasonOf(r.GetFault()));

    const Object* object = table.Find(command.object);
    if (!object && !table.IsDevice(command.object)) return Answer::Fail({ErrorClass::Object, ErrorCode::UnknownObject});
    bool known = false;
    for (const Listed& l : PropertiesOf(table, command.object)) known = known || l.id == property;
    if (!known) return Answer::Fail({ErrorClass::Property, ErrorCode::UnknownProperty});
    if (property != Property::PresentValue || !object) return Answer::Fail(WriteAccessDenied);
    if (indexed) return Answer::Fail({ErrorClass::Property, ErrorCode::PropertyIsNotAnArray});
    if (!object->spec.commandable || priority == ReservedPriority) return Answer::Fail(WriteAccessDenied);
    if (!alone) return Answer::Fail(InvalidDataType);

    command.priority = static_cast<int>(priority);
    if (std::holds_alternative<Null>(*given)) return command; // relinquish
    std::variant<PointValue, Error> value = ValueFor(object->spec, *given);
    if (const Error* error = std::get_if<Error>(&value)) return Answer::Fail(*error);
    command.value = std::get<PointValue>(value);
    return command;
}

Plan PlanCommand(const PriorityArray& before, const Command& command) {
    Plan plan{before, std::nullopt};
    std::size_t slot = static_cast<std::size_t>(command.priority - 1);
    plan.after[slot] = command.value;
    std::optional<int> was = InForce(before), now = InForce(plan.after);
    if (!now) return plan; // nothing left in force: the panel keeps its value
    if (command.value && *now == static_cast<int>(slot)) {
        plan.write = command.value; // it commands (again)
    } else if (was != now) {
        plan.write = plan.after[static_cast<std::size_t>(*now)]; // a lower command comes into force
    }
    return plan;
}

} // namespace zulgate::bacnet
