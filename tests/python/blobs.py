"""A test-side writer of blobs, field by field from the formats' byte layouts.

Section contents are filler (inspection never looks inside them); framed headers carry a real
payload hash and header check, so the blobs look as a writer would leave them.
"""

import struct

M64 = (1 << 64) - 1


def _mix(x):
    x = ((x ^ (x >> 30)) * 0xBF58476D1CE4E5B9) & M64
    x = ((x ^ (x >> 27)) * 0x94D049BB133111EB) & M64
    return x ^ (x >> 31)


def header_check(data):
    h = 0xCBF29CE484222325
    for b in data:
        h = ((h ^ b) * 0x100000001B3) & M64
    return _mix(h) & 0xFFFFFFFF


def payload_hash(data):
    state = 0x9E3779B97F4A7C15
    padded = data + bytes(-len(data) % 8)
    for (word,) in struct.iter_unpack("<Q", padded):
        state = ((state ^ word) * 0xBF58476D1CE4E5B9) & M64
        state ^= state >> 29
    return _mix(len(data) ^ state)


def _crc32c_table():
    table = []
    for i in range(256):
        c = i
        for _ in range(8):
            c = (c >> 1) ^ 0x82F63B78 if c & 1 else c >> 1
        table.append(c)
    return table


_CRC32C = _crc32c_table()


def masked_crc32c(data):
    """The transducer's stored checksum: CRC-32C (Castagnoli), masked as the fst library masks it."""
    c = 0xFFFFFFFF
    for b in data:
        c = _CRC32C[(c ^ b) & 0xFF] ^ (c >> 8)
    c ^= 0xFFFFFFFF
    return (((c >> 15) | (c << 17)) + 0xA282EAD8) & 0xFFFFFFFF


def reseal_bix4(blob):
    """A "BIX4" blob with its transducer's checksum recomputed over whatever its bytes now are."""
    return blob[:-4] + struct.pack("<I", masked_crc32c(blob[4:-4]))


def filler(n, seed=1):
    return bytes((seed + 31 * i) & 0xFF for i in range(n))


def _framed(header_fields, hash_at, payload, hashed=None):
    """header_fields: the bytes before the payload hash and between it and the check."""
    before, after = header_fields
    digest = payload_hash(payload if hashed is None else hashed)
    head = before + struct.pack("<Q", digest) + after
    return head + struct.pack("<I", header_check(head)) + payload


def mph3(keys, extra=20):
    head = b"MPH3" + struct.pack("<HBBQ", 3, 0, 0, keys) + struct.pack("<6Q", 0, 0, extra // 2, 0, 0, 0)
    return head + struct.pack("<I", header_check(head)) + filler(extra, 3)


def bix4(keys, version=3, nodes=40):
    out = b"BIX4" + struct.pack("<QQ", version, 0) + filler(nodes, 9) + struct.pack("<QQ", keys, 16 + nodes - 1)
    return out + (struct.pack("<I", 0xA282EAD8) if version >= 3 else b"")


def bmp8(keys, arena, side):
    mph = mph3(keys) if keys else b""
    payload = mph + filler(arena, 5) + filler(12 * side, 6)
    return _framed((b"BMP8" + struct.pack("<QQI", keys, len(mph), side), b""), 24, payload)


def bch8(keys, bits, side):
    mph = mph3(keys, 16) if keys else b""
    payload = mph + filler(((keys - side) * bits + 7) // 8, 7) + filler(20 * side, 8)
    return _framed((b"BCH8" + struct.pack("<QIQI", keys, bits, len(mph), side), b""), 28, payload)


def bcl2(keys, side):
    mph = mph3(keys, 8) if keys else b""
    payload = mph + filler(20 * side, 8)
    return _framed((b"BCL2" + struct.pack("<QQI", keys, len(mph), side), b""), 24, payload)


def _ceil(a, b):
    return -(-a // b)


def bdx3(keys=10, block=4, micro=2, widths=(5, 7, 9), shift=6, heads=30, data=100, tables=12,
         header_codes=6, phrases=4):
    """A dictionary blob with exactly the ten sections of its format."""
    blocks = _ceil(keys, block) if block else 0
    per_block = _ceil(block, micro) if micro else 1
    micros = 0
    if blocks and per_block > 1:
        last = keys - (blocks - 1) * block
        micros = (blocks - 1) * per_block + _ceil(last, micro)
    samples = _ceil(blocks, 1 << shift)

    def deltas(n, w):
        return _ceil(n * w, 8) + 8 if n else 0

    he, bo, mo = widths
    before = b"BDX3" + struct.pack("<QIQQI", keys, block, heads, data, tables)
    after = struct.pack("<BBBBHHIHIIH", he, bo, shift, mo, micro, 64, header_codes, 0, phrases, 0, 0)
    payload = (filler(heads, 1) + filler(8 * samples + deltas(blocks, he), 2) + filler(data, 3)
               + filler(tables, 4) + filler(header_codes, 5) + filler(phrases, 6)
               + filler(8 * samples + deltas(blocks, bo), 7) + filler(deltas(micros, mo), 8))
    return _framed((before, after), 36, payload)


def bdx1(keys, block, heads, data, tables):
    blocks = _ceil(keys, block) if block else 0
    head = b"BDX1" + struct.pack("<QIQQI", keys, block, heads, data, tables)
    return head.ljust(48, b"\0") + filler(heads + data + tables + 20 * blocks)


def bhd1(dictionary, keys, bits, side):
    mph = mph3(keys, 8) if keys else b""
    rank_bits = max(max(keys, 2) - 1, 1).bit_length()
    payload = mph + filler(_ceil((keys - side) * (bits + rank_bits), 8), 4) + filler(24 * side, 5)
    before = b"BHD1" + struct.pack("<QIQQI", keys, bits, len(dictionary), len(mph), side)
    digest = payload_hash(payload)
    head = before + struct.pack("<Q", digest)
    return head + struct.pack("<I", header_check(head)) + dictionary + payload


def _additions(keys):
    return b"".join(struct.pack("<I", len(k)) + k for k in (k.encode() for k in keys))


def ovl2(tag, base, keys, tombstones):
    adds = _additions(keys)
    payload = base + adds + b"".join(struct.pack("<Q", w) for w in tombstones)
    before = b"OVL2" + struct.pack("<BQQQQ", tag, len(base), len(keys), len(adds), len(tombstones))
    return _framed((before, b""), 37, payload)


def ovl1(tag, base, keys, tombstones):
    return (b"OVL1" + struct.pack("<BQQ", tag, len(base), len(keys)) + base + _additions(keys)
            + struct.pack("<Q", len(tombstones)) + b"".join(struct.pack("<Q", w) for w in tombstones))
