// Who-Is / I-Am and Who-Has / I-Have: how a client finds the device and
// its objects. These are unconfirmed: a request that is malformed, or that
// does not name this device or one of its objects, gets no answer.
#pragma once

#include <optional>

#include "gateway/bacnet/object_table.h"

namespace zulgate::bacnet {

// The I-Am APDU, when a Who-Is with these parameters asks for this device.
std::optional<Bytes> AnswerWhoIs(const ObjectTable& table, Reader request);
// The I-Have APDU, when a Who-Has asks for an object this device has.
std::optional<Bytes> AnswerWhoHas(const ObjectTable& table, Reader request);

} // namespace zulgate::bacnet
