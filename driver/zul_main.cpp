#include "driver/operations.h"

namespace {

using Operation = std::int32_t (*)(DriverRequest*);

// Indexed by the request code; empty slots have no operation.
constexpr Operation RequestTable[HighestRequestCode + 1] = {
    nullptr,            // 0
    ColdStart,          // 1
    WarmStart,          // 2
    CheckAddress,       // 3
    CheckAddressSyntax, // 4
    BlockRead,          // 5 ReadValues
    BlockRead,          // 6
    BlockWrite,         // 7 WriteValues
    nullptr,            // 8
    nullptr,            // 9
    BlockWrite,         // 10
    ClosePort,          // 11 StopChannel
    ClosePort,          // 12
    OpenPort,           // 13
    GetInfo,            // 14
    ReopenPort,         // 15
};

} // namespace

extern "C" ZULTRK_API std::int32_t ZULTRK_CALL ZulMain(DriverRequest* request) {
    // A null request or a code outside the table cannot be run; neither is
    // ever used to index memory.
    if (request == nullptr) return NoSuchRequest;
    std::int32_t code = request->Code;
    if (code < 0 || code > HighestRequestCode || RequestTable[code] == nullptr) return NoSuchRequest;
    return RequestTable[code](request);
}
