#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Seeds are the protocol's own frames and the known bad shapes: truncated frames, wrong block
checks, noise before STX, stale bytes of an earlier reply, oversize and unterminated replies.
Inputs are laid out the way FuzzedDataProvider takes them: byte strings from the front,
integers from the back, most significant byte first. Run again after changing a target's input
layout.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
STX, ETX, EOT, ENQ, ACK, NAK = 0x02, 0x03, 0x04, 0x05, 0x06, 0x15


def bcc(bs):
    x = 0
    for b in bs:
        x ^= b
    return x


def data_reply(mnemonic, field, bad_bcc=False):
    body = mnemonic.encode() + field.encode() + bytes([ETX])
    check = bcc(body) ^ (0x01 if bad_bcc else 0)
    return bytes([STX]) + body + bytes([check])


def integral(value, range_size):
    """Bytes (in consumption order) that ConsumeIntegralInRange takes for a range of range_size."""
    n = 0
    while n < 8 and (range_size >> (8 * n)) > 0:
        n += 1
    return list(value.to_bytes(n, "big")) if n else []


def fdp(front, tail):
    """front: bytes taken from the start; tail: bytes in the order they are taken from the end."""
    return bytes(front) + bytes(reversed(tail))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def receive_seed(line, write_reply=False, timeout=1000, tick=0, splits=(), shape=0x0000_0156):
    tail = [1 if write_reply else 0]
    tail += integral(timeout - 10, 2000 - 10)
    tail += list(tick.to_bytes(4, "big"))
    tail += list(shape.to_bytes(4, "big"))
    tail += integral(len(line), 1400)
    for chunk, delay in splits:
        tail += integral(chunk - 1, 63) + integral(delay, 60)
    return fdp(line, tail)


def receive():
    good = data_reply("PV", "0025.5")
    seeds = {
        "data_whole": receive_seed(good),
        "data_basic_entry": receive_seed(data_reply("EE", "0003.0"), shape=0x0000_0154),
        "data_n_model_bit_item": receive_seed(good, shape=0x0000_0007),
        "write_ack_n_model": receive_seed(bytes([ACK]), write_reply=True, shape=0x0010_0157),
        "data_split_bytes": receive_seed(good, splits=[(1, 5)] * 11),
        "data_split_etx_bcc": receive_seed(good, splits=[(10, 0), (1, 30)]),
        "data_negative": receive_seed(data_reply("SV", "-012.5"), splits=[(3, 20), (8, 20)]),
        "data_int": receive_seed(data_reply("ST", "040000")),
        "data_wrong_bcc": receive_seed(data_reply("PV", "0025.5", bad_bcc=True)),
        "noise_before_stx": receive_seed(b"\x7f\x00" + good, splits=[(2, 0), (11, 20)]),
        "stale_reply_first": receive_seed(data_reply("PV", "0011.0") + good),
        "truncated": receive_seed(good[:7], timeout=100),
        "ack": receive_seed(bytes([ACK]), write_reply=True),
        "nak": receive_seed(bytes([NAK]), write_reply=True),
        "noise_then_ack": receive_seed(b"\x55" + bytes([ACK]), write_reply=True, timeout=60),
        "lone_stx_then_rest": receive_seed(good, splits=[(1, 0), (10, 40)]),
        "oversize_unterminated": receive_seed(b"\x30" * 1100, timeout=2000),
        "late_reply": receive_seed(good, timeout=50, splits=[(5, 0), (6, 60)]),
        "tick_wrap": receive_seed(good, tick=0xFFFFFFF0, splits=[(4, 10), (7, 10)]),
        "non_numeric": receive_seed(data_reply("PV", "00A5.5")),
        "etx_inside_field": receive_seed(b"\x02PV00\x0325.5\x03" + bytes([0])),
    }
    for name, data in seeds.items():
        write("receive", name, data)


