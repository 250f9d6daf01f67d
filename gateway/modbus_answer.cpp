#include "gateway/modbus_answer.h"

#include <sys/socket.h>

#include <cstdio>

namespace zulgate {
namespace {

constexpr int NoException = 0;
constexpr int IllegalFunction = MODBUS_EXCEPTION_ILLEGAL_FUNCTION;      // 0x01
constexpr int IllegalAddress = MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;   // 0x02
constexpr int IllegalValue = MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;       // 0x03
constexpr int DeviceFailure = MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE; // 0x04
constexpr int NoPath = MODBUS_EXCEPTION_GATEWAY_PATH;                   // 0x0A
constexpr int TargetFailed = MODBUS_EXCEPTION_GATEWAY_TARGET;           // 0x0B
constexpr int AddressSpace = 65536;

int Word16(const std::uint8_t* p) { return (p[0] << 8) | p[1]; }

std::string Hex2(int v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", v);
    return text;
}

} // namespace

struct ModbusAnswer::Request {
    int unit = 0;
    int function = 0;
    int address = 0;
    int quantity = 0;
    std::string why; // of an exception, for the log
};

ModbusAnswer::ModbusAnswer(const std::vector<ServedPanel>& panels, const PointStore& store, WriteQueue& writes,
                           Log& log)
    : panels_(panels), store_(store), writes_(writes), log_(log) {
    byUnit_.fill(-1);
    for (std::size_t i = 0; i < panels_.size(); ++i)
        byUnit_[static_cast<std::size_t>(panels_[i].unit)] = static_cast<int>(i);
}

void ModbusAnswer::Answer(modbus_t* ctx, const MbapFrame& frame, const std::string& who) const {
    const std::uint8_t* query = frame.bytes.data();
    const int length = frame.length;
    const int h = MbapHeaderBytes;
    if (length < h + 1) return;
    Request r;
    r.unit = query[h - 1];
    r.function = query[h];
    const std::uint8_t* pdu = query + h; // function code, then its fields
    const int fields = length - h - 1;   // the reader has checked them against the function's length
    if (fields >= 4) {
        r.address = Word16(pdu + 1);
        r.quantity = Word16(pdu + 3);
    }

    // Buffers for one answer of the largest size Modbus allows.
    std::vector<std::uint16_t> registers;
    std::vector<std::uint8_t> bits;
    modbus_mapping_t mapping{};
    int exception = NoException;
    const int panel = byUnit_[static_cast<std::size_t>(r.unit)];
    auto bounded = [&](int low, int high) {
        if (r.quantity >= low && r.quantity <= high) return true;
        r.why = "quantity " + std::to_string(r.quantity) + " outside " + std::to_string(low) + ".." +
                std::to_string(high);
        exception = IllegalValue;
        return false;
    };

    if (r.function >= 0x80) {
        // An exception's code as a request: no function, whatever the unit.
        exception = IllegalFunction;
        r.why = "function " + std::to_string(r.function) + " is an exception's code";
    } else if (panel < 0) {
        exception = NoPath;
        r.why = "no panel has unit " + std::to_string(r.unit);
    } else {
        const ServedPanel& p = panels_[static_cast<std::size_t>(panel)];
        switch (r.function) {
        case MODBUS_FC_READ_COILS:
            if (bounded(1, MODBUS_MAX_READ_BITS)) exception = Read(r, p, Table::Coil, mapping, registers, bits);
            break;
        case MODBUS_FC_READ_DISCRETE_INPUTS:
            if (bounded(1, MODBUS_MAX_READ_BITS)) exception = Read(r, p, Table::Discrete, mapping, registers, bits);
            break;
        case MODBUS_FC_READ_HOLDING_REGISTERS:
            if (bounded(1, MODBUS_MAX_READ_REGISTERS)) exception = Read(r, p, Table::Holding, mapping, registers, bits);
            break;
        case MODBUS_FC_READ_INPUT_REGISTERS:
            if (bounded(1, MODBUS_MAX_READ_REGISTERS)) exception = Read(r, p, Table::Input, mapping, registers, bits);
            break;
        case MODBUS_FC_WRITE_SINGLE_COIL: {
            int value = r.quantity; // the field holds the value here
            r.quantity = 1;
            if (value != 0xFF00 && value != 0x0000) {
                exception = IllegalValue;
                r.why = "a coil takes 0xFF00 or 0x0000";
            } else {
                exception = Write(r, p, Table::Coil, {value ? 1u : 0u});
                bits.assign(1, 0);
                mapping.start_bits = r.address;
                mapping.nb_bits = 1;
                mapping.tab_bits = bits.data();
            }
            break;
        }
        case MODBUS_FC_WRITE_SINGLE_REGISTER: {
            std::uint32_t value = static_cast<std::uint32_t>(r.quantity);
            r.quantity = 1;
            exception = Write(r, p, Table::Holding, {value});
            registers.assign(1, 0);
            mapping.start_registers = r.address;
            mapping.nb_registers = 1;
            mapping.tab_registers = registers.data();
            break;
        }
        case MODBUS_FC_WRITE_MULTIPLE_COILS: {
            if (!bounded(1, MODBUS_MAX_WRITE_BITS)) break;
            int bytes = fields >= 5 ? pdu[5] : -1;
            if (bytes != (r.quantity + 7) / 8 || fields < 5 + bytes) {
                exception = IllegalValue;
                r.why = "byte count does not match the quantity";
                break;
            }
            std::vector<std::uint32_t> values;
            for (int i = 0; i < r.quantity; ++i) values.push_back((pdu[6 + i / 8] >> (i % 8)) & 1u);
            exception = Write(r, p, Table::Coil, values);
            bits.assign(static_cast<std::size_t>(r.quantity), 0);
            mapping.start_bits = r.address;
            mapping.nb_bits = r.quantity;
            mapping.tab_bits = bits.data();
            break;
        }
        case MODBUS_FC_WRITE_MULTIPLE_REGISTERS: {
            if (!bounded(1, MODBUS_MAX_WRITE_REGISTERS)) break;
            int bytes = fields >= 5 ? pdu[5] : -1;
            if (bytes != 2 * r.quantity || fields < 5 + bytes) {
                exception = IllegalValue;
                r.why = "byte count does not match the quantity";
                break;
            }
            std::vector<std::uint32_t> values;
            for (int i = 0; i < r.quantity; ++i) values.push_back(static_cast<std::uint32_t>(Word16(pdu + 6 + 2 * i)));
            exception = Write(r, p, Table::Holding, values);
            registers.assign(static_cast<std::size_t>(r.quantity), 0);
            mapping.start_registers = r.address;
            mapping.nb_registers = r.quantity;
            mapping.tab_registers = registers.data();
            break;
        }
        default:
            exception = IllegalFunction;
            r.why = "function " + std::to_string(r.function) + " is not served";
            break;
        }
    }

    if (exception != NoException) {
        if (log_.Shows(Level::Debug)) {
            log_.Say(Level::Debug, "modbus",
                     who + ": unit " + std::to_string(r.unit) + " function " + std::to_string(r.function) + " at " +
                         std::to_string(r.address) + " x" + std::to_string(r.quantity) + ": exception " +
                         Hex2(exception) + " (" + r.why + ")");
        }
        if (r.function >= 0x80) {
            // libmodbus would add 0x80 to it, and the answer would read as a
            // normal one of function (code - 0x80).
            auto answer = ExceptionAnswer(frame, static_cast<std::uint8_t>(exception));
            ssize_t sent = send(modbus_get_socket(ctx), answer.data(), answer.size(), MSG_NOSIGNAL);
            (void)sent; // a client gone is seen by the next read
            return;
        }
        modbus_reply_exception(ctx, query, static_cast<unsigned int>(exception));
        return;
    }
    modbus_reply(ctx, query, length, &mapping);
}

int ModbusAnswer::Read(Request& r, const ServedPanel& panel, Table table, modbus_mapping_t& mapping,
                       std::vector<std::uint16_t>& registers, std::vector<std::uint8_t>& bits) const {
    if (r.address + r.quantity > AddressSpace) {
        r.why = "runs past 65535";
        return IllegalAddress;
    }
    std::vector<RegisterRef> refs;
    std::vector<std::size_t> values;
    refs.reserve(static_cast<std::size_t>(r.quantity));
    values.reserve(static_cast<std::size_t>(r.quantity));
    for (int reg = r.address; reg < r.address + r.quantity; ++reg) {
        std::optional<RegisterRef> ref = panel.map->Find(table, reg);
        if (!ref) {
            r.why = std::string(TableName(table)) + " " + std::to_string(reg) + " is not mapped";
            return IllegalAddress;
        }
        refs.push_back(*ref);
        values.push_back(panel.map->Points()[ref->point].firstValue + static_cast<std::size_t>(ref->element));
    }
    std::vector<StoredValue> got;
    store_.Read(panel.index, values, got);
    Clock::time_point now = Clock::now();
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (!store_.Current(panel.index, got[i], now)) {
            const MappedPoint& p = panel.map->Points()[refs[i].point];
            r.why = p.name + ": " +
                    (got[i].quality == Quality::Good ? std::string("older than stale_ms")
                                                     : QualityName(got[i].quality));
            return TargetFailed;
        }
    }
    if (IsBitTable(table)) {
        bits.resize(got.size());
        for (std::size_t i = 0; i < got.size(); ++i) bits[i] = static_cast<std::uint8_t>(got[i].raw & 1u);
    } else {
        registers.resize(got.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            const MappedPoint& p = panel.map->Points()[refs[i].point];
            std::uint32_t raw = got[i].raw;
            registers[i] = static_cast<std::uint16_t>(p.registersPerElement == 2 && refs[i].word == 0 ? raw >> 16
                                                                                                      : raw & 0xFFFF);
        }
    }
    switch (table) {
    case Table::Coil:
        mapping.start_bits = r.address;
        mapping.nb_bits = r.quantity;
        mapping.tab_bits = bits.data();
        break;
    case Table::Discrete:
        mapping.start_input_bits = r.address;
        mapping.nb_input_bits = r.quantity;
        mapping.tab_input_bits = bits.data();
        break;
    case Table::Holding:
        mapping.start_registers = r.address;
        mapping.nb_registers = r.quantity;
        mapping.tab_registers = registers.data();
        break;
    case Table::Input:
        mapping.start_input_registers = r.address;
        mapping.nb_input_registers = r.quantity;
        mapping.tab_input_registers = registers.data();
        break;
    }
    return NoException;
}

