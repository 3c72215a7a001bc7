"""StringIndex and DictIndex against a sorted-list model, their iterators, builders, loaders and
threads."""
import bisect
import os
import pickle
import random
import struct
import threading

import numpy as np
import pytest

from quenlith import DictIndex, StringIndex

SEED = 1907
CLASSES = [StringIndex, DictIndex]


def make_keys(n, seed=SEED):
    rng = random.Random(seed)
    alphabet = "abcdefghij" + "é✓🙂"
    keys = {"", "a", "ab", "abc", "b"}
    while len(keys) < n:
        keys.add("".join(rng.choice(alphabet) for _ in range(rng.randint(1, 9))))
    return list(keys)


def by_bytes(keys):
    return sorted(set(keys), key=lambda k: k.encode())


KEYS = make_keys(3000)
SORTED = by_bytes(KEYS)
ENC = [k.encode() for k in SORTED]


def build(cls, keys, **kw):
    return cls(keys, **kw)


@pytest.fixture(scope="module", params=[(StringIndex, {}), (DictIndex, {"block": 32}),
                                        (DictIndex, {})],
                ids=["string", "dict32", "dict256"])
def index(request):
    cls, kw = request.param
    return build(cls, KEYS, **kw)


def lower(q):
    return bisect.bisect_left(ENC, q.encode())


def test_queries_answer_as_the_sorted_model(index):
    rng = random.Random(SEED)
    n = len(SORTED)
    assert len(index) == n and not index.is_empty()
    assert index.ID_DTYPE == "uint64" and index.MISSING_ID == 2**64 - 1
    assert [index.id(k) for k in SORTED] == list(range(n))
    assert [index.key(i) for i in range(0, n, 7)] == SORTED[::7] and index.key(n) is None
    probes = [k + "x" for k in rng.sample(SORTED, 50)] + rng.sample(SORTED, 50) + ["", "zzz", "ab"]
    for q in probes:
        lo = lower(q)
        member = lo < n and SORTED[lo] == q
        assert index.id(q) == (lo if member else None) and (q in index) == member
        assert index.lower_bound(q) == lo
        succ = (SORTED[lo], lo) if lo < n else None
        assert index.successor(q) == succ
        hi = bisect.bisect_right(ENC, q.encode())
        assert index.predecessor(q) == ((SORTED[hi - 1], hi - 1) if hi else None)
        expected = [(k, i) for i, k in enumerate(SORTED) if k.startswith(q)]
        assert index.prefix(q) == expected and index.prefix_count(q) == len(expected)
        assert index.prefix(q, limit=3) == expected[:3] and index.prefix(q, 0) == []
        start, end = index.prefix_id_range(q)
        assert end - start == len(expected) and (not expected or start == expected[0][1])
        assert index.keys_of(range(start, end)) == [k for k, _ in expected]
        pre = [(k, i) for i, k in enumerate(SORTED) if q.startswith(k)]
        assert index.common_prefix(q) == pre and index.longest_prefix(q) == (pre[-1] if pre else None)
    for _ in range(30):
        a, b = sorted(rng.sample(probes, 2), key=str.encode)
        expected = [(k, i) for i, k in enumerate(SORTED) if a.encode() <= k.encode() < b.encode()]
        assert index.range(a, b) == expected and index.range_count(a, b) == len(expected)
        assert index.range(b, a) == [] and index.range_count(b, a) == 0
        assert index.range(a, b, limit=2) == expected[:2]
    ids = [rng.randrange(n + 3) for _ in range(500)] + [5, 6, 7, 8, 2, 1, n, 1]
    assert index.keys_of(ids) == [SORTED[i] if i < n else None for i in ids]


def test_single_key_conventions(index):
    sentinel = object()
    assert index.get("nope!", sentinel) is sentinel and index.get("nope!") is None
    assert index.get("abc") == index["abc"] == index.id("abc")
    with pytest.raises(KeyError) as caught:
        index["nope!"]
    assert caught.value.args == ("nope!",)
    with pytest.raises(TypeError):
        5 in index
    with pytest.raises(TypeError):
        index.id(b"abc")
    with pytest.raises(OverflowError):
        index.key(-1)
    with pytest.raises(TypeError):
        index.keys_of("abc")
    with pytest.raises(UnicodeEncodeError):
        index.id("\ud800")
    with pytest.raises(AttributeError):
        index.anything = 1


