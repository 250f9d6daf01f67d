-- Wireshark dissector for the Trane Tracker panel line, as zultrk captures
-- it: pcap link type DLT_USER0 (147), each record one byte of direction
-- (0 host to panel, 1 panel to host) and the bytes that side put on the line.
--
-- Frames are DLE STX, the payload with every DLE doubled, DLE ETX, and a
-- CRC-16/X-25 of the stuffed body from after DLE STX through ETX, low byte
-- first, each CRC byte doubled when it is DLE. A frame may span records (a
-- reply read in pieces) and a record may hold several: the dissector keeps
-- one byte stream per direction and shows each frame in the record that
-- completes it.
--
-- Install: copy to ~/.local/lib/wireshark/plugins/ (or run
-- tshark -X lua_script:zultrk.lua -r capture.pcap). Filters: zultrk.address ==
-- 0x01a2f3, zultrk.type == "read_reply", zultrk.crc.status == "bad",
-- zultrk.status != 0. Replies link to their requests; with tshark use -2 so
-- that requests show their response frame too.

local zultrk = Proto("zultrk", "Trane Tracker panel line")

local DLE, STX, ETX, ENQ, ACK, NAK = 0x10, 0x02, 0x03, 0x05, 0x06, 0x15

local letters = { W = 1, T = 2, B = 3, E = 4, M = 5, L = 6, F = 7, D = 8 }
local letter_names = { [1] = "W", [2] = "T", [3] = "B", [4] = "E", [5] = "M", [6] = "L", [7] = "F", [8] = "D" }
zultrk.prefs.letter = Pref.enum("Type letter of read values",
    1, "How to decode the values of a read reply (a read request does not carry its letter)", {
        { 1, "W: 16-bit words", 1 }, { 2, "T: 16-bit words", 2 }, { 3, "B: bytes", 3 },
        { 4, "E: low nibbles", 4 }, { 5, "M: high nibbles", 5 }, { 6, "L: 32-bit integers", 6 },
        { 7, "F: the first two bytes as a number", 7 }, { 8, "D: panel dates", 8 },
    }, false)

local directions = { [0] = "host to panel", [1] = "panel to host" }
local f = {
    direction = ProtoField.uint8("zultrk.direction", "Direction", base.DEC, directions),
    type = ProtoField.string("zultrk.type", "Type"),
    raw = ProtoField.bytes("zultrk.raw", "On the line"),
    payload = ProtoField.bytes("zultrk.payload", "Payload (unstuffed)"),
    command = ProtoField.uint8("zultrk.command", "Command", base.HEX),
    address = ProtoField.uint24("zultrk.address", "Panel address", base.HEX),
    count = ProtoField.uint8("zultrk.count", "Byte count", base.DEC),
    values = ProtoField.bytes("zultrk.values", "Value bytes"),
    value = ProtoField.uint32("zultrk.value", "Value", base.DEC),
    value_float = ProtoField.float("zultrk.value_float", "Value"),
    value_date = ProtoField.absolute_time("zultrk.value_date", "Date", base.LOCAL),
    reply_code = ProtoField.uint8("zultrk.reply_code", "Reply code", base.HEX),
    status = ProtoField.uint8("zultrk.status", "Status", base.DEC),
    version_id = ProtoField.uint8("zultrk.version_id", "Version identifier", base.HEX),
    version_accepted = ProtoField.bool("zultrk.version_accepted", "Identifier accepted"),
    crc = ProtoField.uint16("zultrk.crc", "CRC", base.HEX),
    crc_computed = ProtoField.uint16("zultrk.crc.computed", "CRC computed", base.HEX),
    crc_status = ProtoField.string("zultrk.crc.status", "CRC status"),
    request_in = ProtoField.framenum("zultrk.request_in", "Request in", base.NONE, frametype.REQUEST),
    response_in = ProtoField.framenum("zultrk.response_in", "Response in", base.NONE, frametype.RESPONSE),
    time = ProtoField.relative_time("zultrk.time", "Time since request"),
    begun_in = ProtoField.framenum("zultrk.begun_in", "Frame begun in"),
    continues = ProtoField.bool("zultrk.continues", "Frame continues in a later record"),
}
zultrk.fields = f

