"""The three hash-index classes: members, conversions, errors, persistence and threads."""
import os
import pickle
import threading
import weakref

import numpy as np
import pytest

from quenlith import ClosedHashIndex, CompactHashIndex, PerfectHashIndex

KEYS = [f"word{i}" for i in range(2000)] + ["", "naïve", "🙂"]
CLASSES = [PerfectHashIndex, CompactHashIndex, ClosedHashIndex]


@pytest.fixture(scope="module", params=CLASSES, ids=lambda c: c.__name__)
def index(request):
    return request.param(KEYS)


def test_members_get_their_dense_ids(index):
    ids = index.ids_of(KEYS)
    assert sorted(ids) == list(range(len(KEYS))) and len(index) == len(KEYS)
    assert [index.id(k) for k in KEYS] == ids
    assert not index.is_empty()
    assert index.ID_DTYPE == "uint32"


@pytest.mark.parametrize("cls", CLASSES)
def test_empty_and_tiny_indexes(cls):
    empty = cls([])
    assert len(empty) == 0 and empty.is_empty()
    assert empty.serialized_len() == len(empty.to_bytes())
    if cls is ClosedHashIndex:
        assert empty.id("anything") == 0 and empty.ids_of(["a", "b"]) == [0, 0]
        assert empty.serialized_len() == 36
    else:
        assert empty.id("a") is None and empty.get("a", -1) == -1
        assert "a" not in empty and not empty.contains("a")
        assert empty.id_unchecked("a") == 0 and empty.ids_of(["a"]) == [None]
        assert empty.ids_of_bytes(["a"]) == b"\xff" * 4
        with pytest.raises(KeyError):
            empty["a"]
    repeated = cls(["b", "a", "b"])
    assert len(repeated) == 2 and sorted(repeated.ids_of(["a", "b"])) == [0, 1]


def test_perfect_hash_lookups_and_reverse():
    idx = PerfectHashIndex(KEYS)
    for k in KEYS[::97]:
        i = idx.id(k)
        assert idx.key(i) == k and idx.id_unchecked(k) == i and idx[k] == i and k in idx
    assert idx.key(len(idx)) is None
    assert idx.keys_of(idx.ids_of(KEYS[:5])) == KEYS[:5]
    sentinel = object()
    assert idx.get("zz", sentinel) is sentinel and idx.get("zz") is None
    with pytest.raises(KeyError) as caught:
        idx["zz"]
    assert caught.value.args == ("zz",)
    assert 0 <= idx.id_unchecked("zz") < len(idx)
    for bad in (-1, 2**32):
        with pytest.raises(OverflowError):
            idx.key(bad)
    with pytest.raises(TypeError):
        idx.key("0")
    with pytest.raises(TypeError):
        5 in idx
    with pytest.raises(TypeError):
        idx[5]
    with pytest.raises(TypeError, match="key"):
        idx.id(b"word1")
    assert len(PerfectHashIndex("abc")) == 3
    assert PerfectHashIndex.MISSING_ID == 4294967295


def test_perfect_hash_fingerprints_change_nothing_but_the_flag(tmp_path):
    plain = PerfectHashIndex(KEYS)
    fp = PerfectHashIndex(KEYS, fingerprints=True)
    probe = KEYS[::3] + ["zz", "word", "word20000"]
    assert fp.ids_of(probe) == plain.ids_of(probe)
    assert fp.has_fingerprints() and not plain.has_fingerprints()
    path = tmp_path / "fp.bmp"
    fp.save(path)
    for loaded in (PerfectHashIndex.load(path), PerfectHashIndex.load_mmap(str(path)),
                   PerfectHashIndex.from_bytes(fp.to_bytes())):
        assert loaded.has_fingerprints()
    assert PerfectHashIndex(KEYS, fingerprints=np.bool_(True)).has_fingerprints()
    with pytest.raises(TypeError, match="fingerprints"):
        PerfectHashIndex(KEYS, fingerprints=1)
    with pytest.raises(TypeError):
        PerfectHashIndex(KEYS, True)  # keyword-only


