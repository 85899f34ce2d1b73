#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""Writes the seed corpus of eoagent_model_fuzz: whole sessions of a small
switch (its start-up calls answered as the simulated switch answers them,
then notifications and writes), in the input format model_fuzz.cc reads.

Usage: model_fuzz_seeds.py [folder]   (default: model_fuzz_corpus beside it)
"""
import os
import struct
import sys

ARRAY, TABLE, STRING, INT64, INT32, INT16, INT8, DOUBLE = range(1, 9)


def pad(data):
    return data + b"\0" * (-len(data) % 4)


def attr(type_id, payload, extended=True):
    header = (0x80000000 if extended else 0) | type_id << 24 | (4 + len(payload))
    return pad(struct.pack(">I", header) + payload)


def field(type_id, name, data):
    name = name.encode()
    return attr(type_id, pad(struct.pack(">H", len(name)) + name + b"\0") + data)


def string(name, text):
    return field(STRING, name, text.encode() + b"\0")


def int32(name, value):
    return field(INT32, name, struct.pack(">i", value))


def boolean(name, value):
    return field(INT8, name, bytes([1 if value else 0]))


def double(name, value):
    return field(DOUBLE, name, struct.pack(">d", value))


def int64(name, value):
    return field(INT64, name, struct.pack(">Q", value))


def array(name, *members):
    return field(ARRAY, name, b"".join(members))


# The bus's side of each step.
def found():
    return b"\0"


def missing():
    return b"\xff"


def reply(*payloads):
    out = bytes([len(payloads)])
    for p in payloads:
        out += struct.pack("<H", len(p)) + p
    return out


def no_reply():
    return reply()


def start_up(keys, buses, values, outlet_states=None):
    """keys: key attributes (unnamed) of the outlets; buses: key attributes
    of the buses; values: (key, bus, name, value attribute) per value."""
    s = found() + reply(array("keys", *keys))
    for i, _ in enumerate(keys):
        on = outlet_states[i] if outlet_states else False
        s += found() + found()  # lookup, registration
        s += reply(boolean("value", on)) + reply(boolean("value", on))
    s += found() + reply(array("keys", *buses))
    for _ in buses:
        s += found() + reply(int32("value", 100)) + found()
    s += found() + reply(array("keys", *[v[0] for v in values]))
    for _, bus, name, value in values:
        s += found() + reply(int32("value", bus)) + reply(string("value", name))
        s += reply(value) + found()
    return s


def notification(subscriber, key, value):
    payload = string("key", key) + value
    return b"\0" + struct.pack("<H", subscriber) + struct.pack("<H", len(payload)) + payload


def write(index, value):
    return b"\1" + bytes([index & 0xFF, value]) + found() + no_reply()


def enumerate_all():
    return b"\2"


def empty_notification(subscriber):
    return b"\3" + struct.pack("<H", subscriber)


def outlet_key(i):
    return attr(STRING, b"\0\0\0\0" + f"outlet.{i}".encode() + b"\0")


def seeds():
    two = [outlet_key(1), outlet_key(2)]
    one_bus = [attr(STRING, b"\0\0\0\0" + b"bus.1\0")]
    values = [
        (attr(STRING, b"\0\0\0\0current\0"), 0, "current", double("value", 4.0)),
        (attr(STRING, b"\0\0\0\0voltage\0"), 0, "voltage", int32("value", 230)),
    ]
    base = start_up(two, one_bus, values, [False, True])
    # subscribers: outlets 0, 1; power factor of bus 0; its current; its voltage
    yield "startup", base
    yield "outlet_notifications", base + b"".join([
        notification(0, "transient_state", boolean("value", True)),
        notification(0, "physical_state", boolean("value", True)),
        notification(1, "physical_state", boolean("value", False)),
        notification(1, "other", boolean("value", True)),
        enumerate_all(),
    ])
    yield "bus_notifications", base + b"".join([
        notification(3, "value", double("value", 7.5)),
        notification(4, "value", int32("value", 120)),
        notification(2, "power_factor_percent", int32("value", 95)),
        notification(2, "power_factor_percent", double("value", 50.0)),
        empty_notification(3),
        enumerate_all(),
    ])
    yield "writes", base + write(0, 1) + write(1, 0) + write(-1, 1) + write(7, 1)
    # keys of every type, a value object that grows the buses, odd values
    mixed = [
        attr(INT32, b"\0\0\0\0" + struct.pack(">i", 7)),
        attr(INT64, b"\0\0\0\0" + struct.pack(">Q", 1 << 40)),
        attr(INT16, b"\0\0\0\0" + struct.pack(">h", -3)),
        attr(INT8, b"\0\0\0\0\1"),
        attr(DOUBLE, b"\0\0\0\0" + struct.pack(">d", 2.5)),
        attr(STRING, b"\0\0\0\0\0"),
    ]
    odd_values = [
        (attr(STRING, b"\0\0\0\0v.1\0"), 3, "current", double("value", 1.0)),
        (attr(STRING, b"\0\0\0\0v.2\0"), -1, "voltage", int32("value", 1)),
        (attr(STRING, b"\0\0\0\0v.3\0"), 0, "frequency", int32("value", 50)),
        (attr(STRING, b"\0\0\0\0v.4\0"), 1, "voltage", string("value", "7")),
    ]
    yield "mixed_keys", start_up(mixed, one_bus, odd_values) + enumerate_all()
    # start-up failures: a missing outlet, a missing list
    yield "missing_outlet", found() + reply(array("keys", *two)) + missing()
    yield "missing_lists", missing() + missing()
    # replies that carry something else, or several fields of that name
    yield "odd_replies", (found() + reply(string("other", "x"), array("keys", outlet_key(1)))
                          + found() + found() + reply(int64("value", 1), boolean("value", True))
                          + no_reply())


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "model_fuzz_corpus")
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
