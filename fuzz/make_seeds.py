#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are committed; run this only to regenerate them after a change of
an input layout. Each target's layout is described at the top of its source.
Beside the seeds, fuzz/corpus/ holds the inputs grown by
`scripts/fuzz.sh --deep`, named by their SHA-1; after a change of a layout
they no longer mean what they did, so delete them too.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("latin-1")
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# ---- fuzz_packet_cutter: read sizes, then the stream ----------------------

def packet(ptype, pid, payload=b""):
    return struct.pack("<IcI", 9 + len(payload), ptype, pid) + payload


def raw(length, body):
    return struct.pack("<I", length) + body


def reads(sizes, stream):
    # Each size is stored as size - 1, since the target reads 1 + value % 5000.
    return bytes([len(sizes)]) + b"".join(struct.pack("<H", s - 1) for s in sizes) + stream


EXAMPLE = bytes.fromhex("0C000000440700000061 6263".replace(" ", ""))
KEEP_ALIVE = bytes.fromhex("090000004300000000")
K_FULL = packet(b"K", 0x01020304, struct.pack("<I", 9))
K_BARE = raw(5, b"K")

cutter = "fuzz_packet_cutter"
write(cutter, "example_packet", reads([], EXAMPLE))
write(cutter, "keep_alive", reads([], KEEP_ALIVE))
write(cutter, "split_byte_by_byte", reads([1], EXAMPLE + KEEP_ALIVE))
write(cutter, "split_inside_length", reads([2, 10], EXAMPLE + K_FULL))
write(cutter, "two_packets_one_read", reads([], EXAMPLE + K_FULL))
write(cutter, "short_k_and_c_bodies",
      reads([7, 3, 100], K_BARE + raw(11, b"K\x05\x00\x00\x00\x01\x02") + raw(7, b"C\x01\x02")
            + packet(b"D", 1)))
write(cutter, "largest_packet_split",
      reads([4999, 5000], packet(b"D", 42, bytes(i % 251 for i in range(4991))) + EXAMPLE))
write(cutter, "invalid_length_then_next_read",
      reads([20], raw(5001, b"D" + bytes(15)) + EXAMPLE + KEEP_ALIVE))
write(cutter, "length_zero_and_short_d", reads([9, 9], raw(0, bytes(5)) + raw(6, b"D\x01") + EXAMPLE))

# ---- fuzz_xml: a document, then optionally NUL and key paths ----------------

CONFIG = """<?xml version="1.0" encoding="utf-8"?>
<GameThunkServer>
  <GameThunkServer_Start>1</GameThunkServer_Start>
  <Console>0</Console>
  <LogConnectionError>1</LogConnectionError>
  <TryConnectionInteval>60000</TryConnectionInteval>
  <MaxCheckConnectionInterval>60000</MaxCheckConnectionInterval>
  <VOZevezu_Host>
    <ip>127.0.0.1</ip>
    <port>15306</port>
  </VOZevezu_Host>
</GameThunkServer>
"""

xml = "fuzz_xml"
write(xml, "typical_config.xml", CONFIG)
write(xml, "comments_and_attributes.xml", """<?xml version="1.0"?>
<!-- relay settings -->
<GameThunkServer>
  <GameThunkServer_Start><!-- on -->1</GameThunkServer_Start>
  <VOZevezu_Host ip="10.0.0.1" port="15306"/>
  <Console/>
  <LogConnectionError></LogConnectionError>
</GameThunkServer>
""")
write(xml, "odd_numbers.xml", """<GameThunkServer>
<GameThunkServer_Start> 1
</GameThunkServer_Start>
<TryConnectionInteval>-1</TryConnectionInteval>
<MaxCheckConnectionInterval>60000ms</MaxCheckConnectionInterval>
<Console>true</Console>
<VOZevezu_Host><ip>
127.0.0.1
</ip><port>0x3bca</port></VOZevezu_Host>
<VOZevezu_Host><port>70000</port></VOZevezu_Host>
</GameThunkServer>
""")
write(xml, "nested_same_name.xml",
      "<a><a><b>1</b></a><c>2</c></a>\n<GameThunkServer><x y=\"1\"><x><port>-2147483648</port></x></x>"
      "<port>4294967296</port><port>2147483648</port></GameThunkServer>")
write(xml, "two_top_elements_and_keys.xml",
      "<GameThunkServer><Console>1</Console><n><v>1</v></n></GameThunkServer>"
      "<Other><QueueMode>0</QueueMode><n><v>2</v></n></Other>\0"
      "Other:QueueMode\nOther:n:v\nGameThunkServer:Console\nOther::v\nOther:n:")

# ---- fuzz_parse_ipv4: the address text ------------------------------------

ipv4 = "fuzz_parse_ipv4"
for name, text in [
    ("loopback", "127.0.0.1"),
    ("blanks_and_tabs", " 127. 0.0.1\t"),
    ("double_dot", "1..2.3.4"),
    ("outer_dots", ".10.0.0.255."),
    ("octet_above_255", "256.1.1.1"),
    ("three_parts", "1.2.3"),
    ("five_parts", "1.2.3.4.5"),
    ("letter", "1.2.3.x"),
    ("four_digits", "1.2.3.1234"),
    ("empty", ""),
    ("broadcast", "255.255.255.255"),
]:
    write(ipv4, name, text)

# ---- fuzz_msg_queue: capacity, then operations ----------------------------

def queue(capacity, ops):
    return struct.pack("<H", capacity - 16) + bytes(ops)


def push(n):
    return [0, n] if n < 256 else [0x80, n & 0xFF, n >> 8]


POP, CLEAR, USED = [4], [6], [7]


def pop_into(size):
    return [0x84 | (size << 3)]


mq = "fuzz_msg_queue"
write(mq, "push_pop_in_order", queue(64, push(3) + push(10) + USED + POP + POP + POP))
# 16-byte records in 64 bytes: the fourth goes to offset 0 once two are popped.
write(mq, "wrap_to_start", queue(64, push(16) * 3 + POP * 2 + push(16) + USED + POP * 3))
write(mq, "refused_at_half_and_limit", queue(64, push(27) + push(26) + push(26) + push(0) + POP * 3))
write(mq, "clear_and_small_buffer", queue(128, push(20) + push(5) + CLEAR + push(30) + pop_into(4) + POP))
write(mq, "large_records", queue(4096, push(2000) + push(2042) + push(2043) + push(1000) + POP + push(1500) + POP * 3))