def test_batched_and_arrow_lookups_equal_single_lookups(index):
    import pyarrow as pa
    rng = random.Random(SEED)
    keys = rng.sample(SORTED, 400) + ["missing", "", "missing"]
    single = [index.id(k) for k in keys]
    assert index.ids_of(keys) == single
    packed = np.frombuffer(index.ids_of_bytes(keys), dtype=index.ID_DTYPE)
    assert [None if v == index.MISSING_ID else int(v) for v in packed] == single
    out = np.zeros(len(keys) + 2, dtype=np.uint64)
    index.ids_into(keys, out)
    assert (out[: len(keys)] == packed).all() and (out[len(keys):] == 0).all()
    column = keys + [None]
    expected = packed.tolist() + [index.MISSING_ID]
    for arr in (pa.array(column, pa.string()), pa.array(column, pa.large_string()),
                pa.chunked_array([column[:100], column[100:]]), pa.array(column)[3:]):
        got = np.frombuffer(index.ids_of_arrow(arr), dtype=np.uint64).tolist()
        assert got == expected[len(column) - len(arr):]
    import pandas as pd
    series = pd.Series(column, dtype=pd.ArrowDtype(pa.string()))
    assert np.frombuffer(index.ids_of_arrow(series), dtype=np.uint64).tolist() == expected
    import polars as pl
    assert np.frombuffer(index.ids_of_arrow(pl.Series(column)), dtype=np.uint64).tolist() == expected
    out = np.zeros(len(column), dtype=np.uint64)
    index.ids_into_arrow(pa.array(column), out)
    assert out.tolist() == expected
    assert index.ids_of([]) == [] and index.ids_of_bytes([]) == b"" and index.keys_of([]) == []


@pytest.mark.parametrize("cls", CLASSES)
def test_empty_and_repeated_keys(cls):
    empty = cls([])
    assert len(empty) == 0 and empty.is_empty() and empty.id("a") is None and empty.key(0) is None
    assert empty.lower_bound("q") == 0 and empty.prefix("") == [] and empty.prefix_id_range("") == (0, 0)
    assert list(empty) == [] and empty.serialized_len() == len(empty.to_bytes())
    assert empty.ids_of_bytes(["a"]) == b"\xff" * 8
    it = iter(empty)
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)
    small = cls(["b", "a", "b"])
    assert len(small) == 2 and small.id("a") == 0 and small.id("b") == 1 and small.key(1) == "b"


def test_block_argument():
    assert DictIndex(["b", "a", "b"]).block == 256
    for name, size in [("fast", 32), ("balanced", 256), ("compact", 1024)]:
        assert DictIndex(["a"], name).block == size and DictIndex(["a"], block=name).block == size
    assert DictIndex(["a"], block=True).block == 1
    assert DictIndex(["a"], block=1).block == 1 and DictIndex(["a"], block=1024).block == 1024
    prefix = "dict: block must be an int in 1..=1024 or one of 'fast', 'balanced', 'compact', not "
    for name, shown in [("Fast", '"Fast"'), ("fast ", '"fast "'), ("tiny", '"tiny"'),
                        ('a"b\\c', '"a\\"b\\\\c"'), ("t\tr\rn\n0\0", '"t\\tr\\rn\\n0\\0"'),
                        ("e\u0301'ü", '"e\\u{301}\'ü"'), ("\x7f\u200b", '"\\u{7f}\\u{200b}"'),
                        # Spacing marks that still extend a grapheme.
                        ("\u09be\u302e\U0001d165", '"\\u{9be}\\u{302e}\\u{1d165}"')]:
        with pytest.raises(ValueError) as caught:
            DictIndex(["a"], block=name)
        assert str(caught.value) == prefix + shown
    for size in (0, 1025):
        with pytest.raises(ValueError, match=r"^format error: dict: block must be in 1\.\.=1024$"):
            DictIndex(["a"], block=size)
    class BadIndex:
        def __index__(self):
            raise ValueError("not a number after all")

    # Neither an unsigned integer nor a str with a UTF-8 form, whatever made each attempt fail.
    for bad in (2.5, -1, 2**64, b"fast", None, BadIndex(), "fa\ud800st"):
        with pytest.raises(TypeError, match="block"):
            DictIndex(["a"], block=bad)
    # A bad key source is reported before a numeric block out of range, an unknown name first.
    with pytest.raises(TypeError, match="not iterable"):
        DictIndex(5, block=0)
    with pytest.raises(ValueError, match='"tiny"'):
        DictIndex(5, block="tiny")