local ef_bad_crc = ProtoExpert.new("zultrk.crc.bad", "Frame with a wrong CRC", expert.group.CHECKSUM, expert.severity.WARN)
local ef_nak = ProtoExpert.new("zultrk.nak", "The panel refused the request (NAK)", expert.group.RESPONSE_CODE,
    expert.severity.WARN)
local ef_status = ProtoExpert.new("zultrk.status.refused", "Status reply other than 0", expert.group.RESPONSE_CODE,
    expert.severity.WARN)
local ef_broken = ProtoExpert.new("zultrk.broken", "Frame cut off", expert.group.MALFORMED, expert.severity.WARN)
zultrk.experts = { ef_bad_crc, ef_nak, ef_status, ef_broken }

local accepted_ids = { [0xF2] = true, [0xF5] = true, [0xF6] = true, [0xFA] = true }

-- The line is half duplex: a frame that has paused this long (s) when the
-- other side starts sending was cut off.
local TURN_GAP = 0.020
zultrk.prefs.gap_ms = Pref.uint("Frame gap (ms)", 100,
    "A frame whose bytes pause longer than this is taken as cut off (the driver stops listening after 50 ms)")

local function crc_x25(bytes, from, to)
    local crc = 0xFFFF
    for i = from, to do
        crc = bit32.bxor(crc, bytes[i])
        for _ = 1, 8 do
            if bit32.band(crc, 1) ~= 0 then
                crc = bit32.bxor(bit32.rshift(crc, 1), 0x8408)
            else
                crc = bit32.rshift(crc, 1)
            end
        end
    end
    return bit32.bxor(crc, 0xFFFF)
end