int ModbusAnswer::Write(Request& r, const ServedPanel& panel, Table table,
                        const std::vector<std::uint32_t>& words) const {
    if (r.address + r.quantity > AddressSpace) {
        r.why = "runs past 65535";
        return IllegalAddress;
    }
    std::vector<RegisterRef> refs;
    for (int reg = r.address; reg < r.address + r.quantity; ++reg) {
        std::optional<RegisterRef> ref = panel.map->Find(table, reg);
        if (!ref || !panel.map->Points()[ref->point].writable) {
            r.why = std::string(TableName(table)) + " " + std::to_string(reg) +
                    (ref ? " is read-only" : " is not mapped");
            return IllegalAddress;
        }
        refs.push_back(*ref);
    }
    WriteRequest request;
    request.panel = panel.index;
    for (std::size_t i = 0; i < refs.size();) {
        const RegisterRef& ref = refs[i];
        const MappedPoint& p = panel.map->Points()[ref.point];
        std::uint32_t value = 0;
        if (p.registersPerElement == 2) {
            bool whole = ref.word == 0 && i + 1 < refs.size() && refs[i + 1].point == ref.point &&
                         refs[i + 1].element == ref.element;
            if (!whole) {
                r.why = p.name + " takes two registers, high word first: write both";
                return IllegalValue;
            }
            value = (words[i] << 16) | (words[i + 1] & 0xFFFF);
            i += 2;
        } else {
            value = words[i];
            ++i;
            if (value > p.largest) {
                r.why = p.name + " takes 0.." + std::to_string(p.largest) + ", not " + std::to_string(value);
                return IllegalValue;
            }
        }
        // The point list's min and max hold for every interface: the raw
        // number's engineering value must lie within them.
        const Engineering& e = p.engineering;
        double asked = p.Meaning().Value(value);
        if ((e.min && asked < *e.min) || (e.max && asked > *e.max)) {
            r.why = p.name + ": " + std::to_string(value) + " is " + NumberText(asked) + ", outside min " +
                    (e.min ? NumberText(*e.min) : "-") + " max " + (e.max ? NumberText(*e.max) : "-");
            return IllegalValue;
        }
        bool follows = !request.writes.empty() && request.writes.back().point == ref.point &&
                       request.writes.back().firstElement + static_cast<int>(request.writes.back().values.size()) ==
                           ref.element;
        if (!follows) request.writes.push_back(PointWrite{ref.point, ref.element, {}});
        request.writes.back().values.push_back(value);
    }
    WriteOutcome outcome = writes_.Submit(std::move(request))->Wait(panel.writeTimeout);
    if (outcome == WriteOutcome::Written) return NoException;
    r.why = std::string("write ") + WriteOutcomeName(outcome);
    return outcome == WriteOutcome::Refused ? DeviceFailure : TargetFailed;
}

} // namespace zulgate
