"""Keys in (sequences, iterables, Arrow columns) and ids out (lists, bytes, caller buffers),
through the three hash-index classes."""
import array
import ctypes
import sys

import numpy as np
import pyarrow as pa
import pytest

from quenlith import ClosedHashIndex, CompactHashIndex, PerfectHashIndex

KEYS = [f"key-{i}" for i in range(300)] + ["", "é", "日本語"]
CLASSES = [PerfectHashIndex, CompactHashIndex, ClosedHashIndex]


@pytest.fixture(scope="module", params=CLASSES, ids=lambda c: c.__name__)
def index(request):
    return request.param(KEYS)


def expected_ids(index, keys):
    """The ids the packed forms must hold: the single lookup, MISSING_ID for an absent key."""
    missing = getattr(index, "MISSING_ID", None)
    return [missing if (i := index.id(k)) is None else i for k in keys]


# ---- keys from sequences and iterables ----

def test_batched_keys_must_be_a_sequence_of_str(index):
    with pytest.raises(TypeError):
        index.ids_of("ab")  # a str is never a sequence of keys
    with pytest.raises(TypeError):
        index.ids_of(k for k in KEYS)  # a generator is not a sequence
    with pytest.raises(TypeError):
        index.ids_of({"a", "b"})
    with pytest.raises(TypeError):
        index.ids_of_bytes(["a", 1])
    with pytest.raises(UnicodeEncodeError):
        index.ids_of(["a", "\ud800"])
    assert index.ids_of([]) == [] and index.ids_of_bytes([]) == b""
    assert index.ids_of(("key-1", "key-1")) == [index.id("key-1")] * 2


@pytest.mark.parametrize("cls", CLASSES)
def test_constructors_take_any_iterable_of_str(cls):
    from_list = cls(KEYS)
    from_gen = cls(k for k in KEYS)
    assert from_gen.to_bytes() == from_list.to_bytes()

    class LyingLen:  # len() raising only loses the size hint
        def __len__(self):
            raise RuntimeError("no length")

        def __iter__(self):
            return iter(KEYS)

    assert cls(LyingLen()).to_bytes() == from_list.to_bytes()

    class Shouty(str):
        def __str__(self):
            return "SHOUT"

    assert cls([Shouty("key-1")]).ids_of(["key-1"]) == [0]

    with pytest.raises(TypeError):
        cls(["a", 1])
    with pytest.raises(TypeError):
        cls(5)
    with pytest.raises(UnicodeEncodeError):
        cls(["\udcff"])

    boom = RuntimeError("boom")

    def failing():
        yield "a"
        raise boom

    with pytest.raises(RuntimeError) as caught:
        cls(failing())
    assert caught.value is boom


@pytest.mark.parametrize("cls", [CompactHashIndex, ClosedHashIndex])
def test_hash_only_builds_read_an_iterable_in_chunks(cls):
    keys = [f"w{i}" for i in range(10_000)]
    pulled = []

    def source():
        for k in keys:
            pulled.append(k)
            yield k

    assert cls(source()).to_bytes() == cls(keys).to_bytes()
    assert len(pulled) == 10_000


def test_keys_of_converts_every_id_first():
    idx = PerfectHashIndex(KEYS)
    assert idx.keys_of([]) == []
    assert idx.keys_of([0, len(idx)]) == [idx.key(0), None]
    with pytest.raises(OverflowError):
        idx.keys_of([0, 2**32])
    with pytest.raises(OverflowError):
        idx.keys_of([-1])
    with pytest.raises(TypeError):
        idx.keys_of(["0"])
    with pytest.raises(TypeError):
        idx.keys_of(iter([0]))
    assert idx.keys_of([np.uint32(1)]) == [idx.key(1)]


# ---- id buffers ----

def test_bytes_and_buffers_agree_with_single_lookups(index):
    probe = KEYS[::7] + ["absent", "key-1"]
    want = expected_ids(index, probe)
    got = np.frombuffer(index.ids_of_bytes(probe), dtype=index.ID_DTYPE)
    assert got.tolist() == want
    listed = index.ids_of(probe)
    assert [index.MISSING_ID if i is None else i for i in listed] == want if hasattr(
        index, "MISSING_ID") else listed == want

    out = np.full(len(probe) + 5, 7, dtype=index.ID_DTYPE)
    assert index.ids_into(probe, out) is None
    assert out[:len(probe)].tolist() == want and out[len(probe):].tolist() == [7] * 5

    arr = array.array("I", [0] * len(probe))
    index.ids_into(probe, arr)
    assert arr.tolist() == want
    mv = memoryview(bytearray(4 * len(probe))).cast("B").cast("I")
    index.ids_into(probe, mv)
    assert mv.tolist() == want