local function hex(bytes, from, to)
    local t = {}
    for i = from, to do t[#t + 1] = string.format("%02X", bytes[i]) end
    return table.concat(t, " ")
end

-- State of the whole capture, built on the first pass in frame order.
local streams    -- [direction] = { bytes = {...}, first = frame number where the pending bytes began,
                 --                 last = frame number and last_time = time of the latest record }
local results    -- [frame number] = { items = {...}, continues = bool, begun_in = number }
local pending    -- the request waiting for its answer: { frame, time, command, count, item }
local responses  -- [request frame] = response frame

function zultrk.init()
    streams = { [0] = { bytes = {} }, [1] = { bytes = {} } }
    results = {}
    pending = nil
    responses = {}
end

-- Takes whole items off the front of a stream's bytes: control bytes and
-- noise outside frames, and frames whose CRC is complete. Returns the items
-- and how many bytes they used; the rest waits for the next record.
local function scan(b)
    local items, i, n = {}, 1, #b
    local noise = {}
    local function flush()
        if #noise > 0 then
            items[#items + 1] = { kind = "noise", raw = noise }
            noise = {}
        end
    end
    while i <= n do
        local c = b[i]
        if c == DLE and i == n then
            break -- it may begin a frame
        elseif c == DLE and b[i + 1] == STX then
            -- a frame: its body to the first ETX after an odd number of DLE bytes
            local parity, j, etx, cut = 0, i + 2, nil, false
            while j <= n do
                if b[j] == DLE then
                    parity = 1 - parity
                elseif b[j] == ETX and parity == 1 then
                    etx = j
                    break
                elseif b[j] == STX and parity == 1 then
                    cut = true -- DLE STX inside: the frame before was cut off
                    break
                end
                j = j + 1
            end
            if cut then
                flush()
                local raw = {}
                for k = i, j - 2 do raw[#raw + 1] = b[k] end
                items[#items + 1] = { kind = "broken", raw = raw }
                i = j - 1
            elseif etx == nil then
                break -- not complete yet
            else
                local p, crc_bytes, complete = etx + 1, {}, true
                for _ = 1, 2 do
                    if p > n or (b[p] == DLE and p + 1 > n) then
                        complete = false
                        break
                    end
                    crc_bytes[#crc_bytes + 1] = b[p]
                    p = p + (b[p] == DLE and 2 or 1)
                end
                if not complete then break end
                flush()
                local raw, payload = {}, {}
                for k = i, p - 1 do raw[#raw + 1] = b[k] end
                local k = i + 2
                while k < etx - 1 do
                    payload[#payload + 1] = b[k]
                    k = k + (b[k] == DLE and 2 or 1)
                end
                items[#items + 1] = {
                    kind = "frame", raw = raw, payload = payload,
                    crc = crc_bytes[1] + 256 * crc_bytes[2],
                    crc_computed = crc_x25(b, i + 2, etx),
                }
                i = p
            end
        elseif c == ENQ or c == ACK or c == NAK then
            flush()
            items[#items + 1] = { kind = "control", raw = { c }, byte = c }
            i = i + 1
        else
            noise[#noise + 1] = c
            i = i + 1
        end
    end
    flush()
    return items, i - 1
end

local function name_host_frame(item)
    local p = item.payload
    if #p == 1 and p[1] == 0x31 then
        item.type, item.summary = "wake", "wake frame"
    elseif #p == 1 and p[1] == 0xF0 then
        item.type, item.summary = "version_request", "version request"
    elseif #p == 5 and p[1] == 0x50 then
        item.type = "read_request"
        item.address = p[2] * 65536 + p[3] * 256 + p[4]
        item.count = p[5]
        item.summary = string.format("block read at %06X, %d bytes", item.address, item.count)
    elseif #p >= 5 and p[1] == 0x60 then
        item.type = "write_request"
        item.address = p[2] * 65536 + p[3] * 256 + p[4]
        item.count = p[5]
        item.summary = string.format("block write at %06X, %d bytes", item.address, item.count)
    else
        item.type = "frame"
        item.summary = string.format("command %02X", p[1] or 0)
    end
    if #p >= 1 then item.command = p[1] end
end

local function name_panel_frame(item, asked)
    local p = item.payload
    if #p == 2 and p[1] == 0x11 then
        item.type, item.status = "status", p[2]
        item.summary = p[2] == 0 and "status 0 (done)" or string.format("status %d (refused)", p[2])
    elseif asked and asked.command == 0xF0 and #p == 1 then
        item.type, item.version_id = "version_id", p[1]
        item.summary = string.format("version identifier 0x%02X, %s", p[1],
            accepted_ids[p[1]] and "accepted" or "not accepted")
    elseif asked and asked.command == 0x50 and #p == asked.count + 1 then
        item.type, item.reply_code = "read_reply", p[1]
        item.summary = string.format("read reply, %d value bytes", asked.count)
    else
        item.type = "reply"
        item.summary = string.format("reply frame, %d payload bytes", #p)
    end
end

-- The bytes a stream still holds, as the item they make when nothing more
-- will come: a frame cut off, or a lone DLE outside any frame.
local function leftover(s)
    if #s.bytes >= 2 and s.bytes[1] == DLE and s.bytes[2] == STX then
        return { kind = "broken", raw = s.bytes, type = "broken", summary = "frame cut off" }
    end
    return { kind = "noise", raw = s.bytes, type = "noise", summary = "bytes outside any frame" }
end

-- A frame left waiting is over when its side stays silent too long, or when
-- the other side starts sending after it paused: it is shown, cut off, in
-- the record that brought its last byte.
local function expire(now, direction)
    for d = 0, 1 do
        local s = streams[d]
        if #s.bytes > 0 and s.last_time then
            local gap = now - s.last_time
            if gap > zultrk.prefs.gap_ms / 1000 or (d ~= direction and gap >= TURN_GAP) then
                local item = leftover(s)
                item.direction = d
                local r = results[s.last]
                r.items[#r.items + 1] = item
                r.continues = nil
                s.bytes = {}
            end
        end
    end
end

-- The first pass: what each record completes, and which reply answers which request.
local function analyse(number, direction, bytes, abs_time)
    expire(abs_time, direction)
    local s = streams[direction]
    s.last, s.last_time = number, abs_time
    if #s.bytes == 0 then s.first = number end
    for i = 1, #bytes do s.bytes[#s.bytes + 1] = bytes[i] end
    local items, used = scan(s.bytes)
    local r = { items = {}, begun_in = s.first }
    for _, item in ipairs(items) do
        item.direction = direction
        if item.kind == "frame" then
            item.crc_good = item.crc == item.crc_computed
            if direction == 0 then
                name_host_frame(item)
                if item.crc_good and item.type ~= "frame" then
                    pending = { frame = number, time = abs_time, command = item.command, count = item.count or 0 }
                end
            else
                name_panel_frame(item, pending)
                if pending then
                    item.request_in, item.delta = pending.frame, abs_time - pending.time
                    responses[pending.frame] = number
                    pending = nil
                end
            end
            if not item.crc_good then item.summary = item.summary .. " [bad CRC]" end
        elseif item.kind == "control" then
            if item.byte == ENQ then
                item.type, item.summary = "enq", "ENQ (the panel announces itself)"
            elseif item.byte == NAK then
                item.type, item.summary = "nak", "NAK (request refused)"
            else
                item.type = "ack"
                item.summary = direction == 0 and "ACK (end of exchange)" or "ACK"
                if direction == 1 and pending and pending.command == 0x31 then item.summary = "ACK (wake frame accepted)" end
            end
            if direction == 1 and (item.byte == NAK or (item.byte == ACK and pending and pending.command == 0x31)) then
                item.request_in, item.delta = pending.frame, abs_time - pending.time
                responses[pending.frame] = number
                pending = nil
            end
        elseif item.kind == "broken" then
            item.type, item.summary = "broken", "frame cut off"
        else
            item.type, item.summary = "noise", "bytes outside any frame"
        end
        r.items[#r.items + 1] = item
    end
    local rest = {}
    for i = used + 1, #s.bytes do rest[#rest + 1] = s.bytes[i] end
    s.bytes = rest
    if #rest > 0 then
        r.continues = true
        if used > 0 then s.first = number end
    end
    return r
end

-- Bytes of the dissector's own (unstuffed payload, value bytes) as a data source of their own.
local function bytes_tvb(list, from, name)
    if from > #list then return nil end
    return ByteArray.new(hex(list, from, #list)):tvb(name)
end

local function add_values(tree, item)
    local letter = letter_names[zultrk.prefs.letter] or "W"
    local v = {}
    for i = 2, #item.payload do v[#v + 1] = item.payload[i] end
    local size = ({ W = 2, T = 2, B = 1, E = 1, M = 1, L = 4, F = 4, D = 3 })[letter]
    local values = bytes_tvb(item.payload, 2, "Read values")
    if values == nil then return end
    local t = tree:add(f.values, values())
    t:append_text(string.format(" (%s elements)", letter))
    local i = 1
    while i + size - 1 <= #v do
        if letter == "W" or letter == "T" then
            t:add(f.value, v[i] + 256 * v[i + 1])
        elseif letter == "B" then
            t:add(f.value, v[i])
        elseif letter == "E" then
            t:add(f.value, bit32.band(v[i], 0x0F))
        elseif letter == "M" then
            t:add(f.value, bit32.rshift(v[i], 4))
        elseif letter == "L" then
            t:add(f.value, v[i] + 256 * v[i + 1] + 65536 * v[i + 2] + 16777216 * v[i + 3])
        elseif letter == "F" then
            t:add(f.value_float, v[i] + 256 * v[i + 1])
        elseif letter == "D" then
            local day = v[i] + 256 * v[i + 1]
            local seconds = os.time({ year = 1977, month = 1, day = 1, hour = 0 }) + (day - 1) * 86400
            t:add(f.value_date, NSTime.new(seconds, 0))
        end
        i = i + size
    end
end

function zultrk.dissector(tvb, pinfo, tree)
    if tvb:len() < 1 then return 0 end
    local direction = tvb(0, 1):uint()
    if direction > 1 then return 0 end
    pinfo.cols.protocol = "ZULTRK"
    if not pinfo.visited and results[pinfo.number] == nil then
        local bytes = {}
        for i = 1, tvb:len() - 1 do bytes[i] = tvb(i, 1):uint() end
        results[pinfo.number] = analyse(pinfo.number, direction, bytes, pinfo.abs_ts)
    end
    local r = results[pinfo.number]
    local root = tree:add(zultrk, tvb(), "Trane Tracker panel line, " .. directions[direction])
    root:add(f.direction, tvb(0, 1))
    local info = {}
    if r == nil then return tvb:len() end
    local items, continues = r.items, r.continues
    local s = streams[direction]
    if pinfo.visited and continues and s.last == pinfo.number and #s.bytes > 0 then
        -- Seen again after the whole capture was read: the frame never ended.
        local item = leftover(s)
        item.direction = direction
        item.summary = item.summary .. " (the capture ends inside it)"
        items, continues = { table.unpack(r.items) }, false
        items[#items + 1] = item
    end
    for _, item in ipairs(items) do
        local data = ByteArray.new(hex(item.raw, 1, #item.raw)):tvb(item.summary)
        local sub = root:add(zultrk, data(), item.summary)
        sub:add(f.type, item.type)
        sub:add(f.raw, data())
        if item.kind == "frame" then
            local payload = bytes_tvb(item.payload, 1, "Payload")
            if payload then sub:add(f.payload, payload()) end
            if item.command and item.direction == 0 then sub:add(f.command, item.command) end
            if item.address then sub:add(f.address, item.address) end
            if item.count then sub:add(f.count, item.count) end
            if item.type == "write_request" then
                local values = bytes_tvb(item.payload, 6, "Written values")
                if values then sub:add(f.values, values()) end
            end
            if item.reply_code then sub:add(f.reply_code, item.reply_code) end
            if item.type == "read_reply" then add_values(sub, item) end
            if item.status then
                local st = sub:add(f.status, item.status)
                if item.status ~= 0 then st:add_proto_expert_info(ef_status) end
            end
            if item.version_id then
                sub:add(f.version_id, item.version_id)
                sub:add(f.version_accepted, accepted_ids[item.version_id] == true)
            end
            sub:add(f.crc, item.crc)
            sub:add(f.crc_computed, item.crc_computed)
            local cs = sub:add(f.crc_status, item.crc_good and "good" or "bad")
            if not item.crc_good then cs:add_proto_expert_info(ef_bad_crc) end
            if r.begun_in and r.begun_in ~= pinfo.number then sub:add(f.begun_in, r.begun_in) end
        elseif item.type == "nak" then
            sub:add_proto_expert_info(ef_nak)
        elseif item.type == "broken" then
            sub:add_proto_expert_info(ef_broken)
            if r.begun_in and r.begun_in ~= pinfo.number then sub:add(f.begun_in, r.begun_in) end
        end
        if item.request_in then
            sub:add(f.request_in, item.request_in)
            sub:add(f.time, NSTime.new(math.floor(item.delta), math.floor((item.delta % 1) * 1e9)))
        end
        if item.kind == "frame" and item.direction == 0 and responses[pinfo.number] then
            sub:add(f.response_in, responses[pinfo.number])
        end
        info[#info + 1] = item.summary
    end
    if continues then
        root:add(f.continues, true)
        info[#info + 1] = "[frame continues]"
    end
    pinfo.cols.info = (direction == 0 and "host> " or "panel> ") .. table.concat(info, "; ")
    return tvb:len()
end

DissectorTable.get("wtap_encap"):add(wtap.USER0, zultrk)