def test_compact_width_rule():
    keys = KEYS[:100]
    assert CompactHashIndex(keys).fingerprint_bits == 8
    assert CompactHashIndex(keys, 2).fingerprint_bits == 16
    assert CompactHashIndex(keys, fingerprint_bytes=4).fingerprint_bits == 32
    for bits in (1, 12, 64):
        assert CompactHashIndex(keys, fingerprint_bits=bits).fingerprint_bits == bits
    assert CompactHashIndex(keys, 1, fingerprint_bits=12).fingerprint_bits == 12
    assert CompactHashIndex(keys, fingerprint_bits=None).fingerprint_bits == 8
    for args, kwargs, text in [
        ((2,), {"fingerprint_bits": 12}, "pass fingerprint_bytes or fingerprint_bits, not both"),
        ((4,), {"fingerprint_bits": 0}, "pass fingerprint_bytes or fingerprint_bits, not both"),
        ((0,), {}, "format error: compact-hash: fingerprint_bytes must be 1, 2, or 4"),
        ((3,), {}, "format error: compact-hash: fingerprint_bytes must be 1, 2, or 4"),
        ((8,), {}, "format error: compact-hash: fingerprint_bytes must be 1, 2, or 4"),
        ((), {"fingerprint_bits": 0}, "format error: compact-hash: fingerprint_bits must be in 1..=64"),
        ((), {"fingerprint_bits": 65}, "format error: compact-hash: fingerprint_bits must be in 1..=64"),
    ]:
        with pytest.raises(ValueError) as caught:
            CompactHashIndex(keys, *args, **kwargs)
        assert str(caught.value) == text
    with pytest.raises(OverflowError):
        CompactHashIndex(keys, fingerprint_bytes=-1)
    with pytest.raises(ValueError, match="fingerprint_bytes"):
        CompactHashIndex(5, fingerprint_bytes=3)  # the width is checked before the items
    with pytest.raises(TypeError):
        CompactHashIndex(keys, 1, 12)  # fingerprint_bits is keyword-only


def test_compact_false_positive_rate_follows_the_width():
    members = [f"m{i}" for i in range(4000)]
    others = [f"o{i}" for i in range(4000)]
    narrow = CompactHashIndex(members, fingerprint_bits=1)
    wide = CompactHashIndex(members, fingerprint_bits=40)
    hits = sum(i is not None for i in narrow.ids_of(others))
    assert 1500 < hits < 2500
    assert all(i is None for i in wide.ids_of(others))
    assert all(0 <= narrow.id_unchecked(k) < len(narrow) for k in others[:50])
    for idx in (narrow, wide):
        assert idx.ids_of(members) == [idx.id(k) for k in members]
        assert idx.ids_of(members) == [idx.id_unchecked(k) for k in members]


def test_closed_index_has_no_absence():
    idx = ClosedHashIndex(["a", "b", "c"])
    assert sorted(idx.ids_of(["a", "b", "c"])) == [0, 1, 2]
    assert idx.id("zzz") in range(3)
    for name in ("contains", "get", "load_mmap", "load_mmap_verified", "id_unchecked", "key"):
        assert not hasattr(idx, name)
    assert not hasattr(ClosedHashIndex, "MISSING_ID")
    with pytest.raises(TypeError):
        "a" in idx
    with pytest.raises(TypeError):
        idx["a"]
    assert len(ClosedHashIndex(["a", "a"])) == 1
    ids = np.frombuffer(idx.ids_of_bytes(["a", "q", "r"]), dtype=idx.ID_DTYPE)
    assert all(0 <= i < 3 for i in ids)