def test_out_buffer_refusals_in_order():
    idx = PerfectHashIndex(KEYS)
    keys = ["key-1", "key-2", "key-3"]

    def refused(out, exc, text=None):
        before = memoryview(out).tobytes() if isinstance(out, (np.ndarray, bytearray)) else None
        with pytest.raises(exc) as caught:
            idx.ids_into(keys, out)
        if text is not None:
            assert str(caught.value) == text
        if before is not None:
            assert memoryview(out).tobytes() == before
        return caught.value

    assert "compatible" in str(refused(np.zeros(3, np.uint64), BufferError))
    refused(np.zeros(3, np.int32), BufferError)
    refused(np.zeros(3, np.float32), BufferError)
    refused(bytearray(12), BufferError)
    refused(array.array("Q", [0] * 3), BufferError)
    # Wrong type wins over read-only and non-contiguous: the checks run in order.
    ro64 = np.zeros(3, np.uint64)
    ro64.flags.writeable = False
    assert "compatible" in str(refused(ro64, BufferError))
    unaligned = np.frombuffer(bytearray(17), dtype=np.uint32, offset=1)
    assert not unaligned.flags.aligned
    assert "aligned" in str(refused(unaligned, BufferError))
    ro = np.zeros(3, np.uint32)
    ro.flags.writeable = False
    refused(ro, BufferError, "out is read-only")
    refused(np.zeros(6, np.uint32)[::2], BufferError, "out is not C-contiguous")
    refused(memoryview(array.array("I", [0] * 6))[::2], BufferError, "out is not C-contiguous")
    refused(np.zeros(2, np.uint32), ValueError, "out holds 2 items but 3 keys were given")
    refused(object(), TypeError)

    # Byte order: ctypes spells the native order explicitly ("<I" here), numpy a foreign one.
    native = (ctypes.c_uint32 * 3)()
    idx.ids_into(keys, native)
    assert list(native) == idx.ids_of(keys)
    foreign = np.zeros(3, np.dtype(np.uint32).newbyteorder())
    refused(foreign, BufferError)


def test_empty_input_only_needs_a_writable_buffer():
    idx = PerfectHashIndex(KEYS)
    with pytest.raises(BufferError, match="^out is read-only$"):
        idx.ids_into([], b"")
    assert idx.ids_into([], bytearray()) is None
    assert idx.ids_into_arrow(pa.array([], pa.string()), bytearray()) is None
    with pytest.raises(TypeError):
        idx.ids_into([], 5)


# ---- Arrow columns ----

def column_ids(index, column):
    return np.frombuffer(index.ids_of_arrow(column), dtype=index.ID_DTYPE).tolist()


def test_arrow_shapes_give_the_ids_of_their_elements(index):
    values = KEYS[:40] + ["absent", ""]
    want = expected_ids(index, values)
    small = pa.array(values, pa.string())
    large = pa.array(values, pa.large_string())
    assert column_ids(index, small) == want
    assert column_ids(index, large) == want
    assert column_ids(index, small.slice(5, 10)) == want[5:15]
    assert column_ids(index, large.slice(3)) == want[3:]
    chunked = pa.chunked_array([small.slice(0, 10), small.slice(10, 0), small.slice(10)])
    assert column_ids(index, chunked) == want
    assert column_ids(index, pa.chunked_array([], pa.string())) == []
    out = np.zeros(len(values), np.uint32)
    index.ids_into_arrow(chunked, out)
    assert out.tolist() == want


def test_arrow_nulls_at_any_bit_offset():
    idx = PerfectHashIndex(KEYS)
    values = [None if i % 3 == 0 else KEYS[i] for i in range(50)]
    col = pa.array(values, pa.string())
    m = idx.MISSING_ID
    want = [m if v is None else idx.id(v) for v in values]
    for start in (0, 1, 5, 9, 13):
        assert column_ids(idx, col.slice(start)) == want[start:]
    # A validity buffer whose bits are all zero, with null_count 0, is not read.
    zeros = pa.py_buffer(bytes(8))
    no_nulls = pa.Array.from_buffers(pa.string(), 2, [zeros, *pa.array(["key-1", "key-2"]).buffers()[1:]],
                                     null_count=0)
    assert column_ids(idx, no_nulls) == [idx.id("key-1"), idx.id("key-2")]