def value():
    def seed(text, slot, type_index=None, code=None):
        tail = []
        if code is not None:
            tail += [1] + list(code.to_bytes(2, "big"))
        else:
            tail += [0] + integral(type_index, 2)
        tail += list(slot)
        return fdp(text.encode(), tail)

    def f32(x):
        return struct.pack("<f", x)

    def i32(x):
        return struct.pack("<i", x)

    seeds = {
        "float_25_5": seed("0025.5", f32(25.5), 2),
        "float_round": seed("12.346", f32(12.3456), 2),
        "float_negative": seed("-012.5", f32(-12.5), 2),
        "float_too_big": seed("99999.", f32(10000.0), 2),
        "float_inf": seed("", f32(float("inf")), 2),
        "float_nan": seed("", b"\x00\x00\xc0\x7f", 2),
        "float_denormal": seed("0.0000", b"\x01\x00\x00\x00", 2),
        "float_neg_zero": seed("-0.0", f32(-0.0), 2),
        "float_half": seed("0.03125", f32(0.03125), 2),
        "int_negative": seed("-00003", i32(-3), 1),
        "int_min": seed("-32768", i32(-32768), 1),
        "int_wrap": seed("040000", i32(40000), 1),
        "bit_set": seed("000001", i32(5), 0),
        "bit_text_spaces": seed("  -7x", i32(0), 0),
        "other_type": seed("12.5.3", i32(1), code=256),
        "leading_zero_minus": seed("0-5", i32(0), 1),
    }
    for name, data in seeds.items():
        write("value", name, data)


def tag():
    def tag_record(model, text, mask):
        m = model.encode().ljust(32, b"\0")[:32]
        t = text.encode().ljust(128, b"\0")[:128]
        return bytes([0]) + m + t + struct.pack("<H", mask)

    seeds = {
        "pv_default": tag_record("QM4720", "PV", 0x80),
        "pv_wrong_type": tag_record("QM4720", "PV", 0x04),
        "pt_twice": tag_record("QM4720", " PT ", 0x04),
        "n_model": tag_record("QM4720N", "NP", 0x80),
        "suffix": tag_record("QM4720", "PV1", 0x80),
        "too_long": tag_record("QM4720", "P" * 40, 0x80),
        "unterminated": bytes([0]) + b"Q" * 32 + b"P" * 128 + b"\xff\xff",
        "empty": tag_record("", "", 0),
        "station_1": b"\x0112",
        "station_one_digit": b"\x017",
        "station_three": b"\x01123",
        "station_letter": b"\x011a",
        "station_empty": b"\x01",
    }
    for name, data in seeds.items():
        write("tag", name, data)


def sim_request():
    def read(station, mnemonic):
        return bytes([EOT]) + station.encode() + mnemonic.encode() + bytes([ENQ])

    def wr(station, mnemonic, field, bad=False):
        body = mnemonic.encode() + field.encode() + bytes([ETX])
        return bytes([EOT]) + station.encode() + bytes([STX]) + body + bytes([bcc(body) ^ bad])

    seeds = {
        "read_pv": read("0011", "PV"),
        "read_station_12": read("1122", "SV"),
        "write_sv": wr("0011", "SV", "0025.5"),
        "write_bad_bcc": wr("0011", "SV", "0025.5", True),
        "write_bcc_is_eot": wr("0011", "SV", "00025G"),
        "noise_between": b"\x7f\x55" + read("0011", "PV") + b"\x00" + wr("0022", "ST", "-00003"),
        "cut_by_eot": read("0011", "PV")[:4] + read("0011", "PV"),
        "short_write": bytes([EOT]) + b"0011" + bytes([STX, ord("S"), ETX, 0]),
        "long_write": bytes([EOT]) + b"0011" + bytes([STX]) + b"9" * 60 + bytes([ETX, 0]),
        "bad_station": read("0012", "PV"),
    }
    for name, data in seeds.items():
        write("sim_request", name, data)


def registry():
    def s(text):
        return text.replace("\\", "\\\\") + "\\n"

    clsid = "{3F1C9E2A-7B4D-4E8F-9A61-2C5D8B0E4F17}"
    good = ("# header\n"
            f"QM4720.Driver\\CLSID\t{clsid}\n"
            f"CLSID\\{clsid}\\InProcServer32\t/opt/qm4720.so\n")
    seeds = {
        "good": s("QM4720.Driver\\CLSID") + s(clsid) + good,
        "truncated": s("CLSID\\" + clsid + "\\InProcServer32") + s("/x.so") + good[:70],
        "no_final_newline": s("QM4720.Driver\\CLSID") + s(clsid) + good.rstrip("\n"),
        "garbage": s("QM4720.Driver") + s("x") + "\x00\x01garbage\n\t\tno key\n#\tx\nkey only\r\n\n",
        "crlf_duplicates": s("a\\b") + s("v") + "A\\B\tone\r\na\\b\ttwo\r\na\\b\\c\tthree\n",
        "empty_file": s("k") + s("v"),
    }
    for name, data in seeds.items():
        write("registry", name, data.encode("latin-1"))