def test_persistence_round_trips(index, tmp_path):
    cls = type(index)
    blob = index.to_bytes()
    assert len(blob) == index.serialized_len()
    path = tmp_path / "idx.bin"
    index.save(path)
    loaders = [cls.from_bytes(blob), cls.load(path), pickle.loads(pickle.dumps(index))]
    if cls is not ClosedHashIndex:
        mapped = cls.load_mmap(path)
        loaders += [mapped, cls.load_mmap_verified(os.fspath(path))]
        # A mapped index pickles as its blob and outlives its file.
        copy = pickle.loads(pickle.dumps(mapped))
        del mapped
    probe = KEYS[::11] + ["absent"]
    for loaded in loaders:
        assert type(loaded) is cls and loaded.ids_of(probe) == index.ids_of(probe)
        assert loaded.to_bytes() == blob
    if cls is not ClosedHashIndex:
        os.unlink(path)
        assert copy.ids_of(probe) == index.ids_of(probe)
    assert index.__reduce__() == (cls.from_bytes, (blob,))


def test_loader_failures(index, tmp_path):
    cls = type(index)
    blob = bytearray(index.to_bytes())
    with pytest.raises(TypeError):
        cls.from_bytes(bytearray(blob))
    with pytest.raises(TypeError):
        cls.from_bytes(memoryview(blob))
    with pytest.raises(ValueError, match="^format error: bad magic or truncated header$"):
        cls.from_bytes(b"")
    blob[-1] ^= 0x40
    with pytest.raises(ValueError, match="^format error: payload checksum mismatch$"):
        cls.from_bytes(bytes(blob))
    path = tmp_path / "bad.bin"
    path.write_bytes(bytes(blob))
    with pytest.raises(ValueError):
        cls.load(path)
    if cls is not ClosedHashIndex:
        with pytest.raises(ValueError):
            cls.load_mmap_verified(path)
    empty = tmp_path / "empty.bin"
    empty.write_bytes(b"")
    with pytest.raises(ValueError):
        cls.load(empty)
    with pytest.raises(OSError) as caught:
        cls.load(tmp_path / "missing")
    assert str(caught.value).startswith("io error: ") and caught.value.errno is None
    with pytest.raises(OSError):
        index.save(tmp_path / "no" / "dir" / "x")
    assert sorted(os.listdir(tmp_path)) == ["bad.bin", "empty.bin"]
    with pytest.raises(TypeError):
        cls.load(5)
    with pytest.raises(TypeError):
        index.save(b"path")


def test_class_objects(index):
    cls = type(index)
    assert cls.__module__ == "quenlith._core" and cls.__qualname__ == cls.__name__
    with pytest.raises(TypeError):
        type("Mine", (cls,), {})
    with pytest.raises(AttributeError):
        index.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(index)
    assert cls.id.__text_signature__ == "($self, key)"
    assert cls.from_bytes.__text_signature__ == "(data)"
    assert cls.ids_into_arrow.__text_signature__ == "($self, column, out)"


def test_signatures_and_docstrings():
    assert PerfectHashIndex.__text_signature__ == "(items, *, fingerprints=False)"
    assert PerfectHashIndex.__doc__ == (
        "Minimal-perfect-hash dictionary: exact `string → dense id` with reverse lookup and "
        "persistence.")
    assert CompactHashIndex.__text_signature__ == \
        "(items, fingerprint_bytes=1, *, fingerprint_bits=None)"
    assert CompactHashIndex.__doc__ == (
        "Fingerprint minimal-perfect-hash dictionary: the smallest `string -> dense id` map that can\n"
        "reject a non-member. Membership is\n"
        "probabilistic (false-positive rate `2 ** -fingerprint_bits`) and there is no reverse "
        "`id -> key`.")
    assert CompactHashIndex.fingerprint_bits.__doc__ == (
        "Width of the stored fingerprints in bits; the false-positive rate is "
        "`2 ** -fingerprint_bits`.")
    assert ClosedHashIndex.__text_signature__ == "(items)"
    assert PerfectHashIndex.get.__text_signature__ == "($self, key, default=None)"
    assert PerfectHashIndex.keys_of.__text_signature__ == "($self, ids)"


