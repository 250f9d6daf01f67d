#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into fuzz/corpus/<target>/.

The seeds are the protocol's worked examples: frames as they are on the
line, address texts, and reads and writes whose replies are those frames.
fuzz_points and fuzz_zulmain read their input front to back
(fuzz/input_reader.h); the encoders below follow the order in which those
targets take their values, and the parameter blocks use the native x86-64
layout of the host records.

    python3 fuzz/make_seeds.py      (rewrites the corpus folders)
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
DLE, STX, ETX, ACK, NAK = 0x10, 0x02, 0x03, 0x06, 0x15


def crc_x25(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return crc ^ 0xFFFF


def stuff(data):
    out = bytearray()
    for b in data:
        out.append(b)
        if b == DLE:
            out.append(DLE)
    return bytes(out)


def frame(payload):
    body = stuff(payload) + bytes([DLE, ETX])
    crc = crc_x25(body)
    return bytes([DLE, STX]) + body + stuff(bytes([crc & 0xFF, crc >> 8]))


def i32(v):
    return struct.pack("<i", v)


def u8(v):
    return bytes([v & 0xFF])


def write_all(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name in os.listdir(folder):
        os.remove(os.path.join(folder, name))
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


# --- fuzz_frame: received bytes, also taken as a payload --------------------

WIRE = {
    "wake": "10 02 31 10 03 B4 BD",
    "version_request": "10 02 F0 10 03 F2 ED",
    "doubled_payload": "10 02 50 00 10 10 20 02 10 03 EB D6",
    "doubled_crc_low": "10 02 50 00 00 00 91 10 03 10 10 8A",
    "doubled_crc_high": "10 02 50 00 00 00 2F 10 03 49 10 10",
    "etx_in_payload": "10 02 03 10 10 03 10 03 7D C4",
    "ack_version_reply": "06 10 02 F2 10 03 4A 58",
    "nak": "15",
    "status_ok": "10 02 11 00 10 03 CE 84",
    "status_5": "10 02 11 05 10 03 73 BD",
    "read_two_words": "10 02 50 01 A2 F3 04 10 03 55 90",
    "write_word": "10 02 60 01 A2 F3 02 34 12 10 03 48 80",
    "write_long": "10 02 60 10 10 00 0A 04 78 56 34 12 10 03 26 F5",
    "write_two_bytes": "10 02 60 00 40 02 02 41 10 10 10 03 F2 EF",
    "noise_before_frame": "06 41 42 10 02 31 10 03 B4 BD",
    "cut_off": "10 02 50 01 A2 F3 04",
}


def frame_seeds():
    seeds = {name: bytes.fromhex(hexes) for name, hexes in WIRE.items()}
    seeds["all_zero"] = bytes(16)
    seeds["status_ok_twice"] = seeds["status_ok"] * 2
    return seeds


# --- fuzz_address: 4 bytes of host data type, then the text -----------------

ADDRESSES = ["W01A2F3", "b0040027", "L10000A", "L10000A1", "d123456", "WFFFFFFF",
             "X000000", "W00000", "W0000000A", "W000000 ", "W0G0000", ""]


def address_seeds():
    seeds = {}
    for text in ADDRESSES:
        for data_type in (0, 3, 6, 7, -1):
            name = "%s_type%d" % (text.replace(" ", "_") or "empty", data_type)
            seeds[name] = i32(data_type) + text.encode()
    return seeds


# --- fuzz_points -------------------------------------------------------------

LETTERS = "BDFWLTEMAS"


def raw_reply(data):
    """A script entry that answers with these bytes as they are."""
    return u8(3) + struct.pack("<H", len(data)) + data


def points_input(write, letter, address, count, values, replies, bit=255, code_alt=False, announce=True):
    data = bytearray()
    data += u8(write) + u8(code_alt) + u8(announce)
    data += i32(0) * 3                                 # unused words
    data += u8(LETTERS.index(letter))                  # type letter
    data += i32(address)
    data += u8(0) if bit == 255 else u8(128 + bit)     # bit number
    data += i32(32)                                    # element length
    data += i32(0)                                     # unused
    data += u8(count)                                  # element count (0..3)
    data += i32(0)                                     # unused
    data += u8(0xFF)                                   # a value buffer
    pattern = values or b"\0"
    data += u8(len(pattern) - 1) + pattern
    for reply in replies:
        data += raw_reply(reply)
    return bytes(data)


OK = frame(bytes([0x11, 0x00]))


def read(letter, count, value_bytes, bit=255, address=0x01A2F3):
    return points_input(0, letter, address, count, b"", [frame(bytes([0x50]) + value_bytes)], bit)


def slot16(v):
    return struct.pack("<HH", 0, v)


def points_seeds():
    day = lambda n: struct.pack("<H", n) + b"\0"
    return {
        "read_two_words": read("W", 2, bytes.fromhex("34127856")),
        "read_long": read("L", 1, bytes.fromhex("78563412")),
        "read_float": read("F", 1, bytes.fromhex("1027AABB"), address=0x003000),
        "read_bit3_set": read("B", 1, b"\x08", bit=3),
        "read_bit3_clear": read("B", 1, b"\xF7", bit=3),
        "read_byte": read("B", 1, b"\xF7"),
        "read_low_nibble": read("E", 1, b"\xA5"),
        "read_high_nibble": read("M", 1, b"\xA5"),
        "read_dates": read("D", 3, day(1) + day(1461) + day(1155)),
        "read_date_2000": read("D", 1, day(8401)),
        "read_nak": points_input(0, "W", 0x01A2F3, 2, b"", [bytes([NAK])]),
        "read_status": points_input(0, "W", 0x01A2F3, 2, b"", [frame(b"\x11\x05")]),
        "read_behind_ack": points_input(0, "W", 0x01A2F3, 1, b"",
                                        [bytes([ACK]) + frame(bytes.fromhex("503412"))]),
        "read_cut_off": points_input(0, "W", 0x01A2F3, 2, b"", [frame(bytes.fromhex("5034127856"))[:-4]]),
        "read_none": points_input(0, "B", 0, 0, b"", [frame(b"\x50")]),
        "write_word": points_input(1, "W", 0x01A2F3, 1, slot16(0x1234), [OK]),
        "write_long": points_input(1, "L", 0x10000A, 1, struct.pack("<I", 0x12345678), [OK]),
        "write_two_bytes": points_input(1, "B", 0x004002, 2, slot16(0x41) + slot16(0x10), [OK]),
        "write_float": points_input(1, "F", 0x003000, 1, struct.pack("<f", 1.0), [OK]),
        "write_low_nibble": points_input(1, "E", 0x002000, 1, slot16(7), [frame(b"\x50\xA3"), OK]),
        "write_high_nibble": points_input(1, "M", 0x002000, 1, slot16(7), [frame(b"\x50\xA3"), OK]),
        "write_word_bit5": points_input(1, "W", 0x000100, 1, slot16(1), [frame(b"\x50\x00\x0F"), OK], bit=5),
        "write_byte_bit3": points_input(1, "B", 0x000100, 1, slot16(0), [frame(b"\x50\xFF"), OK], bit=3),
        "write_nibble_bit2": points_input(1, "E", 0x002000, 1, slot16(1),
                                          [frame(b"\x50\xA3"), frame(b"\x50\xA3"), OK], bit=2),
        "write_none": points_input(1, "W", 0x000100, 0, b"", [OK]),
        "write_status_5": points_input(1, "W", 0x01A2F3, 1, slot16(0x1234), [frame(b"\x11\x05")]),
        "write_read_nak": points_input(1, "E", 0x002000, 1, slot16(7), [bytes([NAK])]),
    }


# --- fuzz_zulmain ------------------------------------------------------------

def cold_start_block(timeout=100):
    return b"COM1".ljust(12, b"\0") + i32(1) + i32(timeout) + struct.pack("<HHHH", 9600, 8, 0, 0)


def reopen_block(timeout=0):
    return b"COM1".ljust(12, b"\0") + i32(timeout) + struct.pack("<HHHH", 9600, 8, 0, 0)


def point_block(letter, address, count, bit=255):
    # x86-64 PointRequest: ten 32-bit words, then the value buffer pointer.
    words = [0, 0, 0, ord(letter), address, bit, 32, 0, count, 0]
    return b"".join(i32(w) for w in words)


def address_block(data_type):
    # x86-64 AddressDefinition: the text pointer (8 bytes), then 32-bit words.
    return bytes(8) + i32(0) + i32(data_type)


def step(code, block=b"", pattern=b"\0", port=None, text=None, null_params=False):
    data = bytearray()
    data += u8(code)
    data += u8(len(block)) + block
    data += u8(len(pattern) - 1) + pattern
    if code in (1, 15):
        data += u8(0 if port is None else port)        # 0: "COM1", 3: "NUL", 200: as filled
    if code in (3, 4):
        data += u8(text is not None)
        if text is not None:
            data += u8(len(text)) + text.encode()
    if code in (5, 6, 7, 10):
        data += u8(0)                                   # the block as filled
        data += u8(0xFF)                                # a value buffer
    data += u8(0 if null_params else 0xFF)
    data += i32(1)                                      # channel number
    data += u8(0)                                       # host word
    return bytes(data)


def session(steps, panel_flags=0, panel_extra=b""):
    data = bytearray()
    data += struct.pack("<H", panel_flags) + panel_extra
    data += struct.pack("<H", 0)  # COM1 without faults
    data += u8(0xFF)       # closing works
    data += u8(1)          # the scripted peer announces
    data += u8(len(steps) - 1)
    for s in steps:
        data += s
    return bytes(data)


def zulmain_seeds():
    start = step(1, cold_start_block())
    return {
        "start_and_get_info": session([start, step(14)]),
        "address_then_read": session([start, step(3, address_block(0), text="W01A2F3"),
                                      step(6, point_block("W", 0x01A2F3, 2))]),
        "write_then_read": session([start, step(10, point_block("W", 0x01A2F3, 1), struct.pack("<HH", 0, 0x1234)),
                                    step(5, point_block("W", 0x01A2F3, 1))]),
        "nibble_and_bit_writes": session([start, step(7, point_block("E", 0x002000, 1), struct.pack("<HH", 0, 7)),
                                          step(10, point_block("W", 0x000100, 1, bit=5), struct.pack("<HH", 0, 1))]),
        "read_dates": session([start, step(6, point_block("D", 0x000200, 3))]),
        "warm_close_open": session([start, step(2), step(12), step(13), step(11)]),
        "reopen_null_device": session([start, step(15, reopen_block(50), port=3), step(2)]),
        "codes_outside": session([step(0), step(8), step(9), step(16), step(14, null_params=True)]),
        "syntax_check_type7": session([step(4, address_block(7), text="b0040027"),
                                       step(4, address_block(0), text="L10000A1")]),
        "start_silent_panel": session([start, step(6, point_block("B", 0x004002, 1, bit=7))], panel_flags=0x0004),
        "start_nak_panel": session([start, step(10, point_block("B", 0x004002, 2), struct.pack("<HH", 0, 0x41))],
                                   panel_flags=0x0008),
        "start_status_panel": session([start, step(6, point_block("W", 0, 1))], panel_flags=0x0020,
                                      panel_extra=u8(5)),
        "start_wrong_version": session([start, step(2)], panel_flags=0x0040, panel_extra=u8(0x31)),
        "start_on_scripted_peer": session([step(1, b"COM2".ljust(12, b"\0") + cold_start_block()[12:], port=200)]
                                          + [raw_reply(bytes([ACK])), raw_reply(frame(b"\xF2"))]),
    }


GATEWAY_CONFIG = b"""[modbus]
listen = "127.0.0.1:1502"
max_clients = 32

[[panel]]
name = "ahu1"
port = "COM5"
unit = 1
baud = 9600
parity = "none"
stop_bits = 1
response_timeout_ms = 1000
poll_ms = 1000
stale_ms = 5000
points = "ahu1.csv"
"""

GATEWAY_POINTS = b"""name,address,table,register,access,count
supply air,W01A2F3,holding,0,rw,
setpoints,W000100,holding,1,rw,4
fan,B0040027,coil,0,rw,
"mode, low",E004003,holding,5,rw,
mode high,M004003,holding,6,rw,
runtime,L10000A,input,0,r,
temperature,F003004,input,2,r,
service date,D005000,input,4,r,
alarms,B0040060,discrete,0,r,8
"""


def gateway_seeds():
    return {
        "example": GATEWAY_CONFIG + b"\0" + GATEWAY_POINTS,
        "two_panels": GATEWAY_CONFIG + GATEWAY_CONFIG.split(b"\n\n", 1)[1].replace(b"ahu1", b"ahu2")
        .replace(b"COM5", b"COM6").replace(b"unit = 1", b"unit = 2") + b"\0" + GATEWAY_POINTS,
        "semicolons_bom_crlf": b"\0" + b"\xEF\xBB\xBF" + GATEWAY_POINTS.replace(b",", b";").replace(b"\n", b"\r\n"),
        "overlap_and_refusals": b"[modbus]\nlisten = \"0.0.0.0:502\"\n\0name,address,table,register,access,count\n"
        b"a,W000100,holding,0,rw,2\nb,W000200,holding,1,r,\nc,D005000,holding,9,rw,\nd,X000000,coil,0,r,\n"
        b"a,B0040028,coil,1,r,\ne,L003000,input,65535,r,\n",
        "bad_toml": b"[[panel]]\nname = = 1\n[modbus\n\0\"open,quote\n",
        "empty": b"",
    }


# --- fuzz_mqtt_set: a point kind, a topic's length, the topic, a payload ---

POINT = b'{"value":1,"quality":"good","time":null}'


def mqtt_set(kind, topic, payload):
    return bytes([kind, len(topic)]) + topic + payload


def mqtt_set_seeds():
    return {
        "byte": mqtt_set(0, b"zt/s/ahu1/byte/set", b"255"),
        "nibble_too_big": mqtt_set(1, b"zt/s/ahu1/low nibble/set", b"16"),
        "word_element": mqtt_set(4, b"zt/s/ahu1/words/3/set", b" 65535\r\n"),
        "long_signed": mqtt_set(5, b"zt/s/ahu1/long/set", b"-2147483648"),
        "bit_true": mqtt_set(6, b"zt/s/ahu1/bit 7/set", b"true"),
        "nul_inside": mqtt_set(4, b"zt/s/ahu1/w/set", b"33\0 9"),
        "two_values": mqtt_set(4, b"zt/s/ahu1/w/set", b"33 9"),
        "fraction": mqtt_set(3, b"zt/s/ahu1/time/set", b"1.5e0"),
        "read_only": mqtt_set(8, b"zt/s/ahu1/fixed/set", b"1"),
        "point_topic": mqtt_set(0, b"zt/s/ahu1/words/2", POINT),
        "not_a_point_topic": mqtt_set(0, b"zt/s/ahu1/words/02", POINT),
        "scaled_half": mqtt_set(9, b"zt/s/ahu1/supply/set", b"21.35"),
        "scaled_past_max": mqtt_set(10, b"zt/s/ahu1/setpoint/set", b"30.5"),
        "negative_scale": mqtt_set(11, b"zt/s/ahu1/flow/set", b"-0.25"),
        "state_bare": mqtt_set(12, b"zt/s/ahu1/mode/set", b"Auto"),
        "state_quoted": mqtt_set(12, b"zt/s/ahu1/mode/set", b'"On"'),
        "state_number": mqtt_set(13, b"zt/s/ahu1/door/set", b"1"),
        "discovery_config": mqtt_set(0, b"ha/sensor/zt_s_ahu1/w/config", b'{"state_topic":"zt/s/ahu1/w"}'),
    }


def bvlc(npdu, function=0x0A):
    return bytes([0x81, function]) + struct.pack(">H", 4 + len(npdu)) + npdu


def bacnet_record(apdu, action=0x06, function=0x0A, npdu_head=b"\x01\x04"):
    """One record of fuzz_bacnet: the datagram's length, the datagram, the action."""
    datagram = bvlc(npdu_head + apdu, function)
    return struct.pack("<H", len(datagram)) + datagram + u8(action)


def confirmed(service, parameters, invoke=1, max_apdu=5):
    return bytes([0x00, max_apdu, invoke, service]) + parameters


AI1, AV2, BV4, MSV5, DEVICE = (bytes.fromhex(x) for x in ("0C00000001", "0C00800002", "0C01400004",
                                                         "0C04C00005", "0C0203F7A1"))


def bacnet_seeds():
    rp = lambda obj, prop, index=b"": confirmed(0x0C, obj + prop + index)
    wp = lambda obj, value, priority=b"\x49\x08": confirmed(0x0F, obj + b"\x19\x55\x3E" + value + b"\x3F" + priority)
    sub = lambda obj, lifetime=b"\x39\x3C": confirmed(0x05, b"\x09\x07\x1C" + obj[1:] + b"\x29\x00" + lifetime)
    return {
        "who_is": bacnet_record(b"\x10\x08", function=0x0B, npdu_head=b"\x01\x00"),
        "who_is_range": bacnet_record(bytes.fromhex("10080B03F7A11B03F7A1"), npdu_head=b"\x01\x00"),
        "who_has_name": bacnet_record(bytes.fromhex("10073B006169"), npdu_head=b"\x01\x00"),
        "routed_who_is": bacnet_record(b"\x10\x08", function=0x0B, npdu_head=bytes.fromhex("01080005012A")),
        "forwarded": struct.pack("<H", 14) + bytes.fromhex("8104000EC0A80105BAC001001008") + b"\x06",
        "register_foreign_device": struct.pack("<H", 6) + bytes.fromhex("81050006003C") + b"\x06",
        "read_present_value": bacnet_record(rp(AI1, b"\x19\x55")),
        "read_object_list": bacnet_record(rp(DEVICE, b"\x19\x4C")) + bacnet_record(rp(DEVICE, b"\x19\x4C", b"\x29\x00")),
        "read_state_text": bacnet_record(rp(MSV5, b"\x19\x6E", b"\x29\x02")),
        "read_multiple_all": bacnet_record(confirmed(0x0E, DEVICE + b"\x1E\x09\x08\x1F" + AV2 + b"\x1E\x09\x08\x1F")),
        "read_multiple_small_apdu": bacnet_record(confirmed(0x0E, DEVICE + b"\x1E\x09\x08\x1F", max_apdu=0)),
        "write_and_relinquish": bacnet_record(wp(AV2, b"\x44\x42\x20\x00\x00"), 0x07)
        + bacnet_record(wp(AV2, b"\x44\x41\xF0\x00\x00", b"\x49\x0A"), 0x00)
        + bacnet_record(wp(AV2, b"\x00"), 0x00) + bacnet_record(wp(AV2, b"\x00", b"\x49\x0A")),
        "write_outcomes": b"".join(bacnet_record(wp(BV4, b"\x91\x01"), o) for o in range(6))
        + bacnet_record(wp(MSV5, b"\x21\x02"), 0x07) + bacnet_record(b"", 0x8A),
        "subscribe_and_move": bacnet_record(sub(AI1), 0x1F) + bacnet_record(sub(BV4, b"\x39\x00"), 0xBF)
        + bacnet_record(confirmed(0x05, b"\x09\x07\x1C" + AI1[1:])),
        "segmented": bacnet_record(b"\x08\x05\x01\x00\x01\x0C" + AI1 + b"\x19\x55"),
        "unknown_service": bacnet_record(confirmed(0x1A, AI1)),
        "malformed_tags": bacnet_record(confirmed(0x0C, b"\x0C\x00\x00") + b"\x65\xFF\xFF"),
    }


def text(b):
    return bytes([len(b)]) + b


def status_panel(name, port, stale_ms, points):
    """points: (letter index in BEMTWLFD, address, bit or None, name, count)"""
    out = text(name) + text(port) + struct.pack("<H", stale_ms - 100) + bytes([len(points) - 1])
    for letter, address, bit, point_name, count in points:
        out += bytes([letter]) + struct.pack("<I", address)
        if "BEMTWLFD"[letter] in "BTW":
            out += bytes([1 if bit is not None else 0]) + (bytes([bit]) if bit is not None else b"")
        out += text(point_name) + bytes([count - 1])
    return out


def status_values(state, detail, values, requests=()):
    """values: (kind 0 never read, 1 good, 2 failed, 3 away, 4 written near; raw; age ms)"""
    out = bytes([state]) + text(detail) + bytes([5])
    for kind, raw, age in values:
        out += bytes([kind]) + struct.pack("<IH", raw, age)
    out += bytes([len(requests)])
    for result, micros in requests:
        out += bytes([result]) + struct.pack("<H", micros)
    return out


def status_seeds():
    W, B, L, F, D = 4, 0, 5, 6, 7
    ahu = status_panel(b"ahu1", b"COM5", 5000, [(W, 0x100, None, b"supply", 1), (B, 0x4002, 7, b"fan", 1)])
    return {
        "good": bytes([0]) + ahu + status_values(1, b"", [(1, 0x1234, 100), (1, 1, 100)], [(0, 23000)]),
        "stale_and_failed": bytes([0]) + ahu + status_values(1, b"", [(1, 0x1234, 20000), (2, 1, 100)]),
        "silent": bytes([0]) + ahu + status_values(2, b"the panel does not answer", [(3, 7, 9000), (0, 0, 0)],
                                                   [(2, 60000)]),
        "not_utf8": bytes([0]) + status_panel(b"\xff\xfe", b"C\xd6M5", 3000,
                                               [(W, 0x100, None, b"Zuluft \xb0C", 2)])
        + status_values(1, b"\xc3(", [(1, 1, 10), (4, 2, 10)]),
        "three_panels": bytes([2]) + ahu
        + status_panel(b"boiler", b"COM6", 2000, [(L, 0x3000, None, b"hours", 2), (F, 0x3004, None, b"outdoor", 1),
                                                  (D, 0x5000, None, b"filter", 1)])
        + status_panel(b"chiller", b"COM7", 1000, [(W, 0x100, 15, b"alarm", 3)])
        + status_values(1, b"", [(1, 1, 10), (1, 0, 10)])
        + status_values(1, b"", [(1, 0xFFFFFFFF, 10), (1, 7, 10), (1, 0x7FC00000, 10), (1, 8000, 10)])
        + status_values(3, b"port COM7: No such file", [(0, 0, 0), (3, 1, 500), (3, 0, 500)]),
        "empty": b"",
    }


if __name__ == "__main__":
    write_all("fuzz_frame", frame_seeds())
    write_all("fuzz_address", address_seeds())
    write_all("fuzz_points", points_seeds())
    write_all("fuzz_zulmain", zulmain_seeds())
    write_all("fuzz_gateway", gateway_seeds())
    write_all("fuzz_mqtt_set", mqtt_set_seeds())
    write_all("fuzz_bacnet", bacnet_seeds())
    write_all("fuzz_status", status_seeds())