def test_string_index_builders(tmp_path):
    assert StringIndex.from_sorted(iter(["a", "a", "b"])).to_bytes() == StringIndex(["a", "b"]).to_bytes()
    with pytest.raises(ValueError, match="^fst error: "):
        StringIndex.from_sorted(["b", "a"])
    with pytest.raises(TypeError):
        StringIndex.from_sorted(5)
    # The sorted builds stop pulling at the key they refuse: what the caller sees is the refusal,
    # not the exception of an item after it, and the items after it stay unread.
    for build in (StringIndex.from_sorted,
                  lambda items: StringIndex.build_sorted_to_file(items, tmp_path / "f.bix")):
        pulled = []

        def unordered():
            for key in ("b", "a"):
                pulled.append(key)
                yield key
            raise RuntimeError("never reached")

        with pytest.raises(ValueError, match="^fst error: "):
            build(unordered())
        assert pulled == ["b", "a"]

    def failing():
        yield "a"
        raise RuntimeError("boom")

    for call in (lambda: StringIndex.from_sorted(failing()),
                 lambda: StringIndex.build_to_file(failing(), tmp_path / "f.bix"),
                 lambda: StringIndex.build_sorted_to_file(failing(), tmp_path / "f.bix")):
        with pytest.raises(RuntimeError, match="boom"):
            call()
    assert not os.path.exists(tmp_path / "f.bix")
    with pytest.raises(TypeError):
        StringIndex.build_to_file(["a", 5], tmp_path / "f.bix")
    assert StringIndex.build_to_file(iter(KEYS + KEYS[:10]), tmp_path / "a.bix") == len(SORTED)
    assert StringIndex.build_sorted_to_file(SORTED, str(tmp_path / "b.bix")) == len(SORTED)
    expected = StringIndex(KEYS).to_bytes()
    assert (tmp_path / "a.bix").read_bytes() == expected == (tmp_path / "b.bix").read_bytes()


def test_fuzzy_and_subsequence():
    idx = StringIndex(["apple", "apply", "ample", "maple", "zebra"])
    assert idx.fuzzy("apple", 1) == [("ample", 0), ("apple", 1), ("apply", 2)]
    assert idx.fuzzy("apple", 1, limit=1) == [("ample", 0)] and idx.fuzzy("apple", 0) == [("apple", 1)]
    assert idx.subsequence("mpl") == [("ample", 0), ("maple", 3)] and idx.subsequence("", limit=2) == [("ample", 0), ("apple", 1)]
    with pytest.raises(OverflowError):
        idx.fuzzy("a", -1)