def test_wrong_argument_types_never_crash(index):
    odd = [None, 1, 1.5, b"x", bytearray(b"x"), object(), [1], {"a": 1}, ("a",), np.zeros(2)]
    members = [m for m in dir(index) if not m.startswith("__") and callable(getattr(index, m))]
    for name in members:
        for arg in odd:
            for call in ((arg,), (arg, arg), ()):
                try:
                    getattr(index, name)(*call)
                except (TypeError, ValueError, OverflowError, OSError, BufferError,
                        UnicodeEncodeError):
                    pass


def test_gil_is_released_for_builds_and_batched_lookups():
    keys = [f"k{i:07d}" for i in range(300_000)]
    ticks = [0]
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            ticks[0] += 1

    t = threading.Thread(target=spin)
    t.start()
    try:
        def progressed(call):
            before = ticks[0]
            result = call()
            return ticks[0] > before, result

        ok, idx = progressed(lambda: PerfectHashIndex(keys))
        assert ok
        for _ in range(5):  # the batched lookup is short; repeat until the spinner is seen
            ok, _ = progressed(lambda: idx.ids_of_bytes(keys))
            if ok:
                break
        assert ok
        ok, _ = progressed(lambda: CompactHashIndex(keys))
        assert ok
    finally:
        stop.set()
        t.join()


def test_one_index_from_many_threads():
    idx = PerfectHashIndex(KEYS)
    want = idx.ids_of(KEYS)
    errors = []

    def work():
        try:
            for _ in range(20):
                assert idx.ids_of(KEYS) == want
                assert [idx.id(k) for k in KEYS[:50]] == want[:50]
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors


# ---- streamed builds ----

def leftovers(directory, target):
    return sorted(n for n in os.listdir(directory) if n != os.path.basename(target))


def test_perfect_build_to_file_matches_the_in_memory_blob(tmp_path):
    path = tmp_path / "out.bmp"
    calls = []

    def source():
        calls.append(1)
        return KEYS

    assert PerfectHashIndex.build_to_file(source, path) == len(KEYS)
    assert len(calls) == 2
    assert path.read_bytes() == PerfectHashIndex(KEYS).to_bytes()
    fp_path = tmp_path / "fp.bmp"
    assert PerfectHashIndex.build_to_file(lambda: iter(KEYS), str(fp_path), fingerprints=True) \
        == len(KEYS)
    assert fp_path.read_bytes() == PerfectHashIndex(KEYS, fingerprints=True).to_bytes()
    loaded = PerfectHashIndex.load_mmap(fp_path)
    assert loaded.has_fingerprints() and loaded.ids_of(KEYS[:9]) == PerfectHashIndex(KEYS).ids_of(KEYS[:9])

    empty_calls = []
    empty = tmp_path / "empty.bmp"
    assert PerfectHashIndex.build_to_file(lambda: empty_calls.append(1) or [], empty) == 0
    assert len(empty_calls) == 1 and len(PerfectHashIndex.load(empty)) == 0
    assert leftovers(tmp_path, path) == ["empty.bmp", "fp.bmp"]


def test_perfect_build_to_file_failures_leave_the_target(tmp_path):
    path = tmp_path / "out.bmp"
    path.write_bytes(b"old contents")
    with pytest.raises(TypeError, match=r"^build_to_file\(\) takes a zero-argument callable"):
        PerfectHashIndex.build_to_file(iter(KEYS), path)
    with pytest.raises(TypeError, match="path"):
        PerfectHashIndex.build_to_file(5, None)  # path converts before source is checked
    with pytest.raises(TypeError, match="fingerprints"):
        PerfectHashIndex.build_to_file(5, path, fingerprints="yes")

    boom = RuntimeError("second pass")
    passes = []

    def raises_on_second_call():
        passes.append(1)
        if len(passes) == 2:
            raise boom
        return KEYS

    def raises_midway():
        yield from KEYS[:100]
        raise boom

    def reorders():
        passes.append(1)
        return KEYS if len(passes) % 2 else KEYS[::-1]

    cases = [
        (raises_on_second_call, RuntimeError, None),
        (lambda: raises_midway(), RuntimeError, None),
        (lambda: 5, TypeError, None),  # iter() of the result fails
        (lambda: ["a", 1], TypeError, None),
        (lambda: ["a", "b", "a"], ValueError,
         "build error: perfect-hash: build_to_file needs distinct keys and the source repeated one"),
        (reorders, ValueError,
         "build error: perfect-hash: the source did not replay the same keys in the same order"),
    ]
    for source, exc, text in cases:
        passes.clear()
        with pytest.raises(exc) as caught:
            PerfectHashIndex.build_to_file(source, path)
        if exc is RuntimeError:
            assert caught.value is boom
        if text is not None:
            assert str(caught.value) == text
        assert path.read_bytes() == b"old contents"
        assert leftovers(tmp_path, path) == []


