// One Modbus request answered against the point map: functions 1, 2, 3, 4
// (reads, from the store at once), 5, 6, 15 and 16 (writes, through the
// panel's worker, answered when the panel has taken them). Every register
// or bit of a request is looked up first; the exceptions a gateway gives:
//   0x01 a function it does not serve (0x80 and up answered with the
//        function code as it came, its high bit being set already)
//   0x02 a register or bit not mapped (or, for a write, not writable)
//   0x03 a quantity Modbus does not allow, a value that does not fit its
//        point (300 into a byte, 16 into a nibble), a write of part of a
//        two-register value
//   0x04 a write the panel refused
//   0x0A a unit identifier no panel has
//   0x0B a value never read, not read for stale_ms, whose last read failed
//        or whose panel is away; a write not answered within
//        write_timeout_ms, or that found the panel away or silent
#pragma once

#include <modbus.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "gateway/config.h"
#include "gateway/log.h"
#include "gateway/mbap.h"
#include "gateway/point_map.h"
#include "gateway/point_store.h"
#include "gateway/served_panel.h"
#include "gateway/write_queue.h"

namespace zulgate {

class ModbusAnswer {
public:
    ModbusAnswer(const std::vector<ServedPanel>& panels, const PointStore& store, WriteQueue& writes, Log& log);

    // Answers the request (a frame whose PDU has the length its function
    // gives, see mbap.h) on ctx; "who" names the client in log lines.
    void Answer(modbus_t* ctx, const MbapFrame& frame, const std::string& who) const;

private:
    struct Request;
    int Read(Request& r, const ServedPanel& panel, Table table, modbus_mapping_t& mapping,
             std::vector<std::uint16_t>& registers, std::vector<std::uint8_t>& bits) const;
    int Write(Request& r, const ServedPanel& panel, Table table, const std::vector<std::uint32_t>& words) const;

    std::vector<ServedPanel> panels_;
    std::array<int, 256> byUnit_;
    const PointStore& store_;
    WriteQueue& writes_;
    Log& log_;
};

} // namespace zulgate
