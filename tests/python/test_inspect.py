import mmap
import os
import pathlib
import struct
import threading

import pytest

import blobs
from quenlith._core import inspect

TRUNCATED = "format error: blob truncated: a length in the header runs past the end"
FIELDS = ["kind", "format", "bytes", "keys", "fingerprint_bits", "mph_bytes", "arena_bytes",
          "side_entries", "overlay"]


def info(kind, fmt, size, keys=None, bits=None, mph=None, arena=None, side=None, overlay=None):
    return {"kind": kind, "format": fmt, "bytes": size, "keys": keys, "fingerprint_bits": bits,
            "mph_bytes": mph, "arena_bytes": arena, "side_entries": side, "overlay": overlay}


def refusal(data):
    with pytest.raises(ValueError) as e:
        inspect(data)
    assert type(e.value) is ValueError and len(e.value.args) == 1
    return e.value.args[0]


DICT = blobs.bdx3()
BMP = blobs.bmp8(5, 17, 2)

# Every format of the dispatch table, with what its header says.
CASES = {
    "BIX4": (blobs.bix4(7), lambda b: info("StringIndex", "BIX4", len(b), keys=7)),
    "BIX4 v2": (blobs.bix4(8, version=2), lambda b: info("StringIndex", "BIX4", len(b), keys=8)),
    "BMP8": (BMP, lambda b: info("PerfectHashIndex", "BMP8", len(b), keys=5,
                                 mph=len(blobs.mph3(5)), arena=17, side=2)),
    "BCH8": (blobs.bch8(9, 11, 3), lambda b: info("CompactHashIndex", "BCH8", len(b), keys=9,
                                                  bits=11, mph=len(blobs.mph3(9, 16)), arena=9,
                                                  side=3)),
    "BCL2": (blobs.bcl2(6, 1), lambda b: info("ClosedHashIndex", "BCL2", len(b), keys=6,
                                              mph=len(blobs.mph3(6, 8)), side=1)),
    "BHD1": (blobs.bhd1(DICT, 10, 8, 2), lambda b: info("HashedDictIndex", "BHD1", len(b),
                                                        keys=10, bits=8,
                                                        mph=len(blobs.mph3(10, 8)), arena=12,
                                                        side=2)),
    "BDX3": (DICT, lambda b: info("DictIndex", "BDX3", len(b), keys=10, arena=130)),
    "BDX2": (b"BDX2" + DICT[4:], lambda b: info("DictIndex", "BDX2", len(b), keys=10, arena=130)),
    "BDX1": (blobs.bdx1(10, 4, 12, 20, 8), lambda b: info("DictIndex", "BDX1", len(b), keys=10,
                                                          arena=32)),
    "MPH1": (b"MPH1" + struct.pack("<4xQ", 99) + bytes(60),
             lambda b: info("Mphf", "MPH1", len(b), keys=99, mph=len(b))),
    "MPH2": (b"MPH2" + blobs.mph3(3)[4:], lambda b: info("Mphf", "MPH2", len(b), keys=3, mph=len(b))),
    "MPH3": (blobs.mph3(300), lambda b: info("Mphf", "MPH3", len(b), keys=300, mph=len(b))),
    "OVL2": (blobs.ovl2(2, BMP, ["x", "yz"], [0b1011]), lambda b: info(
        "Overlay", "OVL2", len(b), keys=5 + 2 - 3,
        overlay={"base_tag": 2, "base": CASES["BMP8"][1](BMP), "additions": 2, "retired": 3})),
    "OVL1": (blobs.ovl1(1, blobs.bix4(7), ["abc", ""], [0, 1, 0]), lambda b: info(
        "Overlay", "OVL1", len(b), keys=7 + 2 - 1,
        overlay={"base_tag": 1, "base": info("StringIndex", "BIX4", len(blobs.bix4(7)), keys=7),
                 "additions": 2, "retired": 1})),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_every_format_inspects_from_bytes_and_from_a_file(name, tmp_path):
    data, expected = CASES[name]
    got = inspect(data)
    assert got == expected(data)
    assert list(got) == FIELDS
    if got["overlay"] is not None:
        assert list(got["overlay"]) == ["base_tag", "base", "additions", "retired"]
    path = tmp_path / "blob"
    path.write_bytes(data)
    assert inspect(path) == got
    assert inspect(str(path)) == got


def test_retired_magics_are_refused_with_their_message():
    for digit in "1234567":
        assert refusal(b"BMP" + digit.encode()) == (
            "format error: a PerfectHashIndex blob from quenlith < 4.0, keyed on a hash this "
            "version no longer computes; rebuild it from its keys with PerfectHashIndex::build")
        assert refusal(b"BCH" + digit.encode() + bytes(64)) == (
            "format error: a CompactHashIndex blob from quenlith < 4.0, keyed on a hash this "
            "version no longer computes, and which stores no keys; rebuild it from its keys with "
            "CompactHashIndex::build")
    assert refusal(b"BCL1") == (
        "format error: a ClosedHashIndex blob from quenlith < 4.0, keyed on a hash this version "
        "no longer computes, and which stores no keys; rebuild it from its keys with "
        "ClosedHashIndex::build")


def test_short_unknown_and_truncated():
    for n in range(4):
        assert refusal(b"BMP8"[:n]) == "format error: not a quenlith blob: shorter than a magic"
    for magic in (b"BMP9", b"BCL3", b"\x00\xffZZ", b"bix4"):
        assert refusal(magic + bytes(100)) == "format error: not a quenlith blob: unknown magic"
    for n in range(4, 12):
        assert refusal(blobs.bix4(1)[:n]) == TRUNCATED
    exact = blobs.bmp8(4, 0, 3)
    assert inspect(exact)["arena_bytes"] == 0
    assert refusal(exact[:-1]) == TRUNCATED
    for data, _ in CASES.values():
        if data[:3] not in (b"BIX", b"MPH"):  # no fixed header beyond 20 bytes
            assert refusal(data[:20]) == TRUNCATED


def test_overlay_refusals():
    assert refusal(blobs.ovl2(2, blobs.ovl2(2, BMP, [], []), [], [])) == (
        "format error: an overlay's base region is itself an overlay, which nothing in this "
        "library writes")
    assert refusal(blobs.ovl2(2, BMP, ["a"], [1]) + bytes(8)) == (
        "format error: overlay tombstone length disagrees with the blob")
    assert refusal(blobs.ovl2(2, blobs.bmp8(1, 1, 0), ["a"], [0b111])) == (
        "format error: overlay header is inconsistent: its counts do not add up")
    unknown = inspect(blobs.ovl2(4, b"anything", ["a"], [0xFF]))
    assert unknown["keys"] is None
    assert unknown["overlay"] == {"base_tag": 4, "base": None, "additions": 1, "retired": 8}


def test_arguments_bytes_and_paths_only(tmp_path):
    data = CASES["BCH8"][0]

    class Blob(bytes):
        pass

    assert inspect(Blob(data)) == inspect(data)
    assert inspect(blob=data) == inspect(data)
    path = tmp_path / "b"
    path.write_bytes(data)

    class PathLike:
        def __fspath__(self):
            return str(path)

    class BytesPath:
        def __fspath__(self):
            return os.fsencode(path)

    class Failing:
        def __fspath__(self):
            raise RuntimeError("no path here")

    assert inspect(PathLike()) == inspect(data)
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        refused = [bytearray(data), memoryview(data), mapped, 7, None, BytesPath(), Failing()]
        for arg in refused:
            with pytest.raises(TypeError) as e:
                inspect(arg)
            assert e.value.args == ("inspect() takes a path or bytes",)


def test_missing_file_is_exactly_oserror(tmp_path):
    with pytest.raises(OSError) as e:
        inspect(tmp_path / "missing")
    assert type(e.value) is OSError
    assert e.value.args == ("io error: No such file or directory (os error 2)",)
    assert e.value.errno is None and e.value.strerror is None and e.value.filename is None


def test_path_with_a_nul_byte_is_refused_not_cut(tmp_path):
    # The file named by the part before the NUL exists and is a valid blob; it must not be read.
    path = tmp_path / "b"
    path.write_bytes(CASES["BCH8"][0])
    with pytest.raises(OSError) as e:
        inspect(str(path) + "\0tail")
    assert type(e.value) is OSError
    assert e.value.args == ("io error: file name contains a NUL byte",)


def test_file_reads_only_the_header_of_a_large_blob(tmp_path):
    # A blob whose arena is a sparse gigabyte: inspection must not read it.
    path = tmp_path / "big"
    small = blobs.bmp8(3, 0, 0)
    with open(path, "wb") as f:
        f.write(small[:36])
        f.truncate(36 + (1 << 30))
    got = inspect(path)
    assert got["bytes"] == 36 + (1 << 30)
    assert got["arena_bytes"] == (1 << 30) - got["mph_bytes"]


def test_paths_from_many_threads(tmp_path):
    paths = []
    for i, (data, expected) in enumerate(CASES.values()):
        p = tmp_path / f"b{i}"
        p.write_bytes(data)
        paths.append((p, expected(data)))
    failures = []

    def worker():
        for _ in range(50):
            for p, expected in paths:
                if inspect(p) != expected:
                    failures.append(p)

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
