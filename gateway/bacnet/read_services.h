// ReadProperty and ReadPropertyMultiple: requests taken apart, their
// acknowledgements put together. An answer longer than `limit` octets is an
// abort, segmentation-not-supported: this server sends no segments.
#pragma once

#include <cstddef>

#include "gateway/bacnet/apdu.h"
#include "gateway/bacnet/object_table.h"

namespace zulgate::bacnet {

Answer ServeReadProperty(const ObjectTable& table, ValueSource& source, Reader request);
Answer ServeReadPropertyMultiple(const ObjectTable& table, ValueSource& source, Reader request, std::size_t limit);

} // namespace zulgate::bacnet