def test_no_python_memory_growth_over_repeated_calls(tmp_path):
    import tracemalloc

    path = tmp_path / "x.bin"
    keys = KEYS[:200]

    def every_member(cls):
        idx = cls(keys)
        blob = idx.to_bytes()
        cls.from_bytes(blob)
        idx.save(path)
        cls.load(path)
        idx.serialized_len()
        idx.__reduce__()
        idx.ids_of(keys)
        idx.ids_of_bytes(keys)
        idx.id("absent")
        try:
            idx.ids_of("no")
        except TypeError:
            pass
        try:
            cls.from_bytes(blob[:-1])
        except ValueError:
            pass
        if cls is PerfectHashIndex:
            idx.keys_of(range(10))
            cls.load_mmap(path)
            cls.build_to_file(lambda: keys, path)
            try:
                cls.build_to_file(lambda: ["a", "a"], path)
            except ValueError:
                pass

    for cls in CLASSES:
        every_member(cls)  # warm caches (interned names, type objects)
        tracemalloc.start()
        try:
            for _ in range(5):
                every_member(cls)
            first, _ = tracemalloc.get_traced_memory()
            for _ in range(40):
                every_member(cls)
            last, _ = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        assert last - first < 64 * 1024, (cls.__name__, last - first)


def test_compact_build_to_file_matches_the_in_memory_blob(tmp_path):
    path = tmp_path / "out.bch"
    keys = KEYS + KEYS[:10]  # repeats count once
    assert CompactHashIndex.build_to_file(iter(keys), path) == len(KEYS)
    assert path.read_bytes() == CompactHashIndex(keys).to_bytes()
    for args, kwargs in [((2,), {}), ((4,), {}), ((), {"fingerprint_bits": 12})]:
        assert CompactHashIndex.build_to_file((k for k in keys), str(path), *args, **kwargs) \
            == len(KEYS)
        assert path.read_bytes() == CompactHashIndex(keys, *args, **kwargs).to_bytes()
    assert CompactHashIndex.build_to_file([], path) == 0
    assert path.read_bytes() == CompactHashIndex([]).to_bytes()
    assert leftovers(tmp_path, path) == []


def test_compact_build_to_file_failures_leave_the_target(tmp_path):
    path = tmp_path / "out.bch"
    path.write_bytes(b"old contents")
    boom = RuntimeError("midway")

    def raises_midway():
        yield from KEYS
        raise boom

    with pytest.raises(RuntimeError) as caught:
        CompactHashIndex.build_to_file(raises_midway(), path)
    assert caught.value is boom
    with pytest.raises(TypeError):
        CompactHashIndex.build_to_file(["a", 1], path)
    with pytest.raises(TypeError):
        CompactHashIndex.build_to_file(5, path)
    with pytest.raises(ValueError, match="not both"):
        CompactHashIndex.build_to_file(5, path, 2, fingerprint_bits=12)
    with pytest.raises(TypeError, match="path"):
        CompactHashIndex.build_to_file(KEYS, None)
    assert path.read_bytes() == b"old contents"
    assert leftovers(tmp_path, path) == []