def modbus_request():
    """Modbus TCP frames as libmodbus hands them over: MBAP header, unit, PDU."""

    def frame(unit, pdu, protocol=0, length=None):
        length = len(pdu) + 1 if length is None else length
        return struct.pack(">HHHB", 0x1234, protocol, length, unit) + pdu

    def write16(address, words, count=None, byte_count=None):
        count = len(words) if count is None else count
        byte_count = 2 * len(words) if byte_count is None else byte_count
        return struct.pack(">BHHB", 0x10, address, count, byte_count) + b"".join(
            struct.pack(">H", w) for w in words)

    seeds = {
        "read_two_values": frame(1, struct.pack(">BHH", 3, 0, 4)),
        "read_input": frame(2, struct.pack(">BHH", 4, 0, 4)),
        "read_failed": frame(1, struct.pack(">BHH", 3, 4, 2)),
        "read_unpolled": frame(1, struct.pack(">BHH", 3, 8, 2)),
        "read_half": frame(1, struct.pack(">BHH", 3, 1, 2)),
        "read_past_table": frame(1, struct.pack(">BHH", 3, 122, 4)),
        "read_no_station": frame(9, struct.pack(">BHH", 3, 0, 2)),
        "write_done": frame(1, write16(40, [0x4148, 0x0000])),
        "write_refused": frame(1, write16(42, [0x4148, 0x0000])),
        "write_read_only": frame(1, write16(0, [0x4148, 0x0000])),
        "write_nan": frame(1, write16(40, [0x7FC0, 0x0000])),
        "write_byte_count": frame(1, write16(40, [0x4148, 0x0000], byte_count=3)),
        "write_single": frame(1, struct.pack(">BHH", 6, 40, 0x4148)),
        # As int16 (the fuzz target also serves the line so): one register a value.
        "int16_write_single": frame(1, struct.pack(">BHH", 6, 20, 0x04D2)),
        "int16_write_one": frame(1, write16(20, [0xFF38])),
        "coils": frame(1, struct.pack(">BHH", 1, 0, 8)),
        "bad_protocol": frame(1, struct.pack(">BHH", 3, 0, 2), protocol=1),
        "bad_length": frame(1, struct.pack(">BHH", 3, 0, 2), length=9),
    }
    for name, data in seeds.items():
        write("modbus_request", name, data)


def http_write_body():
    """Bodies of qm4720d's POST /api/v1/write: good ones and the known bad shapes."""
    seeds = {
        "good": '{"line": "line1", "station": 1, "register": "SP", "value": 42.5}',
        "spaced_register": '{"line": "a", "station": 0, "register": "  SP ", "value": -1e3}',
        "station_past_99": '{"line": "a", "station": 100, "register": "SP", "value": 1}',
        "station_fraction": '{"line": "a", "station": 1.5, "register": "SP", "value": 1}',
        "station_huge": '{"line": "a", "station": 18446744073709551615, "register": "SP", '
                        '"value": 1}',
        "value_string": '{"line": "a", "station": 1, "register": "SP", "value": "1"}',
        "value_huge": '{"line": "a", "station": 1, "register": "SP", "value": 1e400}',
        "duplicate_keys": '{"line": "a", "line": 7, "station": 1, "register": "SP", "value": 1}',
        "not_object": '[1, 2, 3]',
        "nested": '{"line": {"a": [[[[[[]]]]]]}, "station": 1}',
        "unicode": '{"line": "\\u00e9\\ud800", "station": 1, "register": "P\\u0000V", "value": 0}',
        "truncated": '{"line": "a", "station": 1, "regis',
    }
    for name, data in seeds.items():
        write("http_write_body", name, data.encode())


def history_query():
    """Times and register names as a person types them, and the shapes that were misread."""
    seeds = {
        "iso": "2026-12-08T12:00:00Z", "iso_ms": "2026-12-08T12:00:00.5Z",
        "iso_space": "2026-12-08 12:00:00", "date": "2026-12-07", "leap_day": "2024-02-29",
        "not_a_day": "2026-02-31", "ms": "1796731200500", "now": "now", "ago_minutes": "-15m",
        "ago_days": "-2d", "double_minus": "--5m", "minus_one": "-1", "register": "PV",
        "unknown_register": "XX",
    }
    for name, text in seeds.items():
        write("history_query", name, text.encode())


if __name__ == "__main__":
    receive()
    value()
    tag()
    sim_request()
    registry()
    modbus_request()
    http_write_body()
    history_query()