def test_pandas_and_polars_columns():
    import pandas as pd
    import polars as pl
    idx = CompactHashIndex(KEYS)
    values = ["key-3", None, "absent", "key-4"]
    want = column_ids(idx, pa.array(values))
    assert column_ids(idx, pd.Series(values, dtype=pd.ArrowDtype(pa.string()))) == want
    assert column_ids(idx, pd.Series(values, dtype="string[pyarrow]")) == want
    assert column_ids(idx, pl.Series(values)) == want
    with pytest.raises(TypeError, match="^expected a pyarrow utf8/large_utf8"):
        idx.ids_of_arrow(pd.Series(values, dtype=object))


def test_refused_columns():
    idx = PerfectHashIndex(KEYS)
    with pytest.raises(TypeError, match="^expected a pyarrow utf8/large_utf8 Array or ChunkedArray, "
                                        "a pandas ArrowDtype column, or a polars Series$"):
        idx.ids_of_arrow(["a", "b"])
    dictionary = pa.array(["a", "b", "a"]).dictionary_encode()
    with pytest.raises(TypeError, match=r"^expected an Arrow utf8 or large_utf8 column, got "
                                        r"dictionary<values=string, indices=int32"):
        idx.ids_of_arrow(dictionary)
    with pytest.raises(TypeError, match="got int64"):
        idx.ids_of_arrow(pa.chunked_array([pa.array([1, 2])]))

    class Mirror:  # converts to itself for ever
        def __arrow_array__(self):
            return self

    with pytest.raises(TypeError):
        idx.ids_of_arrow(Mirror())

    boom = RuntimeError("boom")

    class Exploding:
        def to_arrow(self):
            raise boom

    with pytest.raises(RuntimeError) as caught:
        idx.ids_of_arrow(Exploding())
    assert caught.value is boom


class Duck:
    """A hand-made Arrow array: every figure comes from the caller."""

    def __init__(self, n, offsets, data=b"", validity=None, *, offset=0, null_count=0,
                 wide=False, buffers=None):
        self.type = "large_string" if wide else "string"
        self.offset = offset
        self.null_count = null_count
        self._n = n
        code = "q" if wide else "i"
        off = None if offsets is None else array.array(code, offsets)
        self._buffers = buffers if buffers is not None else [validity, off, data]

    def __len__(self):
        return self._n

    def buffers(self):
        return self._buffers


def test_hand_made_columns_are_checked_before_any_read():
    idx = PerfectHashIndex(KEYS)
    ascend = "the column's offsets do not ascend within its data buffer"
    cases = [
        (Duck(2, [0, 3, 2], b"abc"), ascend),  # descending
        (Duck(2, [0, 1, 9], b"abc"), ascend),  # past the data
        (Duck(1, [-4, 0], b"abc"), ascend),  # negative
        (Duck(1, [2**31 - 1, -2**31], b"abc"), ascend),  # wraps in 32 bits
        (Duck(1, [0, 2**62], b"abc", wide=True), ascend),
        (Duck(1, [2**63 - 1, -2**63], b"abc", wide=True), ascend),
        (Duck(1, [0, 2], None), ascend),  # no data buffer but bytes claimed
        (Duck(3, [0, 1], b"ab"), "the column's offsets buffer is shorter than the column"),
        (Duck(1, [0, 1], b"a", offset=2**62), "the column's offsets buffer is shorter than the column"),
        (Duck(1, [0, 1], b"a", offset=2**64 - 1), "the column's offsets buffer is shorter than the column"),
        (Duck(1, None), "the column has no offsets buffer"),
        (Duck(1, [0, 1], b"a", null_count=1), "the column reports nulls but has no validity buffer"),
        (Duck(9, list(range(10)), b"abcdefghi", b"\xff", null_count=1),
         "the column's validity buffer is shorter than the column"),
    ]
    for column, message in cases:
        out = np.full(4, 5, np.uint32)
        with pytest.raises(ValueError) as caught:
            idx.ids_into_arrow(column, out)
        assert str(caught.value) == message, column._buffers
        assert out.tolist() == [5] * 4

    with pytest.raises(TypeError, match="^an Arrow utf8 column has three buffers$"):
        idx.ids_of_arrow(Duck(1, [0, 1], buffers=[None, None]))
    with pytest.raises(OverflowError):
        idx.ids_of_arrow(Duck(1, [0, 1], b"a", offset=-1))
    # Buffers are read as memoryview(buffer).cast("B"): a strided one is refused as the cast
    # refuses it, any buffer of a native format is read as its bytes.
    strided = memoryview(array.array("i", [0, 7, 1, 7]))[::2]
    with pytest.raises(TypeError, match="C-contiguous"):
        idx.ids_of_arrow(Duck(1, None, buffers=[None, strided, b"a"]))
    offsets = np.array([[0], [5]], dtype=np.int32)
    assert column_ids(idx, Duck(1, None, buffers=[None, offsets, b"key-1"])) == [idx.id("key-1")]

    good = Duck(3, [1, 1, 6, 8], b"xkey-7ab", b"\x05", null_count=1, offset=0)
    assert column_ids(idx, good) == [idx.id(""), idx.MISSING_ID, idx.MISSING_ID]
    wide = Duck(2, [0, 5, 10], b"key-1key-2", wide=True)
    assert column_ids(idx, wide) == [idx.id("key-1"), idx.id("key-2")]
    # A bad chunk anywhere refuses the whole chunked column.

    class Chunked:
        chunks = [pa.array(["key-1"]), Duck(2, [0, 3, 2], b"abc")]

    with pytest.raises(ValueError):
        idx.ids_of_arrow(Chunked())