@pytest.mark.parametrize("cls", CLASSES)
def test_persistence(cls, tmp_path):
    idx = cls(KEYS)
    blob = idx.to_bytes()
    assert len(blob) == idx.serialized_len()
    path = tmp_path / "idx.blob"
    idx.save(path)
    assert path.read_bytes() == blob
    loaders = [cls.load, cls.load_mmap, cls.load_mmap_verified]
    if cls is StringIndex:
        loaders += [cls.load_untrusted, cls.load_mmap_untrusted]
        assert cls.from_untrusted_bytes(blob).to_bytes() == blob
    for load in loaders:
        assert load(str(path)).ids_of(SORTED[:50]) == list(range(50))
    mapped = cls.load_mmap(path)
    it = iter(mapped)
    del mapped
    copy = pickle.loads(pickle.dumps(cls.load_mmap(path)))
    os.remove(path)
    assert copy.to_bytes() == blob and type(copy) is cls and next(it) == (SORTED[0], 0)
    assert len(list(it)) == len(SORTED) - 1
    with pytest.raises(TypeError):
        cls.from_bytes(bytearray(blob))
    flipped = bytearray(blob)
    flipped[len(blob) // 2] ^= 0x40
    with pytest.raises(ValueError):
        cls.from_bytes(bytes(flipped))
    with pytest.raises(OSError, match="^io error: "):
        cls.load(tmp_path / "missing")
    (tmp_path / "empty").write_bytes(b"")
    for load in (cls.load, cls.load_mmap):
        with pytest.raises(ValueError):
            load(tmp_path / "empty")


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("n", [1023, 1024, 1025, 2049])
def test_iteration_in_batches(cls, n):
    keys = [f"k{i:06d}" for i in range(n)]
    idx = cls(keys)
    it = iter(idx)
    assert iter(it) is it and type(it).__name__ == cls.__name__ + "Iterator"
    assert list(it) == [(k, i) for i, k in enumerate(keys)]
    with pytest.raises(StopIteration):
        next(it)
    with pytest.raises(TypeError):
        type(it)()


@pytest.mark.parametrize("cls", CLASSES)
def test_threads_sharing_one_iterator_take_every_pair_once(cls):
    keys = [f"t{i:06d}" for i in range(100_000)]
    it = iter(cls(keys))
    taken = [[] for _ in range(8)]

    def drain(out):
        for pair in it:
            out.append(pair)

    threads = [threading.Thread(target=drain, args=(t,)) for t in taken]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    every = sorted(p for t in taken for p in t)
    assert every == [(k, i) for i, k in enumerate(keys)]
    for t in taken:
        assert t == sorted(t)


def test_dict_walk_failure_is_an_error_not_a_short_result(tmp_path):
    keys = [f"key{i:05d}" for i in range(3000)]
    blob = bytearray(DictIndex(keys, block=32).to_bytes())
    n, block = struct.unpack_from("<QI", blob, 4)
    heads_len, data_len = struct.unpack_from("<QQ", blob, 16)
    blocks = -(-n // block)
    start = 72 + heads_len + 8 * -(-blocks // 64) + -(-blocks * blob[44] // 8) + 8
    blob[start:start + data_len] = b"\xff" * data_len
    path = tmp_path / "bad.bdx"
    path.write_bytes(blob)
    idx = DictIndex.load_mmap(path)
    with pytest.raises(ValueError):
        DictIndex.load(path)
    message = "^format error: dict: a block of the index cannot be decoded$"
    for call in (lambda: list(idx), lambda: idx.prefix("key"), lambda: idx.range("a", "z"),
                 lambda: idx.keys_of(range(10)), lambda: idx.key(3)):
        with pytest.raises(ValueError, match=message):
            call()


def test_string_iterator_over_a_broken_map(tmp_path):
    good = StringIndex([f"key{i:05d}" for i in range(3000)]).to_bytes()
    bad = bytearray(good)
    bad[40:len(good) - 40] = b"\xff" * (len(good) - 80)
    path = tmp_path / "bad.bix"
    path.write_bytes(bad)
    it = iter(StringIndex.load_mmap(path))
    with pytest.raises(BaseException) as caught:
        next(it)
    assert type(caught.value).__name__ == "PanicException"
    with pytest.raises(BaseException, match="^iterator state poisoned by an earlier panic") as caught:
        next(it)
    assert not isinstance(caught.value, Exception)
    with pytest.raises(ValueError):
        StringIndex.load_untrusted(path)
    # A walk that ends before the key count is refused, not taken for the end of the keys.
    short = bytearray(good)
    short[40:len(good) - 60] = b"\xff" * (len(good) - 100)
    path.write_bytes(short)
    with pytest.raises(ValueError, match="walk ended before its last key"):
        list(StringIndex.load_mmap(path))


@pytest.mark.parametrize("cls", CLASSES)
def test_many_threads_query_while_another_builds(cls):
    idx = cls(KEYS)
    errors = []
    stop = threading.Event()

    def query(seed):
        rng = random.Random(seed)
        try:
            while not stop.is_set():
                sample = rng.sample(SORTED, 64)
                assert idx.ids_of(sample) == [lower(k) for k in sample]
                k = rng.choice(SORTED)
                assert idx.prefix(k[:1], limit=5) == [(x, lower(x)) for x in SORTED if x.startswith(k[:1])][:5]
                assert idx.key(lower(k)) == k
        except BaseException as e:  # reported by the main thread
            errors.append(e)

    threads = [threading.Thread(target=query, args=(s,)) for s in range(6)]
    for t in threads:
        t.start()
    for round_ in range(3):
        other = cls(make_keys(20_000, seed=round_))
        assert len(other) == 20_000
    stop.set()
    for t in threads:
        t.join()
    assert errors == []


def test_class_conventions():
    for cls, sig in [(StringIndex, "(items)"), (DictIndex, "(items, block=256)")]:
        assert cls.__module__ == "quenlith._core" and cls.__text_signature__ == sig
        with pytest.raises(TypeError):
            type("Mine", (cls,), {})
    assert StringIndex.prefix.__text_signature__ == "($self, prefix, limit=None)"
    assert DictIndex.block.__doc__ == "Keys per block, as given at build time."
    assert StringIndex.fuzzy.__text_signature__ == "($self, query, max_distance, limit=None)"
    # The untrusted loaders state their contract: for someone else's blob, slower, ValueError.
    for name in ("from_untrusted_bytes", "load_untrusted", "load_mmap_untrusted"):
        doc = getattr(StringIndex, name).__doc__
        assert "someone else" in doc and "slower" in doc and "raises ValueError" in doc, name


def test_dict_build_to_file(tmp_path):
    path = tmp_path / "d.bdx"
    assert DictIndex.build_to_file(iter(KEYS + KEYS[:7]), path, 32) == len(SORTED)
    assert DictIndex.load(path).to_bytes() == DictIndex(KEYS, 32).to_bytes()
    assert DictIndex.build_to_file(KEYS, str(path), block="compact") == len(SORTED)
    assert DictIndex.load(path).block == 1024

    def failing():
        yield "a"
        raise RuntimeError("boom")

    path.write_bytes(b"old")
    with pytest.raises(RuntimeError, match="boom"):
        DictIndex.build_to_file(failing(), path)
    with pytest.raises(TypeError):
        DictIndex.build_to_file(["a", 5], path)
    assert path.read_bytes() == b"old" and sorted(os.listdir(tmp_path)) == ["d.bdx"]
    with pytest.raises(TypeError, match="not iterable"):
        DictIndex.build_to_file(5, path, 0)
    with pytest.raises(ValueError, match='"tiny"'):
        DictIndex.build_to_file(5, path, "tiny")
    with pytest.raises(ValueError, match="block must be in"):
        DictIndex.build_to_file([], path, 0)


def test_no_python_memory_growth_over_repeated_calls(tmp_path):
    import tracemalloc

    from quenlith import HashedDictIndex

    path = tmp_path / "x.bin"
    keys = SORTED[:300]

    def every_member(cls):
        idx = cls(keys)
        cls.from_bytes(idx.to_bytes())
        idx.save(path)
        cls.load(path)
        idx.__reduce__()
        idx.ids_of(keys)
        idx.ids_of_bytes(keys)
        idx.keys_of(range(0, 300, 3))
        idx.prefix("a", 5)
        idx.range("a", "c")
        idx.common_prefix("abcdef")
        idx.successor("b")
        idx.prefix_id_range("a")
        idx.get("absent", None)
        list(iter(idx))
        for bad in (lambda: idx["absent"], lambda: 3 in idx, lambda: idx.keys_of("no")):
            try:
                bad()
            except (KeyError, TypeError):
                pass
        if cls is StringIndex:
            cls.from_sorted(keys)
            idx.fuzzy("abc", 1)
            idx.subsequence("ab", 5)
            cls.build_to_file(keys, path)
        else:
            cls.build_to_file(keys, path, 32)
            h = HashedDictIndex.from_dict(idx, 8)
            h.ids_of(keys)
            h.dict.key(1)
            try:
                cls(keys, block="nope")
            except ValueError:
                pass

    for cls in CLASSES:
        every_member(cls)
        tracemalloc.start()
        try:
            for _ in range(5):
                every_member(cls)
            first, _ = tracemalloc.get_traced_memory()
            for _ in range(30):
                every_member(cls)
            last, _ = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        assert last - first < 64 * 1024, (cls.__name__, last - first)
