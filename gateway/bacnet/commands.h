// WriteProperty of Present_Value, which commands an object at a priority.
// The request is checked against the object and becomes a Command; the
// priority array decides what, if anything, goes to the panel; and the
// write's outcome, one table, decides the answer. The slots change only
// when the panel took the write (or when nothing had to be written), so
// Priority_Array never shows a command the panel refused.
#pragma once

#include <optional>
#include <variant>

#include "gateway/bacnet/apdu.h"
#include "gateway/bacnet/object_table.h"

namespace zulgate::bacnet {

struct Command {
    ObjectId object;
    int priority = DefaultPriority;  // 1..16, 6 excepted
    std::optional<PointValue> value; // none: relinquish
};

// The request as a command, or the answer that turns it down.
std::variant<Command, Answer> TakeWriteProperty(const ObjectTable& table, Reader request);

struct Plan {
    PriorityArray after;             // the slots once it is done
    std::optional<PointValue> write; // what the panel must take first, if anything
};
// A value at a priority goes to the panel when no higher priority holds a
// command; relinquishing the command in force writes the next one down, if
// any; when none is left nothing is written and the panel keeps its value.
Plan PlanCommand(const PriorityArray& before, const Command& command);

// The answer to a write the panel was given.
Answer AnswerFor(WriteOutcome outcome);

} // namespace zulgate::bacnet