def test_closed_index_refuses_nulls_before_writing():
    idx = ClosedHashIndex(KEYS)
    col = pa.array(["key-1", None])
    with pytest.raises(ValueError, match="^a closed vocabulary has no id for a null: fill the nulls first$"):
        idx.ids_of_arrow(col)
    out = np.full(2, 9, np.uint32)
    with pytest.raises(ValueError):
        idx.ids_into_arrow(col, out)
    assert out.tolist() == [9, 9]
    # Slicing the null away makes the column acceptable.
    assert column_ids(idx, col.slice(0, 1)) == [idx.id("key-1")]


# ---- references ----

def test_no_reference_leaks_over_repeated_calls():
    idx = PerfectHashIndex(KEYS, fingerprints=True)
    keys = [f"key-{i}" for i in range(50)] + ["absent"]
    col = pa.array(keys)
    out = np.zeros(len(keys), np.uint32)
    ids = list(range(10))
    watched = [keys[0], keys[-1], col, out, idx, ids[3]]
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(200):
        idx.ids_of(keys)
        idx.ids_of_bytes(keys)
        idx.ids_into(keys, out)
        idx.ids_of_arrow(col)
        idx.ids_into_arrow(col, out)
        idx.keys_of(ids)
        idx.get("absent", out)
        idx.__reduce__()
        try:
            idx.ids_into(keys, out[:3])
        except ValueError:
            pass
    assert [sys.getrefcount(o) for o in watched] == before


def test_random_hand_made_columns_against_a_model():
    """Random offsets, slices and validity: either the model's ids or a ValueError when the
    model finds offsets that do not fit; never a read outside the buffers."""
    import random

    seed = 12345
    rng = random.Random(seed)
    idx = PerfectHashIndex(KEYS)
    m = idx.MISSING_ID
    for case in range(400):
        data = bytes(rng.choice(b"key-0123") for _ in range(rng.randrange(0, 24)))
        wide = rng.random() < 0.5
        total = rng.randrange(0, 10)
        offsets = sorted(rng.randrange(0, len(data) + 1) for _ in range(total + 1))
        if rng.random() < 0.3 and offsets:
            offsets[rng.randrange(len(offsets))] = rng.choice(
                [-1, len(data) + rng.randrange(1, 5), 2**31 - 1, -2**31])
        offset = rng.randrange(0, total + 1) if total else 0
        n = rng.randrange(0, total - offset + 2) if total else rng.randrange(0, 2)
        validity = bytes(rng.randrange(256) for _ in range(rng.randrange(0, 3)))
        null_count = rng.choice([0, 1])
        col = Duck(n, offsets, data, validity if validity else None, offset=offset,
                   null_count=null_count, wide=wide)

        # The model.
        want = None
        if n == 0:
            want = []
        elif offset + n + 1 <= len(offsets):
            mine = offsets[offset:offset + n + 1]
            base = mine[0]
            ok = base >= 0 and all(b >= a for a, b in zip(mine, mine[1:])) and \
                mine[-1] <= len(data)
            if ok and null_count and (not validity or (offset + n + 7) // 8 > len(validity)):
                ok = False
            if ok:
                want = []
                for i in range(n):
                    bit = offset + i
                    null = null_count and not (validity[bit // 8] >> (bit % 8)) & 1
                    key = data[mine[i]:mine[i + 1]]
                    want.append(m if null else (idx.id(key.decode("latin-1")) if key.isascii()
                                                else None))
        try:
            got = column_ids(idx, col)
        except ValueError:
            assert want is None, (seed, case)
        else:
            assert got == [m if w is None else w for w in want], (seed, case)
